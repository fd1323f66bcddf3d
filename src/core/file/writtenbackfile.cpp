// SPDX-License-Identifier: MIT
#include "file/writtenbackfile.h"

#include <cerrno>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>

namespace xmladjust {

WrittenBackFile::~WrittenBackFile()
{
    // Before the base class closes the handle the sync may still be using.
    (void)finishEarlySyncs();
}

void WrittenBackFile::close()
{
    (void)finishEarlySyncs();
    QFile::close();
}

int WrittenBackFile::finishEarlySyncs()
{
    if (m_syncing.joinable())
        m_syncing.join();
    return m_syncError.load();
}

qint64 WrittenBackFile::writeData(const char *data, qint64 length)
{
    const qint64 from = pos();
    const qint64 written = QFile::writeData(data, length);
    if (written <= 0)
        return written;
    const qint64 end = from + written;
    if (end - m_sentFrom >= writeBackStep) {
        (void)::sync_file_range(handle(), m_sentFrom, end - m_sentFrom, SYNC_FILE_RANGE_WRITE);
        m_sentFrom = end;
    }
    // One sync at a time: while one is under way the file only grows.
    if (end - m_syncedFrom >= earlySyncStep && !m_syncRunning.load()) {
        m_syncedFrom = end;
        startEarlySync();
    }
    return written;
}

void WrittenBackFile::startEarlySync()
{
    if (m_syncing.joinable())
        m_syncing.join(); // finished: m_syncRunning said so
    m_syncRunning.store(true);
    try {
        m_syncing = std::thread([this, fd = handle()] {
            if (::fdatasync(fd) != 0 && errno != EINVAL && errno != EROFS) {
                int none = 0;
                m_syncError.compare_exchange_strong(none, errno);
            }
            m_syncRunning.store(false);
        });
    } catch (const std::system_error &) {
        m_syncRunning.store(false); // no thread to be had: the sync at the end does it all
    }
}

} // namespace xmladjust
