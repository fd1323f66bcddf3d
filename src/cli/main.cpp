// The command-line companion of the window: the same adjustment for batches of files,
// pipelines and files of any size, keeping each file's bytes except the values it changes.

#include "adjustmentrule.h"
#include "atomicfile.h"
#include "attributewalk.h"
#include "fileadjust.h"
#include "streamadjust.h"
#include "xmlinput.h"
#include "xmloutput.h"

#include <QBuffer>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QDomDocument>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QTemporaryFile>

#include <csignal>
#include <cstdio>
#include <optional>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace {

const char programName[] = "xmladjust-cli";
const char usageLine[] = "usage: xmladjust-cli --attribute NAME --add NUMBER [--above X] "
                         "[--below Y] [--reformat] [--dry-run] [FILE...]";

enum ExitStatus
{
    AllSucceeded = 0,
    SomeFailed = 1,
    UsageError = 2
};

void printLine(FILE *stream, const QString &line)
{
    std::fputs(line.toLocal8Bit().constData(), stream);
    std::fputc('\n', stream);
}

struct Settings
{
    AdjustmentRule rule;
    bool reformat = false;
    bool dryRun = false;
    QStringList files;
};

// What happened to one file: counts, or the reason it failed.
struct Outcome
{
    qint64 adjusted = 0;
    qint64 notInText = 0;
    QString error;
};

Outcome failure(const QString &reason)
{
    Outcome outcome;
    outcome.error = reason;
    return outcome;
}

QString placed(qint64 line, qint64 column, const QString &message)
{
    if (line <= 0)
        return message;
    return QStringLiteral("line %1, column %2: %3").arg(line).arg(column).arg(message);
}

QString loadFailure(const XmlLoadResult &load)
{
    return load.status == XmlLoadResult::NotWellFormed
               ? placed(load.errorLine, load.errorColumn, load.errorMessage)
               : load.errorMessage;
}

// The window's walk over a document it has loaded, or why it could not load it.
Outcome adjustLoaded(QDomDocument &document, const XmlLoadResult &load, const AdjustmentRule &rule)
{
    if (!load.isLoaded())
        return failure(loadFailure(load));
    Outcome outcome;
    outcome.adjusted = adjustAttributes(document.documentElement(), rule);
    return outcome;
}

Outcome streamOutcome(const StreamAdjustResult &result)
{
    if (!result.succeeded())
        return failure(placed(result.errorLine, result.errorColumn, result.errorMessage));
    Outcome outcome;
    outcome.adjusted = result.adjustedCount;
    outcome.notInText = result.notInTextCount;
    return outcome;
}

QString report(const QString &name, const Outcome &outcome, bool dryRun)
{
    if (!outcome.error.isEmpty())
        return QStringLiteral("%1: error: %2").arg(name, outcome.error);
    QString line =
        QStringLiteral("%1: %2 %3 %4")
            .arg(name)
            .arg(outcome.adjusted)
            .arg(outcome.adjusted == 1 ? QStringLiteral("value") : QStringLiteral("values"))
            .arg(dryRun ? QStringLiteral("would be adjusted") : QStringLiteral("adjusted"));
    if (outcome.notInText > 0)
        line += QStringLiteral(", %1 left unchanged (not written in the file's text)")
                    .arg(outcome.notInText);
    return line;
}

// The window's file mode, for --reformat, on a file already found replaceable.
Outcome reformatFile(const QString &path, const Settings &settings)
{
    if (settings.dryRun) {
        QDomDocument document;
        return adjustLoaded(document, loadXmlFile(document, path), settings.rule);
    }
    const FileAdjustResult result = adjustXmlFile(path, settings.rule);
    switch (result.status) {
    case FileAdjustResult::Saved:
    case FileAdjustResult::NothingToChange: {
        Outcome outcome;
        outcome.adjusted = result.adjustedCount;
        return outcome;
    }
    case FileAdjustResult::Missing:
        return failure(QStringLiteral("no such file"));
    case FileAdjustResult::NotRegularFile:
        return failure(QStringLiteral("not a regular file"));
    case FileAdjustResult::NotLoaded:
        return failure(loadFailure(result.load));
    case FileAdjustResult::NotWritable:
    case FileAdjustResult::NotSaved:
        break;
    }
    return failure(result.save.errorMessage);
}

