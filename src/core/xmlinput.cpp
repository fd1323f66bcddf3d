#include "xmlinput.h"

#include "domreader.h"
#include "xmloutput.h"

#include <QDomDocument>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTextCodec>
#include <QTextDecoder>

#include <algorithm>
#include <cstring>

namespace {

// The declaration must lie within the first bytes.
constexpr int declarationBytes = 1024;

// The encoding the DOM's own reader would use for a file. UTF-16 and UTF-32 show
// themselves by a byte order mark or the shape of the first bytes; otherwise the
// XML declaration's encoding counts, even after a UTF-8 byte order mark.
QTextCodec *xmlFileCodec(const QByteArray &bytes)
{
    const UnicodeSignature signature = unicodeSignature(bytes);
    if (signature.mib != 0 && signature.mib != 106)
        return QTextCodec::codecForMib(signature.mib);
    const QString name =
        declaredEncoding(bytes.mid(signature.byteOrderMarkLength, declarationBytes));
    QTextCodec *declared = name.isEmpty() ? nullptr : QTextCodec::codecForName(name.toLatin1());
    return declared ? declared : QTextCodec::codecForMib(106);
}

// Line and column, from 1, of a position in text whose line ends are LF.
void placeError(XmlLoadResult &result, const QString &text, int position)
{
    const QStringRef before = text.leftRef(position);
    result.errorLine = int(before.count(QLatin1Char('\n'))) + 1;
    result.errorColumn = position - int(before.lastIndexOf(QLatin1Char('\n')));
}

} // namespace

UnicodeSignature unicodeSignature(const QByteArray &head)
{
    struct Signature
    {
        const char *bytes;
        int size;
        UnicodeSignature signature;
    };
    // Longer marks first: FF FE begins both UTF-32LE's mark and UTF-16LE's.
    static const Signature signatures[] = {
        {"\xef\xbb\xbf", 3, {106, 3}},
        {"\xff\xfe\x00\x00", 4, {1019, 4}},
        {"\x00\x00\xfe\xff", 4, {1018, 4}},
        {"\xff\xfe", 2, {1014, 2}},
        {"\xfe\xff", 2, {1013, 2}},
        {"<\x00\x00\x00", 4, {1019, 0}},
        {"\x00\x00\x00<", 4, {1018, 0}},
        {"<\x00", 2, {1014, 0}},
        {"\x00<", 2, {1013, 0}},
    };
    for (const Signature &known : signatures) {
        if (head.startsWith(QByteArray::fromRawData(known.bytes, known.size)))
            return known.signature;
    }
    return {};
}

QString declaredEncoding(const QByteArray &head)
{
    // Only a real declaration counts: an instruction such as <?xmlr encoding="…"?>
    // is none, and the serialiser would not honour it when writing the file back.
    if (!head.startsWith("<?xml") || head.size() < 6 || !QChar::isSpace(uchar(head[5])))
        return {};
    const int end = head.indexOf("?>");
    if (end < 0)
        return {};
    return encodingInDeclaration(QString::fromLatin1(head.left(end)));
}

QString decodeUtf32(const char *bytes, qint64 size, bool bigEndian, bool *valid)
{
    QString text;
    text.reserve(int(size / 4));
    *valid = size % 4 == 0;
    for (const auto *unit = reinterpret_cast<const uchar *>(bytes); *valid && size >= 4;
         unit += 4, size -= 4) {
        const char32_t c =
            bigEndian ? char32_t(unit[0]) << 24 | char32_t(unit[1]) << 16 | unit[2] << 8 | unit[3]
                      : char32_t(unit[3]) << 24 | char32_t(unit[2]) << 16 | unit[1] << 8 | unit[0];
        *valid = c <= 0x10ffff && (c < 0xd800 || c > 0xdfff);
        if (QChar::requiresSurrogates(c)) {
            text += QChar(QChar::highSurrogate(c));
            text += QChar(QChar::lowSurrogate(c));
        } else {
            text += QChar(ushort(c));
        }
    }
    return text;
}

int firstLoneSurrogate(const QString &text)
{
    const QChar *const begin = text.constData();
    const QChar *const end = begin + text.size();
    for (const QChar *c = begin; c != end; ++c) {
        if (!c->isSurrogate())
            continue;
        if (c->isHighSurrogate() && c + 1 != end && (c + 1)->isLowSurrogate())
            ++c;
        else
            return int(c - begin);
    }
    return -1;
}

