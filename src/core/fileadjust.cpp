#include "fileadjust.h"

#include "attributewalk.h"
#include "xmloutput.h"

#include <QDomDocument>
#include <QFileInfo>

#include <optional>

namespace {

FileAdjustResult withStatus(FileAdjustResult::Status status)
{
    FileAdjustResult result;
    result.status = status;
    return result;
}

} // namespace

FileAdjustResult adjustXmlFile(const QString &path, const AdjustmentRule &rule)
{
    // Taken before the file is read: a change made after that, while it is read,
    // adjusted or written, keeps it from being replaced.
    const std::optional<FileStamp> read = fileStamp(path);
    // Each refusal is found before the file is read, which for a large file takes long.
    const QFileInfo info(path);
    if (!read || !info.exists())
        return withStatus(FileAdjustResult::Missing);
    if (!info.isFile())
        return withStatus(FileAdjustResult::NotRegularFile);
    if (const std::optional<FileReplaceResult> refusal = replaceRefusal(path)) {
        FileAdjustResult result = withStatus(FileAdjustResult::NotWritable);
        result.save = *refusal;
        return result;
    }
    FileAdjustResult result;
    if (info.size() > maximumXmlFileSize) {
        result.load.status = XmlLoadResult::TooLarge;
        result.load.errorMessage =
            QStringLiteral("larger than %1 MiB").arg(maximumXmlFileSize >> 20);
        return result;
    }

    QDomDocument document;
    result.load = loadXmlFile(document, path);
    if (!result.load.isLoaded())
        return result;
    result.adjustedCount = adjustAttributes(document.documentElement(), rule);
    if (result.adjustedCount == 0) {
        result.status = FileAdjustResult::NothingToChange;
        return result;
    }
    result.save = saveXmlFile(path, document, read);
    result.status = result.save.isReplaced() ? FileAdjustResult::Saved : FileAdjustResult::NotSaved;
    return result;
}
