#include "xmlinput.h"

#include "domtraversal.h"

#include <QDomDocument>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSet>
#include <QTextCodec>
#include <QTextDecoder>

#include <algorithm>
#include <vector>

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

struct DecodedXml
{
    QString text;
    QTextCodec *codec = nullptr;
    int invalidAt = -1; // where the first bytes not valid in the encoding were
};

bool isUnicodeMib(int mib)
{
    return mib == 106 || (mib >= 1013 && mib <= 1019);
}

// Where the first bytes not valid in the encoding became text, or -1. Qt's own
// Unicode decoders turn them into NUL (which XML never allows) and keep a character
// cut off at the end waiting; the other codecs write U+FFFD, which most of them
// could not have read from a valid byte.
int firstInvalidCharacter(const QString &text, const QTextDecoder &decoder, QTextCodec *codec)
{
    if (isUnicodeMib(codec->mibEnum())) {
        if (decoder.hasFailure())
            return int(text.indexOf(QChar(0)));
        return decoder.needsMoreData() ? int(text.size()) : -1;
    }
    const QChar replacement(QChar::ReplacementCharacter);
    const int at = int(text.indexOf(replacement));
    if (at < 0 || codec->toUnicode(codec->fromUnicode(QString(replacement))) == replacement)
        return -1;
    return at;
}

DecodedXml decodeXml(const QByteArray &bytes, QTextCodec::ConversionFlags flags)
{
    DecodedXml decoded;
    decoded.codec = xmlFileCodec(bytes);
    QTextDecoder decoder(decoded.codec, flags);
    decoded.text = decoder.toUnicode(bytes);
    if (flags & QTextCodec::ConvertInvalidToNull)
        decoded.invalidAt = firstInvalidCharacter(decoded.text, decoder, decoded.codec);
    return decoded;
}

// What is wrong with the XML declaration at the start of the text, if anything the
// DOM's parser lets through: it takes any text for the version and the encoding,
// and its serialiser writes them back between quotes of its own choosing, which a
// quote inside the value would end; the saved file could not be read again.
QString declarationFault(const QString &text)
{
    if (!text.startsWith(QLatin1String("<?xml")) || text.size() < 6 || !text[5].isSpace())
        return {};
    const int end = text.indexOf(QLatin1String("?>"));
    const QString declaration = text.mid(5, end < 0 ? -1 : end - 5);
    static const QRegularExpression pseudoAttribute(
        QStringLiteral("(?:^|\\s)(version|encoding)\\s*=\\s*(?:\"([^\"]*)\"|'([^']*)')"));
    static const QRegularExpression versionNumber(QStringLiteral("^1\\.[0-9]+$"));
    static const QRegularExpression encodingName(QStringLiteral("^[A-Za-z][A-Za-z0-9._-]*$"));
    QRegularExpressionMatchIterator matches = pseudoAttribute.globalMatch(declaration);
    while (matches.hasNext()) {
        const QRegularExpressionMatch match = matches.next();
        const QString value = match.captured(2) + match.captured(3);
        if (match.captured(1) == QLatin1String("version") && !versionNumber.match(value).hasMatch())
            return QStringLiteral("the XML declaration's version \"%1\" is not a version number")
                .arg(value);
        if (match.captured(1) == QLatin1String("encoding") && !encodingName.match(value).hasMatch())
            return QStringLiteral("the XML declaration's encoding \"%1\" is not an encoding name")
                .arg(value);
    }
    return {};
}

