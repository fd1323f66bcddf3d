#include "domreader.h"

#include <QDomDocument>
#include <QHash>
#include <QTextCodec>

#include <libxml/SAX2.h>
#include <libxml/encoding.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/tree.h>
#include <libxml/valid.h>
#include <libxml/xmlerror.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

// libxml2 expands entities inside entities at most this deep, even with XML_PARSE_HUGE.
constexpr int maximumEntityNesting = 1024;

// Nothing outside the document is ever read: not the external DTD subset (no
// callback asks for it), not an external entity (this loader refuses them all).
xmlParserInputPtr refuseExternalEntity(const char *, const char *, xmlParserCtxtPtr)
{
    return nullptr;
}

void initializeLibxml()
{
    static std::once_flag once;
    std::call_once(once, [] {
        xmlInitParser();
        xmlSetExternalEntityLoader(refuseExternalEntity);
    });
}

// QString::fromUtf8() drops a byte order mark at the start, which here is a
// character of the text (U+FEFF) that merely starts the piece the parser hands over.
QString fromUtf8(const xmlChar *text, int length)
{
    const char *bytes = reinterpret_cast<const char *>(text);
    QString decoded = QString::fromUtf8(bytes, length);
    if (length >= 3 && std::memcmp(bytes, "\xef\xbb\xbf", 3) == 0)
        decoded.prepend(QChar(QChar::ByteOrderMark));
    return decoded;
}

QString fromUtf8(const xmlChar *text)
{
    return text ? fromUtf8(text, xmlStrlen(text)) : QString();
}

// Bytes in the named encoding, decoded as the parser decodes them.
QString decodeWith(const char *encoding, const QByteArray &bytes)
{
    xmlCharEncodingHandlerPtr handler = xmlFindCharEncodingHandler(encoding);
    if (!handler)
        return QString();
    xmlBufferPtr in = xmlBufferCreate();
    xmlBufferPtr out = xmlBufferCreate();
    xmlBufferAdd(in, reinterpret_cast<const xmlChar *>(bytes.constData()), bytes.size());
    const bool decoded = xmlCharEncInFunc(handler, out, in) >= 0;
    const QString text =
        decoded ? fromUtf8(xmlBufferContent(out), xmlBufferLength(out)) : QString();
    xmlBufferFree(in);
    xmlBufferFree(out);
    xmlCharEncCloseFunc(handler);
    return text;
}

bool isXmlWhiteSpace(const QString &text)
{
    return std::all_of(text.cbegin(), text.cend(), [](QChar c) {
        return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\n') ||
               c == QLatin1Char('\r');
    });
}

// Single quotes unless the value holds one, as the DOM's serialiser quotes.
QString quoted(const QString &value)
{
    const QChar quote = value.contains(QLatin1Char('\'')) ? QLatin1Char('"') : QLatin1Char('\'');
    return quote + value + quote;
}

// Builds the DOM from the parser's events. The parser's contexts (one for the
// document, one more for each entity it expands) all carry this in _private.
class DomBuilder
{
public:
    DomBuilder(QDomDocument &document, const QByteArray &bytes, QString declaration)
        : m_document(document), m_bytes(bytes), m_declaration(std::move(declaration))
    {}

    xmlParserCtxtPtr mainContext = nullptr;

    static DomBuilder *of(void *context)
    {
        return static_cast<DomBuilder *>(static_cast<xmlParserCtxtPtr>(context)->_private);
    }

    bool refused() const { return m_refusal != XmlLoadResult::Loaded; }

    XmlLoadResult result() const
    {
        XmlLoadResult result;
        if (refused()) {
            result.status = m_refusal;
        } else if (!m_error.isEmpty() || !mainContext->wellFormed) {
            result.status = XmlLoadResult::NotWellFormed;
        } else {
            result.status = XmlLoadResult::Loaded;
            return result;
        }
        result.errorMessage = m_error.isEmpty() ? QStringLiteral("not well-formed") : m_error;
        result.errorLine = m_errorLine;
        result.errorColumn = m_errorColumn;
        return result;
    }

    // Gives the DOM what was read; a refused document is left empty.
    void finish()
    {
        if (refused()) {
            m_document.clear();
            return;
        }
        flushText();
        createDocument();
    }

    void refuse(xmlParserCtxtPtr context, XmlLoadResult::Status status, const QString &reason)
    {
        if (!refused()) {
            m_refusal = status;
            noteError(context, reason, 0, 0);
        }
        xmlStopParser(context);
        if (context != mainContext)
            xmlStopParser(mainContext);
    }

