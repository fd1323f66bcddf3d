// SPDX-License-Identifier: MIT
#include "read/markupguard.h"

#include "bounds.h"
#include "messages.h"

#include <limits>

namespace xmladjust {

Outcome markupOutcome(MarkupVerdict verdict, const char *units)
{
    switch (verdict) {
    case MarkupVerdict::Fine:
        break;
    case MarkupVerdict::TooManyAttributes:
        return failureOf(Reason::TooManyAttributes, {QString::number(maximumAttributesPerTag)});
    case MarkupVerdict::MarkupTooLong:
        return failureOf(Reason::MarkupTooLong, {QString::number(maximumMarkupLength / 1000000),
                                                 QString::fromLatin1(units)});
    }
    return {};
}

Outcome checkMarkupBounds(const QByteArray &bytes)
{
    MarkupLexer<char> lexer({}, maximumAttributesPerTag, std::numeric_limits<qint64>::max());
    return markupOutcome(lexer.read(bytes.cbegin(), bytes.cend(), nullptr), "bytes");
}

} // namespace xmladjust
