// SPDX-License-Identifier: MIT
#include "read/parsersession.h"

#include "bounds.h"
#include "messages.h"

#include <libxml/SAX2.h>
#include <libxml/entities.h>
#include <libxml/parserInternals.h>
#include <libxml/xmlerror.h>

#include <algorithm>
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

// The ';' that ends a reference starting at `c` ('&' or '%'), or null where the
// character stands for itself: a parameter entity's text may hold a '%' anywhere.
const xmlChar *referenceEnd(const xmlChar *c)
{
    for (const xmlChar *end = c + 1; *end; ++end) {
        if (*end == ';')
            return end > c + 1 ? end : nullptr;
        if (std::strchr(" \t\r\n%&<>'\"", *end))
            return nullptr;
    }
    return nullptr;
}

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
    handler.entityDecl = onEntityDecl;
    handler.unparsedEntityDecl = xmlSAX2UnparsedEntityDecl;
    handler.notationDecl = xmlSAX2NotationDecl;
    handler.attributeDecl = xmlSAX2AttributeDecl;
    handler.elementDecl = xmlSAX2ElementDecl;
    handler.getEntity = onGetEntity;
    handler.getParameterEntity = onGetParameterEntity;
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

// Always false: the element is not admitted.
bool ParserSession::refuseDepth(xmlParserCtxtPtr context, int maximum)
{
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
    bool complete = true;
    m_expansion += expansionLength(entity, 0, complete);
    if (m_expansion <= maximumEntityExpansionTotal)
        return true;
    refuse(context, failureOf(Reason::ExpansionTooLarge,
                              {QString::number(maximumEntityExpansionTotal / 1000000)}));
    return false;
}

void ParserSession::onEntityDecl(void *context, const xmlChar *name, int type,
                                 const xmlChar *publicId, const xmlChar *systemId, xmlChar *content)
{
    xmlSAX2EntityDecl(context, name, type, publicId, systemId, content);
    if (type != XML_INTERNAL_PARAMETER_ENTITY && type != XML_EXTERNAL_PARAMETER_ENTITY)
        return;
    auto *parser = static_cast<xmlParserCtxtPtr>(context);
    ParserSession *session = of(context);
    const xmlEntity *entity = xmlGetParameterEntity(parser->myDoc, name);
    if (entity && !session->m_declarationOrder.contains(entity))
        session->m_declarationOrder.insert(entity, session->m_declarationOrder.size());
    if (type == XML_INTERNAL_PARAMETER_ENTITY)
        session->m_justDeclared = reinterpret_cast<const char *>(name);
}

xmlEntityPtr ParserSession::onGetParameterEntity(void *context, const xmlChar *name)
{
    auto *parser = static_cast<xmlParserCtxtPtr>(context);
    xmlEntityPtr entity = xmlSAX2GetParameterEntity(context, name);
    ParserSession *session = of(context);
    if (!entity || parser != session->m_main)
        return entity;
    if (!session->m_justDeclared.isNull() &&
        session->m_justDeclared == reinterpret_cast<const char *>(name)) {
        session->m_justDeclared = QByteArray();
        return entity;
    }
    return session->admitParameterReference(parser, entity) ? entity : nullptr;
}

// A reference in the document's own text is counted whole, with everything its text
// refers to. One in the text of an expansion was counted with it, unless it names an
// entity declared after that was counted (the expansion may declare entities and
// use them); then it is counted on its own, and so on inside its text. References
// in an entity value that the parser expands while reading it are judged by the
// input that holds the value, which at worst counts them twice.
bool ParserSession::admitParameterReference(xmlParserCtxtPtr context, xmlEntityPtr entity)
{
    const size_t input = size_t(std::max(context->inputNr, 1));
    if (m_countedBefore.size() < input + 2)
        m_countedBefore.resize(input + 2, 0);
    const int countedBefore = input > 1 ? m_countedBefore[input] : 0;
    if (m_declarationOrder.value(entity, m_declarationOrder.size()) < countedBefore) {
        m_countedBefore[input + 1] = countedBefore;
        return true;
    }
    m_countedBefore[input + 1] = m_declarationOrder.size();
    return admitExpansion(context, entity);
}

// Characters an entity's text comes to with every entity in it expanded: general
// entities in a general entity's text, parameter entities in a parameter entity's.
// A character reference counts as one; a cycle, and entities nested deeper than the
// parser expands (it refuses both), as none. `complete` turns false when an entity
// referred to is not declared (yet); such a length is measured again once more
// parameter entities are declared.
qint64 ParserSession::expansionLength(xmlEntityPtr entity, int nesting, bool &complete)
{
    if (!entity) {
        complete = false;
        return 1;
    }
    const bool parameter = entity->etype == XML_INTERNAL_PARAMETER_ENTITY;
    if ((!parameter && entity->etype != XML_INTERNAL_GENERAL_ENTITY) || !entity->content)
        return 1;
    if (nesting > maximumEntityNesting)
        return 0;
    const int declared = m_declarationOrder.size();
    const auto known = m_expansionLengths.constFind(entity);
    if (known != m_expansionLengths.constEnd() &&
        (known->complete || known->declaredEntities == declared)) {
        complete = complete && known->complete;
        return known->length;
    }
    m_expansionLengths.insert(entity, {0, declared, false}); // being measured: a cycle
    const xmlChar marker = parameter ? '%' : '&';
    bool ownComplete = true;
    qint64 length = 0;
    for (const xmlChar *c = entity->content; *c && length <= maximumEntityExpansionTotal;) {
        const xmlChar *end = *c == marker ? referenceEnd(c) : nullptr;
        if (end && !parameter && c[1] == '#') {
            ++length;
        } else if (end) {
            xmlChar *name = xmlStrndup(c + 1, int(end - c - 1));
            const xmlEntityPtr named = parameter ? xmlGetParameterEntity(m_main->myDoc, name)
                                                 : xmlGetDocEntity(m_main->myDoc, name);
            length += expansionLength(named, nesting + 1, ownComplete);
            xmlFree(name);
        } else {
            if ((*c & 0xc0) != 0x80)
                ++length;
            ++c;
            continue;
        }
        c = end + 1;
    }
    m_expansionLengths.insert(entity, {length, declared, ownComplete});
    complete = complete && ownComplete;
    return length;
}

} // namespace xmladjust
