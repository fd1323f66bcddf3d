#include "atomicfile.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

FileReplaceResult failure(FileReplaceResult::Status status, const QString &message)
{
    FileReplaceResult result;
    result.status = status;
    result.errorMessage = message;
    return result;
}

// Writes all of the bytes. A write that stops part-way (at a file-size limit, or when
// the disk fills) returns a short count with no reason; writing on gets the system's.
bool writeAll(QIODevice *device, const QByteArray &bytes)
{
    for (qint64 written = 0; written < bytes.size();) {
        const qint64 result = device->write(bytes.constData() + written, bytes.size() - written);
        if (result <= 0)
            return false;
        written += result;
    }
    return true;
}

} // namespace

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

std::optional<FileReplaceResult> replaceRefusal(const QString &path)
{
    const QFileInfo pathInfo(path);
    if (!pathInfo.exists())
        return failure(FileReplaceResult::CannotReplace, QStringLiteral("no such file"));
    if (pathInfo.isDir())
        return failure(FileReplaceResult::CannotReplace, QStringLiteral("is a directory"));
    // Root may write anything; a file whose owner took away write permission is
    // still meant to stay as it is.
    if (!pathInfo.isWritable() || !(pathInfo.permissions() & QFileDevice::WriteOwner))
        return failure(FileReplaceResult::NotWritable,
                       QStringLiteral("permission denied: the file is not writable"));
    return std::nullopt;
}

AtomicFileReplacement::AtomicFileReplacement() = default;

AtomicFileReplacement::~AtomicFileReplacement()
{
    cancel();
}

std::optional<FileReplaceResult> AtomicFileReplacement::begin(const QString &path,
                                                              const std::optional<FileStamp> &read)
{
    cancel();
    // Taken first, so that any change from here on counts as another program's.
    m_read = read ? read : fileStamp(path);
    if (std::optional<FileReplaceResult> refusal = replaceRefusal(path))
        return refusal;
    // Write through a symbolic link to the file it names, so the link stays a link.
    m_target = QFileInfo(path).canonicalFilePath();
    const QFileInfo targetInfo(m_target);

    m_file = std::make_unique<QSaveFile>(m_target);
    if (!m_file->open(QIODevice::WriteOnly)) {
        const QString reason = m_file->errorString();
        m_file.reset();
        return failure(FileReplaceResult::Failed, reason);
    }
    // QSaveFile copies permissions as seen by this user (root sees every file as
    // writable); the file's own mode bits are what it must keep.
    const QFileDevice::Permissions modeBits =
        targetInfo.permissions() &
        (QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
         QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup |
         QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther);
    if (!m_file->setPermissions(modeBits)) {
        const QString reason = m_file->errorString();
        cancel();
        return failure(FileReplaceResult::Failed, reason);
    }
#ifdef Q_OS_UNIX
    // Keep owner and group where this user may (root, or a member of the group).
    if (fchown(m_file->handle(), targetInfo.ownerId(), targetInfo.groupId()) != 0)
        (void)!fchown(m_file->handle(), uid_t(-1), targetInfo.groupId());
#endif
    return std::nullopt;
}

QIODevice *AtomicFileReplacement::device() const
{
    return m_file.get();
}

FileReplaceResult AtomicFileReplacement::commit()
{
    if (!m_file)
        return failure(FileReplaceResult::Failed, QStringLiteral("nothing to replace"));
    // A write that failed part-way makes QSaveFile refuse the commit; say why.
    if (m_file->error() != QFileDevice::NoError) {
        const QString reason = m_file->errorString();
        cancel();
        return failure(FileReplaceResult::Failed, reason);
    }
    // The file may have gone while it was being read and adjusted: do not create it
    // anew. Or another program may have changed it: its edit is not to be lost.
    const std::optional<FileStamp> now = fileStamp(m_target);
    if (!now) {
        cancel();
        return failure(FileReplaceResult::CannotReplace,
                       QStringLiteral("the file was removed meanwhile"));
    }
    if (now != m_read) {
        cancel();
        return failure(FileReplaceResult::ChangedMeanwhile,
                       QStringLiteral("the file was changed meanwhile"));
    }
    const bool committed = m_file->commit();
    const QString reason = m_file->errorString();
    m_file.reset();
    if (!committed)
        return failure(FileReplaceResult::Failed, reason);
    FileReplaceResult result;
    result.status = FileReplaceResult::Replaced;
    return result;
}

void AtomicFileReplacement::cancel()
{
    if (!m_file)
        return;
    m_file->cancelWriting();
    m_file.reset();
}

FileReplaceResult replaceFileContents(const QString &path, const QByteArray &contents,
                                      const std::optional<FileStamp> &read)
{
    AtomicFileReplacement replacement;
    if (std::optional<FileReplaceResult> refusal = replacement.begin(path, read))
        return *refusal;
    if (!writeAll(replacement.device(), contents)) {
        const FileReplaceResult result =
            failure(FileReplaceResult::Failed, replacement.device()->errorString());
        replacement.cancel();
        return result;
    }
    return replacement.commit();
}