// The first NUL, or half of a surrogate pair without its other half, or -1. XML
// allows neither; the DOM's parser lets both through, and what it saves of them
// does not read back as it was.
int firstForbiddenCharacter(const QString &text)
{
    const int nul = int(text.indexOf(QChar(0)));
    const int surrogate = firstLoneSurrogate(text);
    return nul < 0 ? surrogate : surrogate < 0 ? nul : std::min(nul, surrogate);
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
    return decodeXml(bytes, QTextCodec::DefaultConversion).text;
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

int digitValue(QChar c, int base)
{
    const ushort u = c.unicode();
    if (u >= '0' && u <= '9')
        return u - '0';
    if (base == 16 && u >= 'a' && u <= 'f')
        return u - 'a' + 10;
    if (base == 16 && u >= 'A' && u <= 'F')
        return u - 'A' + 10;
    return -1;
}

// A character reference beyond the Basic Multilingual Plane, in content or in an
// attribute value. The DOM's parser keeps only the low 16 bits of such references
// (&#x1F600; would become U+F600), so they are spelled out before it sees them.
struct AstralReference
{
    int position;
    int length;
    uint codePoint;
};

// One linear pass over the markup, without recursion: finds the nesting depth and
// the character references the parser would get wrong. Comments, CDATA sections,
// processing instructions and the document type declaration are skipped whole.
class MarkupScanner
{
public:
    explicit MarkupScanner(const QString &text)
        : m_begin(text.constData()), m_pos(m_begin), m_end(m_begin + text.size())
    {}

    bool tooDeep = false;
    bool invalidReference = false; // a reference to a character XML does not allow
    bool internalSubset = false;   // entities there may expand to further levels
    // Where the first reference to an entity whose text is not in the document
    // (external, or declared nowhere here) stands, or -1.
    int unresolvedReference = -1;
    // Characters the entity references could expand to, at most.
    qint64 expansion = 0;
    std::vector<AstralReference> references;

    void scan(int depthLimit)
    {
        int depth = 0;
        while (skipContent()) {
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
            } else {
                // An empty-element tag is a level of its own, but closes at once.
                const bool empty = skipStartTag();
                if (depth + 1 > depthLimit) {
                    tooDeep = true;
                    return;
                }
                if (!empty)
                    ++depth;
            }
        }
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

    // Reads a reference at '&', leaving the position after it.
    void readReference()
    {
        const QChar *start = m_pos++;
        if (m_pos == m_end)
            return;
        if (*m_pos != QLatin1Char('#')) {
            readEntityReference();
            return;
        }
        ++m_pos;
        int base = 10;
        if (m_pos != m_end && *m_pos == QLatin1Char('x')) {
            base = 16;
            ++m_pos;
        }
        quint64 codePoint = 0;
        for (; m_pos != m_end; ++m_pos) {
            const int digit = digitValue(*m_pos, base);
            if (digit < 0)
                break;
            codePoint = std::min<quint64>(codePoint * base + digit, 0x7fffffff);
        }
        if (m_pos == m_end || *m_pos != QLatin1Char(';'))
            return;
        ++m_pos;
        // The parser takes references to characters XML forbids (&#0;, &#xFFFE;) and
        // the serialiser writes them raw, which would break the file.
        if (!isXmlCharacter(codePoint))
            invalidReference = true;
        else if (codePoint > 0xffff)
            references.push_back({int(start - m_begin), int(m_pos - start), uint(codePoint)});
    }

    // Whether the entity's text, and that of every entity it refers to, is in the
    // document. One declared through a parameter entity may not be seen here.
    bool isResolved(const QString &name)
    {
        if (isPredefinedEntity(name))
            return true;
        if (!m_entityLengths.contains(name))
            return m_parameterEntities;
        if (m_externalEntities.contains(name))
            return false;
        const auto known = m_resolved.constFind(name);
        if (known != m_resolved.constEnd())
            return *known;
        m_resolved.insert(name, true); // a cycle is the parser's to refuse
        bool resolved = true;
        for (const QString &inner : m_entityReferences.value(name))
            resolved = resolved && isResolved(inner);
        m_resolved.insert(name, resolved);
        return resolved;
    }

    static bool isPredefinedEntity(const QString &name)
    {
        return name == QLatin1String("lt") || name == QLatin1String("gt") ||
               name == QLatin1String("amp") || name == QLatin1String("apos") ||
               name == QLatin1String("quot");
    }

    static bool isXmlCharacter(quint64 c)
    {
        return c == 0x9 || c == 0xa || c == 0xd || (c >= 0x20 && c <= 0xd7ff) ||
               (c >= 0xe000 && c <= 0xfffd) || (c >= 0x10000 && c <= 0x10ffff);
    }

    // A reference to a general entity: the parser replaces it by the entity's text.
    void readEntityReference()
    {
        const QChar *name = m_pos;
        while (m_pos != m_end && isNameChar(*m_pos))
            ++m_pos;
        if (m_pos == m_end || *m_pos != QLatin1Char(';'))
            return;
        const QString entityName = QString::fromRawData(name, int(m_pos - name));
        const auto entity = m_entityLengths.constFind(entityName);
        ++m_pos;
        if (entity != m_entityLengths.constEnd())
            expansion += *entity;
        else if (m_parameterEntities)
            expansion += maximumEntityExpansion; // perhaps declared through one
        if (unresolvedReference < 0 && !isResolved(entityName))
            unresolvedReference = int(name - 1 - m_begin);
    }

    // Content up to the next '<'; false at the end of the text.
    bool skipContent()
    {
        while (m_pos != m_end && *m_pos != QLatin1Char('<')) {
            if (*m_pos == QLatin1Char('&'))
                readReference();
            else
                ++m_pos;
        }
        return m_pos != m_end;
    }

    void skipPast(const char *terminator)
    {
        while (m_pos != m_end && !startsWith(terminator))
            ++m_pos;
        if (m_pos != m_end)
            m_pos += int(qstrlen(terminator));
    }

    void skipQuoted(bool withReferences)
    {
        const QChar quote = *m_pos++;
        while (m_pos != m_end && *m_pos != quote) {
            if (withReferences && *m_pos == QLatin1Char('&'))
                readReference();
            else
                ++m_pos;
        }
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
                skipQuoted(true);
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
                skipQuoted(false);
            } else if (brackets > 0 && startsWith("<!--")) {
                skipPast("-->");
            } else if (brackets > 0 && startsWith("<!ENTITY")) {
                m_pos += 8;
                readEntityDeclaration();
            } else if (brackets > 0 && c == QLatin1Char('%')) {
                // A parameter entity may declare further general entities.
                m_parameterEntities = true;
                ++m_pos;
            } else if (brackets > 0 && startsWith("<?")) {
                skipPast("?>");
            } else {
                ++m_pos;
                if (c == QLatin1Char('[')) {
                    ++brackets;
                    internalSubset = true;
                } else if (c == QLatin1Char(']'))
                    --brackets;
                else if (c == QLatin1Char('>') && brackets <= 0)
                    return;
            }
        }
    }

    static bool isNameChar(QChar c)
    {
        return c.isLetterOrNumber() || c == QLatin1Char('_') || c == QLatin1Char(':') ||
               c == QLatin1Char('-') || c == QLatin1Char('.') ||
               c.category() == QChar::Mark_NonSpacing || c.isSurrogate();
    }

    void skipSpace()
    {
        while (m_pos != m_end && m_pos->isSpace())
            ++m_pos;
    }

    // After "<!ENTITY": notes how long a general entity's text can become. The
    // parser caps any one expansion; a value without references is its own length.
    // External entities are never loaded, so they expand to nothing.
    void readEntityDeclaration()
    {
        skipSpace();
        if (m_pos != m_end && *m_pos == QLatin1Char('%'))
            return; // a parameter entity; its declaration is skipped as a whole
        const QChar *name = m_pos;
        while (m_pos != m_end && isNameChar(*m_pos))
            ++m_pos;
        const QString entityName(name, int(m_pos - name));
        skipSpace();
        if (m_pos == m_end || (*m_pos != QLatin1Char('"') && *m_pos != QLatin1Char('\''))) {
            if (!m_entityLengths.contains(entityName)) {
                m_entityLengths.insert(entityName, 0);
                m_externalEntities.insert(entityName);
            }
            return;
        }
        const QChar quote = *m_pos;
        const QChar *value = m_pos + 1;
        const QChar *valueEnd = value;
        while (valueEnd != m_end && *valueEnd != quote)
            ++valueEnd;
        const QStringView text(value, valueEnd - value);
        const bool plain = !text.contains(QLatin1Char('&')) && !text.contains(QLatin1Char('%'));
        if (!plain && !m_entityLengths.contains(entityName))
            m_entityReferences.insert(entityName, entityReferencesIn(text));
        // The first declaration of a name is the one that counts.
        if (!m_entityLengths.contains(entityName))
            m_entityLengths.insert(entityName,
                                   plain ? qMin<qint64>(text.size(), maximumEntityExpansion)
                                         : maximumEntityExpansion);
    }

    // The general entities an entity's text refers to by name.
    static QStringList entityReferencesIn(QStringView text)
    {
        QStringList names;
        for (qsizetype at = text.indexOf(QLatin1Char('&')); at >= 0;
             at = text.indexOf(QLatin1Char('&'), at + 1)) {
            const qsizetype end = text.indexOf(QLatin1Char(';'), at);
            if (end > at + 1 && text[at + 1] != QLatin1Char('#'))
                names.append(text.mid(at + 1, end - at - 1).toString());
        }
        return names;
    }

    // The parser refuses any one entity that expands to more than this.
    static constexpr qint64 maximumEntityExpansion = 4096;

    const QChar *const m_begin;
    const QChar *m_pos;
    const QChar *const m_end;
    QHash<QString, qint64> m_entityLengths;
    QSet<QString> m_externalEntities;
    QHash<QString, QStringList> m_entityReferences;
    QHash<QString, bool> m_resolved;
    bool m_parameterEntities = false;
};

