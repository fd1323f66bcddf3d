// SPDX-License-Identifier: MIT
#ifndef FILELOCK_H
#define FILELOCK_H

#include "result.h"

#include <QByteArray>

#include <sys/stat.h>

namespace xmladjust {

// The file a path names, opened for reading and held with an advisory lock (flock)
// for as long as this lives, so that runs of this program on one file take turns.
// A file system that has no locks does not stop the work: the file is then held
// without one.
class LockedFile
{
public:
    LockedFile() = default;
    ~LockedFile() { release(); }
    LockedFile(const LockedFile &) = delete;
    LockedFile &operator=(const LockedFile &) = delete;

    // Opens and locks the file, waiting at most `waitMilliseconds` for another
    // holder; once locked, the path must still name this file, or the work starts
    // over on the one now there. Refuses a path that names no regular file.
    Outcome lock(const QByteArray &path, int waitMilliseconds);
    void release();

    int handle() const { return m_fd; }
    // The file's status as it was once locked.
    const struct stat &status() const { return m_status; }

private:
    int m_fd = -1;
    struct stat m_status = {};
};

// Whether the path names the same file as the status (its device and inode).
bool namesFile(const QByteArray &path, const struct stat &status);

} // namespace xmladjust

#endif // FILELOCK_H
