// SPDX-License-Identifier: MIT
#include "dom/xmloutput.h"

#include "dom/domtraversal.h"
#include "read/encoding.h"

#include <QDomDocument>
#include <QHash>
#include <QTextCodec>
#include <QTextStream>

#include <libxml/encoding.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>

#include <optional>
#include <utility>
#include <vector>

namespace xmladjust {

namespace {

#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
// Qt 5's serialiser asks the stream's codec whether it can write each character of
// every text and value, one at a time, which costs the codec a conversion into a new
// byte array each time: two thirds of the time taken to write a large document. This
// codec gives the declared codec's answer to each character once and then from a
// table. Under a name of its own, so that no lookup by name finds it.
class RememberingCodec : public QTextCodec
{
public:
    explicit RememberingCodec(QTextCodec *codec) : m_codec(codec), m_known(0x10000, Unknown) {}

    QByteArray name() const override { return "xmladjust-" + m_codec->name(); }
    int mibEnum() const override { return -1; }

protected:
    QString convertToUnicode(const char *in, int length, ConverterState *state) const override
    {
        return m_codec->toUnicode(in, length, state);
    }

    QByteArray convertFromUnicode(const QChar *in, int length, ConverterState *state) const override
    {
        // How canEncode(QChar) asks: one character, a fresh state, invalid ones to NUL.
        if (length != 1 || !state || state->flags != ConvertInvalidToNull ||
            state->invalidChars != 0 || state->remainingChars != 0)
            return m_codec->fromUnicode(in, length, state);
        Answer &known = m_known[in->unicode()];
        if (known == Unknown)
            known = m_codec->canEncode(*in) ? Encodable : NotEncodable;
        state->invalidChars = known == NotEncodable ? 1 : 0;
        return QByteArray();
    }

private:
    enum Answer : quint8
    {
        Unknown,
        Encodable,
        NotEncodable
    };
    QTextCodec *const m_codec;
    mutable std::vector<Answer> m_known;
};

// What document.save(stream, 0, QDomNode::EncodingFromDocument) writes, with the
// declared codec's answers remembered: the declaration, the document type, and every
// other node at the top level in order.
QString savedWithoutIndent(const QDomDocument &document)
{
    RememberingCodec codec(declaredCodec(document));
    QString text;
    {
        QTextStream stream(&text);
        stream.setCodec(&codec);
        bool typeWritten = false;
        for (QDomNode node = document.firstChild(); !node.isNull(); node = node.nextSibling()) {
            if (!typeWritten &&
                !(node.isProcessingInstruction() && node.nodeName() == QLatin1String("xml"))) {
                document.doctype().save(stream, 0);
                typeWritten = true;
            }
            node.save(stream, 0);
        }
    }
    return text;
}
#endif

QString domSerialization(const QDomDocument &document, int indent)
{
    QString text;
    QTextStream stream(&text);
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    // Qt 6's serialiser looks the declared encoding up among its own few and warns on
    // any other (windows-1251, Shift_JIS), although a string stream encodes nothing:
    // such a declaration is written with a placeholder and put back afterwards.
    QDomProcessingInstruction declaration = document.firstChild().toProcessingInstruction();
    const QString name = declaredEncodingName(document);
    const bool unknownToQt =
        !name.isEmpty() && !QStringConverter::encodingForName(name.toUtf8().constData());
    const QString original = declaration.data();
    if (unknownToQt)
        declaration.setData(QStringLiteral("version='1.0'"));
    document.save(stream, indent, QDomNode::EncodingFromDocument);
    stream.flush();
    if (unknownToQt) {
        declaration.setData(original);
        const QString placeholder = QStringLiteral("<?xml version='1.0'?>");
        Q_ASSERT(text.startsWith(placeholder));
        text.replace(0, placeholder.size(), "<?xml " + original + "?>");
    }
#else
    if (indent == 0)
        return savedWithoutIndent(document);
    document.save(stream, indent, QDomNode::EncodingFromDocument);
    stream.flush();
#endif
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
        // The serialiser writes a character beyond the BMP as two halves in every
        // encoding but Unicode's own (GB18030 holds it, yet gets "?&#xde00;").
        if (value[i].unicode() >= 0x80 && (pair || !encoding.holds(character))) {
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

// The first character of the text the encoding cannot hold, or 0.
uint firstUnheld(const QString &text, EncodingRoundTrip &encoding)
{
    for (int i = 0; i < text.size(); ++i) {
        const bool pair =
            text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate();
        if (text[i].unicode() >= 0x80 && !encoding.holds(QStringView(text).mid(i, pair ? 2 : 1)))
            return pair ? QChar::surrogateToUcs4(text[i], text[i + 1]) : text[i].unicode();
        i += pair;
    }
    return 0;
}

// A text no node of the document holds, made of `stem` and a number.
QString uniqueMarker(const QString &serialized, const QString &stem)
{
    // The stem's first letter occurs once in it, so a marker is only found where one was put.
    QString marker;
    for (int n = 0; marker.isEmpty() || serialized.contains(marker); ++n)
        marker = stem + QString::number(n) + QLatin1Char('Z');
    return marker;
}

bool isPreserving(const QDomElement &element, bool inherited)
{
    const QString space = element.attribute(QStringLiteral("xml:space"));
    return space == QLatin1String("preserve") || (inherited && space != QLatin1String("default"));
}

// The serialiser adds white space of its own that a reader takes as content: a line
// break after every processing instruction, also where text follows, and line breaks
// and indentation around elements, comments and instructions, also under
// xml:space="preserve". It adds none next to a text node, so an empty one is put
// beside each such node under xml:space="preserve", and the text after an
// instruction starts with a marker that takes the line break away afterwards.
//
// It also writes a character beyond the BMP that the encoding cannot hold as two
// references to its surrogate halves, which no XML reader accepts, and a character
// its codec claims but writes wrongly as it comes. Such characters in text and
// attribute values are swapped for a marker that becomes a correct reference
// afterwards.
//
// The document is changed for the serialisation and restored.
class SerializationGuard
{
public:
    SerializationGuard(const QDomDocument &document, QTextCodec *codec, const QString &plain)
        : m_afterInstruction(uniqueMarker(plain, QStringLiteral("PiText"))),
          m_reference(uniqueMarker(plain, QStringLiteral("AstralRef")))
    {
        std::optional<EncodingRoundTrip> encoding;
        if (!isUnicodeEncoding(codec))
            encoding.emplace(codec);
        std::vector<QDomElement> preserving;
        std::vector<QDomNode> instructions;
        std::vector<bool> preserveAt(1, false); // by depth; the document is level 0
        int depth = 0;
        const QDomNode root = document;
        for (QDomNode node = root; !node.isNull(); node = nextInDocumentOrder(node, root, &depth)) {
            if (node.isElement()) {
                preserveAt.resize(size_t(depth) + 1);
                preserveAt[size_t(depth)] =
                    isPreserving(node.toElement(), preserveAt[size_t(depth) - 1]);
                if (preserveAt[size_t(depth)])
                    preserving.push_back(node.toElement());
                if (encoding)
                    markAttributes(node.toElement(), *encoding);
            } else if (node.isProcessingInstruction() && depth > 1) {
                instructions.push_back(node);
            } else if (node.nodeType() == QDomNode::TextNode && encoding) {
                QDomText text = node.toText();
                const QString marked = markUnencodable(text.data(), *encoding, m_reference);
                if (!marked.isNull())
                    setText(text, marked);
            }
        }
        for (QDomElement &element : preserving)
            surroundWithText(element);
        for (const QDomNode &instruction : instructions) {
            QDomNode next = instruction.nextSibling();
            if (next.nodeType() == QDomNode::TextNode) {
                QDomText text = next.toText();
                setText(text, m_afterInstruction + text.data());
            }
        }
    }

    ~SerializationGuard()
    {
        for (auto it = m_originals.rbegin(); it != m_originals.rend(); ++it) {
            if (it->first.isAttr())
                it->first.toAttr().setValue(it->second);
            else
                it->first.toText().setData(it->second);
        }
        for (QDomNode &added : m_added)
            added.parentNode().removeChild(added);
    }
    SerializationGuard(const SerializationGuard &) = delete;
    SerializationGuard &operator=(const SerializationGuard &) = delete;

    bool changesAnything() const { return !m_originals.empty() || !m_added.empty(); }

    QString finish(QString serialized) const
    {
        serialized.replace(QStringLiteral("?>\n") + m_afterInstruction, QStringLiteral("?>"));
        serialized.remove(m_afterInstruction);
        return serialized.replace(m_reference, QStringLiteral("&#x"));
    }

private:
    void setText(QDomText &text, const QString &value)
    {
        m_originals.emplace_back(text, text.data());
        text.setData(value);
    }

    void markAttributes(const QDomElement &element, EncodingRoundTrip &encoding)
    {
        const QDomNamedNodeMap attributes = element.attributes();
        for (int i = 0; i < attributes.count(); ++i) {
            QDomAttr attribute = attributes.item(i).toAttr();
            const QString marked = markUnencodable(attribute.value(), encoding, m_reference);
            if (!marked.isNull()) {
                m_originals.emplace_back(attribute, attribute.value());
                attribute.setValue(marked);
            }
        }
    }

    // Every child that is not text gets text on both sides, the first and last included.
    void surroundWithText(QDomElement &element)
    {
        bool textBefore = false;
        for (QDomNode child = element.firstChild(); !child.isNull(); child = child.nextSibling()) {
            const bool isText = child.isText();
            if (!isText && !textBefore)
                m_added.push_back(
                    element.insertBefore(element.ownerDocument().createTextNode(QString()), child));
            textBefore = isText;
        }
        if (!element.lastChild().isNull() && !element.lastChild().isText())
            m_added.push_back(
                element.appendChild(element.ownerDocument().createTextNode(QString())));
    }

    const QString m_afterInstruction;
    const QString m_reference;
    std::vector<std::pair<QDomNode, QString>> m_originals;
    std::vector<QDomNode> m_added;
};

} // namespace

QString declaredEncodingName(const QDomDocument &document)
{
    const QDomNode first = document.firstChild();
    if (first.isProcessingInstruction() && first.nodeName() == QLatin1String("xml"))
        return encodingInDeclaration(first.toProcessingInstruction().data());
    return QString();
}

QTextCodec *declaredCodec(const QDomDocument &document)
{
    const QString name = declaredEncodingName(document);
    QTextCodec *codec = name.isEmpty() ? nullptr : codecForName(name.toLatin1());
    return codec ? codec : codecForName("UTF-8");
}

uint firstUnwritableCharacter(const QDomDocument &document)
{
    QTextCodec *codec = declaredCodec(document);
    if (holdsEveryCharacter(codec))
        return 0;
    EncodingRoundTrip encoding(codec);
    uint found = firstUnheld(document.doctype().name(), encoding);
    const QDomNode root = document;
    for (QDomNode node = root; !node.isNull() && found == 0;
         node = nextInDocumentOrder(node, root)) {
        if (node.isElement()) {
            found = firstUnheld(node.nodeName(), encoding);
            const QDomNamedNodeMap attributes = node.attributes();
            for (int i = 0; i < attributes.count() && found == 0; ++i)
                found = firstUnheld(attributes.item(i).nodeName(), encoding);
        } else if (node.isProcessingInstruction() || node.isComment() || node.isCDATASection() ||
                   node.isEntityReference()) {
            found = firstUnheld(node.nodeName() + node.nodeValue(), encoding);
        }
    }
    return found;
}

namespace {

// Whether the serialisation already is what the guard would make of it, seen without
// walking the document: the encoding holds every character, no element has an
// xml:space attribute, and every "<?" is one of the instructions at the top level
// (text and values write '<' as a reference; one inside a comment or CDATA section
// only sends the document to the walk).
bool needsNoGuard(const QDomDocument &document, const QTextCodec *codec, const QString &plain)
{
    if (!isUnicodeEncoding(codec) || plain.contains(QLatin1String("xml:space")))
        return false;
    int topLevelInstructions = 0;
    for (QDomNode node = document.firstChild(); !node.isNull(); node = node.nextSibling())
        topLevelInstructions += node.isProcessingInstruction() ? 1 : 0;
    // A loop the compiler can vectorise: QString::count takes seven times as long.
    const ushort *const text = plain.utf16();
    int instructionStarts = 0;
    for (int i = 0; i + 1 < plain.size(); ++i)
        instructionStarts += int(text[i] == u'<') & int(text[i + 1] == u'?');
    return instructionStarts == topLevelInstructions;
}

} // namespace

QString serializeXml(const QDomDocument &document, int indent)
{
    const QString plain = domSerialization(document, indent);
    QTextCodec *const codec = declaredCodec(document);
    if (needsNoGuard(document, codec, plain))
        return plain;
    SerializationGuard guard(document, codec, plain);
    if (!guard.changesAnything())
        return plain;
    return guard.finish(domSerialization(document, indent));
}

QByteArray encodeXmlFile(const QDomDocument &document)
{
    QString text = serializeXml(document, 0);
#ifdef Q_OS_WIN
    text.replace(QLatin1Char('\n'), QLatin1String("\r\n"));
#endif
    return encodeDocument(text, declaredCodec(document));
}

} // namespace xmladjust
