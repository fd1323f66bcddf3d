// SPDX-License-Identifier: MIT
#ifndef PARSERSESSION_H
#define PARSERSESSION_H

#include "result.h"

#include <QHash>
#include <QString>

#include <optional>
#include <vector>

#include <libxml/parser.h>

namespace xmladjust {

// libxml2's UTF-8 text as a QString. (QString::fromUtf8() drops a byte order mark
// at the start, which here is a character of the text, U+FEFF.) A null text gives
// a null string; a length of -1 reads up to the terminating NUL.
QString fromLibxml(const xmlChar *text, int length = -1);

// Whether two of libxml2's texts are the same. Inline, for names compared for every
// element or attribute, where a call into the library for each shows in the parser's time.
inline bool sameLibxmlText(const xmlChar *given, const xmlChar *wanted)
{
    while (*given != 0 && *given == *wanted) {
        ++given;
        ++wanted;
    }
    return *given == *wanted;
}

// One parse by libxml2 with this program's settings, shared by the window's reader
// and the streaming engine so that both judge a document the same way: the
// declarations of the internal subset go to libxml2's own record, which checks
// references against them; nothing outside the document is ever read (an external
// entity refuses it); what entity references add is bounded before libxml2
// expands it; the first fatal error is kept with its place. Element events are
// the subclass's: it sets them in the handler it passes to the constructor.
//
// The parser's contexts (one for the document, one more for each entity it
// expands) all carry the session in _private.
class ParserSession
{
public:
    explicit ParserSession(const xmlSAXHandler &handler);
    virtual ~ParserSession();
    ParserSession(const ParserSession &) = delete;
    ParserSession &operator=(const ParserSession &) = delete;

    static ParserSession *of(void *context)
    {
        return static_cast<ParserSession *>(static_cast<xmlParserCtxtPtr>(context)->_private);
    }

    // The handler of the first version of libxml2's interface: its element events
    // come without namespace processing, so names stay as written. (The second,
    // namespace-aware one is chosen whenever the handler is marked as such,
    // whatever events it sets.) Declarations, entities and errors are set; the
    // caller adds the element events.
    static xmlSAXHandler baseHandler();

    // Sets libxml2 up for this program, once per process: its globals, and the
    // loader that refuses every external entity. Each session makes sure of it.
    static void initializeParser();

    // False when libxml2 could not make a context (out of memory).
    bool isReady() const { return m_main != nullptr; }
    xmlParserCtxtPtr mainContext() const { return m_main; }

    // Parses a whole document held in memory; `utf8Text`: the bytes are text
    // already decoded, and an encoding the declaration names is not applied.
    void parseMemory(const QByteArray &bytes, bool utf8Text);
    // Parses a document read through `read`, which libxml2 calls for more bytes as
    // it needs them (a count, 0 at the end, -1 on failure).
    void parseStream(xmlInputReadCallback read, void *reader, bool utf8Text);

    bool refused() const { return m_refusal.has_value(); }
    // Ends the parse with this failure, unless it was refused already.
    void refuse(xmlParserCtxtPtr context, const Failure &failure);
    // Refuses the document when an element opens at `depth`, past `maximum`. Inline,
    // as it runs for every element.
    bool admitDepth(xmlParserCtxtPtr context, int depth, int maximum)
    {
        return depth <= maximum || refuseDepth(context, maximum);
    }

    // Read whole, or why not, with the place of the first fault.
    Outcome verdict() const;
    // libxml2's code for the first fatal error, 0 when there was none or the
    // document was refused by this program's bounds.
    int errorCode() const { return m_errorCode; }

private:
    bool refuseDepth(xmlParserCtxtPtr context, int maximum);
    void noteError(xmlParserCtxtPtr context, const QString &message, int line, int column);
    // Counts what a reference in the document itself will add, before the parser
    // expands it; refuses the document past maximumEntityExpansionTotal.
    bool admitExpansion(xmlParserCtxtPtr context, xmlEntityPtr entity);
    // The same for a parameter-entity reference in the internal subset, unless
    // what it adds was counted with the reference whose text holds it.
    bool admitParameterReference(xmlParserCtxtPtr context, xmlEntityPtr entity);
    static void onError(void *session, xmlErrorPtr error);
    static xmlEntityPtr onGetEntity(void *context, const xmlChar *name);
    static xmlEntityPtr onGetParameterEntity(void *context, const xmlChar *name);
    static void onEntityDecl(void *context, const xmlChar *name, int type, const xmlChar *publicId,
                             const xmlChar *systemId, xmlChar *content);
    static void onEndDocument(void *context);
    qint64 expansionLength(xmlEntityPtr entity, int nesting, bool &complete);
    int options(bool utf8Text) const;

    // An entity's length with everything in it expanded, as far as the entities it
    // refers to were declared when it was measured.
    struct MeasuredLength
    {
        qint64 length = 0;
        int declaredEntities = 0; // parameter entities declared by then
        bool complete = false;    // every entity it refers to was declared
    };

    xmlParserCtxtPtr m_main = nullptr;
    QHash<const xmlEntity *, MeasuredLength> m_expansionLengths;
    qint64 m_expansion = 0;
    // Parameter entities in the order of their declarations, and for each input of
    // the parser (by its place in libxml2's stack of inputs, the document's own
    // text first) how many of them had been declared when the text it expands was
    // counted: references to those are counted already.
    QHash<const xmlEntity *, int> m_declarationOrder;
    std::vector<int> m_countedBefore;
    // libxml2 looks a parameter entity up once more right after declaring it, to
    // keep its literal; that lookup is no reference.
    QByteArray m_justDeclared;
    std::optional<FailureKind> m_refusal;
    QString m_error;
    int m_errorCode = 0;
    int m_errorLine = 0;
    int m_errorColumn = 0;
};

} // namespace xmladjust

#endif // PARSERSESSION_H
