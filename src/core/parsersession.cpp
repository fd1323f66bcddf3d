// SPDX-License-Identifier: MIT
#include "parsersession.h"

#include "bounds.h"
#include "messages.h"

#include <libxml/SAX2.h>
#include <libxml/entities.h>
#include <libxml/parserInternals.h>
#include <libxml/xmlerror.h>

#include <cstring>
#include <mutex>

namespace xmladjust {

namespace {

// libxml2 expands entities inside entities at most this deep, even with XML_PARSE_HUGE.
constexpr int maximumEntityNesting = 1024;

// Nothing outside the document is ever read: not the external DTD subset (no
// callback asks for it), not an external entity (this loader refuses them all).
xmlParserInputPtr refuseExternalEntity(const char *, const char *, xmlParserCtxtPtr)
{
    return nullptr;
}

// Errors reach this thread's structured handler while the parse runs; a handler of
// the first version has none of its own.
class ErrorCapture
{
public:
    ErrorCapture(void *session, xmlStructuredErrorFunc handler)
        : m_previousHandler(xmlStructuredError), m_previousContext(xmlStructuredErrorContext)
    {
        xmlSetStructuredErrorFunc(session, handler);
    }
    ~ErrorCapture() { xmlSetStructuredErrorFunc(m_previousContext, m_previousHandler); }

private:
    xmlStructuredErrorFunc m_previousHandler;
    void *m_previousContext;
};

} // namespace

QString fromLibxml(const xmlChar *text, int length)
{
    if (!text)
        return QString();
    if (length < 0)
        length = xmlStrlen(text);
    const char *bytes = reinterpret_cast<const char *>(text);
    QString decoded = QString::fromUtf8(bytes, length);
    if (length >= 3 && std::memcmp(bytes, "\xef\xbb\xbf", 3) == 0)
        decoded.prepend(QChar(QChar::ByteOrderMark));
    return decoded;
}

void ParserSession::initializeParser()
{
    static std::once_flag once;
    std::call_once(once, [] {
        xmlInitParser();
        xmlSetExternalEntityLoader(refuseExternalEntity);
    });
}

ParserSession::ParserSession(const xmlSAXHandler &handler)
{
    initializeParser();
    m_main = xmlNewParserCtxt();
    if (!m_main)
        return;
    *m_main->sax = handler;
    m_main->_private = this;
}

ParserSession::~ParserSession()
{
    if (m_main)
        xmlFreeParserCtxt(m_main);
}

xmlSAXHandler ParserSession::baseHandler()
{
    xmlSAXHandler handler{};
    handler.initialized = 1;
    handler.startDocument = xmlSAX2StartDocument;
    handler.endDocument = onEndDocument;
    handler.internalSubset = xmlSAX2InternalSubset;
    handler.entityDecl = xmlSAX2EntityDecl;
    handler.unparsedEntityDecl = xmlSAX2UnparsedEntityDecl;
    handler.notationDecl = xmlSAX2NotationDecl;
    handler.attributeDecl = xmlSAX2AttributeDecl;
    handler.elementDecl = xmlSAX2ElementDecl;
    handler.getEntity = onGetEntity;
    handler.getParameterEntity = xmlSAX2GetParameterEntity;
    return handler;
}

int ParserSession::options(bool utf8Text) const
{
    // XML_PARSE_NOENT has internal entities expanded, in content and in attribute
    // values as XML requires; external ones are refused here and by the loader.
    // XML_PARSE_HUGE lifts the parser's limits on depth and on the length of a text
    // or a value, which the bounds of this program replace.
    int options = XML_PARSE_NOENT | XML_PARSE_NONET | XML_PARSE_HUGE | XML_PARSE_NOERROR |
                  XML_PARSE_NOWARNING;
    // Text already decoded is read as the UTF-8 it is, whatever encoding its
    // declaration names.
    if (utf8Text)
        options |= XML_PARSE_IGNORE_ENC;
    return options;
}

void ParserSession::parseMemory(const QByteArray &bytes, bool utf8Text)
{
    const ErrorCapture capture(this, onError);
    // What libxml2 returns holds only the declarations, which are no longer needed.
    xmlFreeDoc(xmlCtxtReadMemory(m_main, bytes.constData(), bytes.size(), nullptr, nullptr,
                                 options(utf8Text)));
}

void ParserSession::parseStream(xmlInputReadCallback read, void *reader, bool utf8Text)
{
    const ErrorCapture capture(this, onError);
    xmlFreeDoc(xmlCtxtReadIO(m_main, read, nullptr, reader, nullptr, nullptr, options(utf8Text)));
}

void ParserSession::refuse(xmlParserCtxtPtr context, const Failure &failure)
{
    if (!refused()) {
        m_refusal = failure.kind;
        m_error.clear();
        m_errorCode = 0;
        noteError(context, failure.message, 0, 0);
    }
    xmlStopParser(context);
    if (context != m_main)
        xmlStopParser(m_main);
}

void ParserSession::noteError(xmlParserCtxtPtr context, const QString &message, int line,
                              int column)
{
    if (!m_error.isEmpty())
        return;
    m_error = message.simplified(); // libxml2 may add a line of detail
    // Inside an entity the parser counts from the start of its text; the place in
    // the document is where the reference stands.
    if (context != m_main || line <= 0) {
        line = xmlSAX2GetLineNumber(m_main);
        column = xmlSAX2GetColumnNumber(m_main);
    }
    m_errorLine = line;
    m_errorColumn = column;
}

bool ParserSession::admitDepth(xmlParserCtxtPtr context, int depth, int maximum)
{
    if (depth <= maximum)
        return true;
    refuse(context, failureOf(Reason::NestedTooDeep, {QString::number(maximum)}));
    return false;
}

Outcome ParserSession::verdict() const
{
    if (!m_main)
        return failureOf(Reason::OutOfMemory);
    if (!refused() && m_error.isEmpty() && m_main->wellFormed)
        return {};
    Failure failure = failureOf(Reason::NotWellFormed);
    failure.kind = m_refusal.value_or(FailureKind::NotWellFormed);
    if (!m_error.isEmpty())
        failure.message = m_error;
    failure.line = m_errorLine;
    failure.column = m_errorColumn;
    return failure;
}

void ParserSession::onError(void *sessionPointer, xmlErrorPtr error)
{
    auto *session = static_cast<ParserSession *>(sessionPointer);
    auto *parser = error->ctxt ? static_cast<xmlParserCtxtPtr>(error->ctxt) : session->m_main;
    if (error->code == XML_WAR_UNDECLARED_ENTITY) {
        // Only a warning where the document has declarations outside it, which are
        // never read. In content the reference may stand; a value, which is read as
        // plain text, cannot keep it.
        if (parser->instate == XML_PARSER_ATTRIBUTE_VALUE)
            session->refuse(parser, failureOf(Reason::UndeclaredEntityInValue,
                                              {QString::fromUtf8(error->str1)}));
    } else if (error->level == XML_ERR_FATAL && session->m_error.isEmpty()) {
        session->m_errorCode = error->code;
        session->noteError(parser, QString::fromUtf8(error->message), error->line, error->int2);
    }
}

// libxml2 takes a NUL byte after the document element for the end of its input and
// reports the document whole, without reading on; XML allows no NUL anywhere. It also
// ends the document at a fault it has reported (other content after the document
// element), whose reason stands.
void ParserSession::onEndDocument(void *context)
{
    auto *parser = static_cast<xmlParserCtxtPtr>(context);
    xmlSAX2EndDocument(context);
    const xmlParserInputPtr input = parser->input;
    if (parser == of(context)->m_main && input && input->cur && input->cur < input->end &&
        *input->cur == 0)
        of(context)->refuse(parser, failureOf(Reason::NulCharacter));
}

xmlEntityPtr ParserSession::onGetEntity(void *context, const xmlChar *name)
{
    auto *parser = static_cast<xmlParserCtxtPtr>(context);
    xmlEntityPtr entity = xmlSAX2GetEntity(context, name);
    if (!entity || parser->inSubset != 0)
        return entity;
    ParserSession *session = of(context);
    if (entity->etype == XML_EXTERNAL_GENERAL_PARSED_ENTITY) {
        session->refuse(parser, failureOf(Reason::ExternalEntity, {fromLibxml(name)}));
        return nullptr;
    }
    // References in the document itself; those inside entities are counted with them.
    if (parser == session->m_main && parser->depth == 0 &&
        entity->etype == XML_INTERNAL_GENERAL_ENTITY && !session->admitExpansion(parser, entity))
        return nullptr;
    return entity;
}

bool ParserSession::admitExpansion(xmlParserCtxtPtr context, xmlEntityPtr entity)
{
    m_expansion += expansionLength(entity);
    if (m_expansion <= maximumEntityExpansionTotal)
        return true;
    refuse(context, failureOf(Reason::ExpansionTooLarge,
                              {QString::number(maximumEntityExpansionTotal / 1000000)}));
    return false;
}

// Characters an entity's text comes to with every entity in it expanded. A
// character reference counts as one; a cycle, and entities nested deeper than the
// parser expands (it refuses both), as none.
qint64 ParserSession::expansionLength(xmlEntityPtr entity, int nesting)
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
                length += expansionLength(xmlGetDocEntity(m_main->myDoc, name), nesting + 1);
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

} // namespace xmladjust