QString decodeXmlBytes(const QByteArray &bytes)
{
    QTextDecoder decoder(xmlFileCodec(bytes));
    return decoder.toUnicode(bytes);
}

QString encodingInDeclaration(const QString &declaration)
{
    static const QRegularExpression encoding(
        QStringLiteral("(?:^|\\s)encoding\\s*=\\s*(?:\"([^\"]*)\"|'([^']*)')"));
    const QRegularExpressionMatch match = encoding.match(declaration);
    return match.captured(1) + match.captured(2);
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

// Whether some start tag holds more attributes than the parser should be given: an
// attribute is counted by its '=' outside quotes. Bytes of any encoding in which
// markup is ASCII; markup inside literals of the document type declaration (an
// entity's text) is counted as well. Comments, CDATA sections and processing
// instructions are skipped whole.
class AttributeCounter
{
public:
    explicit AttributeCounter(const QByteArray &bytes)
        : m_pos(bytes.constData()), m_end(bytes.constData() + bytes.size())
    {}

    bool exceeds(qint64 limit)
    {
        while (
            (m_pos = static_cast<const char *>(std::memchr(m_pos, '<', size_t(m_end - m_pos))))) {
            ++m_pos;
            if (startsWith("!--"))
                skipPast("-->");
            else if (startsWith("![CDATA["))
                skipPast("]]>");
            else if (startsWith("?"))
                skipPast("?>");
            else if (startsWith("!"))
                m_pos = declarationEnd(limit);
            else if (startsWith("/"))
                skipPast(">");
            else if (tagExceeds(limit))
                return true;
            if (m_exceeded)
                return true;
        }
        return false;
    }

private:
    bool startsWith(const char *literal) const
    {
        const size_t length = std::strlen(literal);
        return size_t(m_end - m_pos) >= length && std::memcmp(m_pos, literal, length) == 0;
    }

    void skipPast(const char *terminator)
    {
        const QByteArray needle = QByteArray::fromRawData(terminator, int(std::strlen(terminator)));
        const char *found = std::search(m_pos, m_end, needle.begin(), needle.end());
        m_pos = found == m_end ? m_end : found + needle.size();
    }

    bool tagExceeds(qint64 limit)
    {
        qint64 attributes = 0;
        char quote = 0;
        for (; m_pos != m_end; ++m_pos) {
            const char c = *m_pos;
            if (quote) {
                if (c == quote)
                    quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '=') {
                if (++attributes > limit)
                    return true;
            } else if (c == '>' || c == '<') {
                break;
            }
        }
        return false;
    }

    // After "<!": the end of the declaration, with the literals of an internal
    // subset looked into for tags.
    const char *declarationEnd(qint64 limit)
    {
        static const char commentEnd[] = "-->";
        int brackets = 0;
        for (const char *p = m_pos; p != m_end; ++p) {
            if (*p == '"' || *p == '\'') {
                const char *close =
                    static_cast<const char *>(std::memchr(p + 1, *p, size_t(m_end - p - 1)));
                const char *literalEnd = close ? close : m_end;
                AttributeCounter literal(QByteArray::fromRawData(p + 1, int(literalEnd - p - 1)));
                m_exceeded = m_exceeded || literal.exceeds(limit);
                p = close ? close : m_end - 1;
            } else if (*p == '[') {
                ++brackets;
            } else if (*p == ']') {
                --brackets;
            } else if (*p == '>' && brackets <= 0) {
                return p + 1;
            } else if (brackets > 0 && p + 4 <= m_end && std::memcmp(p, "<!--", 4) == 0) {
                const char *close = std::search(p, m_end, commentEnd, commentEnd + 3);
                p = close == m_end ? m_end - 1 : close + 2;
            }
        }
        return m_end;
    }

    const char *m_pos;
    const char *const m_end;
    bool m_exceeded = false;
};

XmlLoadResult attributesRefused()
{
    XmlLoadResult result;
    result.status = XmlLoadResult::TooLarge;
    result.errorMessage =
        QStringLiteral("a tag with more than %1 attributes").arg(maximumAttributesPerTag);
    return result;
}

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
    const QByteArray head = bytes.left(1024);
    QString text = utf8Text ? QString::fromUtf8(head) : decodeXmlBytes(head);
    if (text.startsWith(QChar(QChar::ByteOrderMark)))
        text.remove(0, 1);
    if (!text.startsWith(QLatin1String("<?xml")) || text.size() < 6 || !text[5].isSpace())
        return QString();
    const int end = text.indexOf(QLatin1String("?>"));
    return declarationData(text.mid(5, end < 0 ? -1 : end - 5));
}

