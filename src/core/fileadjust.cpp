// SPDX-License-Identifier: MIT
#include "fileadjust.h"

#include "atomicfile.h"
#include "attributewalk.h"
#include "bounds.h"
#include "messages.h"
#include "xmlinput.h"
#include "xmloutput.h"

#include <QDomDocument>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace xmladjust {

namespace {

// Each refusal is found before the file is read, which for a large file takes long.
Outcome checkBeforeReading(const QString &path, const std::optional<FileStamp> &read)
{
    if (Outcome reachable = checkReachable(path); !reachable.succeeded())
        return reachable;
    const QFileInfo info(path);
    if (!read || !info.exists())
        return failureOf(Reason::NoSuchFile);
    if (!info.isFile())
        return failureOf(Reason::NotRegularFile);
    if (Outcome replaceable = checkReplaceable(path); !replaceable.succeeded())
        return replaceable;
    if (info.size() > maximumXmlFileSize)
        return failureOf(Reason::FileTooLarge, {QString::number(maximumXmlFileSize >> 20)});
    return {};
}

} // namespace

Outcome checkReachable(const QString &path)
{
#ifdef Q_OS_UNIX
    struct stat status;
    if (::stat(QFile::encodeName(path).constData(), &status) != 0 && errno != ENOENT)
        return Failure{FailureKind::CannotRead, QString::fromLocal8Bit(std::strerror(errno))};
#endif
    (void)path;
    return {};
}

FileAdjustResult adjustXmlFile(const QString &path, const AdjustmentRule &rule)
{
    // Taken before the file is read: a change made after that, while it is read,
    // adjusted or written, keeps it from being replaced.
    const std::optional<FileStamp> read = fileStamp(path);
    FileAdjustResult result;
    result.outcome = checkBeforeReading(path, read);
    if (!result.outcome.succeeded())
        return result;
    QDomDocument document;
    result.outcome = loadXmlFile(document, path);
    if (!result.outcome.succeeded())
        return result;
    result.loaded = true;
    result.adjustedCount = adjustAttributes(document.documentElement(), rule);
    if (result.adjustedCount > 0)
        result.outcome = saveXmlFile(path, document, read);
    return result;
}

} // namespace xmladjust
