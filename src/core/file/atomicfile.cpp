// SPDX-License-Identifier: MIT
#include "file/atomicfile.h"

#include "file/filelock.h"
#include "file/filemetadata.h"
#include "file/filestamp.h"
#include "file/signalcleanup.h"
#include "file/writtenbackfile.h"
#include "messages.h"
#include "writeall.h"

#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace xmladjust {

namespace {

QString systemReason(int error = errno)
{
    return QString::fromLocal8Bit(strerror(error));
}

Failure writeFailure(const QString &reason)
{
    return Failure{FailureKind::CannotWrite, reason};
}

QByteArray folderOf(const QByteArray &path)
{
    const int slash = path.lastIndexOf('/');
    return slash <= 0 ? QByteArray(slash == 0 ? "/" : ".") : path.left(slash);
}

// The file a path names through symbolic links, so that a link stays a link.
bool resolve(const QString &path, QByteArray *target, Outcome *outcome)
{
    char *real = ::realpath(QFile::encodeName(path).constData(), nullptr);
    if (!real) {
        *outcome = errno == ENOENT ? Outcome(failureOf(Reason::NoSuchFile))
                                   : Outcome(Failure{FailureKind::CannotRead, systemReason()});
        return false;
    }
    *target = real;
    std::free(real);
    return true;
}

// A file that only a privileged user may change (chattr +a or +i) cannot be renamed over.
bool mayBeReplaced(int fd)
{
    int flags = 0;
    return ::ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0 || !(flags & (FS_APPEND_FL | FS_IMMUTABLE_FL));
}

// What the replacement needs, checked without changing anything; `file` is the file
// opened for reading. For a file to be written over in place, `overwrite` (when
// given) gets it opened for writing.
Outcome checkReplacement(const QByteArray &target, int file, const struct stat &status,
                         bool *inPlace, int *overwrite)
{
    if (::faccessat(AT_FDCWD, target.constData(), W_OK, AT_EACCESS) != 0 ||
        !(status.st_mode & S_IWUSR))
        return failureOf(Reason::NotWritable);
    const QByteArray folder = folderOf(target);
    if (::faccessat(AT_FDCWD, folder.constData(), W_OK | X_OK, AT_EACCESS) != 0)
        return failureOf(Reason::CannotCreateBeside, {systemReason()});
    *inPlace = status.st_nlink > 1 || !mayGiveOwnership(status);
    if (!*inPlace) {
        const int folderFd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const bool folderChangeable = folderFd < 0 || mayBeReplaced(folderFd);
        if (folderFd >= 0)
            ::close(folderFd);
        if (!mayBeReplaced(file) || !folderChangeable)
            return failureOf(Reason::ReplaceNotPermitted, {systemReason(EPERM)});
        return {};
    }
    // Writing clears setuid and setgid, and only the owner may set them again.
    if ((status.st_mode & (S_ISUID | S_ISGID)) && status.st_uid != ::geteuid() && ::geteuid() != 0)
        return failureOf(Reason::ModeNotKept,
                         {QString::number(status.st_mode & 07777, 8), systemReason(EPERM)});
    const int fd = ::open(target.constData(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return failureOf(Reason::CannotWriteInPlace, {systemReason()});
    struct stat opened = {};
    const bool same = ::fstat(fd, &opened) == 0 && opened.st_ino == status.st_ino &&
                      opened.st_dev == status.st_dev;
    if (overwrite && same)
        *overwrite = fd;
    else
        ::close(fd);
    return same ? Outcome() : Outcome(failureOf(Reason::ChangedMeanwhile));
}

QByteArray randomSuffix()
{
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    QByteArray suffix(".");
    for (int i = 0; i < 6; ++i)
        suffix += letters[QRandomGenerator::global()->bounded(int(sizeof letters) - 1)];
    return suffix;
}

// A new file NAME.XXXXXX beside the target, for this user alone.
int createNamed(const QByteArray &target, QByteArray *name)
{
    QByteArray pattern = target + ".XXXXXX";
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd >= 0)
        *name = pattern;
    return fd;
}

// Copies all of `from` onto the start of `to`, which is then cut to that length.
bool copyContents(int from, int to)
{
    QByteArray buffer(1 << 16, Qt::Uninitialized);
    off_t offset = 0;
    for (;;) {
        const ssize_t read = ::pread(from, buffer.data(), size_t(buffer.size()), offset);
        if (read < 0 && errno == EINTR)
            continue;
        if (read < 0)
            return false;
        if (read == 0)
            break;
        for (ssize_t written = 0; written < read;) {
            const ssize_t n =
                ::pwrite(to, buffer.constData() + written, size_t(read - written), offset);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                if (n == 0)
                    errno = ENOSPC;
                return false;
            }
            written += n;
            offset += n;
        }
    }
    return ::ftruncate(to, offset) == 0 && ::fsync(to) == 0;
}

} // namespace

