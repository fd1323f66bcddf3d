// SPDX-License-Identifier: MIT
#ifndef MARKUPGUARD_H
#define MARKUPGUARD_H

#include "read/markuplexer.h"
#include "result.h"

#include <QByteArray>

namespace xmladjust {

// The bounds the markup lexer applies, as the outcome both paths report. `units`
// names what a length counts ("bytes" or "characters").
Outcome markupOutcome(MarkupVerdict verdict, const char *units);

// The window's path: the whole document, in bytes in which markup is ASCII, read
// by the lexer before the parser sees it. Only the bound on attributes applies;
// the whole document is in memory already.
Outcome checkMarkupBounds(const QByteArray &bytes);

} // namespace xmladjust

#endif // MARKUPGUARD_H
