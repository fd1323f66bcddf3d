// SPDX-License-Identifier: MIT
#include "file/filestamp.h"

#include <QFile>

namespace xmladjust {

bool FileStamp::operator==(const FileStamp &other) const
{
    return device == other.device && inode == other.inode && size == other.size &&
           modifiedSeconds == other.modifiedSeconds &&
           modifiedNanoseconds == other.modifiedNanoseconds;
}

FileStamp stampOf(const struct stat &status)
{
    FileStamp stamp;
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
    return stamp;
}

std::optional<FileStamp> fileStamp(const QString &path)
{
    struct stat status;
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return std::nullopt;
    return stampOf(status);
}

} // namespace xmladjust