    void noteError(xmlParserCtxtPtr context, const QString &message, int line, int column)
    {
        if (!m_error.isEmpty())
            return;
        m_error = message.trimmed();
        // Inside an entity the parser counts from the start of its text; the place
        // in the document is where the reference stands.
        if (context != mainContext || line <= 0) {
            line = xmlSAX2GetLineNumber(mainContext);
            column = xmlSAX2GetColumnNumber(mainContext);
        }
        m_errorLine = line;
        m_errorColumn = column;
    }

    void documentType(const xmlChar *name, const xmlChar *publicId, const xmlChar *systemId)
    {
        m_hasDocumentType = true;
        m_typeName = fromUtf8(name);
        m_publicId = fromUtf8(publicId);
        m_systemId = fromUtf8(systemId);
    }

    // The internal subset starts at its '[' (where the parser stands when it reports
    // the document type) and ends with the declaration's '>' (where it stands once
    // the subset is read). Its text is kept as written: the parser's own record of
    // the declarations drops a default value it finds invalid, and a non-validating
    // reader must keep it.
    void internalSubsetStarts(xmlParserCtxtPtr context)
    {
        m_subsetStart = context == mainContext ? xmlByteConsumed(context) : -1;
    }

    void internalSubsetRead(xmlParserCtxtPtr context)
    {
        if (context != mainContext || m_subsetStart < 0)
            return;
        const long end = xmlByteConsumed(context);
        if (end <= m_subsetStart || end > m_bytes.size()) {
            subsetLost(context);
            return;
        }
        const QByteArray raw = m_bytes.mid(int(m_subsetStart), int(end - m_subsetStart));
        const xmlCharEncodingHandlerPtr encoder =
            context->input && context->input->buf ? context->input->buf->encoder : nullptr;
        QString text = encoder ? decodeWith(encoder->name, raw) : QString::fromUtf8(raw);
        if (!text.startsWith(QLatin1Char('>'))) {
            const int close = text.lastIndexOf(QLatin1Char(']'));
            if (!text.startsWith(QLatin1Char('[')) || close < 0) {
                subsetLost(context);
                return;
            }
            text = text.mid(1, close - 1);
        } else {
            return; // no internal subset
        }
        // Line ends as XML reads them, as in the rest of the document.
        text.replace(QLatin1String("\r\n"), QLatin1String("\n"))
            .replace(QLatin1Char('\r'), QLatin1Char('\n'));
        m_internalSubset = text;
        m_hasInternalSubset = true;
    }

    void subsetLost(xmlParserCtxtPtr context)
    {
        refuse(context, XmlLoadResult::UnsupportedEncoding,
               QStringLiteral("the internal DTD subset could not be read back to be kept"));
    }

    void startElement(xmlParserCtxtPtr context, const xmlChar *name, const xmlChar **attributes)
    {
        if (m_depth >= maximumNestingDepth) {
            refuse(context, XmlLoadResult::TooDeep,
                   QStringLiteral("elements are nested deeper than %1 levels")
                       .arg(maximumNestingDepth));
            return;
        }
        flushText();
        createDocument();
        QDomElement element = m_document.createElement(interned(name));
        bool preserve = m_preserveSpace.empty() ? false : m_preserveSpace.back();
        for (const xmlChar **attribute = attributes; attribute && *attribute; attribute += 2) {
            const QString value = fromUtf8(attribute[1]);
            if (xmlStrEqual(attribute[0], BAD_CAST "xml:space"))
                preserve = value == QLatin1String("preserve") ||
                           (preserve && value != QLatin1String("default"));
            element.setAttribute(interned(attribute[0]), value);
        }
        m_current.appendChild(element);
        m_current = element;
        m_preserveSpace.push_back(preserve);
        ++m_depth;
    }

    void endElement()
    {
        // An entity's text is parsed on its own; an end tag there without its start
        // tag is reported before the parser finds the fault.
        if (m_depth == 0)
            return;
        flushText();
        m_current = m_current.parentNode();
        m_preserveSpace.pop_back();
        --m_depth;
    }

    void characters(const xmlChar *text, int length)
    {
        if (m_depth > 0)
            m_text += fromUtf8(text, length);
    }

    void entityReference(const xmlChar *name)
    {
        if (m_current.isNull())
            return; // before the document element: not well-formed anyway
        flushText();
        m_current.appendChild(m_document.createEntityReference(fromUtf8(name)));
    }

