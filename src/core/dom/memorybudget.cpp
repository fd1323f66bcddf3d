// SPDX-License-Identifier: MIT
#include "dom/memorybudget.h"

#include "bounds.h"
#include "messages.h"

#include <QByteArray>
#include <QFile>
#include <QList>

#include <algorithm>
#include <limits>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif

namespace xmladjust {

namespace {

constexpr qint64 unknown = std::numeric_limits<qint64>::max();

// Files under /proc and /sys report no size, so they are read to their end.
QByteArray contentsOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The number after "name" and white space on one of the lines, times `unit`.
qint64 fieldOf(const QByteArray &text, const QByteArray &name, qint64 unit)
{
    for (const QByteArray &line : text.split('\n')) {
        if (!line.startsWith(name) || line.size() == name.size() ||
            (line[name.size()] != ' ' && line[name.size()] != '\t'))
            continue;
        bool ok = false;
        const qint64 value = line.mid(name.size()).trimmed().split(' ').value(0).toLongLong(&ok);
        return ok ? value * unit : unknown;
    }
    return unknown;
}

#ifdef Q_OS_UNIX
// What is left under a resource limit, for the process using `used` of it.
qint64 leftUnder(int resource, qint64 used)
{
    rlimit limit = {};
    if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY || used == unknown)
        return unknown;
    return qMax(qint64(limit.rlim_cur) - used, qint64(0));
}
#endif

// How one version of cgroups names a group's memory limit and use.
struct CgroupFiles
{
    const char *hierarchy;   // the folder the process's group is under
    const char *controllers; // its line in /proc/self/cgroup: "N:<controllers>:/group"
    const char *limit, *usage, *droppable;
};

// The least left under the memory limit of the process's cgroup and of those above
// it. Page cache the group may drop first counts as free.
qint64 leftInCgroups(const CgroupFiles &files)
{
    qint64 least = unknown;
    QByteArray group;
    for (const QByteArray &line : contentsOf(QStringLiteral("/proc/self/cgroup")).split('\n')) {
        const QList<QByteArray> fields = line.split(':');
        if (fields.size() >= 3 && fields[2].startsWith('/') &&
            fields[1].split(',').contains(files.controllers))
            group = fields[2];
    }
    while (!group.isEmpty()) {
        const QString folder = QString::fromUtf8(files.hierarchy + group) + QLatin1Char('/');
        bool limited = false, used = false;
        const qint64 limit = contentsOf(folder + files.limit).trimmed().toLongLong(&limited);
        const qint64 usage = contentsOf(folder + files.usage).trimmed().toLongLong(&used);
        if (limited && used) {
            const qint64 droppable =
                fieldOf(contentsOf(folder + "memory.stat"), files.droppable, 1);
            least = std::min(
                least, qMax(limit - usage + (droppable == unknown ? 0 : droppable), qint64(0)));
        }
        if (group == "/")
            break;
        group.truncate(qMax(group.lastIndexOf('/'), 1));
    }
    return least;
}

} // namespace

qint64 availableMemory()
{
    qint64 available = fieldOf(contentsOf(QStringLiteral("/proc/meminfo")), "MemAvailable:", 1024);
#ifdef Q_OS_UNIX
    const QByteArray status = contentsOf(QStringLiteral("/proc/self/status"));
    available = std::min(available, leftUnder(RLIMIT_AS, fieldOf(status, "VmSize:", 1024)));
    available = std::min(available, leftUnder(RLIMIT_DATA, fieldOf(status, "VmData:", 1024)));
#endif
    // cgroup v2 (where v1 mounts its hierarchies beside it, under unified/), then v1.
    for (const CgroupFiles &files :
         {CgroupFiles{"/sys/fs/cgroup", "", "memory.max", "memory.current", "inactive_file"},
          CgroupFiles{"/sys/fs/cgroup/unified", "", "memory.max", "memory.current",
                      "inactive_file"},
          CgroupFiles{"/sys/fs/cgroup/memory", "memory", "memory.limit_in_bytes",
                      "memory.usage_in_bytes", "total_inactive_file"}})
        available = std::min(available, leftInCgroups(files));
    return available == unknown ? -1 : available;
}

Outcome checkDocumentFits(qint64 fileSize, qint64 held)
{
    // Small documents, nearly all, spare the look at /proc and /sys.
    const qint64 needed = fileSize * domBytesPerFileByte - held;
    if (needed < (qint64(16) << 20))
        return {};
    const qint64 available = availableMemory();
    if (available < 0 || needed <= available)
        return {};
    const auto mebibytes = [](qint64 bytes) {
        return QString::number((bytes + (1 << 20) - 1) >> 20);
    };
    return failureOf(Reason::NotEnoughMemory,
                     {mebibytes(needed), QString::number(available >> 20)});
}

} // namespace xmladjust
