#ifndef ATOMICFILE_H
#define ATOMICFILE_H

#include <QByteArray>
#include <QFileDevice>
#include <QString>

#include <memory>
#include <optional>

class QIODevice;
class QSaveFile;

struct FileReplaceResult
{
    enum Status
    {
        Replaced,
        CannotReplace,
        NotWritable,
        ChangedMeanwhile, // another program changed the file after it was read
        Failed
    };
    Status status = Failed;
    QString errorMessage;

    bool isReplaced() const { return status == Replaced; }
};

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

// Why the existing file at the path may not be replaced, or nothing when it may:
// it must exist and not be a directory, and it must be writable both for this user
// and for its owner (so a file its owner made read-only stays so, even for root).
std::optional<FileReplaceResult> replaceRefusal(const QString &path);

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

    // Checks the file and opens the temporary file; a refusal or failure is returned.
    // commit() refuses a file that is no longer as it was when it was read: as `read`
    // found it, or without one as it is now, so begin() must come before the reading.
    std::optional<FileReplaceResult> begin(const QString &path,
                                           const std::optional<FileStamp> &read = std::nullopt);
    // Where the new contents are written, between begin() and commit().
    QIODevice *device() const;
    FileReplaceResult commit();
    void cancel();

private:
    std::unique_ptr<QSaveFile> m_file;
    QString m_target;
    std::optional<FileStamp> m_read;
};

// The whole of the new contents written with an AtomicFileReplacement; `read` is the
// file's stamp from before it was read.
FileReplaceResult replaceFileContents(const QString &path, const QByteArray &contents,
                                      const std::optional<FileStamp> &read = std::nullopt);

#endif // ATOMICFILE_H