    void cdata(const xmlChar *text, int length)
    {
        if (m_current.isNull())
            return;
        flushText();
        m_current.appendChild(m_document.createCDATASection(fromUtf8(text, length)));
    }

    void comment(const xmlChar *text)
    {
        flushText();
        if (m_current.isNull())
            m_prolog.push_back({QString(), fromUtf8(text)});
        else
            m_current.appendChild(m_document.createComment(fromUtf8(text)));
    }

    void processingInstruction(const xmlChar *target, const xmlChar *data)
    {
        flushText();
        const QString text = data ? fromUtf8(data) : QStringLiteral("");
        if (m_current.isNull())
            m_prolog.push_back({fromUtf8(target), text});
        else
            m_current.appendChild(m_document.createProcessingInstruction(fromUtf8(target), text));
    }

    // Counts what a reference in the document itself will add, before the parser
    // expands it, so that a few lines of nested entities cannot exhaust memory.
    bool admitExpansion(xmlParserCtxtPtr context, xmlEntityPtr entity)
    {
        m_expansion += expansionLength(entity);
        if (m_expansion <= maximumEntityExpansionTotal)
            return true;
        refuse(context, XmlLoadResult::TooLarge,
               QStringLiteral("entity references would expand to more than %1 million characters")
                   .arg(maximumEntityExpansionTotal / 1000000));
        return false;
    }

private:
    struct PrologNode
    {
        QString target; // empty for a comment
        QString data;
    };

    // Element and attribute names come from the parser's dictionary, one pointer per name.
    const QString &interned(const xmlChar *name)
    {
        auto known = m_names.constFind(name);
        if (known == m_names.constEnd())
            known = m_names.insert(name, fromUtf8(name));
        return *known;
    }

    // The DOM document is made when the document element starts, once the document
    // type is known; what came before it is added then.
    void createDocument()
    {
        if (!m_current.isNull())
            return;
        // The DOM keeps attributes in a hash; a fixed seed keeps their order, and so
        // the output, the same from run to run.
        qSetGlobalQHashSeed(0);
        if (m_hasDocumentType) {
            // The DOM can neither hold nor write an internal subset, but writes the
            // document type's name as it is: the name carries the rest of the declaration.
            QString name = m_typeName;
            if (m_hasInternalSubset) {
                if (!m_publicId.isNull())
                    name += QStringLiteral(" PUBLIC ") + quoted(m_publicId) + QLatin1Char(' ') +
                            quoted(m_systemId);
                else if (!m_systemId.isNull())
                    name += QStringLiteral(" SYSTEM ") + quoted(m_systemId);
                name += QStringLiteral(" [") + m_internalSubset + QLatin1Char(']');
            }
            const bool plain = !m_hasInternalSubset;
            m_document = QDomDocument(QDomImplementation().createDocumentType(
                name, plain ? m_publicId : QString(), plain ? m_systemId : QString()));
        } else {
            m_document = QDomDocument(QString()); // one without a name is not written
        }
        if (!m_declaration.isNull())
            m_document.appendChild(
                m_document.createProcessingInstruction(QStringLiteral("xml"), m_declaration));
        for (const PrologNode &node : m_prolog) {
            if (node.target.isEmpty())
                m_document.appendChild(m_document.createComment(node.data));
            else
                m_document.appendChild(
                    m_document.createProcessingInstruction(node.target, node.data));
        }
        m_prolog.clear();
        m_current = m_document;
    }

    // A run of character data becomes one text node; a run of nothing but white
    // space between elements is layout and is left out, except under xml:space="preserve".
    void flushText()
    {
        if (m_text.isEmpty())
            return;
        if (m_preserveSpace.back() || !isXmlWhiteSpace(m_text))
            m_current.appendChild(m_document.createTextNode(m_text));
        m_text.clear();
    }

    // Characters an entity's text comes to with every entity in it expanded. A
    // character reference counts as one; a cycle, and entities nested deeper than the
    // parser expands (it refuses both), as none.
    qint64 expansionLength(xmlEntityPtr entity, int nesting = 0)
    {
        if (!entity || entity->etype != XML_INTERNAL_GENERAL_ENTITY || !entity->content)
            return 1;
        if (nesting > maximumEntityNesting)
            return 0;
        const auto known = m_expansionLengths.constFind(entity);
        if (known != m_expansionLengths.constEnd())
            return *known;
        m_expansionLengths.insert(entity, 0);
        qint64 length = 0;
        for (const xmlChar *c = entity->content; *c && length <= maximumEntityExpansionTotal;) {
            if (*c == '&') {
                const xmlChar *end = xmlStrchr(c, ';');
                if (!end)
                    break;
                if (c[1] == '#') {
                    ++length;
                } else {
                    xmlChar *name = xmlStrndup(c + 1, int(end - c - 1));
                    length +=
                        expansionLength(xmlGetDocEntity(mainContext->myDoc, name), nesting + 1);
                    xmlFree(name);
                }
                c = end + 1;
            } else {
                if ((*c & 0xc0) != 0x80)
                    ++length;
                ++c;
            }
        }
        m_expansionLengths.insert(entity, length);
        return length;
    }

