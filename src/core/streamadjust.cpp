// SPDX-License-Identifier: MIT
#include "streamadjust.h"

#include "bounds.h"
#include "bytewindow.h"
#include "elementrules.h"
#include "encoding.h"
#include "messages.h"
#include "parsersession.h"
#include "tagfinder.h"

#include <libxml/SAX2.h>

#include <algorithm>
#include <cstring>

namespace xmladjust {

namespace {

xmlSAXHandler streamHandler();

// The parser (libxml2) reads the document through a callback and reports each
// element; a TagFinder finds the start tags in the bytes ahead of it, each is
// paired with the element the parser reports in the same order, and the values
// that qualify are written in place by the ByteWindow, which copies every other
// byte as it was.
class LayoutPreservingAdjuster : public ParserSession
{
public:
    LayoutPreservingAdjuster(QIODevice &input, QIODevice *output, const AdjustmentRules &rules,
                             qint64 chunkSize)
        : ParserSession(streamHandler()), m_window(input, output, chunkSize), m_rules(rules)
    {
        m_result.adjustedByRule.fill(0, rules.size());
    }

    static LayoutPreservingAdjuster *of(void *context)
    {
        return static_cast<LayoutPreservingAdjuster *>(ParserSession::of(context));
    }

    StreamAdjustResult run();
    void startElement(xmlParserCtxtPtr context, const xmlChar *name, const xmlChar **attributes);
    void endElement() { m_depth = std::max(m_depth - 1, 0); }

private:
    bool fail(Failure failure, bool placed = true);
    bool lostTrack() { return fail(failureOf(Reason::AttributeNotFound)); }
    void takeParseVerdict();
    bool readHead();
    bool startReading();
    static int onRead(void *adjuster, char *buffer, int length);
    int supply(char *buffer, int length);
    int supplyBytes(char *buffer, int length);
    bool readMore();
    bool release();
    void pair(const xmlChar *name, int count);
    void countNotInText(const xmlChar *element, const FoundTag *tag);
    bool replace(const FoundValue &value, const QString &newValue);
    void finish();

