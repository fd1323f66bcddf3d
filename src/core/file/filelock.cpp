// SPDX-License-Identifier: MIT
#include "file/filelock.h"

#include "messages.h"

#include <QElapsedTimer>
#include <QThread>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace xmladjust {

bool namesFile(const QByteArray &path, const struct stat &status)
{
    struct stat now = {};
    return ::stat(path.constData(), &now) == 0 && now.st_dev == status.st_dev &&
           now.st_ino == status.st_ino;
}

Outcome LockedFile::lock(const QByteArray &path, int waitMilliseconds)
{
    release();
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        // Without blocking: a pipe put at the path is refused, not waited on.
        m_fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        // A lease another program holds on the file: wait for it to let go.
        if (m_fd < 0 && errno == EWOULDBLOCK)
            m_fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
        if (m_fd < 0) {
            if (errno == ENOENT)
                return failureOf(Reason::NoSuchFile);
            return Failure{FailureKind::CannotRead, QString::fromLocal8Bit(strerror(errno))};
        }
        if (::fstat(m_fd, &m_status) != 0 || !S_ISREG(m_status.st_mode)) {
            const bool directory = S_ISDIR(m_status.st_mode);
            release();
            return failureOf(directory ? Reason::IsDirectory : Reason::NotRegularFile);
        }
        bool locked = false;
        while (!locked) {
            if (::flock(m_fd, LOCK_EX | LOCK_NB) == 0)
                break;
            if (errno == EINTR)
                continue;
            if (errno != EWOULDBLOCK) {
                locked = true; // no locks on this file system (ENOLCK, EOPNOTSUPP)
                break;
            }
            if (waited.elapsed() >= waitMilliseconds) {
                release();
                return failureOf(Reason::LockedByAnother,
                                 {QString::number(waitMilliseconds / 1000.0, 'g', 3)});
            }
            QThread::msleep(20);
        }
        // Another run may have replaced the file while this one waited.
        if (::fstat(m_fd, &m_status) == 0 && namesFile(path, m_status))
            return {};
        release();
    }
}

void LockedFile::release()
{
    if (m_fd >= 0)
        ::close(m_fd); // which ends the lock
    m_fd = -1;
}

} // namespace xmladjust
