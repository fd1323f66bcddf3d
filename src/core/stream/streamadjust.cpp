// SPDX-License-Identifier: MIT
#include "stream/streamadjust.h"

#include "bounds.h"
#include "messages.h"
#include "read/encoding.h"
#include "stream/bytewindow.h"
#include "stream/elementrules.h"
#include "stream/streamlink.h"
#include "stream/streamparser.h"
#include "stream/tagfinder.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <limits>
#include <optional>
#include <system_error>
#include <thread>

namespace xmladjust {

namespace {

// The parser (libxml2, a StreamParser) reads the document in chunks and reports each
// element; a TagFinder finds the start tags in the bytes ahead of it, each is
// paired with the element the parser reports in the same order, and the values
// that qualify are written in place by the ByteWindow, which copies every other
// byte as it was. The parser and this byte side meet only at the StreamLink, so
// that they can run on two threads; each acts on what the other did in the order
// it happened, so that both ways give the same bytes, counts and failures.
class LayoutPreservingAdjuster final : public ByteSide
{
public:
    LayoutPreservingAdjuster(QIODevice &input, QIODevice *output, const AdjustmentRules &rules,
                             qint64 chunkSize)
        : m_window(input, output, chunkSize), m_rules(rules)
    {
        m_result.adjustedByRule.fill(0, rules.size());
    }

    StreamAdjustResult run(StreamThreads threads);
    void produce() override;
    void consume(const ParserEventBatch &batch) override;

private:
    // What the byte side sent the parser as one chunk, kept until the parser takes it.
    struct SentChunk
    {
        ParserChunk::Kind kind = ParserChunk::Kind::Bytes;
        BytePosition end;     // of the bytes read by then
        BytePosition lexedTo; // the finder's, by then
        std::optional<Failure> failure;
        bool placed = false;
    };

    bool fail(Failure failure, bool placed = true);
    bool lostTrack() { return fail(failureOf(Reason::AttributeNotFound)); }
    void takeParseVerdict();
    bool readHead();
    bool startReading();
    void parse(StreamThreads threads);
    std::vector<char> bytesForParser();
    void took();
    bool release();
    void pair(const ParserEvent &event, const ParserEventBatch &batch);
    void countNotInText(const ParserEvent &event, const ParserEventBatch &batch, bool all);
    bool replace(const FoundValue &value, const ElementRules::Change &change);
    void finish();

