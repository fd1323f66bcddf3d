// SPDX-License-Identifier: MIT
#include "atomicfile.h"

#include "messages.h"

#include <QFileInfo>
#include <QSaveFile>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace xmladjust {

namespace {

Failure writeFailure(const QString &reason)
{
    return Failure{FailureKind::CannotWrite, reason};
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

Outcome checkReplaceable(const QString &path)
{
    const QFileInfo pathInfo(path);
    if (!pathInfo.exists())
        return failureOf(Reason::NoSuchFile);
    if (pathInfo.isDir())
        return failureOf(Reason::IsDirectory);
    // Root may write anything; a file whose owner took away write permission is
    // still meant to stay as it is.
    if (!pathInfo.isWritable() || !(pathInfo.permissions() & QFileDevice::WriteOwner))
        return failureOf(Reason::NotWritable);
    return {};
}

AtomicFileReplacement::AtomicFileReplacement() = default;

AtomicFileReplacement::~AtomicFileReplacement()
{
    cancel();
}

Outcome AtomicFileReplacement::begin(const QString &path, const std::optional<FileStamp> &read)
{
    cancel();
    // Taken first, so that any change from here on counts as another program's.
    m_read = read ? read : fileStamp(path);
    if (Outcome replaceable = checkReplaceable(path); !replaceable.succeeded())
        return replaceable;
    // Write through a symbolic link to the file it names, so the link stays a link.
    m_target = QFileInfo(path).canonicalFilePath();
    const QFileInfo targetInfo(m_target);

    m_file = std::make_unique<QSaveFile>(m_target);
    if (!m_file->open(QIODevice::WriteOnly)) {
        const QString reason = m_file->errorString();
        m_file.reset();
        return writeFailure(reason);
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
        return writeFailure(reason);
    }
#ifdef Q_OS_UNIX
    // Keep owner and group where this user may (root, or a member of the group).
    if (fchown(m_file->handle(), targetInfo.ownerId(), targetInfo.groupId()) != 0)
        (void)!fchown(m_file->handle(), uid_t(-1), targetInfo.groupId());
#endif
    return {};
}

QIODevice *AtomicFileReplacement::device() const
{
    return m_file.get();
}

Outcome AtomicFileReplacement::commit()
{
    if (!m_file)
        return failureOf(Reason::NothingToReplace);
    // A write that failed part-way makes QSaveFile refuse the commit; say why.
    if (m_file->error() != QFileDevice::NoError) {
        const QString reason = m_file->errorString();
        cancel();
        return writeFailure(reason);
    }
    // The file may have gone while it was being read and adjusted: do not create it
    // anew. Or another program may have changed it: its edit is not to be lost.
    const std::optional<FileStamp> now = fileStamp(m_target);
    if (!now) {
        cancel();
        return failureOf(Reason::RemovedMeanwhile);
    }
    if (now != m_read) {
        cancel();
        return failureOf(Reason::ChangedMeanwhile);
    }
    const bool committed = m_file->commit();
    const QString reason = m_file->errorString();
    m_file.reset();
    if (!committed)
        return writeFailure(reason);
    return {};
}

void AtomicFileReplacement::cancel()
{
    if (!m_file)
        return;
    m_file->cancelWriting();
    m_file.reset();
}

Outcome replaceFileContents(const QString &path, const QByteArray &contents,
                            const std::optional<FileStamp> &read)
{
    AtomicFileReplacement replacement;
    if (Outcome begun = replacement.begin(path, read); !begun.succeeded())
        return begun;
    if (!writeAll(replacement.device(), contents)) {
        const Failure failure = writeFailure(replacement.device()->errorString());
        replacement.cancel();
        return failure;
    }
    return replacement.commit();
}

} // namespace xmladjust
