#include "xmloutput.h"

#include "domtraversal.h"
#include "xmlinput.h"

#include <QDomDocument>
#include <QHash>
#include <QTextCodec>
#include <QTextStream>
#include <QVector>

#include <libxml/encoding.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>

#include <utility>
#include <vector>

namespace {

bool isUnicodeCodec(const QTextCodec *codec)
{
    switch (codec->mibEnum()) {
    case 106:  // UTF-8
    case 114:  // GB18030
    case 1013: // UTF-16BE
    case 1014: // UTF-16LE
    case 1015: // UTF-16
    case 1017: // UTF-32
    case 1018: // UTF-32BE
    case 1019: // UTF-32LE
        return true;
    default:
        return false;
    }
}

// XML requires a byte order mark on UTF-16; the toolkit's text stream omits it.
bool needsByteOrderMark(const QTextCodec *codec)
{
    return codec->mibEnum() == 1015 || codec->mibEnum() == 1017;
}

QString domSerialization(const QDomDocument &document, int indent)
{
    QString text;
    QTextStream stream(&text);
    document.save(stream, indent, QDomNode::EncodingFromDocument);
    stream.flush();
    return text;
}

// Whether a character written with the codec reads back as itself in an XML reader
// (libxml2) that takes the file's encoding by the same name. The codecs do not
// always agree: Qt's TIS-620 writes U+2013 as the byte 0x96, which TIS-620 lacks.
class EncodingRoundTrip
{
public:
    explicit EncodingRoundTrip(QTextCodec *codec)
        : m_codec(codec), m_reader(xmlFindCharEncodingHandler(codec->name().constData()))
    {}
    ~EncodingRoundTrip()
    {
        if (m_reader)
            xmlCharEncCloseFunc(m_reader);
    }
    EncodingRoundTrip(const EncodingRoundTrip &) = delete;
    EncodingRoundTrip &operator=(const EncodingRoundTrip &) = delete;

    bool holds(QStringView character)
    {
        const uint codePoint = character.size() == 2
                                   ? QChar::surrogateToUcs4(character[0], character[1])
                                   : character[0].unicode();
        const auto known = m_known.constFind(codePoint);
        if (known != m_known.constEnd())
            return *known;
        const bool result = m_codec->canEncode(character) && readsBack(character);
        m_known.insert(codePoint, result);
        return result;
    }

private:
    bool readsBack(QStringView character) const
    {
        if (!m_reader)
            return true; // nothing to ask; the codec's word stands
        const QByteArray encoded = m_codec->fromUnicode(character.toString());
        xmlBufferPtr in = xmlBufferCreate();
        xmlBufferPtr out = xmlBufferCreate();
        xmlBufferAdd(in, reinterpret_cast<const xmlChar *>(encoded.constData()), encoded.size());
        // A byte the reader rejects is the answer here, not a message for the terminal.
        xmlStructuredErrorFunc previousHandler = xmlStructuredError;
        void *previousContext = xmlStructuredErrorContext;
        xmlSetStructuredErrorFunc(nullptr, [](void *, xmlErrorPtr) {});
        const bool decoded = xmlCharEncInFunc(m_reader, out, in) >= 0;
        xmlSetStructuredErrorFunc(previousContext, previousHandler);
        const QString read = QString::fromUtf8(
            reinterpret_cast<const char *>(xmlBufferContent(out)), xmlBufferLength(out));
        xmlBufferFree(in);
        xmlBufferFree(out);
        return decoded && read == character;
    }

