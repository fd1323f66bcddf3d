// SPDX-License-Identifier: MIT
#include "standardstreams.h"

#include <cerrno>
#include <cstring>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif

namespace xmladjust {

void holdClosedStandardStreams()
{
#ifdef Q_OS_UNIX
    for (const int stream : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (fcntl(stream, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lowest free number is this one, since the ones below it are open by now.
        const int standIn = ::open("/dev/null", stream == STDIN_FILENO ? O_WRONLY : O_RDONLY);
        if (standIn != stream && standIn >= 0) {
            ::dup2(standIn, stream);
            ::close(standIn);
        }
    }
#endif
}

bool printLine(FILE *stream, const QString &line)
{
    const QByteArray bytes = line.toLocal8Bit() + '\n';
    return std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream) == size_t(bytes.size());
}

QString closeStandardOutput()
{
    // A failed write may have been buffered: the error flag keeps it, errno may not.
    const bool failedBefore = std::ferror(stdout) != 0;
    errno = 0;
    if (std::fflush(stdout) != 0 || failedBefore)
        return QString::fromLocal8Bit(std::strerror(errno ? errno : EIO));
#ifdef Q_OS_UNIX
    // A file system that writes later (NFS, say) may report its failure only here.
    if (::close(STDOUT_FILENO) != 0 && errno != EBADF)
        return QString::fromLocal8Bit(std::strerror(errno));
#endif
    return {};
}

} // namespace xmladjust
