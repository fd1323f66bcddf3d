// SPDX-License-Identifier: MIT
// Preloaded into the command-line program to stage what tests cannot time from
// outside. XMLADJUST_SHIM_NO_TMPFILE makes open(O_TMPFILE) fail as on a file system
// without unnamed files (vfat, NFS); XMLADJUST_SHIM_SIGNAL=N:rename sends the
// program signal N right before it renames a file, N:write as it writes to a
// regular file (the new contents, or standard input's buffer).
// The first time the program syncs anything (fsync, fdatasync or syncfs: the new
// contents, before the replacement), XMLADJUST_SHIM_EDIT_ON_SYNC=PATH appends a
// comment to PATH, as a program that takes no lock would edit it then, and
// XMLADJUST_SHIM_PAUSE_ON_SYNC=PATH creates PATH.paused and waits until PATH exists,
// so that another run can be started while this one holds the file.
//
// For batches of files on several threads: XMLADJUST_SHIM_BATCH_SIGNAL=N:moment:K
// sends signal N at the K-th such moment of the run, counted over every thread, and
// XMLADJUST_SHIM_DISK_FULL_AFTER=BYTES fails every write to a regular file with
// ENOSPC, as a full disk does, once that many bytes have gone to regular files, and
// XMLADJUST_SHIM_SYNC_FAILS_FROM=K fails the K-th sync of a regular file and every one
// after it with ENOSPC, as data the disk had no room for when it was written back;
// XMLADJUST_SHIM_SYNC_FAILS_ONLY=K fails the K-th alone, as the kernel reports such a
// failure once, to the first sync after it.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void signalAt(const char *moment)
{
    const char *setting = std::getenv("XMLADJUST_SHIM_SIGNAL");
    const char *colon = setting ? std::strchr(setting, ':') : nullptr;
    if (colon && std::strcmp(colon + 1, moment) == 0)
        ::raise(std::atoi(setting)); // to this thread, which it stops right here
}

void signalAtCount(const char *moment)
{
    static std::atomic<long> seen{0};
    const char *setting = std::getenv("XMLADJUST_SHIM_BATCH_SIGNAL");
    const char *colon = setting ? std::strchr(setting, ':') : nullptr;
    const char *count = colon ? std::strchr(colon + 1, ':') : nullptr;
    if (count && std::strncmp(colon + 1, moment, size_t(count - colon - 1)) == 0 &&
        ++seen == std::atol(count + 1))
        ::raise(std::atoi(setting)); // to this thread, which it stops right here
}

bool diskFull(size_t size)
{
    static std::atomic<long long> written{0};
    const char *setting = std::getenv("XMLADJUST_SHIM_DISK_FULL_AFTER");
    if (!setting)
        return false;
    if ((written += (long long)size) <= std::atoll(setting))
        return false;
    written -= (long long)size;
    errno = ENOSPC;
    return true;
}

bool syncFails(int fd)
{
    static std::atomic<long> synced{0};
    const char *from = std::getenv("XMLADJUST_SHIM_SYNC_FAILS_FROM");
    const char *only = std::getenv("XMLADJUST_SHIM_SYNC_FAILS_ONLY");
    struct stat status = {};
    if ((!from && !only) || ::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode))
        return false;
    const long count = ++synced;
    if (from ? count < std::atol(from) : count != std::atol(only))
        return false;
    errno = ENOSPC;
    return true;
}

template <typename Function> Function next(const char *name)
{
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

int refuseUnnamed(int flags)
{
    if ((flags & O_TMPFILE) != O_TMPFILE || !std::getenv("XMLADJUST_SHIM_NO_TMPFILE"))
        return 0;
    errno = EOPNOTSUPP;
    return -1;
}

void atFirstSync()
{
    static std::atomic<bool> synced{false};
    if (synced.exchange(true))
        return;
    if (const char *path = std::getenv("XMLADJUST_SHIM_EDIT_ON_SYNC")) {
        const int fd = ::open(path, O_WRONLY | O_APPEND | O_CLOEXEC);
        static const char edit[] = "<!-- edited -->\n";
        if (fd < 0 || ::write(fd, edit, sizeof edit - 1) != ssize_t(sizeof edit - 1))
            std::abort(); // the test would not stage what it means to
        ::close(fd);
    }
    if (const char *gate = std::getenv("XMLADJUST_SHIM_PAUSE_ON_SYNC")) {
        const int fd = ::open((std::string(gate) + ".paused").c_str(), O_WRONLY | O_CREAT, 0600);
        if (fd < 0)
            std::abort();
        ::close(fd);
        while (::access(gate, F_OK) != 0)
            ::usleep(10000);
    }
}

} // namespace

extern "C" {

#define XMLADJUST_OPEN(name)                                                                       \
    int name(const char *path, int flags, ...)                                                     \
    {                                                                                              \
        va_list arguments;                                                                         \
        va_start(arguments, flags);                                                                \
        const int mode = va_arg(arguments, int); /* read whether given or not */                   \
        va_end(arguments);                                                                         \
        if (refuseUnnamed(flags) != 0)                                                             \
            return -1;                                                                             \
        return next<int (*)(const char *, int, int)>(#name)(path, flags, mode);                    \
    }
XMLADJUST_OPEN(open)
XMLADJUST_OPEN(open64)

int rename(const char *from, const char *to)
{
    signalAt("rename");
    signalAtCount("rename");
    return next<int (*)(const char *, const char *)>("rename")(from, to);
}

ssize_t write(int fd, const void *bytes, size_t size)
{
    struct stat status = {};
    if (fd > 2 && ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        signalAt("write");
        signalAtCount("write");
        if (diskFull(size))
            return -1;
    }
    return next<ssize_t (*)(int, const void *, size_t)>("write")(fd, bytes, size);
}

#define XMLADJUST_SYNC(name)                                                                       \
    int name(int fd)                                                                               \
    {                                                                                              \
        atFirstSync();                                                                             \
        if (syncFails(fd))                                                                         \
            return -1;                                                                             \
        return next<int (*)(int)>(#name)(fd);                                                      \
    }
XMLADJUST_SYNC(fsync)
XMLADJUST_SYNC(fdatasync)
XMLADJUST_SYNC(syncfs)
}
