// SPDX-License-Identifier: MIT
#include "stream/streamparser.h"

#include "bounds.h"

#include <libxml/parser.h>

#include <algorithm>
#include <cstring>

namespace xmladjust {

StreamParser::StreamParser(StreamLink &link, const AdjustmentRules &rules, std::vector<char> first,
                           bool inputEnded)
    : ParserSession(handler()), m_link(link), m_lookup(rules), m_chunk(std::move(first)),
      m_inputEnded(inputEnded)
{}

void StreamParser::parse(bool utf8Text)
{
    if (isReady())
        parseStream(&StreamParser::onRead, this, utf8Text);
    ParserEvent &finished = report(ParserEvent::Kind::Finished);
    finished.allGiven = m_given == m_chunk.size();
    post();
}

xmlSAXHandler StreamParser::handler()
{
    xmlSAXHandler handler = baseHandler();
    handler.startElement = onStartElement;
    handler.endElement = onEndElement;
    return handler;
}

void StreamParser::onStartElement(void *context, const xmlChar *name, const xmlChar **attributes)
{
    of(context)->startElement(static_cast<xmlParserCtxtPtr>(context), name, attributes);
}

void StreamParser::onEndElement(void *context, const xmlChar *)
{
    StreamParser *parser = of(context);
    parser->m_depth = std::max(parser->m_depth - 1, 0);
}

void StreamParser::startElement(xmlParserCtxtPtr context, const xmlChar *name,
                                const xmlChar **attributes)
{
    if (m_link.stopped()) {
        xmlStopParser(mainContext());
        return;
    }
    if (!admitDepth(context, ++m_depth, maximumStreamNestingDepth))
        return;
    const int count = m_lookup.read(attributes);
    // Elements an entity expands to are parsed in a context of their own; they are
    // not in the text and cannot be changed there.
    const bool inText = context == mainContext();
    ParserEvent &event =
        report(inText ? ParserEvent::Kind::Element : ParserEvent::Kind::ElementInEntity);
    event.attributeCount = count;
    event.nameAt = keepName(name);
    event.firstValue = unsigned(m_batch.values.size());
    // Only a document type declares defaults, and most documents have none.
    const xmlDocPtr document = mainContext()->myDoc;
    const bool declaresDefaults = document && document->intSubset;
    for (int attribute = 0; attribute < m_lookup.nameCount(); ++attribute) {
        const xmlChar *value = m_lookup.value(attribute);
        const bool isDefault = value == nullptr;
        if (isDefault && declaresDefaults)
            value = m_lookup.declaredDefault(document, name, attribute);
        if (value)
            m_batch.values.push_back({attribute, isDefault, keep(value, textLength(value))});
    }
    event.valueCount = unsigned(m_batch.values.size()) - event.firstValue;
    if (m_batch.isFull())
        post();
}

ParserEvent &StreamParser::report(ParserEvent::Kind kind)
{
    m_batch.events.emplace_back();
    ParserEvent &event = m_batch.events.back();
    event.kind = kind;
    event.inputEnded = m_inputEnded;
    // As xmlSAX2GetLineNumber() and xmlSAX2GetColumnNumber() read them, without a call
    // into the library for each element.
    const xmlParserInputPtr input = mainContext()->input;
    event.line = input ? input->line : 0;
    event.column = input ? input->col : 0;
    return event;
}

unsigned StreamParser::textLength(const xmlChar *text)
{
    return unsigned(std::strlen(reinterpret_cast<const char *>(text)));
}

unsigned StreamParser::keep(const xmlChar *text, unsigned length)
{
    const auto at = unsigned(m_batch.text.size());
    m_batch.text.append(reinterpret_cast<const char *>(text), length + 1); // with its NUL
    return at;
}

// The parser gives each name from its dictionary, which keeps every name at one
// address, and nothing else, until the parse ends: a name seen before comes at the
// same address. A name from anywhere else has its bytes compared (the batch's text
// keeps its NUL).
unsigned StreamParser::keepName(const xmlChar *name)
{
    for (const KeptName &kept : m_keptNames) {
        if (kept.name == name && (kept.fromDictionary || sameLibxmlText(name, keptText(kept))))
            return kept.at;
    }
    KeptName &kept = m_keptNames[m_nextKept++ % m_keptNames.size()];
    kept.name = name;
    kept.fromDictionary = xmlDictOwns(mainContext()->dict, name) == 1;
    kept.at = keep(name, textLength(name));
    return kept.at;
}

void StreamParser::post()
{
    m_link.post(m_batch);
    m_keptNames.fill({});
}

int StreamParser::onRead(void *parser, char *buffer, int length)
{
    return static_cast<StreamParser *>(parser)->supply(buffer, length);
}

// Gives the parser as many of the bytes it asks for as the input has, whatever the
// size of the chunks, so that it sees the same pieces however the input is read.
int StreamParser::supply(char *buffer, int length)
{
    if (m_readFailed || m_link.stopped())
        return -1;
    int given = 0;
    while (given < length) {
        const size_t size = std::min(size_t(length - given), m_chunk.size() - m_given);
        if (size > 0) // an empty chunk's data() may be null, which memcpy must not see
            std::memcpy(buffer + given, m_chunk.data() + m_given, size);
        m_given += size;
        given += int(size);
        if (given == length || m_inputEnded)
            break;
        if (!takeChunk()) {
            m_readFailed = true;
            return -1;
        }
    }
    return given;
}

bool StreamParser::takeChunk()
{
    report(ParserEvent::Kind::Took);
    post();
    ParserChunk chunk = m_link.takeChunk(std::move(m_chunk));
    m_chunk.clear();
    m_given = 0;
    switch (chunk.kind) {
    case ParserChunk::Kind::Bytes:
        m_chunk = std::move(chunk.bytes);
        return true;
    case ParserChunk::Kind::End:
        m_inputEnded = true;
        return true;
    case ParserChunk::Kind::Failure:
        break;
    }
    return false;
}

} // namespace xmladjust