XmlLoadResult loadXmlText(QDomDocument &document, const QString &text)
{
    document.clear();
    // Converted to UTF-8 such halves would become U+FFFD unseen.
    if (const int at = firstLoneSurrogate(text); at >= 0) {
        XmlLoadResult result;
        result.status = XmlLoadResult::NotWellFormed;
        result.errorMessage = QStringLiteral("half of a surrogate pair, which XML does not allow");
        const QString before = normalizeXmlText(text.left(at));
        placeError(result, before, before.size());
        return result;
    }
    QString source = text;
    if (source.startsWith(QChar(QChar::ByteOrderMark)))
        source.remove(0, 1);
    const QByteArray utf8 = source.toUtf8();
    if (AttributeCounter(utf8).exceeds(maximumAttributesPerTag))
        return attributesRefused();
    return readDom(document, utf8, XmlBytes::Utf8Text);
}

XmlLoadResult loadXmlBytes(QDomDocument &document, const QByteArray &bytes)
{
    document.clear();
    const int mib = unicodeSignature(bytes).mib;
    // libxml2 reads UTF-32 by neither its byte order mark nor its first bytes; such
    // a file is decoded here.
    if (mib >= 1018 && mib <= 1019) {
        const int mark = unicodeSignature(bytes).byteOrderMarkLength;
        bool valid = false;
        const QString text =
            decodeUtf32(bytes.constData() + mark, bytes.size() - mark, mib == 1018, &valid);
        if (!valid) {
            XmlLoadResult result;
            result.status = XmlLoadResult::NotWellFormed;
            result.errorMessage = QStringLiteral("bytes that are not valid UTF-32");
            return result;
        }
        const QByteArray utf8 = text.toUtf8();
        if (AttributeCounter(utf8).exceeds(maximumAttributesPerTag))
            return attributesRefused();
        return readDom(document, utf8, XmlBytes::Utf8Text);
    }
    // Markup is ASCII in every other encoding but UTF-16, which is counted decoded.
    const bool wide = mib != 0 && mib != 106;
    if (AttributeCounter(wide ? decodeXmlBytes(bytes).toUtf8() : bytes)
            .exceeds(maximumAttributesPerTag))
        return attributesRefused();
    XmlLoadResult result = readDom(document, bytes, XmlBytes::EncodedFile);
    if (!result.isLoaded())
        return result;
    // What the file is written in when it is saved.
    const QString encoding = declaredEncodingName(document);
    if (!encoding.isEmpty() && !QTextCodec::codecForName(encoding.toLatin1())) {
        document.clear();
        result.status = XmlLoadResult::UnsupportedEncoding;
        result.errorMessage =
            QStringLiteral("the encoding \"%1\" is one this program cannot write").arg(encoding);
    } else if (const uint character = firstUnwritableCharacter(document)) {
        document.clear();
        result.status = XmlLoadResult::UnsupportedEncoding;
        result.errorMessage =
            QStringLiteral("U+%1 stands where no character reference can, and the encoding "
                           "\"%2\" cannot write it back as itself")
                .arg(QString::number(character, 16).toUpper().rightJustified(4, QLatin1Char('0')))
                .arg(encoding);
    }
    return result;
}

XmlLoadResult loadXmlFile(QDomDocument &document, const QString &path)
{
    XmlLoadResult result;
    result.status = XmlLoadResult::CannotRead;
    const QFileInfo info(path);
    // Devices and pipes could block or never end; only regular files are read.
    if (info.exists() && !info.isFile()) {
        result.errorMessage =
            info.isDir() ? QStringLiteral("is a directory") : QStringLiteral("not a regular file");
        return result;
    }
    if (info.size() > maximumXmlFileSize) {
        result.errorMessage = QStringLiteral("larger than %1 MiB").arg(maximumXmlFileSize >> 20);
        return result;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        result.errorMessage = file.errorString();
        return result;
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        result.errorMessage = file.errorString();
        return result;
    }
    file.close();
    return loadXmlBytes(document, bytes);
}
