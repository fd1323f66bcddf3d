// SPDX-License-Identifier: MIT
#include "dom/fileadjust.h"

#include "bounds.h"
#include "dom/attributewalk.h"
#include "dom/xmlinput.h"
#include "dom/xmloutput.h"
#include "file/atomicfile.h"
#include "messages.h"
#include "writeall.h"

#include <QDomDocument>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace xmladjust {

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

FileAdjustResult adjustXmlFile(const QString &path, const AdjustmentRules &rules)
{
    FileAdjustResult result;
    // Each refusal is found before the file is read, which for a large file takes long.
    result.outcome = checkReachable(path);
    if (!result.outcome.succeeded())
        return result;
    const QFileInfo info(path);
    if (!info.exists())
        result.outcome = failureOf(Reason::NoSuchFile);
    else if (!info.isFile())
        result.outcome = failureOf(Reason::NotRegularFile);
    if (!result.outcome.succeeded())
        return result;
    // Begun before the file is read: it is locked against other runs of this program
    // and stamped, so that a change made after that keeps it from being replaced.
    AtomicFileReplacement replacement;
    result.outcome = replacement.begin(path);
    if (!result.outcome.succeeded())
        return result;
    if (replacement.originalSize() > maximumXmlFileSize) {
        result.outcome =
            failureOf(Reason::FileTooLarge, {QString::number(maximumXmlFileSize >> 20)});
        return result;
    }
    QDomDocument document;
    result.outcome = loadXmlFile(document, path);
    if (!result.outcome.succeeded())
        return result;
    result.loaded = true;
    result.adjustedCount =
        adjustAttributes(document.documentElement(), rules, &result.adjustedByRule);
    if (result.adjustedCount == 0)
        return result; // not written at all
    result.outcome = writeAllTo(replacement.device(), encodeXmlFile(document));
    if (result.outcome.succeeded())
        result.outcome = replacement.commit();
    return result;
}

} // namespace xmladjust
