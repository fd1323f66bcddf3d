// SPDX-License-Identifier: MIT
#ifndef STREAMLINK_H
#define STREAMLINK_H

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace xmladjust {

// What the parser is given next: bytes of the document (or the text decoded from
// them), the end of the input, or a failure to read on, whose reason the byte side
// keeps.
struct ParserChunk
{
    enum class Kind : unsigned char
    {
        Bytes,
        End,
        Failure
    };
    Kind kind = Kind::Bytes;
    std::vector<char> bytes;
};

// A value the parser read of an attribute the rules look at, or the default the
// document type gives it where an element lacks it.
struct ParserValue
{
    int name = 0; // the attribute's index among the names the rules look at
    bool isDefault = false;
    unsigned textAt = 0; // in the batch's text, ended by a NUL
};

// Something the parser reported, in the order it happened.
struct ParserEvent
{
    enum class Kind : unsigned char
    {
        Element,         // a start tag in the document's text
        ElementInEntity, // an element an entity's expansion produces
        Took,            // the parser asked for more than it had been given
        Finished         // the parse is over
    };
    Kind kind = Kind::Element;
    bool inputEnded = false; // the parser had been given the end of the input
    bool allGiven = false;   // Finished: all that was given was read
    int attributeCount = 0;
    // Where the parser stood: the place of a failure found with this event.
    int line = 0;
    int column = 0;
    // In the batch's text, ended by a NUL: the element's name.
    unsigned nameAt = 0;
    // The element's values the rules look at: valueCount of the batch's values from
    // firstValue on.
    unsigned firstValue = 0;
    unsigned valueCount = 0;
};

struct ParserEventBatch
{
    std::vector<ParserEvent> events;
    std::vector<ParserValue> values;
    std::string text;

    bool isEmpty() const { return events.empty(); }
    bool isFull() const { return events.size() >= 4096 || text.size() >= 256 * 1024; }
    void clear()
    {
        events.clear();
        values.clear();
        text.clear();
    }
};

// The byte side of the streaming engine, as the link reaches it when both sides
// run on one thread.
class ByteSide
{
public:
    virtual ~ByteSide() = default;
    // Reads the next chunk and puts it to the link.
    virtual void produce() = 0;
    // Acts on what the parser reported.
    virtual void consume(const ParserEventBatch &batch) = 0;
};

// The two bounded queues between the parser and the byte side of the streaming
// engine: chunks to the parser, what it reports back. Threaded, each side runs on
// its own thread; the byte side fills the parser's queue and sleeps until it runs
// low or reports pile up, so that the two wake each other a few times for many
// chunks. Otherwise the parser's side calls the byte side directly whenever it
// needs a chunk or reports. Buffers go back and forth rather than being freed and
// allocated again on the other thread.
class StreamLink
{
public:
    // `byteSide` null: threaded.
    explicit StreamLink(ByteSide *byteSide) : m_direct(byteSide) {}

    bool isThreaded() const { return m_direct == nullptr; }

    // The parser's side. A chunk of kind Failure once the byte side has stopped.
    // `done`: the bytes of the chunk before, for the byte side to fill again.
    ParserChunk takeChunk(std::vector<char> &&done);
    // Hands the batch over and leaves it empty.
    void post(ParserEventBatch &batch);
    bool stopped() const { return m_stopped.load(std::memory_order_relaxed); }

    // The byte side.
    std::vector<char> spareBytes();
    void putChunk(ParserChunk &&chunk);
    // Ends the parse as soon as the parser next reports or reads.
    void stop();
    // Threaded: sleeps until there is something worth waking for: reports piling up
    // or the last one, or (with `producing`) the parser's queue running low.
    void waitForWork(bool producing);
    // The next batch reported, if any; the one before goes back to the parser.
    bool takeBatch(ParserEventBatch &batch);
    bool hasRoom();

private:
    static constexpr size_t chunksAhead = 4;
    static constexpr size_t batchesAhead = 4;

    bool worthWaking() const;

    ByteSide *const m_direct;
    std::atomic<bool> m_stopped{false};
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<ParserChunk> m_chunks;
    std::deque<ParserEventBatch> m_batches;
    std::vector<std::vector<char>> m_spareBytes;
    std::vector<ParserEventBatch> m_spareBatches;
    bool m_producing = true; // as the byte side said when it last slept
    bool m_finishedPosted = false;
};

} // namespace xmladjust

#endif // STREAMLINK_H
