// SPDX-License-Identifier: MIT
#ifndef WRITTENBACKFILE_H
#define WRITTENBACKFILE_H

#include <QFile>

#include <atomic>
#include <thread>

namespace xmladjust {

// A new file whose data is sent on its way to the disk every few megabytes as it is
// written, so that the disk works while the rest is still being made. A large file
// is also synced now and then on a thread of its own: a disk with a write cache of
// its own (many, virtual ones among them) keeps what it is sent until a sync makes it
// store it, so the sync at the end would otherwise wait for the whole file.
class WrittenBackFile final : public QFile
{
public:
    WrittenBackFile() = default;
    ~WrittenBackFile() override;

    void close() override;
    // Waits for a sync under way and returns the errno of any that failed, or 0. A
    // failure a sync reported is not reported again to the next, so the final sync's
    // success alone would not say the data is safe.
    int finishEarlySyncs();

protected:
    qint64 writeData(const char *data, qint64 length) override;

private:
    void startEarlySync();

    static constexpr qint64 writeBackStep = qint64(8) << 20;
    static constexpr qint64 earlySyncStep = qint64(64) << 20;
    qint64 m_sentFrom = 0;
    qint64 m_syncedFrom = 0;
    std::thread m_syncing;
    std::atomic<bool> m_syncRunning{false};
    std::atomic<int> m_syncError{0};
};

} // namespace xmladjust

#endif // WRITTENBACKFILE_H