    ByteWindow m_window;
    ElementRules m_rules;
    std::unique_ptr<TagFinder> m_finder;
    StreamAdjustResult m_result;
    bool m_failed = false;
    bool m_reading = false;   // inside the parser's read callback
    bool m_tagCutOff = false; // a start tag the input ends inside
    BytePosition m_fed;       // bytes given to the parser
    int m_depth = 0;
};

StreamAdjustResult LayoutPreservingAdjuster::run()
{
    if (!isReady()) {
        takeParseVerdict();
        return m_result;
    }
    if (!readHead() || !startReading())
        return m_result;
    parseStream(&LayoutPreservingAdjuster::onRead, this, m_finder->feedsDecodedText());
    if (m_failed)
        return m_result;
    takeParseVerdict();
    if (m_result.succeeded() && m_tagCutOff)
        lostTrack();
    else if (m_result.succeeded())
        finish();
    return m_result;
}

bool LayoutPreservingAdjuster::fail(Failure failure, bool placed)
{
    if (m_failed)
        return false;
    m_failed = true;
    if (placed) {
        failure.line = xmlSAX2GetLineNumber(mainContext());
        failure.column = xmlSAX2GetColumnNumber(mainContext());
    }
    m_result.outcome = failure;
    // Inside the read callback the parser is stopped by the failed read instead:
    // stopping it there frees the buffer it is about to fill.
    if (!m_reading)
        xmlStopParser(mainContext());
    return false;
}

void LayoutPreservingAdjuster::takeParseVerdict()
{
    m_result.outcome = verdict();
    if (m_result.succeeded() || m_result.outcome.kind() != FailureKind::NotWellFormed)
        return;
    // An encoding libxml2 cannot read, or bytes that are not valid in it.
    if (isEncodingError(errorCode(), m_result.outcome.failure().message)) {
        Failure failure = m_result.outcome.failure();
        failure.kind = FailureKind::UnsupportedEncoding;
        m_result.outcome = failure;
    }
}

// The encoding is decided by the first bytes, with the declaration in them.
bool LayoutPreservingAdjuster::readHead()
{
    while (m_window.end().offset() < declarationSearchBytes) {
        const qint64 read = m_window.readMore(declarationSearchBytes - m_window.end().offset());
        if (read < 0)
            return fail(Failure{FailureKind::CannotRead, m_window.inputError()}, false);
        if (read == 0)
            break;
    }
    return true;
}

bool LayoutPreservingAdjuster::startReading()
{
    const QByteArray head =
        QByteArray::fromRawData(m_window.at(BytePosition(0)), int(m_window.end().offset()));
    const InputEncoding encoding = detectStreamEncoding(head);
    if (!encoding.error.isEmpty()) {
        Failure failure{encoding.errorKind, encoding.error, 1, 1};
        return fail(failure, false);
    }
    m_finder = TagFinder::create(encoding, m_rules.rules().attributeNames());
    const Outcome found = m_finder->find(m_window);
    // A bound is placed where the parser stands; a byte that is not valid has no place.
    return found.succeeded() || fail(found.failure(), found.kind() == FailureKind::TooLarge);
}

int LayoutPreservingAdjuster::onRead(void *adjuster, char *buffer, int length)
{
    return static_cast<LayoutPreservingAdjuster *>(adjuster)->supply(buffer, length);
}

// Gives the parser as many of the bytes it asks for as the input has, whatever the
// size of the pieces the input is read in, so that it sees the same pieces.
int LayoutPreservingAdjuster::supply(char *buffer, int length)
{
    m_reading = true;
    int given = 0;
    while (given < length && !m_failed) {
        given += supplyBytes(buffer + given, length - given);
        if (given < length && (m_window.inputEnded() || !readMore()))
            break;
    }
    m_reading = false;
    return m_failed ? -1 : given;
}

// What was found and not yet given, up to `length` bytes.
int LayoutPreservingAdjuster::supplyBytes(char *buffer, int length)
{
    if (m_finder->feedsDecodedText()) {
        const QByteArray text = m_finder->takeDecodedText(length);
        std::memcpy(buffer, text.constData(), size_t(text.size()));
        return text.size();
    }
    const int size = int(std::min<qint64>(length, m_finder->located() - m_fed));
    std::memcpy(buffer, m_window.at(m_fed), size_t(size));
    m_fed = m_fed + size;
    return size;
}

bool LayoutPreservingAdjuster::readMore()
{
    if (!release())
        return false;
    const qint64 read = m_window.readMore();
    if (read < 0)
        return fail(Failure{FailureKind::CannotRead, m_window.inputError()});
    if (read == 0)
        return true;
    const Outcome found = m_finder->find(m_window);
    return found.succeeded() || fail(found.failure(), found.kind() == FailureKind::TooLarge);
}

// Writes out the bytes no value still to be decided lies in, and drops what no
// later step needs.
bool LayoutPreservingAdjuster::release()
{
    // Counting a stateful encoding's bytes character by character (UTF-7, say) can
    // run past the bytes read; such a document cannot be kept byte for byte.
    if (!m_window.copyTo(m_finder->settledTo()))
        return fail(failureOf(Reason::CharactersNotMatched), false);
    if (!m_window.flush())
        return fail(Failure{FailureKind::CannotWrite, m_window.outputError()}, false);
    BytePosition keep = std::min(m_window.copied(), m_finder->release(m_window));
    if (!m_finder->feedsDecodedText())
        keep = std::min(keep, m_fed);
    m_window.discardBefore(keep);
    return true;
}

void LayoutPreservingAdjuster::startElement(xmlParserCtxtPtr context, const xmlChar *name,
                                            const xmlChar **attributes)
{
    if (m_failed || !admitDepth(context, ++m_depth, maximumStreamNestingDepth))
        return;
    const int count = m_rules.read(attributes);
    // Elements an entity expands to are parsed in a context of their own; they are
    // not in the text and cannot be changed there.
    if (context != mainContext()) {
        countNotInText(name, nullptr);
        return;
    }
    pair(name, count);
}

// Pairs the element the parser reports with the next tag found in the text.
void LayoutPreservingAdjuster::pair(const xmlChar *name, int count)
{
    const std::optional<FoundTag> tag = m_finder->takeTag(m_window, name);
    if (!tag && m_window.inputEnded()) {
        // A start tag cut off by the end of the input, which the parser reports before
        // it finds no end to it: its reason is the one to give.
        m_tagCutOff = true;
        return;
    }
    if (!tag || tag->attributeCount != count || !m_rules.sameValues(*tag)) {
        lostTrack();
        return;
    }
    countNotInText(name, &*tag);
    for (const FoundValue &value : tag->values) {
        const auto change = m_rules.change(name, value.name, m_rules.value(value.name));
        if (!change)
            continue;
        ++m_result.adjustedCount;
        ++m_result.adjustedByRule[change->rule];
        if (!replace(value, change->newText))
            return;
    }
}

// Values the rules would change that are not in the document's text: the defaults the
// document type gives the attributes an element lacks, and without a tag (an element
// an entity expands to) its values too.
void LayoutPreservingAdjuster::countNotInText(const xmlChar *element, const FoundTag *tag)
{
    const xmlDocPtr document = mainContext()->myDoc;
    const bool defaults = document && document->intSubset;
    if (tag && !defaults)
        return; // every value is in the tag's text
    for (int name = 0; name < m_rules.nameCount(); ++name) {
        const xmlChar *value = m_rules.value(name);
        if (value ? !tag && m_rules.change(element, name, value)
                  : defaults && m_rules.changesDefault(document, element, name))
            ++m_result.notInTextCount;
    }
}

bool LayoutPreservingAdjuster::replace(const FoundValue &value, const QString &newValue)
{
    if (!m_window.holds(value.bytes))
        return lostTrack();
    if (!m_finder->valueMatches(m_window, value))
        return fail(failureOf(Reason::ValueBytesNotMatched));
    const QByteArray newBytes = m_finder->encode(newValue);
    if (newBytes ==
        QByteArray::fromRawData(m_window.at(value.bytes.begin), int(value.bytes.size())))
        return true;
    m_result.bytesChanged = true;
    return m_window.replace(value.bytes, newBytes);
}

void LayoutPreservingAdjuster::finish()
{
    if (!m_window.inputEnded() || !m_finder->allGiven(m_fed)) {
        fail(failureOf(Reason::ContentAfterEnd));
        return;
    }
    if (m_finder->hasTag()) {
        lostTrack();
        return;
    }
    if (const Outcome finished = m_finder->finish(m_window); !finished.succeeded()) {
        fail(finished.failure(), false);
        return;
    }
    if (!m_window.copyTo(m_window.end()))
        fail(failureOf(Reason::CharactersNotMatched), false);
    else if (!m_window.flush())
        fail(Failure{FailureKind::CannotWrite, m_window.outputError()}, false);
}

void onStartElement(void *context, const xmlChar *name, const xmlChar **attributes)
{
    LayoutPreservingAdjuster::of(context)->startElement(static_cast<xmlParserCtxtPtr>(context),
                                                        name, attributes);
}

void onEndElement(void *context, const xmlChar *)
{
    LayoutPreservingAdjuster::of(context)->endElement();
}

xmlSAXHandler streamHandler()
{
    xmlSAXHandler handler = ParserSession::baseHandler();
    handler.startElement = onStartElement;
    handler.endElement = onEndElement;
    return handler;
}

} // namespace

StreamAdjustResult adjustXmlStream(QIODevice &input, QIODevice *output,
                                   const AdjustmentRules &rules, qint64 chunkSize)
{
    return LayoutPreservingAdjuster(input, output, rules, chunkSize).run();
}

} // namespace xmladjust