Outcome adjustFile(const QString &path, const Settings &settings)
{
    const QFileInfo info(path);
    if (info.exists() && !info.isDir() && !info.isFile())
        return failure(QStringLiteral("not a regular file"));
    // A file that cannot be replaced is refused before it is read, also in a dry run.
    if (const std::optional<FileReplaceResult> refusal = replaceRefusal(path))
        return failure(refusal->errorMessage);
    if (settings.reformat)
        return reformatFile(path, settings);

    // Begun before the file is opened, so that a file put in its place in between is
    // not overwritten with what was read from the one before it.
    AtomicFileReplacement replacement;
    if (!settings.dryRun) {
        if (const std::optional<FileReplaceResult> refusal = replacement.begin(path))
            return failure(refusal->errorMessage);
    }
    QFile input(path);
    if (!input.open(QIODevice::ReadOnly))
        return failure(input.errorString());
    if (settings.dryRun)
        return streamOutcome(adjustXmlStream(input, nullptr, settings.rule));
    const StreamAdjustResult result = adjustXmlStream(input, replacement.device(), settings.rule);
    if (!result.succeeded() || !result.bytesChanged) {
        // Nothing to change leaves the file as it was, modification time included.
        replacement.cancel();
        return streamOutcome(result);
    }
    const FileReplaceResult replaced = replacement.commit();
    return replaced.isReplaced() ? streamOutcome(result) : failure(replaced.errorMessage);
}

