// SPDX-License-Identifier: MIT
#include "file/filemetadata.h"

#include "messages.h"

#include <QByteArrayList>
#include <QString>

#include <cerrno>
#include <cstring>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace xmladjust {

namespace {

QString systemReason()
{
    return QString::fromLocal8Bit(strerror(errno));
}

// The names of the file's extended attributes; false with errno when they cannot be
// listed. A file system without them has none.
bool attributeNames(int fd, QByteArrayList *names)
{
    for (;;) {
        const ssize_t size = ::flistxattr(fd, nullptr, 0);
        if (size < 0)
            return errno == ENOTSUP;
        QByteArray list(int(size), '\0');
        const ssize_t listed = size > 0 ? ::flistxattr(fd, list.data(), size_t(size)) : 0;
        if (listed < 0 && errno == ERANGE)
            continue; // grew meanwhile
        if (listed < 0)
            return false;
        list.truncate(int(listed));
        *names = list.split('\0');
        names->removeAll(QByteArray());
        return true;
    }
}

bool attributeValue(int fd, const QByteArray &name, QByteArray *value)
{
    for (;;) {
        const ssize_t size = ::fgetxattr(fd, name.constData(), nullptr, 0);
        if (size < 0)
            return false;
        value->resize(int(size));
        const ssize_t read =
            size > 0 ? ::fgetxattr(fd, name.constData(), value->data(), size_t(size)) : 0;
        if (read < 0 && errno == ERANGE)
            continue;
        if (read < 0)
            return false;
        value->truncate(int(read));
        return true;
    }
}

Failure attributeNotKept(const QByteArray &name)
{
    return failureOf(Reason::AttributeNotKept, {QString::fromLocal8Bit(name), systemReason()});
}

Outcome copyAttributes(int original, int copy)
{
    QByteArrayList names, present;
    if (!attributeNames(original, &names) || !attributeNames(copy, &present))
        return failureOf(Reason::AttributesNotListed, {systemReason()});
    for (const QByteArray &name : qAsConst(names)) {
        QByteArray value, current;
        if (!attributeValue(original, name, &value))
            return attributeNotKept(name);
        // One the new file already has (a security label, say) need not be set again.
        if (present.contains(name) && attributeValue(copy, name, &current) && current == value)
            continue;
        if (::fsetxattr(copy, name.constData(), value.constData(), size_t(value.size()), 0) != 0)
            return attributeNotKept(name);
    }
    // The new file may have got attributes of its own, such as the folder's default ACL.
    for (const QByteArray &name : qAsConst(present)) {
        if (!names.contains(name) && ::fremovexattr(copy, name.constData()) != 0)
            return attributeNotKept(name);
    }
    return {};
}

} // namespace

bool mayGiveOwnership(const struct stat &original)
{
    if (::geteuid() == 0)
        return true;
    if (original.st_uid != ::geteuid())
        return false;
    if (original.st_gid == ::getegid())
        return true;
    const int count = ::getgroups(0, nullptr);
    std::vector<gid_t> groups(size_t(count > 0 ? count : 0));
    if (count > 0 && ::getgroups(count, groups.data()) != count)
        return false;
    for (const gid_t group : groups) {
        if (group == original.st_gid)
            return true;
    }
    return false;
}

Outcome copyMetadata(int original, const struct stat &status, int copy)
{
    if (::fchown(copy, status.st_uid, status.st_gid) != 0)
        return failureOf(Reason::OwnerNotKept, {systemReason()});
    if (Outcome attributes = copyAttributes(original, copy); !attributes.succeeded())
        return attributes;
    const mode_t mode = status.st_mode & 07777;
    struct stat result = {};
    if (::fchmod(copy, mode) != 0 || ::fstat(copy, &result) != 0)
        return failureOf(Reason::ModeNotKept, {QString::number(mode, 8), systemReason()});
    // A bit the system takes away without a word (setgid for a group one is not in).
    if ((result.st_mode & 07777) != mode)
        return failureOf(Reason::ModeNotKept,
                         {QString::number(mode, 8), QStringLiteral("the system did not keep it")});
    return {};
}

} // namespace xmladjust
