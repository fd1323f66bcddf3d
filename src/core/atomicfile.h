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
        Failed
    };
    Status status = Failed;
    QString errorMessage;

    bool isReplaced() const { return status == Replaced; }
};

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
    std::optional<FileReplaceResult> begin(const QString &path);
    // Where the new contents are written, between begin() and commit().
    QIODevice *device() const;
    FileReplaceResult commit();
    void cancel();

private:
    std::unique_ptr<QSaveFile> m_file;
    QString m_target;
};

// The whole of the new contents written with an AtomicFileReplacement.
FileReplaceResult replaceFileContents(const QString &path, const QByteArray &contents);

#endif // ATOMICFILE_H
