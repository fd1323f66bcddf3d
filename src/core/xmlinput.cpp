#include "xmlinput.h"

#include <QDomDocument>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QXmlInputSource>

QString decodeXmlBytes(const QByteArray &bytes)
{
    // The input source is the parser's own decoder; using it keeps the reading of
    // every encoding identical to what the DOM does with a file.
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    QXmlInputSource source;
    source.setData(bytes);
    QString text = source.data();
    QT_WARNING_POP
    return text;
}

QString normalizeXmlText(QString text)
{
    if (text.startsWith(QChar(QChar::ByteOrderMark)))
        text.remove(0, 1);
    const int crPosition = text.indexOf(QLatin1Char('\r'));
    if (crPosition < 0)
        return text;
    QChar *out = text.data() + crPosition;
    const QChar *in = out;
    const QChar *end = text.constData() + text.size();
    while (in != end) {
        if (*in == QLatin1Char('\r')) {
            *out++ = QLatin1Char('\n');
            ++in;
            if (in != end && *in == QLatin1Char('\n'))
                ++in;
        } else {
            *out++ = *in++;
        }
    }
    text.truncate(int(out - text.constData()));
    return text;
}

namespace {

class DepthScanner
{
public:
    DepthScanner(const QString &text) : m_pos(text.constData()), m_end(m_pos + text.size()) {}

    bool exceeds(int limit)
    {
        int depth = 0;
        while (skipTo(QLatin1Char('<'))) {
            ++m_pos;
            if (startsWith("!--")) {
                skipPast("-->");
            } else if (startsWith("![CDATA[")) {
                skipPast("]]>");
            } else if (startsWith("?")) {
                skipPast("?>");
            } else if (startsWith("!")) {
                skipDeclaration();
            } else if (startsWith("/")) {
                --depth;
                skipPast(">");
            } else if (!skipStartTag()) {
                ++depth;
                if (depth > limit)
                    return true;
            }
        }
        return false;
    }

private:
    bool startsWith(const char *literal) const
    {
        const QChar *p = m_pos;
        for (; *literal; ++literal, ++p) {
            if (p == m_end || *p != QLatin1Char(*literal))
                return false;
        }
        return true;
    }

    bool skipTo(QChar c)
    {
        while (m_pos != m_end && *m_pos != c)
            ++m_pos;
        return m_pos != m_end;
    }

    void skipPast(const char *terminator)
    {
        while (m_pos != m_end && !startsWith(terminator))
            ++m_pos;
        if (m_pos != m_end)
            m_pos += int(qstrlen(terminator));
    }

    void skipQuoted()
    {
        const QChar quote = *m_pos++;
        skipTo(quote);
        if (m_pos != m_end)
            ++m_pos;
    }

    // After "<": returns true for an empty-element tag, false for a start tag.
    bool skipStartTag()
    {
        QChar previous;
        while (m_pos != m_end) {
            const QChar c = *m_pos;
            if (c == QLatin1Char('"') || c == QLatin1Char('\'')) {
                skipQuoted();
                previous = c;
                continue;
            }
            ++m_pos;
            if (c == QLatin1Char('>'))
                return previous == QLatin1Char('/');
            previous = c;
        }
        return false;
    }

    // After "<!": a document type declaration with its internal subset, or any
    // other declaration. Literals and comments may hold '>' and brackets.
    void skipDeclaration()
    {
        int brackets = 0;
        while (m_pos != m_end) {
            const QChar c = *m_pos;
            if (c == QLatin1Char('"') || c == QLatin1Char('\'')) {
                skipQuoted();
            } else if (brackets > 0 && startsWith("<!--")) {
                skipPast("-->");
            } else if (brackets > 0 && startsWith("<?")) {
                skipPast("?>");
            } else {
                ++m_pos;
                if (c == QLatin1Char('['))
                    ++brackets;
                else if (c == QLatin1Char(']'))
                    --brackets;
                else if (c == QLatin1Char('>') && brackets <= 0)
                    return;
            }
        }
    }

    const QChar *m_pos;
    const QChar *const m_end;
};

} // namespace

bool exceedsNestingDepth(const QString &text, int limit)
{
    return DepthScanner(text).exceeds(limit);
}

XmlLoadResult loadXmlText(QDomDocument &document, const QString &text)
{
    // The DOM keeps attributes in a hash; a fixed seed keeps their order, and so the
    // output, the same from run to run. Each hash takes the seed when it is made.
    qSetGlobalQHashSeed(0);

    XmlLoadResult result;
    const QString prepared = normalizeXmlText(text);
    if (exceedsNestingDepth(prepared)) {
        result.status = XmlLoadResult::TooDeep;
        result.errorMessage =
            QStringLiteral("elements are nested deeper than %1 levels").arg(maximumNestingDepth);
        return result;
    }
    if (!document.setContent(prepared, false, &result.errorMessage, &result.errorLine,
                             &result.errorColumn)) {
        result.status = XmlLoadResult::NotWellFormed;
        return result;
    }
    result.status = XmlLoadResult::Loaded;
    return result;
}

XmlLoadResult loadXmlFile(QDomDocument &document, const QString &path)
{
    QFile file(path);
    if (QFileInfo(path).isDir() || !file.open(QIODevice::ReadOnly)) {
        XmlLoadResult result;
        result.status = XmlLoadResult::CannotRead;
        result.errorMessage = QFileInfo(path).isDir() ? QStringLiteral("is a directory")
                                                      : file.errorString();
        return result;
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        XmlLoadResult result;
        result.status = XmlLoadResult::CannotRead;
        result.errorMessage = file.errorString();
        return result;
    }
    file.close();
    return loadXmlText(document, decodeXmlBytes(bytes));
}
