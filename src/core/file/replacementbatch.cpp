// SPDX-License-Identifier: MIT
#include "file/replacementbatch.h"

#include <algorithm>
#include <atomic>
#include <system_error>
#include <thread>

namespace xmladjust {

namespace {

// Syncs in flight at once. A sync mostly waits for the disk, so there may be more of
// them than cores.
constexpr size_t syncsAtOnce = 8;

} // namespace

void ReplacementBatch::add(std::unique_ptr<AtomicFileReplacement> replacement)
{
    m_replacements.push_back(std::move(replacement));
}

std::vector<Outcome> ReplacementBatch::commit()
{
    std::vector<Outcome> outcomes(m_replacements.size());
    for (size_t i = 0; i < m_replacements.size(); ++i)
        outcomes[i] = m_replacements[i]->complete();
    syncNewFiles(&outcomes);
    QSet<QByteArray> folders;
    for (size_t i = 0; i < m_replacements.size(); ++i) {
        if (outcomes[i].succeeded())
            outcomes[i] = m_replacements[i]->replace(&folders);
    }
    for (const QByteArray &folder : qAsConst(folders))
        syncFolder(folder);
    m_replacements.clear();
    return outcomes;
}

// In turn, each sync would wait for a commit and a cache flush of its own; at once, the
// file system commits their metadata together and the disk merges the flushes that
// arrive while one is under way. Each replacement is synced by one thread alone.
void ReplacementBatch::syncNewFiles(std::vector<Outcome> *outcomes)
{
    std::atomic<size_t> next{0};
    const auto syncSome = [&] {
        for (size_t i = next++; i < m_replacements.size(); i = next++) {
            if ((*outcomes)[i].succeeded())
                (*outcomes)[i] = m_replacements[i]->syncNew();
        }
    };
    std::vector<std::thread> helpers;
    for (size_t i = 1; i < std::min(syncsAtOnce, m_replacements.size()); ++i) {
        try {
            helpers.emplace_back(syncSome);
        } catch (const std::system_error &) {
            break; // fewer at once: this thread syncs what is left
        }
    }
    syncSome();
    for (std::thread &helper : helpers)
        helper.join();
}

} // namespace xmladjust
