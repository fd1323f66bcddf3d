// SPDX-License-Identifier: MIT
#include "stream/streamlink.h"

namespace xmladjust {

namespace {

constexpr size_t spareBuffers = 4;

} // namespace

ParserChunk StreamLink::takeChunk(std::vector<char> &&done)
{
    if (m_direct) {
        if (m_chunks.empty() && !stopped())
            m_direct->produce();
        if (m_spareBytes.size() < spareBuffers)
            m_spareBytes.push_back(std::move(done));
        if (m_chunks.empty() || stopped())
            return ParserChunk{ParserChunk::Kind::Failure, {}};
        ParserChunk chunk = std::move(m_chunks.front());
        m_chunks.pop_front();
        return chunk;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_spareBytes.size() < spareBuffers)
        m_spareBytes.push_back(std::move(done));
    if (m_chunks.empty())
        m_changed.notify_all();
    m_changed.wait(lock, [this] { return !m_chunks.empty() || stopped(); });
    if (stopped())
        return ParserChunk{ParserChunk::Kind::Failure, {}};
    ParserChunk chunk = std::move(m_chunks.front());
    m_chunks.pop_front();
    if (worthWaking())
        m_changed.notify_all();
    return chunk;
}

void StreamLink::post(ParserEventBatch &batch)
{
    if (m_direct) {
        m_direct->consume(batch);
        batch.clear();
        return;
    }
    const bool finished = batch.events.back().kind == ParserEvent::Kind::Finished;
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_batches.size() < batchesAhead || stopped(); });
    // Once stopped, the byte side reads nothing more than the last report.
    if (!stopped() || finished) {
        m_batches.push_back(std::move(batch));
        m_finishedPosted = finished;
        if (worthWaking())
            m_changed.notify_all();
    }
    if (m_spareBatches.empty()) {
        batch = ParserEventBatch();
    } else {
        batch = std::move(m_spareBatches.back());
        m_spareBatches.pop_back();
    }
    batch.clear();
}

std::vector<char> StreamLink::spareBytes()
{
    std::unique_lock<std::mutex> lock(m_mutex, std::defer_lock);
    if (!m_direct)
        lock.lock();
    if (m_spareBytes.empty())
        return {};
    std::vector<char> bytes = std::move(m_spareBytes.back());
    m_spareBytes.pop_back();
    return bytes;
}

void StreamLink::putChunk(ParserChunk &&chunk)
{
    if (m_direct) {
        m_chunks.push_back(std::move(chunk));
        return;
    }
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_chunks.push_back(std::move(chunk));
    if (m_chunks.size() == 1)
        m_changed.notify_all();
}

void StreamLink::stop()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_stopped.store(true, std::memory_order_relaxed);
    m_chunks.clear();
    m_changed.notify_all();
}

bool StreamLink::worthWaking() const
{
    if (m_finishedPosted || m_batches.size() >= batchesAhead / 2)
        return true;
    return m_producing ? m_chunks.size() <= chunksAhead / 2 : !m_batches.empty();
}

void StreamLink::waitForWork(bool producing)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_producing = producing;
    m_changed.wait(lock, [this] { return worthWaking(); });
}

bool StreamLink::takeBatch(ParserEventBatch &batch)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (!batch.events.empty() && m_spareBatches.size() < spareBuffers) {
        m_spareBatches.push_back(std::move(batch));
        batch = ParserEventBatch();
    }
    if (m_batches.empty())
        return false;
    batch = std::move(m_batches.front());
    m_batches.pop_front();
    if (m_batches.size() + 1 == batchesAhead)
        m_changed.notify_all();
    return true;
}

bool StreamLink::hasRoom()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_chunks.size() < chunksAhead;
}

} // namespace xmladjust
