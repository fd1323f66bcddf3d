// SPDX-License-Identifier: MIT
#ifndef FILESTAMP_H
#define FILESTAMP_H

#include <QString>

#include <optional>

#include <sys/stat.h>

namespace xmladjust {

// What tells one version of a file from another: which file it is, its size and when
// it was last modified. An edit, or a save that puts another file in its place,
// changes at least one of them.
struct FileStamp
{
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = -1;
    qint64 modifiedSeconds = 0;
    qint64 modifiedNanoseconds = 0;

    bool operator==(const FileStamp &other) const;
    bool operator!=(const FileStamp &other) const { return !(*this == other); }
};

// The stamp of the file the path names, through symbolic links; nothing when there
// is no such file.
std::optional<FileStamp> fileStamp(const QString &path);

// The stamp of a file's status.
FileStamp stampOf(const struct stat &status);

} // namespace xmladjust

#endif // FILESTAMP_H