    ByteWindow m_window;
    const ElementRules m_rules; // this side's own
    std::unique_ptr<TagFinder> m_finder;
    std::unique_ptr<StreamLink> m_link;
    std::unique_ptr<StreamParser> m_parser;
    StreamAdjustResult m_result;
    bool m_failed = false;
    bool m_tagCutOff = false; // a start tag the input ends inside
    BytePosition m_handed;    // bytes handed to the parser
    bool m_producing = true;  // the input is not all handed over yet
    std::deque<SentChunk> m_sent;
    SentChunk m_parserChunk; // the latest the parser took
    // Where the parser stood at the latest event.
    int m_line = 0;
    int m_column = 0;
    bool m_parserInputEnded = false;
    std::optional<ParserEvent> m_finished;
};

StreamAdjustResult LayoutPreservingAdjuster::run(StreamThreads threads)
{
    if (!readHead() || !startReading())
        return m_result;
    parse(threads);
    if (m_failed)
        return m_result;
    takeParseVerdict();
    if (m_result.succeeded() && m_tagCutOff)
        lostTrack();
    else if (m_result.succeeded())
        finish();
    return m_result;
}

void LayoutPreservingAdjuster::parse(StreamThreads threads)
{
    // Two threads even where the first read held the whole document, so that every
    // document the tests give goes the way large ones go.
    const bool threaded = threads == StreamThreads::Two;
    m_link = std::make_unique<StreamLink>(threaded ? nullptr : this);
    m_parserChunk.end = m_window.end();
    m_parserChunk.lexedTo = m_finder->lexedTo();
    m_parserInputEnded = m_window.inputEnded();
    m_producing = !m_window.inputEnded();
    m_parser = std::make_unique<StreamParser>(*m_link, m_rules.rules(), bytesForParser(),
                                              m_window.inputEnded());
    const bool utf8Text = m_finder->feedsDecodedText();
    if (threaded) {
        try {
            std::thread parsing([this, utf8Text] { m_parser->parse(utf8Text); });
            ParserEventBatch batch;
            while (!m_finished) {
                m_link->waitForWork(m_producing && !m_failed);
                while (!m_finished && m_link->takeBatch(batch))
                    consume(batch);
                while (m_producing && !m_failed && m_link->hasRoom())
                    produce();
            }
            parsing.join();
            return;
        } catch (const std::system_error &) {
            // No thread to be had: the parse runs on this one.
            m_link = std::make_unique<StreamLink>(this);
        }
    }
    m_parser->parse(utf8Text);
}

bool LayoutPreservingAdjuster::fail(Failure failure, bool placed)
{
    if (m_failed)
        return false;
    m_failed = true;
    if (placed) {
        failure.line = m_line;
        failure.column = m_column;
    }
    m_result.outcome = failure;
    m_link->stop();
    return false;
}

void LayoutPreservingAdjuster::takeParseVerdict()
{
    m_result.outcome = m_parser->verdict();
    if (m_result.succeeded() || m_result.outcome.kind() != FailureKind::NotWellFormed)
        return;
    // An encoding libxml2 cannot read, or bytes that are not valid in it.
    if (isEncodingError(m_parser->errorCode(), m_result.outcome.failure().message)) {
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
        if (read < 0) {
            m_result.outcome = Failure{FailureKind::CannotRead, m_window.inputError()};
            return false;
        }
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
        m_result.outcome = Failure{encoding.errorKind, encoding.error, 1, 1};
        return false;
    }
    m_finder = TagFinder::create(encoding, m_rules.rules().attributeNames());
    const Outcome found = m_finder->find(m_window);
    if (found.succeeded())
        return true;
    // A bound is placed where the parser stands, before it has read anything.
    Failure failure = found.failure();
    if (found.kind() == FailureKind::TooLarge) {
        failure.line = 0;
        failure.column = 0;
    }
    m_result.outcome = failure;
    return false;
}

// What the finder has found since the last chunk, as the parser reads it.
std::vector<char> LayoutPreservingAdjuster::bytesForParser()
{
    if (m_finder->feedsDecodedText()) {
        const QByteArray text = m_finder->takeDecodedText(std::numeric_limits<int>::max());
        return std::vector<char>(text.cbegin(), text.cend());
    }
    const BytePosition located = m_finder->located();
    std::vector<char> bytes = m_link->spareBytes();
    bytes.assign(m_window.at(m_handed), m_window.at(located));
    m_handed = located;
    return bytes;
}

void LayoutPreservingAdjuster::produce()
{
    SentChunk sent;
    ParserChunk chunk;
    const qint64 read = m_window.readMore();
    if (read < 0) {
        sent.failure = Failure{FailureKind::CannotRead, m_window.inputError()};
        sent.placed = true;
    } else if (read == 0) {
        sent.kind = chunk.kind = ParserChunk::Kind::End;
        sent.end = m_window.end();
        sent.lexedTo = m_finder->lexedTo();
        m_producing = false;
    } else if (const Outcome found = m_finder->find(m_window); !found.succeeded()) {
        sent.failure = found.failure();
        sent.placed = found.kind() == FailureKind::TooLarge;
    } else {
        sent.end = m_window.end();
        sent.lexedTo = m_finder->lexedTo();
        chunk.bytes = bytesForParser();
    }
    if (sent.failure) {
        sent.kind = chunk.kind = ParserChunk::Kind::Failure;
        m_producing = false;
    }
    m_sent.push_back(std::move(sent));
    m_link->putChunk(std::move(chunk));
}

void LayoutPreservingAdjuster::consume(const ParserEventBatch &batch)
{
    for (const ParserEvent &event : batch.events) {
        if (event.kind == ParserEvent::Kind::Finished)
            m_finished = event;
        if (m_failed)
            continue;
        m_line = event.line;
        m_column = event.column;
        m_parserInputEnded = event.inputEnded;
        switch (event.kind) {
        case ParserEvent::Kind::Element:
            pair(event, batch);
            break;
        case ParserEvent::Kind::ElementInEntity:
            countNotInText(event, batch, true);
            break;
        case ParserEvent::Kind::Took:
            took();
            break;
        case ParserEvent::Kind::Finished:
            break;
        }
    }
}

// The parser asked for more than it had: the bytes it was given and no value still
// to be paired lies in go out, and it takes the next chunk.
void LayoutPreservingAdjuster::took()
{
    if (!release())
        return;
    if (m_sent.empty())
        produce(); // the parser caught up with this side
    m_parserChunk = std::move(m_sent.front());
    m_sent.pop_front();
    if (m_parserChunk.failure)
        fail(*m_parserChunk.failure, m_parserChunk.placed);
}

// Writes out the bytes no value still to be decided lies in, and drops what no
// later step needs.
bool LayoutPreservingAdjuster::release()
{
    // Counting a stateful encoding's bytes character by character (UTF-7, say) can
    // run past the bytes read; such a document cannot be kept byte for byte.
    const BytePosition settled = std::min(m_parserChunk.lexedTo, m_finder->settledTo());
    if (settled > m_parserChunk.end || !m_window.copyTo(settled))
        return fail(failureOf(Reason::CharactersNotMatched), false);
    if (!m_window.flush())
        return fail(Failure{FailureKind::CannotWrite, m_window.outputError()}, false);
    m_window.discardBefore(std::min(m_window.copied(), m_finder->release(m_window)));
    return true;
}

// Pairs the element the parser reports with the next tag found in the text.
void LayoutPreservingAdjuster::pair(const ParserEvent &event, const ParserEventBatch &batch)
{
    const auto *name = reinterpret_cast<const xmlChar *>(batch.text.data() + event.nameAt);
    const std::optional<FoundTag> tag = m_finder->takeTag(m_window, name);
    if (!tag && m_parserInputEnded) {
        // A start tag cut off by the end of the input, which the parser reports before
        // it finds no end to it: its reason is the one to give.
        m_tagCutOff = true;
        return;
    }
    // The tag has the values the parser read, and no others.
    const ParserValue *values = batch.values.data() + event.firstValue;
    const ParserValue *const valuesEnd = values + event.valueCount;
    const auto readValue = [&](int attribute) {
        return std::find_if(values, valuesEnd, [attribute](const ParserValue &value) {
            return value.name == attribute && !value.isDefault;
        });
    };
    const bool sameValues =
        tag &&
        std::count_if(values, valuesEnd,
                      [](const ParserValue &value) { return !value.isDefault; }) ==
            tag->values.size() &&
        std::all_of(tag->values.cbegin(), tag->values.cend(),
                    [&](const FoundValue &found) { return readValue(found.name) != valuesEnd; });
    if (!tag || tag->attributeCount != event.attributeCount || !sameValues) {
        lostTrack();
        return;
    }
    countNotInText(event, batch, false);
    for (const FoundValue &found : tag->values) {
        const auto change = m_rules.change(
            name, found.name,
            reinterpret_cast<const xmlChar *>(batch.text.data() + readValue(found.name)->textAt));
        if (!change)
            continue;
        ++m_result.adjustedCount;
        ++m_result.adjustedByRule[change->rule];
        if (!replace(found, *change))
            return;
    }
}

// Values the rules would change that are not in the document's text: the defaults the
// document type gives the attributes an element lacks, and with `all` (an element an
// entity's expansion produces) its values too.
void LayoutPreservingAdjuster::countNotInText(const ParserEvent &event,
                                              const ParserEventBatch &batch, bool all)
{
    const auto *name = reinterpret_cast<const xmlChar *>(batch.text.data() + event.nameAt);
    for (unsigned i = event.firstValue; i < event.firstValue + event.valueCount; ++i) {
        const ParserValue &value = batch.values[i];
        if ((all || value.isDefault) &&
            m_rules.change(name, value.name,
                           reinterpret_cast<const xmlChar *>(batch.text.data() + value.textAt)))
            ++m_result.notInTextCount;
    }
}

bool LayoutPreservingAdjuster::replace(const FoundValue &value, const ElementRules::Change &change)
{
    if (!m_window.holds(value.bytes) || value.bytes.end > m_parserChunk.end)
        return lostTrack();
    if (!m_finder->valueMatches(m_window, value))
        return fail(failureOf(Reason::ValueBytesNotMatched));
    // A byte view: the numeral's own bytes where it can, without allocating for each value.
    QByteArray encoded;
    QLatin1String newBytes;
    if (change.numeral.length > 0) {
        newBytes = m_finder->encode(change.numeral, &encoded);
    } else {
        encoded = m_finder->encode(change.text);
        newBytes = QLatin1String(encoded.constData(), encoded.size()); // NULs too
    }
    if (newBytes.size() == value.bytes.size() &&
        std::memcmp(newBytes.data(), m_window.at(value.bytes.begin), size_t(newBytes.size())) == 0)
        return true;
    m_result.bytesChanged = true;
    return m_window.replace(value.bytes, newBytes.data(), newBytes.size());
}

void LayoutPreservingAdjuster::finish()
{
    m_line = m_finished->line;
    m_column = m_finished->column;
    if (!m_finished->inputEnded || !m_finished->allGiven) {
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

} // namespace

StreamAdjustResult adjustXmlStream(QIODevice &input, QIODevice *output,
                                   const AdjustmentRules &rules, qint64 chunkSize,
                                   StreamThreads threads)
{
    return LayoutPreservingAdjuster(input, output, rules, chunkSize).run(threads);
}

} // namespace xmladjust