bool copyToStandardOutput(QIODevice &source, QString *error)
{
    QFile output;
    if (!output.open(stdout, QIODevice::WriteOnly | QIODevice::Unbuffered)) {
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

Outcome reformatStandardInput(QFile &input, const Settings &settings)
{
    // A pipe gives what it holds at each read, so read on to the end.
    QByteArray bytes;
    for (;;) {
        const QByteArray piece = input.read(defaultStreamChunkSize);
        if (input.error() != QFileDevice::NoError)
            return failure(input.errorString());
        if (piece.isEmpty())
            break;
        bytes += piece;
        if (bytes.size() > maximumXmlFileSize)
            return failure(QStringLiteral("larger than %1 MiB").arg(maximumXmlFileSize >> 20));
    }
    QDomDocument document;
    const Outcome outcome = adjustLoaded(document, loadXmlBytes(document, bytes), settings.rule);
    if (!outcome.error.isEmpty() || settings.dryRun)
        return outcome;
    QByteArray encoded = encodeXmlFile(document);
    QBuffer buffer(&encoded);
    buffer.open(QIODevice::ReadOnly);
    QString error;
    return copyToStandardOutput(buffer, &error) ? outcome : failure(error);
}

Outcome adjustStandardInput(const Settings &settings)
{
    QFile input;
    if (!input.open(stdin, QIODevice::ReadOnly | QIODevice::Unbuffered))
        return failure(input.errorString());
    if (settings.reformat)
        return reformatStandardInput(input, settings);
    if (settings.dryRun)
        return streamOutcome(adjustXmlStream(input, nullptr, settings.rule));

    // Standard output gets the document only once all of it is known to be sound.
    QTemporaryFile spool;
    if (!spool.open())
        return failure(
            QStringLiteral("cannot create a temporary file: %1").arg(spool.errorString()));
    const StreamAdjustResult result = adjustXmlStream(input, &spool, settings.rule);
    if (!result.succeeded())
        return streamOutcome(result);
    QString error;
    if (!spool.flush() || !spool.seek(0) || !copyToStandardOutput(spool, &error))
        return failure(error.isEmpty() ? spool.errorString() : error);
    return streamOutcome(result);
}

// Paths that name the same file get the same key: a link and its target, or two
// spellings of one path.
QString fileIdentity(const QString &path)
{
    if (path == QLatin1String("-"))
        return path;
#ifdef Q_OS_UNIX
    struct stat status;
    if (::stat(QFile::encodeName(path).constData(), &status) == 0)
        return QStringLiteral("inode %1:%2").arg(status.st_dev).arg(status.st_ino);
#endif
    const QFileInfo info(path);
    const QString canonical = info.canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(info.absoluteFilePath()) : canonical;
}

struct UsageProblem
{
    QString reason;
};

std::optional<QString> singleValue(const QCommandLineParser &parser, const QString &name)
{
    const QStringList values = parser.values(name);
    if (values.isEmpty())
        return std::nullopt;
    return values.constLast();
}

std::optional<double> threshold(const QCommandLineParser &parser, const QString &name,
                                QString *problem)
{
    const std::optional<QString> text = singleValue(parser, name);
    if (!text)
        return std::nullopt;
    bool converted = false;
    const double value = text->toDouble(&converted);
    if (!converted && problem->isEmpty())
        *problem = QStringLiteral("--%1 needs a number, not \"%2\"").arg(name, *text);
    return value;
}

// The settings, or the reason the command line cannot be used.
QString readSettings(QCommandLineParser &parser, Settings *settings)
{
    QString problem;
    // Each option once: a second --add or --reformat is more likely a mistake than a wish.
    const QStringList given = parser.optionNames();
    for (const QString &name : given) {
        if (given.count(name) > 1)
            return QStringLiteral("--%1 is given more than once").arg(name);
    }
    const std::optional<QString> attribute = singleValue(parser, QStringLiteral("attribute"));
    const std::optional<QString> increment = singleValue(parser, QStringLiteral("add"));
    const std::optional<double> above = threshold(parser, QStringLiteral("above"), &problem);
    const std::optional<double> below = threshold(parser, QStringLiteral("below"), &problem);
    if (!problem.isEmpty())
        return problem;
    if (!attribute)
        return QStringLiteral("--attribute is required");
    if (attribute->isEmpty())
        return QStringLiteral("--attribute needs a name");
    if (!increment)
        return QStringLiteral("--add is required");
    const std::optional<DecimalNumber> number = DecimalNumber::fromNumeral(*increment);
    if (!number)
        return QStringLiteral("--add needs a plain decimal number such as 2.5 or -0.125, not "
                              "\"%1\"")
            .arg(*increment);
    if (number->isZero())
        return QStringLiteral("--add needs a number other than zero");

    settings->rule.attributeName = *attribute;
    settings->rule.increment = *number;
    settings->rule.useAbove = above.has_value();
    settings->rule.above = above.value_or(0.0);
    settings->rule.useBelow = below.has_value();
    settings->rule.below = below.value_or(0.0);
    settings->reformat = parser.isSet(QStringLiteral("reformat"));
    settings->dryRun = parser.isSet(QStringLiteral("dry-run"));
    settings->files = parser.positionalArguments();
    if (settings->files.isEmpty())
        settings->files << QStringLiteral("-");
    return {};
}

QString helpText()
{
    return QString::fromLatin1(usageLine) + QStringLiteral(R"(

Adds NUMBER to every attribute NAME in each XML FILE, rewriting the file in place.
With no FILE, or with -, reads standard input and writes the result to standard output.

  --attribute NAME  the attribute, exactly as written (prefix included, case-sensitive)
  --add NUMBER      a plain decimal number, for example 2.5, -0.125 or .5
  --above X         only values strictly greater than X
  --below Y         only values strictly less than Y
  --reformat        write what the window writes: the document re-serialised
  --dry-run         report what would change; write nothing
  --help            show this help
  --version         show the version

Every byte of a file stays as it was except the values that change. A file that is
not well-formed XML, or cannot be replaced, is left alone. One line per file goes to
standard error. Exit status: 0 when every file succeeded, 1 when some failed, 2 for a
command-line error.)");
}

} // namespace

int main(int argc, char *argv[])
{
#ifdef SIGXFSZ
    // Past a file-size limit, a write then fails and the file is left as it was,
    // instead of the program being killed with its temporary file left behind.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QString::fromLatin1(programName));
    QCoreApplication::setApplicationVersion(QStringLiteral(XMLADJUST_VERSION));

    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    for (const char *name : {"attribute", "add", "above", "below"})
        parser.addOption(
            QCommandLineOption(QString::fromLatin1(name), QString(), QStringLiteral("value")));
    for (const char *name : {"reformat", "dry-run", "help", "version"})
        parser.addOption(QCommandLineOption(QString::fromLatin1(name)));

    const auto usageError = [](const QString &reason) {
        printLine(stderr, QStringLiteral("%1: %2").arg(QString::fromLatin1(programName), reason));
        printLine(stderr, QString::fromLatin1(usageLine));
        return UsageError;
    };
    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) {
        printLine(stdout, helpText());
        return AllSucceeded;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        printLine(stdout, QStringLiteral("%1 %2").arg(QString::fromLatin1(programName),
                                                      QStringLiteral(XMLADJUST_VERSION)));
        return AllSucceeded;
    }
    Settings settings;
    const QString problem = readSettings(parser, &settings);
    if (!problem.isEmpty())
        return usageError(problem);

    // Identities are taken before any file is replaced, since a replaced file is a new inode.
    QStringList files;
    QSet<QString> seen;
    for (const QString &file : qAsConst(settings.files)) {
        const QString identity = fileIdentity(file);
        if (!seen.contains(identity))
            files << file;
        seen.insert(identity);
    }
    ExitStatus status = AllSucceeded;
    for (const QString &file : qAsConst(files)) {
        const Outcome outcome =
            file == QLatin1String("-") ? adjustStandardInput(settings) : adjustFile(file, settings);
        printLine(stderr, report(file, outcome, settings.dryRun));
        if (!outcome.error.isEmpty())
            status = SomeFailed;
    }
    return status;
}
