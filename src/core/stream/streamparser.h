// SPDX-License-Identifier: MIT
#ifndef STREAMPARSER_H
#define STREAMPARSER_H

#include "read/parsersession.h"
#include "stream/elementrules.h"
#include "stream/streamlink.h"

#include <array>

namespace xmladjust {

// The parser's side of the streaming engine: libxml2 reads the chunks the link
// brings and reports, through it, each element with the values of the attributes
// the rules look at, and each time it asks for more than it was given. It touches nothing
// of the byte side, so that it can run on a thread of its own.
class StreamParser : public ParserSession
{
public:
    // `first`: the bytes to give first, and whether they are all of the input.
    StreamParser(StreamLink &link, const AdjustmentRules &rules, std::vector<char> first,
                 bool inputEnded);

    // Parses the document; reports Finished last.
    void parse(bool utf8Text);

private:
    static StreamParser *of(void *context)
    {
        return static_cast<StreamParser *>(ParserSession::of(context));
    }
    static void onStartElement(void *context, const xmlChar *name, const xmlChar **attributes);
    static void onEndElement(void *context, const xmlChar *name);
    static int onRead(void *parser, char *buffer, int length);
    static xmlSAXHandler handler();

    void startElement(xmlParserCtxtPtr context, const xmlChar *name, const xmlChar **attributes);
    int supply(char *buffer, int length);
    bool takeChunk();
    ParserEvent &report(ParserEvent::Kind kind);
    static unsigned textLength(const xmlChar *text);
    unsigned keep(const xmlChar *text, unsigned length);
    unsigned keepName(const xmlChar *name);
    void post();

    StreamLink &m_link;
    ElementRules m_lookup; // this side's own: it keeps the values of the element read
    ParserEventBatch m_batch;
    // Element names already in the batch's text: most elements repeat one of a few.
    struct KeptName
    {
        const xmlChar *name = nullptr; // as the parser gave it
        bool fromDictionary = false;   // the parser's
        unsigned at = 0;
    };
    const xmlChar *keptText(const KeptName &kept) const
    {
        return reinterpret_cast<const xmlChar *>(m_batch.text.data() + kept.at);
    }
    std::array<KeptName, 4> m_keptNames;
    unsigned m_nextKept = 0;
    std::vector<char> m_chunk;
    size_t m_given = 0; // of m_chunk
    bool m_inputEnded;
    bool m_readFailed = false;
    int m_depth = 0;
};

} // namespace xmladjust

#endif // STREAMPARSER_H