    QTextCodec *const m_codec;
    xmlCharEncodingHandlerPtr m_reader;
    QHash<uint, bool> m_known;
};

// Characters the encoding cannot hold, written with the code point after `marker`
// and closed by ';'.
QString markUnencodable(const QString &value, EncodingRoundTrip &encoding, const QString &marker)
{
    QString marked;
    for (int i = 0; i < value.size(); ++i) {
        const bool pair =
            value[i].isHighSurrogate() && i + 1 < value.size() && value[i + 1].isLowSurrogate();
        const QStringView character = QStringView(value).mid(i, pair ? 2 : 1);
        if (value[i].unicode() >= 0x80 && !encoding.holds(character)) {
            if (marked.isNull())
                marked = value.left(i);
            const uint codePoint =
                pair ? QChar::surrogateToUcs4(value[i], value[i + 1]) : value[i].unicode();
            marked += marker + QString::number(codePoint, 16) + QLatin1Char(';');
        } else if (!marked.isNull()) {
            marked += character;
        }
        if (pair)
            ++i;
    }
    return marked; // null when nothing was marked
}

// The DOM writes a character beyond the BMP that the encoding cannot hold as two
// references to its surrogate halves, which no XML reader accepts, and a character
// its codec claims but writes wrongly as it comes. Such characters in text and
// attribute values are swapped for a unique marker for the serialisation, the
// marker becomes a correct reference afterwards, and the document is restored.
QString serializeWithReferences(const QDomDocument &document, int indent, QTextCodec *codec,
                                const QString &plain)
{
    // 'A' occurs once in the marker, so a marker can only be found where one was put.
    QString marker;
    for (int n = 0; marker.isEmpty() || plain.contains(marker); ++n)
        marker = QStringLiteral("AstralRef%1Z").arg(n);

    EncodingRoundTrip encoding(codec);
    std::vector<std::pair<QDomNode, QString>> originals;
    const QDomNode root = document;
    for (QDomNode node = root; !node.isNull(); node = nextInDocumentOrder(node, root)) {
        if (node.nodeType() == QDomNode::TextNode) {
            QDomText text = node.toText();
            const QString marked = markUnencodable(text.data(), encoding, marker);
            if (!marked.isNull()) {
                originals.emplace_back(text, text.data());
                text.setData(marked);
            }
        } else if (node.isElement()) {
            const QDomNamedNodeMap attributes = node.attributes();
            for (int i = 0; i < attributes.count(); ++i) {
                QDomAttr attribute = attributes.item(i).toAttr();
                const QString marked = markUnencodable(attribute.value(), encoding, marker);
                if (!marked.isNull()) {
                    originals.emplace_back(attribute, attribute.value());
                    attribute.setValue(marked);
                }
            }
        }
    }
    if (originals.empty())
        return plain;

    QString text = domSerialization(document, indent);
    for (auto &[node, value] : originals) {
        if (node.isAttr())
            node.toAttr().setValue(value);
        else
            node.toText().setData(value);
    }
    return text.replace(marker, QStringLiteral("&#x"));
}

} // namespace

QTextCodec *declaredCodec(const QDomDocument &document)
{
    const QDomNode first = document.firstChild();
    if (first.isProcessingInstruction() && first.nodeName() == QLatin1String("xml")) {
        const QString name = encodingInDeclaration(first.toProcessingInstruction().data());
        if (!name.isEmpty()) {
            if (QTextCodec *codec = QTextCodec::codecForName(name.toLatin1()))
                return codec;
        }
    }
    return QTextCodec::codecForName("UTF-8");
}

QString serializeXml(const QDomDocument &document, int indent)
{
    const QString plain = domSerialization(document, indent);
    QTextCodec *codec = declaredCodec(document);
    if (isUnicodeCodec(codec))
        return plain;
    return serializeWithReferences(document, indent, codec, plain);
}

namespace {

// UTF-32 written here: Qt's own encoder adds a stray unit after each character
// beyond the BMP, and the file could not be read again. "UTF-32" itself is written
// as Qt writes it, with a byte order mark, in this machine's byte order.
QByteArray encodeUtf32(const QString &text, int mib)
{
    const bool bigEndian = mib == 1018 || (mib == 1017 && Q_BYTE_ORDER == Q_BIG_ENDIAN);
    QVector<uint> codePoints = text.toUcs4();
    if (mib == 1017)
        codePoints.prepend(QChar::ByteOrderMark);
    QByteArray bytes;
    bytes.reserve(codePoints.size() * 4);
    for (const uint codePoint : qAsConst(codePoints)) {
        for (int i = 0; i < 4; ++i)
            bytes += char(codePoint >> (8 * (bigEndian ? 3 - i : i)));
    }
    return bytes;
}

} // namespace

QByteArray encodeXmlFile(const QDomDocument &document)
{
    QString text = serializeXml(document, 0);
#ifdef Q_OS_WIN
    text.replace(QLatin1Char('\n'), QLatin1String("\r\n"));
#endif
    QTextCodec *codec = declaredCodec(document);
    if (const int mib = codec->mibEnum(); mib >= 1017 && mib <= 1019)
        return encodeUtf32(text, mib);
    QTextCodec::ConverterState state(needsByteOrderMark(codec) ? QTextCodec::DefaultConversion
                                                               : QTextCodec::IgnoreHeader);
    return codec->fromUnicode(text.constData(), text.size(), &state);
}

FileReplaceResult saveXmlFile(const QString &path, const QDomDocument &document)
{
    return replaceFileContents(path, encodeXmlFile(document));
}
