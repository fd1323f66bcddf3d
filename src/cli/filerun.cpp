// SPDX-License-Identifier: MIT
#include "filerun.h"

#include "bounds.h"
#include "clioptions.h"
#include "compressionlayer.h"
#include "dom/attributewalk.h"
#include "dom/fileadjust.h"
#include "dom/memorybudget.h"
#include "dom/xmlinput.h"
#include "dom/xmloutput.h"
#include "file/atomicfile.h"
#include "file/signalcleanup.h"
#include "messages.h"
#include "stream/streamadjust.h"
#include "writeall.h"

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

FileReport countedReport(qint64 adjusted, const RuleCounts &byRule, const Settings &settings)
{
    FileReport report;
    report.adjusted = adjusted;
    const QVector<AdjustmentRule> &rules = settings.rules.rules();
    for (int i = 0; i < rules.size() && rules.size() > 1; ++i)
        report.byRule << QStringLiteral("%1 %2").arg(ruleLabel(rules[i])).arg(byRule.value(i));
    return report;
}

// The window's walk over a document it has loaded, or why it could not load it.
FileReport adjustLoaded(QDomDocument &document, const Outcome &load, const Settings &settings)
{
    if (!load.succeeded())
        return windowFailure(load.failure());
    RuleCounts byRule;
    const int adjusted = adjustAttributes(document.documentElement(), settings.rules, &byRule);
    return countedReport(adjusted, byRule, settings);
}

StreamThreads streamThreads(const Settings &settings)
{
    return settings.parserThreadPerFile ? StreamThreads::Two : StreamThreads::One;
}

