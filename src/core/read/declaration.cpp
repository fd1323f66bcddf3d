// SPDX-License-Identifier: MIT
#include "read/declaration.h"

#include "read/encoding.h"

#include <QRegularExpression>

namespace xmladjust {

namespace {

// The pseudo-attributes of the declaration, in the order and quoting the DOM writes.
QString declarationData(const QString &declaration)
{
    static const QRegularExpression pseudoAttribute(QStringLiteral(
        "(?:^|\\s)(version|encoding|standalone)\\s*=\\s*(?:\"([^\"]*)\"|'([^']*)')"));
    QString data;
    for (const char *name : {"version", "encoding", "standalone"}) {
        QRegularExpressionMatchIterator matches = pseudoAttribute.globalMatch(declaration);
        while (matches.hasNext()) {
            const QRegularExpressionMatch match = matches.next();
            if (match.captured(1) != QLatin1String(name))
                continue;
            if (!data.isEmpty())
                data += QLatin1Char(' ');
            data += match.captured(1) + QStringLiteral("='") + match.captured(2) +
                    match.captured(3) + QLatin1Char('\'');
            break;
        }
    }
    return data;
}

} // namespace

QString declarationAsDomKeepsIt(const QByteArray &bytes, bool utf8Text)
{
    const QByteArray head = bytes.left(declarationSearchBytes);
    QString text = utf8Text ? QString::fromUtf8(head) : decodeXmlBytes(head);
    if (text.startsWith(QChar(QChar::ByteOrderMark)))
        text.remove(0, 1);
    if (!text.startsWith(QLatin1String("<?xml")) || text.size() < 6 || !text[5].isSpace())
        return QString();
    const int end = text.indexOf(QLatin1String("?>"));
    return declarationData(text.mid(5, end < 0 ? -1 : end - 5));
}

} // namespace xmladjust