    QDomDocument &m_document;
    const QByteArray &m_bytes;
    const QString m_declaration;
    QDomNode m_current; // null until the document element starts
    std::vector<PrologNode> m_prolog;
    QString m_text;
    std::vector<bool> m_preserveSpace;
    int m_depth = 0;
    QHash<const xmlChar *, QString> m_names;

    bool m_hasDocumentType = false;
    QString m_typeName, m_publicId, m_systemId, m_internalSubset;
    bool m_hasInternalSubset = false;
    long m_subsetStart = -1;

    QHash<const xmlEntity *, qint64> m_expansionLengths;
    qint64 m_expansion = 0;

    XmlLoadResult::Status m_refusal = XmlLoadResult::Loaded;
    QString m_error;
    int m_errorLine = 0;
    int m_errorColumn = 0;
};

void onInternalSubset(void *context, const xmlChar *name, const xmlChar *publicId,
                      const xmlChar *systemId)
{
    xmlSAX2InternalSubset(context, name, publicId, systemId);
    DomBuilder::of(context)->documentType(name, publicId, systemId);
    DomBuilder::of(context)->internalSubsetStarts(static_cast<xmlParserCtxtPtr>(context));
}

// Called once the internal subset is read. The external subset is never loaded.
void onExternalSubset(void *context, const xmlChar *, const xmlChar *, const xmlChar *)
{
    DomBuilder::of(context)->internalSubsetRead(static_cast<xmlParserCtxtPtr>(context));
}

xmlEntityPtr onGetEntity(void *context, const xmlChar *name)
{
    auto *parser = static_cast<xmlParserCtxtPtr>(context);
    xmlEntityPtr entity = xmlSAX2GetEntity(context, name);
    if (!entity || parser->inSubset != 0)
        return entity;
    DomBuilder *builder = DomBuilder::of(context);
    if (entity->etype == XML_EXTERNAL_GENERAL_PARSED_ENTITY) {
        builder->refuse(parser, XmlLoadResult::NotWellFormed,
                        QStringLiteral("a reference to the external entity \"%1\"; external "
                                       "entities are never read")
                            .arg(fromUtf8(name)));
        return nullptr;
    }
    // References in the document itself; those inside entities are counted with them.
    if (parser == builder->mainContext && parser->depth == 0 &&
        entity->etype == XML_INTERNAL_GENERAL_ENTITY && !builder->admitExpansion(parser, entity))
        return nullptr;
    return entity;
}

void onStartElement(void *context, const xmlChar *name, const xmlChar **attributes)
{
    DomBuilder::of(context)->startElement(static_cast<xmlParserCtxtPtr>(context), name, attributes);
}

void onEndElement(void *context, const xmlChar *)
{
    DomBuilder::of(context)->endElement();
}

void onCharacters(void *context, const xmlChar *text, int length)
{
    DomBuilder::of(context)->characters(text, length);
}

void onCdata(void *context, const xmlChar *text, int length)
{
    DomBuilder::of(context)->cdata(text, length);
}

void onComment(void *context, const xmlChar *text)
{
    if (static_cast<xmlParserCtxtPtr>(context)->inSubset != 0)
        xmlSAX2Comment(context, text); // kept with the internal subset
    else
        DomBuilder::of(context)->comment(text);
}

void onProcessingInstruction(void *context, const xmlChar *target, const xmlChar *data)
{
    if (static_cast<xmlParserCtxtPtr>(context)->inSubset != 0)
        xmlSAX2ProcessingInstruction(context, target, data);
    else
        DomBuilder::of(context)->processingInstruction(target, data);
}