FileReport streamReport(const StreamAdjustResult &result, const Settings &settings)
{
    if (!result.succeeded())
        return failed(placed(result.outcome.failure()));
    FileReport report = countedReport(result.adjustedCount, result.adjustedByRule, settings);
    report.notInText = result.notInTextCount;
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

// The whole document from the input, within the window's bound on its size, loaded
// and adjusted as the window does.
FileReport reformatDocument(QIODevice &input, const Settings &settings, QDomDocument &document)
{
    // A pipe gives what it holds at each read, so read on to the end.
    QByteArray bytes, piece(int(defaultStreamChunkSize), Qt::Uninitialized);
    for (;;) {
        const qint64 read = input.read(piece.data(), piece.size());
        if (read < 0)
            return failed(input.errorString());
        if (read == 0)
            break;
        bytes.append(piece.constData(), int(read));
        if (bytes.size() > maximumXmlFileSize)
            return failed(
                failureOf(Reason::FileTooLarge, {QString::number(maximumXmlFileSize >> 20)})
                    .message);
    }
    return adjustLoaded(document, loadXmlBytes(document, bytes), settings);
}

// Begun before the file is opened, so that a file put in its place in between is not
// overwritten with what was read from the one before it; not begun in a dry run, and
// null, with the reason, where it cannot begin.
std::unique_ptr<AtomicFileReplacement> beginReplacement(const QString &path,
                                                        const Settings &settings, QString *error)
{
    auto replacement = std::make_unique<AtomicFileReplacement>();
    if (settings.dryRun)
        return replacement;
    if (const Outcome begun = replacement->begin(path); !begun.succeeded()) {
        *error = begun.failure().message;
        return nullptr;
    }
    if (!settings.backupSuffix.isEmpty())
        replacement->keepBackup(settings.backupSuffix);
    return replacement;
}

// The window's file mode, for --reformat, on a file already begun and opened; a
// compressed file is read and written back in its format.
PreparedFile reformatFile(const QFile &input, CompressionLayer &layer,
                          std::unique_ptr<AtomicFileReplacement> replacement,
                          const Settings &settings)
{
    // A plain file too large, or whose document would not fit in memory, is refused
    // before it is read; a compressed one once its document is read.
    if (!layer.compressed()) {
        if (input.size() > maximumXmlFileSize)
            return failed(
                failureOf(Reason::FileTooLarge, {QString::number(maximumXmlFileSize >> 20)})
                    .message);
        if (const Outcome fits = checkDocumentFits(input.size()); !fits.succeeded())
            return failed(fits.failure().message);
    }
    QDomDocument document;
    const FileReport report = reformatDocument(layer.input(), settings, document);
    if (!report.error.isEmpty() || settings.dryRun || report.adjusted == 0)
        return report; // not written at all
    if (const Outcome written = writeAllTo(layer.output(), encodeXmlFile(document));
        !written.succeeded())
        return failed(written.failure().message);
    if (const QString ended = layer.finish(); !ended.isEmpty())
        return failed(ended);
    return {report, std::move(replacement)};
}

FileReport reformatStandardInput(QFile &input, const Settings &settings)
{
    QByteArray compressed;
    QBuffer sink(&compressed);
    sink.open(QIODevice::WriteOnly);
    CompressionLayer layer(input, &sink);
    QDomDocument document;
    const FileReport report = reformatDocument(layer.input(), settings, document);
    if (!report.error.isEmpty() || settings.dryRun)
        return report;
    QByteArray encoded = encodeXmlFile(document);
    if (layer.compressed()) {
        const Outcome written = writeAllTo(layer.output(), encoded);
        const QString ended = written.succeeded() ? layer.finish() : written.failure().message;
        if (!ended.isEmpty())
            return failed(ended);
        encoded.swap(compressed);
    }
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

    QString error;
    std::unique_ptr<AtomicFileReplacement> replacement = beginReplacement(path, settings, &error);
    if (!replacement)
        return failed(error);
    QFile input(path);
    if (!input.open(QIODevice::ReadOnly))
        return failed(input.errorString());
    CompressionLayer layer(input, replacement->device());
    if (settings.reformat)
        return reformatFile(input, layer, std::move(replacement), settings);
    const StreamAdjustResult result =
        adjustXmlStream(layer.input(), layer.output(), settings.rules, defaultStreamChunkSize,
                        streamThreads(settings));
    if (result.succeeded()) {
        if (const QString ended = layer.finish(); !ended.isEmpty())
            return failed(ended);
    }
    // Nothing to change leaves the file as it was, modification time included.
    if (settings.dryRun || !result.succeeded() || !result.bytesChanged)
        return streamReport(result, settings);
    return {streamReport(result, settings), std::move(replacement)};
}

FileReport adjustStandardInput(const Settings &settings)
{
    QFile input;
    if (!input.open(stdin, QIODevice::ReadOnly | QIODevice::Unbuffered))
        return failed(input.errorString());
    if (settings.reformat)
        return reformatStandardInput(input, settings);

    // Compressed input is kept compressed in the spool too.
    QFile spool;
    if (!settings.dryRun) {
        if (const QString error = openSpool(spool); !error.isEmpty())
            return failed(QStringLiteral("cannot create a temporary file: %1").arg(error));
    }
    CompressionLayer layer(input, settings.dryRun ? nullptr : &spool);
    const StreamAdjustResult result =
        adjustXmlStream(layer.input(), layer.output(), settings.rules, defaultStreamChunkSize,
                        streamThreads(settings));
    if (result.succeeded()) {
        if (const QString ended = layer.finish(); !ended.isEmpty())
            return failed(ended);
    }
    if (!result.succeeded() || settings.dryRun)
        return streamReport(result, settings);
    QString error;
    if (!spool.flush() || !spool.seek(0) || !copyToStandardOutput(spool, &error))
        return failed(error.isEmpty() ? spool.errorString() : error);
    return streamReport(result, settings);
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
    if (!report.byRule.isEmpty())
        line += QStringLiteral(" (%1)").arg(report.byRule.join(QStringLiteral(", ")));
    if (report.notInText > 0)
        line += QStringLiteral(", %1 left unchanged (not written in the file's text)")
                    .arg(report.notInText);
    return line;
}

} // namespace xmladjust
