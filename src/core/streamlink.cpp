// SPDX-License-Identifier: MIT
#include "streamlink.h"

namespace xmladjust {

ParserChunk StreamLink::takeChunk()
{
    if (m_direct) {
        if (m_chunks.empty() && !stopped())
            m_direct->produce();
        if (m_chunks.empty() || stopped())
            return ParserChunk{ParserChunk::Kind::Failure, {}};
        ParserChunk chunk = std::move(m_chunks.front());
        m_chunks.pop_front();
        return chunk;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return !m_chunks.empty() || stopped(); });
    if (stopped())
        return ParserChunk{ParserChunk::Kind::Failure, {}};
    ParserChunk chunk = std::move(m_chunks.front());
    m_chunks.pop_front();
    if (m_chunks.size() + 1 == chunksAhead)
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
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_batches.size() < batchesAhead || stopped(); });
    // Once stopped, the byte side reads nothing more than the last report.
    if (!stopped() || batch.events.back().kind == ParserEvent::Kind::Finished) {
        m_batches.push_back(std::move(batch));
        m_changed.notify_all();
    }
    batch.clear();
}

void StreamLink::putChunk(ParserChunk &&chunk)
{
    if (m_direct) {
        m_chunks.push_back(std::move(chunk));
        return;
    }
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_chunks.push_back(std::move(chunk));
    m_changed.notify_all();
}

void StreamLink::stop()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_stopped.store(true, std::memory_order_relaxed);
    m_chunks.clear();
    m_changed.notify_all();
}

bool StreamLink::waitForBatch(bool wantRoom, ParserEventBatch &batch)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(
        lock, [&] { return !m_batches.empty() || (wantRoom && m_chunks.size() < chunksAhead); });
    if (m_batches.empty())
        return false;
    batch = std::move(m_batches.front());
    m_batches.pop_front();
    if (m_batches.size() + 1 == batchesAhead)
        m_changed.notify_all();
    return true;
}

} // namespace xmladjust