void onError(void *builderPointer, xmlErrorPtr error)
{
    auto *builder = static_cast<DomBuilder *>(builderPointer);
    auto *parser = error->ctxt ? static_cast<xmlParserCtxtPtr>(error->ctxt) : builder->mainContext;
    if (error->code == XML_WAR_UNDECLARED_ENTITY) {
        // Only a warning where the document has declarations outside it, which are
        // never read. In content the reference is kept as it stands (see
        // onReference); a value, which the DOM holds as plain text, cannot keep it.
        if (parser->instate == XML_PARSER_ATTRIBUTE_VALUE)
            builder->refuse(parser, XmlLoadResult::NotWellFormed,
                            QStringLiteral("a reference to the entity \"%1\" in a value, which "
                                           "is not declared in the document; external "
                                           "declarations are never read")
                                .arg(QString::fromUtf8(error->str1)));
    } else if (error->level == XML_ERR_FATAL) {
        builder->noteError(parser, QString::fromUtf8(error->message), error->line, error->int2);
    }
}

// A reference to an entity the document does not declare, where that is allowed.
void onReference(void *context, const xmlChar *name)
{
    // The parser makes this call even after a fault has ended all others.
    const auto *parser = static_cast<xmlParserCtxtPtr>(context);
    if (!parser->disableSAX && parser->instate != XML_PARSER_ATTRIBUTE_VALUE)
        DomBuilder::of(context)->entityReference(name);
}

xmlSAXHandler saxHandler()
{
    xmlSAXHandler handler{};
    // The first version of the interface: its element events come without namespace
    // processing, so names stay as written. (The second, namespace-aware one is
    // chosen whenever the handler is marked as such, whatever events it sets.)
    handler.initialized = 1;
    // The declarations go to libxml2's own document type, which checks entity
    // references against them; the element events build the DOM.
    handler.startDocument = xmlSAX2StartDocument;
    handler.endDocument = xmlSAX2EndDocument;
    handler.internalSubset = onInternalSubset;
    handler.externalSubset = onExternalSubset;
    handler.entityDecl = xmlSAX2EntityDecl;
    handler.unparsedEntityDecl = xmlSAX2UnparsedEntityDecl;
    handler.notationDecl = xmlSAX2NotationDecl;
    handler.attributeDecl = xmlSAX2AttributeDecl;
    handler.elementDecl = xmlSAX2ElementDecl;
    handler.getEntity = onGetEntity;
    handler.getParameterEntity = xmlSAX2GetParameterEntity;
    handler.startElement = onStartElement;
    handler.endElement = onEndElement;
    handler.characters = onCharacters;
    handler.ignorableWhitespace = onCharacters;
    handler.cdataBlock = onCdata;
    handler.reference = onReference;
    handler.comment = onComment;
    handler.processingInstruction = onProcessingInstruction;
    return handler;
}

} // namespace

XmlLoadResult readDom(QDomDocument &document, const QByteArray &bytes, XmlBytes kind)
{
    initializeLibxml();
    document.clear();
    DomBuilder builder(document, bytes, declarationAsDomKeepsIt(bytes, kind == XmlBytes::Utf8Text));

    xmlParserCtxtPtr context = xmlNewParserCtxt();
    if (!context) {
        XmlLoadResult result;
        result.status = XmlLoadResult::TooLarge;
        result.errorMessage = QStringLiteral("out of memory");
        return result;
    }
    static const xmlSAXHandler handler = saxHandler();
    *context->sax = handler;
    context->_private = &builder;
    builder.mainContext = context;

    // XML_PARSE_NOENT has internal entities expanded, in content and in attribute
    // values as XML requires; external ones are refused above and by the loader.
    // XML_PARSE_HUGE lifts the parser's limits on depth and on the length of a text
    // or a value, which the bounds of this program replace.
    int options = XML_PARSE_NOENT | XML_PARSE_NONET | XML_PARSE_HUGE | XML_PARSE_NOERROR |
                  XML_PARSE_NOWARNING;
    // Text is read as the UTF-8 it is, without a converter (one would drop a
    // U+FEFF wherever a chunk of the input starts with it).
    if (kind == XmlBytes::Utf8Text)
        options |= XML_PARSE_IGNORE_ENC;
    // Errors reach this thread's structured handler; a handler of the first version
    // has none of its own.
    xmlStructuredErrorFunc previousHandler = xmlStructuredError;
    void *previousContext = xmlStructuredErrorContext;
    xmlSetStructuredErrorFunc(&builder, onError);
    xmlDocPtr dtdHolder =
        xmlCtxtReadMemory(context, bytes.constData(), bytes.size(), nullptr, nullptr, options);
    xmlSetStructuredErrorFunc(previousContext, previousHandler);
    builder.finish();
    XmlLoadResult result = builder.result();
    xmlFreeDoc(dtdHolder);
    xmlFreeParserCtxt(context);
    return result;
}
