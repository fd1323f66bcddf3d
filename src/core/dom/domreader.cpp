// SPDX-License-Identifier: MIT
#include "dom/domreader.h"

#include "bounds.h"
#include "messages.h"
#include "read/declaration.h"
#include "read/parsersession.h"

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
#include <vector>

namespace xmladjust {

namespace {

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
        decoded ? fromLibxml(xmlBufferContent(out), xmlBufferLength(out)) : QString();
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

// How many of the document's bytes the parser has read. libxml2's xmlByteConsumed()
// counts no more than 32,000 bytes of the text it has decoded ahead of the parser,
// so past that it answers too little; here all of that text is encoded back.
long bytesConsumed(xmlParserCtxtPtr context)
{
    const xmlParserInputPtr input = context->input;
    if (!input || !input->buf || !input->buf->encoder)
        return xmlByteConsumed(context);
    xmlCharEncodingHandlerPtr handler = xmlFindCharEncodingHandler(input->buf->encoder->name);
    if (!handler)
        return -1;
    xmlBufferPtr in = xmlBufferCreate();
    xmlBufferPtr out = xmlBufferCreate();
    xmlBufferAdd(in, input->cur, int(input->end - input->cur));
    const long unread = xmlCharEncOutFunc(handler, out, in) >= 0 ? xmlBufferLength(out) : -1;
    xmlBufferFree(in);
    xmlBufferFree(out);
    xmlCharEncCloseFunc(handler);
    const long raw = long(input->buf->rawconsumed);
    return unread < 0 || unread > raw ? -1 : raw - unread;
}

xmlSAXHandler saxHandler();

// Builds the DOM from the parser's events.
class DomBuilder : public ParserSession
{
public:
    DomBuilder(QDomDocument &document, const QByteArray &bytes, QString declaration)
        : ParserSession(saxHandler()), m_document(document), m_bytes(bytes),
          m_declaration(std::move(declaration))
    {}

    static DomBuilder *of(void *context)
    {
        return static_cast<DomBuilder *>(ParserSession::of(context));
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

    void documentType(const xmlChar *name, const xmlChar *publicId, const xmlChar *systemId)
    {
        m_hasDocumentType = true;
        m_typeName = fromLibxml(name);
        m_publicId = fromLibxml(publicId);
        m_systemId = fromLibxml(systemId);
    }

    // The internal subset starts at its '[' (where the parser stands when it reports
    // the document type) and ends with the declaration's '>' (where it stands once
    // the subset is read). Its text is kept as written: the parser's own record of
    // the declarations drops a default value it finds invalid, and a non-validating
    // reader must keep it.
    void internalSubsetStarts(xmlParserCtxtPtr context)
    {
        m_subsetStart = context == mainContext() ? bytesConsumed(context) : -1;
    }

    void internalSubsetRead(xmlParserCtxtPtr context)
    {
        if (context != mainContext() || m_subsetStart < 0)
            return;
        const long end = bytesConsumed(context);
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

    void subsetLost(xmlParserCtxtPtr context) { refuse(context, failureOf(Reason::SubsetNotKept)); }

    void startElement(xmlParserCtxtPtr context, const xmlChar *name, const xmlChar **attributes)
    {
        if (!admitDepth(context, m_depth + 1, maximumNestingDepth))
            return;
        flushText();
        createDocument();
        QDomElement element = m_document.createElement(interned(name));
        bool preserve = m_preserveSpace.empty() ? false : m_preserveSpace.back();
        for (const xmlChar **attribute = attributes; attribute && *attribute; attribute += 2) {
            const QString value = fromLibxml(attribute[1]);
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
            m_text += fromLibxml(text, length);
    }

    void entityReference(const xmlChar *name)
    {
        if (m_current.isNull())
            return; // before the document element: not well-formed anyway
        flushText();
        m_current.appendChild(m_document.createEntityReference(fromLibxml(name)));
    }

    void cdata(const xmlChar *text, int length)
    {
        if (m_current.isNull())
            return;
        flushText(true);
        m_current.appendChild(m_document.createCDATASection(fromLibxml(text, length)));
    }

    void comment(const xmlChar *text)
    {
        flushText();
        if (m_current.isNull())
            m_prolog.push_back({QString(), fromLibxml(text)});
        else
            m_current.appendChild(m_document.createComment(fromLibxml(text)));
    }

    void processingInstruction(const xmlChar *target, const xmlChar *data)
    {
        flushText();
        const QString text = data ? fromLibxml(data) : QStringLiteral("");
        if (m_current.isNull())
            m_prolog.push_back({fromLibxml(target), text});
        else
            m_current.appendChild(m_document.createProcessingInstruction(fromLibxml(target), text));
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
            known = m_names.insert(name, fromLibxml(name));
        return *known;
    }

    // The DOM document is made when the document element starts, once the document
    // type is known; what came before it is added then.
    void createDocument()
    {
        if (!m_current.isNull())
            return;
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
    // White space beside a CDATA section is part of the element's character data.
    void flushText(bool beforeCdata = false)
    {
        if (m_text.isEmpty())
            return;
        const bool besideCdata = beforeCdata || m_current.lastChild().isCDATASection();
        if (besideCdata || m_preserveSpace.back() || !isXmlWhiteSpace(m_text))
            m_current.appendChild(m_document.createTextNode(m_text));
        m_text.clear();
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
    xmlSAXHandler handler = ParserSession::baseHandler();
    handler.internalSubset = onInternalSubset;
    handler.externalSubset = onExternalSubset;
    handler.startElement = onStartElement;
    handler.endElement = onEndElement;
    handler.characters = handler.ignorableWhitespace = onCharacters;
    handler.cdataBlock = onCdata;
    handler.reference = onReference;
    handler.comment = onComment;
    handler.processingInstruction = onProcessingInstruction;
    return handler;
}

} // namespace

Outcome readDom(QDomDocument &document, const QByteArray &bytes, XmlBytes kind)
{
    document.clear();
    DomBuilder builder(document, bytes, declarationAsDomKeepsIt(bytes, kind == XmlBytes::Utf8Text));
    if (builder.isReady())
        builder.parseMemory(bytes, kind == XmlBytes::Utf8Text);
    builder.finish();
    return builder.verdict();
}

} // namespace xmladjust
