// SPDX-License-Identifier: MIT
#include "filerun.h"

#include "atomicfile.h"
#include "attributewalk.h"
#include "bounds.h"
#include "clioptions.h"
#include "fileadjust.h"
#include "messages.h"
#include "signalcleanup.h"
#include "streamadjust.h"
#include "xmlinput.h"
#include "xmloutput.h"

#include <QBuffer>
#include <QDir>
#include <QDomDocument>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace xmladjust {

namespace {

FileReport failed(const QString &reason)
{
    FileReport report;
    report.error = reason;
    return report;
}

QString placed(const Failure &failure)
{
    if (failure.line <= 0)
        return failure.message;
    return QStringLiteral("line %1, column %2: %3")
        .arg(failure.line)
        .arg(failure.column)
        .arg(failure.message);
}

// The window's path places only a document that is not well-formed.
FileReport windowFailure(const Failure &failure)
{
    return failed(failure.kind == FailureKind::NotWellFormed ? placed(failure) : failure.message);
}

// The window's walk over a document it has loaded, or why it could not load it.
FileReport adjustLoaded(QDomDocument &document, const Outcome &load, const AdjustmentRule &rule)
{
    if (!load.succeeded())
        return windowFailure(load.failure());
    FileReport report;
    report.adjusted = adjustAttributes(document.documentElement(), rule);
    return report;
}

FileReport streamReport(const StreamAdjustResult &result)
{
    if (!result.succeeded())
        return failed(placed(result.outcome.failure()));
    FileReport report;
    report.adjusted = result.adjustedCount;
    report.notInText = result.notInTextCount;
    return report;
}

// The window's file mode, for --reformat, on a file already found replaceable.
FileReport reformatFile(const QString &path, const Settings &settings)
{
    if (settings.dryRun) {
        QDomDocument document;
        return adjustLoaded(document, loadXmlFile(document, path), settings.rule);
    }
    const FileAdjustResult result = adjustXmlFile(path, settings.rule);
    if (!result.outcome.succeeded())
        return windowFailure(result.outcome.failure());
    FileReport report;
    report.adjusted = result.adjustedCount;
    return report;
}

bool copyToStandardOutput(QIODevice &source, QString *error)
{
    // Written to the descriptor itself: through stdio, a small output would wait in
    // its buffer and a write that fails there would go unseen.
    QFile output;
    if (!output.open(STDOUT_FILENO, QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        *error = output.errorString();
        return false;
    }
    QByteArray buffer(int(defaultStreamChunkSize), Qt::Uninitialized);
    for (;;) {
        const qint64 read = source.read(buffer.data(), buffer.size());
        if (read < 0) {
            *error = source.errorString();
            return false;
        }
        if (read == 0)
            return true;
        if (output.write(buffer.constData(), read) != read) {
            *error = output.errorString();
            return false;
        }
    }
}

// A buffer in TMPDIR with no name, so that nothing is left of it however the run ends.
QString openSpool(QFile &spool)
{
    const QByteArray folder = QFile::encodeName(QDir::tempPath());
    int fd = ::open(folder.constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) {
        // Without unnamed files there, one named for a moment, removed if a signal comes.
        const SignalsDeferred deferred;
        QByteArray name = folder + "/xmladjust-cli.XXXXXX";
        fd = ::mkostemp(name.data(), O_CLOEXEC);
        if (fd >= 0)
            ::unlink(name.constData());
    }
    if (fd < 0)
        return QString::fromLocal8Bit(strerror(errno));
    if (!spool.open(fd, QIODevice::ReadWrite, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return spool.errorString();
    }
    return QString();
}

FileReport reformatStandardInput(QFile &input, const Settings &settings)
{
    // A pipe gives what it holds at each read, so read on to the end.
    QByteArray bytes;
    for (;;) {
        const QByteArray piece = input.read(defaultStreamChunkSize);
        if (input.error() != QFileDevice::NoError)
            return failed(input.errorString());
        if (piece.isEmpty())
            break;
        bytes += piece;
        if (bytes.size() > maximumXmlFileSize)
            return failed(
                failureOf(Reason::FileTooLarge, {QString::number(maximumXmlFileSize >> 20)})
                    .message);
    }
    QDomDocument document;
    const FileReport report = adjustLoaded(document, loadXmlBytes(document, bytes), settings.rule);
    if (!report.error.isEmpty() || settings.dryRun)
        return report;
    QByteArray encoded = encodeXmlFile(document);
    QBuffer buffer(&encoded);
    buffer.open(QIODevice::ReadOnly);
    QString error;
    return copyToStandardOutput(buffer, &error) ? report : failed(error);
}

} // namespace

PreparedFile::PreparedFile() = default;
PreparedFile::PreparedFile(FileReport report, std::unique_ptr<AtomicFileReplacement> replacement)
    : report(std::move(report)), replacement(std::move(replacement))
{}
PreparedFile::PreparedFile(PreparedFile &&) noexcept = default;
PreparedFile &PreparedFile::operator=(PreparedFile &&) noexcept = default;
PreparedFile::~PreparedFile() = default;

PreparedFile prepareFile(const QString &path, const Settings &settings)
{
    if (const Outcome reachable = checkReachable(path); !reachable.succeeded())
        return failed(reachable.failure().message);
    const QFileInfo info(path);
    if (info.exists() && !info.isDir() && !info.isFile())
        return failed(failureOf(Reason::NotRegularFile).message);
    // A file that cannot be replaced is refused before it is read, also in a dry run.
    if (const Outcome replaceable = checkReplaceable(path); !replaceable.succeeded())
        return failed(replaceable.failure().message);
    if (settings.reformat)
        return reformatFile(path, settings);

    // Begun before the file is opened, so that a file put in its place in between is
    // not overwritten with what was read from the one before it.
    auto replacement = std::make_unique<AtomicFileReplacement>();
    if (!settings.dryRun) {
        if (const Outcome begun = replacement->begin(path); !begun.succeeded())
            return failed(begun.failure().message);
    }
    QFile input(path);
    if (!input.open(QIODevice::ReadOnly))
        return failed(input.errorString());
    if (settings.dryRun)
        return streamReport(adjustXmlStream(input, nullptr, settings.rule));
    const StreamAdjustResult result = adjustXmlStream(input, replacement->device(), settings.rule);
    // Nothing to change leaves the file as it was, modification time included.
    if (!result.succeeded() || !result.bytesChanged)
        return streamReport(result);
    return {streamReport(result), std::move(replacement)};
}

FileReport adjustStandardInput(const Settings &settings)
{
    QFile input;
    if (!input.open(stdin, QIODevice::ReadOnly | QIODevice::Unbuffered))
        return failed(input.errorString());
    if (settings.reformat)
        return reformatStandardInput(input, settings);
    if (settings.dryRun)
        return streamReport(adjustXmlStream(input, nullptr, settings.rule));

    QFile spool;
    if (const QString error = openSpool(spool); !error.isEmpty())
        return failed(QStringLiteral("cannot create a temporary file: %1").arg(error));
    const StreamAdjustResult result = adjustXmlStream(input, &spool, settings.rule);
    if (!result.succeeded())
        return streamReport(result);
    QString error;
    if (!spool.flush() || !spool.seek(0) || !copyToStandardOutput(spool, &error))
        return failed(error.isEmpty() ? spool.errorString() : error);
    return streamReport(result);
}

QString reportLine(const QString &name, const FileReport &report, bool dryRun)
{
    if (!report.error.isEmpty())
        return QStringLiteral("%1: error: %2").arg(name, report.error);
    QString line =
        QStringLiteral("%1: %2 %3 %4")
            .arg(name)
            .arg(report.adjusted)
            .arg(report.adjusted == 1 ? QStringLiteral("value") : QStringLiteral("values"))
            .arg(dryRun ? QStringLiteral("would be adjusted") : QStringLiteral("adjusted"));
    if (report.notInText > 0)
        line += QStringLiteral(", %1 left unchanged (not written in the file's text)")
                    .arg(report.notInText);
    return line;
}

} // namespace xmladjust
