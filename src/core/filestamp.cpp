// SPDX-License-Identifier: MIT
#include "filestamp.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace xmladjust {

bool FileStamp::operator==(const FileStamp &other) const
{
    return device == other.device && inode == other.inode && size == other.size &&
           modifiedSeconds == other.modifiedSeconds &&
           modifiedNanoseconds == other.modifiedNanoseconds;
}

std::optional<FileStamp> fileStamp(const QString &path)
{
    FileStamp stamp;
#ifdef Q_OS_UNIX
    struct stat status;
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return std::nullopt;
    stamp.device = quint64(status.st_dev);
    stamp.inode = quint64(status.st_ino);
    stamp.size = qint64(status.st_size);
#ifdef Q_OS_DARWIN
    const timespec modified = status.st_mtimespec;
#else
    const timespec modified = status.st_mtim;
#endif
    stamp.modifiedSeconds = qint64(modified.tv_sec);
    stamp.modifiedNanoseconds = qint64(modified.tv_nsec);
#else
    // No identity here, and the time only to the millisecond.
    const QFileInfo info(path);
    if (!info.exists())
        return std::nullopt;
    stamp.size = info.size();
    const qint64 milliseconds = info.lastModified().toMSecsSinceEpoch();
    stamp.modifiedSeconds = milliseconds / 1000;
    stamp.modifiedNanoseconds = milliseconds % 1000 * 1000000;
#endif
    return stamp;
}

} // namespace xmladjust
