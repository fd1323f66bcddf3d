// SPDX-License-Identifier: MIT
#ifndef ATOMICFILE_H
#define ATOMICFILE_H

#include "filestamp.h"
#include "result.h"

#include <QByteArray>
#include <QString>

#include <memory>

class QIODevice;
class QSaveFile;

namespace xmladjust {

// Whether the existing file at the path may be replaced: it must exist and not be a
// directory, and it must be writable both for this user and for its owner (so a
// file its owner made read-only stays so, even for root).
Outcome checkReplaceable(const QString &path);

// Replaces the contents of an existing file atomically: the new bytes go to a
// temporary file beside it, which is renamed over it only once all of them are
// safely on disk. The file keeps its mode bits and, where this user may, its owner
// and group; a symbolic link keeps pointing at the updated file. Until commit()
// succeeds the old file is untouched, and a replacement that is cancelled, fails or
// is destroyed leaves no temporary file behind.
class AtomicFileReplacement
{
public:
    AtomicFileReplacement();
    ~AtomicFileReplacement();
    AtomicFileReplacement(const AtomicFileReplacement &) = delete;
    AtomicFileReplacement &operator=(const AtomicFileReplacement &) = delete;

    // Checks the file and opens the temporary file. commit() refuses a file that is
    // no longer as it was when it was read: as `read` found it, or without one as it
    // is now, so begin() must come before the reading.
    Outcome begin(const QString &path, const std::optional<FileStamp> &read = std::nullopt);
    // Where the new contents are written, between begin() and commit().
    QIODevice *device() const;
    Outcome commit();
    void cancel();

private:
    std::unique_ptr<QSaveFile> m_file;
    QString m_target;
    std::optional<FileStamp> m_read;
};

// The whole of the new contents written with an AtomicFileReplacement; `read` is the
// file's stamp from before it was read.
Outcome replaceFileContents(const QString &path, const QByteArray &contents,
                            const std::optional<FileStamp> &read = std::nullopt);

} // namespace xmladjust

#endif // ATOMICFILE_H