void syncFolder(const QByteArray &folder)
{
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        (void)::fsync(fd);
        ::close(fd);
    }
}

struct AtomicFileReplacement::Work
{
    QByteArray target;
    LockedFile file;
    FileStamp read;
    bool inPlace = false;
    bool completed = false;
    int overwrite = -1;
    int temp = -1;
    QByteArray tempName; // empty while the temporary file has no name (O_TMPFILE)
    RemovedOnSignal tempRemoval;
    WrittenBackFile device;
    QByteArray backupSuffix; // empty: no backup

    ~Work()
    {
        device.close();
        if (temp >= 0)
            ::close(temp);
        if (overwrite >= 0)
            ::close(overwrite);
        if (!tempName.isEmpty())
            ::unlink(tempName.constData());
    }

    bool createTemporary()
    {
        temp = ::open(folderOf(target).constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (temp >= 0)
            return true;
        // A file system without unnamed files (vfat, NFS, many FUSE): a named one,
        // removed if a signal ends the run.
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
            return false;
        const SignalsDeferred deferred;
        temp = createNamed(target, &tempName);
        tempRemoval.set(tempName);
        return temp >= 0;
    }

    Outcome renameOver(QSet<QByteArray> *foldersToSync)
    {
        if (tempName.isEmpty()) {
            // Named and registered as one step, which a signal on another thread does
            // not come between.
            const SignalsDeferred deferred;
            const QByteArray fdPath = "/proc/self/fd/" + QByteArray::number(temp);
            for (int tries = 0; tempName.isEmpty(); ++tries) {
                // Named until the rename, and removed if a signal comes first.
                const QByteArray name = target + randomSuffix();
                tempRemoval.set(name);
                int linked = ::linkat(temp, "", AT_FDCWD, name.constData(), AT_EMPTY_PATH);
                if (linked != 0 && errno != EEXIST)
                    linked = ::linkat(AT_FDCWD, fdPath.constData(), AT_FDCWD, name.constData(),
                                      AT_SYMLINK_FOLLOW);
                if (linked == 0)
                    tempName = name;
                else if (errno != EEXIST || tries > 100)
                    return failureOf(Reason::CannotCreateBeside, {systemReason()});
            }
        }
        if (::rename(tempName.constData(), target.constData()) != 0) {
            const int error = errno;
            return error == EPERM ? failureOf(Reason::ReplaceNotPermitted, {systemReason(error)})
                                  : writeFailure(systemReason(error));
        }
        tempName.clear();
        tempRemoval.clear();
        if (foldersToSync)
            foldersToSync->insert(folderOf(target));
        else
            syncFolder(folderOf(target));
        return {};
    }

    // A synced copy of the old file with all that is attached to it, times included,
    // under a temporary name beside the backup's.
    Outcome copyBackup(const QByteArray &name, QByteArray *temporary, RemovedOnSignal *removal)
    {
        int copy = -1;
        {
            const SignalsDeferred deferred;
            copy = createNamed(name, temporary);
            if (copy >= 0)
                removal->set(*temporary);
        }
        if (copy < 0)
            return failureOf(Reason::BackupNotKept, {QFile::decodeName(name), systemReason()});
        const struct stat &status = file.status();
        const timespec times[2] = {status.st_atim, status.st_mtim};
        Outcome outcome;
        if (!copyContents(file.handle(), copy))
            outcome = failureOf(Reason::BackupNotKept, {QFile::decodeName(name), systemReason()});
        else if (Outcome kept = copyMetadata(file.handle(), status, copy); !kept.succeeded())
            outcome = failureOf(Reason::BackupNotKept,
                                {QFile::decodeName(name), kept.failure().message});
        else if (::futimens(copy, times) != 0)
            outcome = failureOf(Reason::BackupNotKept, {QFile::decodeName(name), systemReason()});
        ::close(copy);
        return outcome;
    }

    // The old file itself under a temporary name beside the backup's; false, with
    // errno, where it cannot be linked there.
    bool linkBackup(const QByteArray &name, QByteArray *temporary, RemovedOnSignal *removal)
    {
        const QByteArray fdPath = "/proc/self/fd/" + QByteArray::number(file.handle());
        for (int tries = 0;; ++tries) {
            const QByteArray candidate = name + randomSuffix();
            removal->set(candidate);
            int linked =
                ::linkat(file.handle(), "", AT_FDCWD, candidate.constData(), AT_EMPTY_PATH);
            if (linked != 0 && errno != EEXIST)
                linked = ::linkat(AT_FDCWD, fdPath.constData(), AT_FDCWD, candidate.constData(),
                                  AT_SYMLINK_FOLLOW);
            if (linked == 0) {
                *temporary = candidate;
                return true;
            }
            if (errno != EEXIST || tries > 100)
                return false;
        }
    }

    // The old contents under a temporary name: the old file itself, or a copy where
    // the file is to be written over in place or the file system has no hard links.
    Outcome placeBackup(const QByteArray &name, QByteArray *temporary, RemovedOnSignal *removal)
    {
        if (!inPlace) {
            if (linkBackup(name, temporary, removal))
                return {};
            if (errno != EPERM && errno != EOPNOTSUPP && errno != EMLINK)
                return failureOf(Reason::BackupNotKept, {QFile::decodeName(name), systemReason()});
        }
        return copyBackup(name, temporary, removal);
    }

    // The old contents kept as the file's name followed by the suffix, renamed into
    // place so that an older backup, or a link, of that name is replaced and not
    // written through.
    Outcome keepBackup()
    {
        const QByteArray name = target + backupSuffix;
        QByteArray temporary;
        RemovedOnSignal removal;
        Outcome outcome = placeBackup(name, &temporary, &removal);
        if (outcome.succeeded() && ::rename(temporary.constData(), name.constData()) != 0)
            outcome = failureOf(Reason::BackupNotKept, {QFile::decodeName(name), systemReason()});
        if (!outcome.succeeded() && !temporary.isEmpty())
            ::unlink(temporary.constData());
        removal.clear();
        return outcome;
    }

    Outcome writeOver()
    {
        // A signal now would leave the file half-written: it waits until the new
        // contents or the old are whole again and the copy is gone.
        const SignalsDeferred deferred;
        QByteArray backupName;
        const int backup = createNamed(target, &backupName);
        if (backup < 0)
            return failureOf(Reason::CannotCreateBeside, {systemReason()});
        if (!copyContents(file.handle(), backup)) {
            const QString reason = systemReason();
            ::close(backup);
            ::unlink(backupName.constData());
            return writeFailure(reason);
        }
        syncFolder(folderOf(target));
        Outcome outcome;
        if (!copyContents(temp, overwrite)) {
            const QString reason = systemReason();
            if (copyContents(backup, overwrite))
                outcome = writeFailure(reason);
            else
                outcome =
                    failureOf(Reason::OldContentsLeft, {reason, QFile::decodeName(backupName)});
        }
        // A write by another than the owner takes setuid and setgid away.
        struct stat now = {};
        if (::fstat(overwrite, &now) == 0 &&
            (now.st_mode & 07777) != (file.status().st_mode & 07777))
            (void)::fchmod(overwrite, file.status().st_mode & 07777);
        ::close(backup);
        if (outcome.succeeded() || outcome.failure().kind == FailureKind::CannotWrite)
            ::unlink(backupName.constData());
        syncFolder(folderOf(target));
        return outcome;
    }
};

Outcome checkReplaceable(const QString &path)
{
    QByteArray target;
    Outcome outcome;
    if (!resolve(path, &target, &outcome))
        return outcome;
    // Without the lock: only the file and its folder are looked at.
    int fd = ::open(target.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0 && errno == EWOULDBLOCK) // a lease another program holds: wait for it
        fd = ::open(target.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    struct stat status = {};
    if (fd < 0 || ::fstat(fd, &status) != 0) {
        const int error = errno;
        if (fd >= 0)
            ::close(fd);
        return error == ENOENT ? Outcome(failureOf(Reason::NoSuchFile))
                               : Outcome(Failure{FailureKind::CannotRead, systemReason(error)});
    }
    bool inPlace = false;
    if (!S_ISREG(status.st_mode))
        outcome = failureOf(S_ISDIR(status.st_mode) ? Reason::IsDirectory : Reason::NotRegularFile);
    else
        outcome = checkReplacement(target, fd, status, &inPlace, nullptr);
    ::close(fd);
    return outcome;
}

AtomicFileReplacement::AtomicFileReplacement() = default;

AtomicFileReplacement::~AtomicFileReplacement() = default;

Outcome AtomicFileReplacement::begin(const QString &path, int lockWaitMilliseconds)
{
    cancel();
    auto work = std::make_unique<Work>();
    Outcome outcome;
    if (!resolve(path, &work->target, &outcome))
        return outcome;
    // Locked first and stamped then, so that any change from here on is another program's.
    if (outcome = work->file.lock(work->target, lockWaitMilliseconds); !outcome.succeeded())
        return outcome;
    work->read = stampOf(work->file.status());
    outcome = checkReplacement(work->target, work->file.handle(), work->file.status(),
                               &work->inPlace, &work->overwrite);
    if (!outcome.succeeded())
        return outcome;
    if (!work->createTemporary())
        return failureOf(Reason::CannotCreateBeside, {systemReason()});
    if (!work->device.open(work->temp, QIODevice::WriteOnly | QIODevice::Unbuffered))
        return writeFailure(work->device.errorString());
    m_work = std::move(work);
    return {};
}

QIODevice *AtomicFileReplacement::device() const
{
    return m_work ? &m_work->device : nullptr;
}

qint64 AtomicFileReplacement::originalSize() const
{
    return m_work ? qint64(m_work->file.status().st_size) : -1;
}

Outcome AtomicFileReplacement::commit()
{
    Outcome outcome = complete();
    if (outcome.succeeded())
        outcome = syncNew();
    return outcome.succeeded() ? replace() : outcome;
}

Outcome AtomicFileReplacement::complete()
{
    if (!m_work)
        return failureOf(Reason::NothingToReplace);
    if (m_work->completed)
        return {};
    Outcome outcome;
    if (m_work->device.error() != QFileDevice::NoError)
        outcome = writeFailure(m_work->device.errorString());
    else if (!m_work->inPlace)
        outcome = copyMetadata(m_work->file.handle(), m_work->file.status(), m_work->temp);
    if (!outcome.succeeded()) {
        m_work.reset();
        return outcome;
    }
    // Written back from now on, so that syncing many new files in turn waits for the
    // disk about once rather than once each.
    (void)::sync_file_range(m_work->temp, 0, 0, SYNC_FILE_RANGE_WRITE);
    m_work->completed = true;
    return {};
}

Outcome AtomicFileReplacement::syncNew()
{
    if (!m_work)
        return failureOf(Reason::NothingToReplace);
    // A sync made while the file was written may have failed where this one would not.
    const int earlyError = m_work->device.finishEarlySyncs();
    if (earlyError == 0 && ::fsync(m_work->temp) == 0)
        return {};
    const QString reason = systemReason(earlyError != 0 ? earlyError : errno);
    m_work.reset();
    return writeFailure(reason);
}

Outcome AtomicFileReplacement::replace(QSet<QByteArray> *foldersToSync)
{
    if (!m_work)
        return failureOf(Reason::NothingToReplace);
    const std::unique_ptr<Work> work = std::move(m_work);
    // The file may have gone while it was being read and adjusted: do not create it
    // anew. Or another program that takes no lock may have changed it: its edit is
    // not to be lost. Compared as late as can be, right before the replacement.
    struct stat now = {};
    if (::stat(work->target.constData(), &now) != 0)
        return failureOf(Reason::RemovedMeanwhile);
    if (stampOf(now) != work->read)
        return failureOf(Reason::ChangedMeanwhile);
    if (!work->backupSuffix.isEmpty()) {
        if (Outcome kept = work->keepBackup(); !kept.succeeded())
            return kept;
    }
    return work->inPlace ? work->writeOver() : work->renameOver(foldersToSync);
}

void AtomicFileReplacement::keepBackup(const QString &suffix)
{
    if (m_work)
        m_work->backupSuffix = QFile::encodeName(suffix);
}

void AtomicFileReplacement::cancel()
{
    m_work.reset();
}

Outcome replaceFileContents(const QString &path, const QByteArray &contents)
{
    AtomicFileReplacement replacement;
    if (Outcome begun = replacement.begin(path); !begun.succeeded())
        return begun;
    if (Outcome written = writeAllTo(replacement.device(), contents); !written.succeeded())
        return written;
    return replacement.commit();
}

} // namespace xmladjust