QString spellOutReferences(const QString &text, const std::vector<AstralReference> &references)
{
    QString result;
    result.reserve(text.size());
    int copied = 0;
    for (const AstralReference &reference : references) {
        result.append(text.constData() + copied, reference.position - copied);
        result.append(QChar::highSurrogate(reference.codePoint));
        result.append(QChar::lowSurrogate(reference.codePoint));
        copied = reference.position + reference.length;
    }
    result.append(text.constData() + copied, text.size() - copied);
    return result;
}

// Levels of elements below the document, counted without recursion.
int treeDepth(const QDomDocument &document)
{
    int deepest = 0;
    int depth = 0; // the document's own level
    for (QDomNode node = document; !node.isNull();
         node = nextInDocumentOrder(node, document, &depth)) {
        if (node.isElement())
            deepest = std::max(deepest, depth);
    }
    return deepest;
}

} // namespace

bool exceedsNestingDepth(const QString &text, int limit)
{
    MarkupScanner scanner(text);
    scanner.scan(limit);
    return scanner.tooDeep;
}

XmlLoadResult loadXmlText(QDomDocument &document, const QString &text)
{
    // The DOM keeps attributes in a hash; a fixed seed keeps their order, and so the
    // output, the same from run to run. Each hash takes the seed when it is made.
    qSetGlobalQHashSeed(0);

    XmlLoadResult result;
    QString prepared = normalizeXmlText(text);
    result.errorMessage = declarationFault(prepared);
    if (!result.errorMessage.isEmpty()) {
        result.errorLine = 1;
        result.errorColumn = 1;
        return result;
    }
    if (const int at = firstForbiddenCharacter(prepared); at >= 0) {
        result.errorMessage =
            prepared[at].isNull()
                ? QStringLiteral("a NUL character, which XML does not allow")
                : QStringLiteral("half of a surrogate pair, which XML does not allow");
        placeError(result, prepared, at);
        return result;
    }
    MarkupScanner scanner(prepared);
    scanner.scan(maximumNestingDepth);
    if (scanner.tooDeep) {
        result.status = XmlLoadResult::TooDeep;
        result.errorMessage =
            QStringLiteral("elements are nested deeper than %1 levels").arg(maximumNestingDepth);
        return result;
    }
    if (scanner.expansion > maximumEntityExpansionTotal) {
        result.status = XmlLoadResult::TooLarge;
        result.errorMessage = QStringLiteral("entity references would expand to more than %1 "
                                             "million characters")
                                  .arg(maximumEntityExpansionTotal / 1000000);
        return result;
    }
    if (scanner.invalidReference) {
        result.errorMessage = QStringLiteral("reference to a character XML does not allow");
        return result;
    }
    // The parser puts such a reference before the text that precedes it, and the
    // saved file would have them the other way round.
    if (scanner.unresolvedReference >= 0) {
        result.errorMessage = QStringLiteral("a reference to an entity whose text is not in the "
                                             "document; external entities are never read");
        placeError(result, prepared, scanner.unresolvedReference);
        return result;
    }
    if (!scanner.references.empty())
        prepared = spellOutReferences(prepared, scanner.references);
    if (!document.setContent(prepared, false, &result.errorMessage, &result.errorLine,
                             &result.errorColumn)) {
        result.status = XmlLoadResult::NotWellFormed;
        return result;
    }
    if (scanner.internalSubset && treeDepth(document) > maximumNestingDepth) {
        document.clear();
        result.status = XmlLoadResult::TooDeep;
        result.errorMessage =
            QStringLiteral("entities expand to more than %1 levels").arg(maximumNestingDepth);
        return result;
    }
    result.status = XmlLoadResult::Loaded;
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

XmlLoadResult loadXmlBytes(QDomDocument &document, const QByteArray &bytes)
{
    // Invalid bytes become NUL, which XML never allows, so they can be found.
    const DecodedXml decoded = decodeXml(bytes, QTextCodec::ConvertInvalidToNull);
    if (decoded.invalidAt < 0)
        return loadXmlText(document, decoded.text);
    // The parser would read them as U+FFFD, and saving would lose the original bytes.
    XmlLoadResult result;
    result.status = XmlLoadResult::NotWellFormed;
    result.errorMessage = QStringLiteral("bytes that are not valid %1")
                              .arg(QString::fromLatin1(decoded.codec->name()));
    placeError(result, decoded.text, decoded.invalidAt);
    return result;
}
