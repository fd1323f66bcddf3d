// SPDX-License-Identifier: MIT
// The command-line companion of the window: the same adjustment for batches of files,
// pipelines and files of any size, keeping each file's bytes except the values it changes.

#include "batchrun.h"
#include "clioptions.h"
#include "file/filenames.h"
#include "file/signalcleanup.h"
#include "filerun.h"
#include "initialize.h"
#include "standardstreams.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <algorithm>

#include <csignal>
#include <cstdio>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace {

enum ExitStatus
{
    AllSucceeded = 0,
    SomeFailed = 1,
    UsageError = 2
};

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

} // namespace

int main(int argc, char *argv[])
{
    using namespace xmladjust;
    holdClosedStandardStreams();
    initializeCore();
    removeCreatedFilesOnSignals();
#ifdef SIGXFSZ
    // Past a file-size limit, a write then fails and the file is left as it was,
    // instead of the program being killed with its temporary file left behind.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QString::fromLatin1(programName));
    QCoreApplication::setApplicationVersion(QStringLiteral(XMLADJUST_VERSION));

    QCommandLineParser parser;
    addOptions(parser);

    // Output that did not arrive is a failure, whatever was done before.
    const auto finished = [](ExitStatus status) {
        const QString reason = closeStandardOutput();
        if (reason.isEmpty())
            return status;
        printLine(stderr, QStringLiteral("%1: error: cannot write standard output: %2")
                              .arg(QString::fromLatin1(programName), reason));
        return SomeFailed;
    };
    const auto usageError = [](const QString &reason) {
        printLine(stderr, QStringLiteral("%1: %2").arg(QString::fromLatin1(programName), reason));
        printLine(stderr, QString::fromLatin1(usageLine));
        return UsageError;
    };
    if (const int inexact = firstInexactArgument(argc, argv))
        return usageError(QStringLiteral("argument %1 is not text in this locale's encoding, "
                                         "so the file it names cannot be reached exactly")
                              .arg(inexact));
    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) {
        printLine(stdout, helpText());
        return finished(AllSucceeded);
    }
    if (parser.isSet(QStringLiteral("version"))) {
        printLine(stdout, QStringLiteral("%1 %2").arg(QString::fromLatin1(programName),
                                                      QStringLiteral(XMLADJUST_VERSION)));
        return finished(AllSucceeded);
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
    const int jobs = settings.jobs > 0 ? settings.jobs : defaultJobCount();
    // Files worked on side by side already keep the cores busy; a file alone takes two.
    settings.parserThreadPerFile = std::min(jobs, int(files.size())) <= 1;
    const ExitStatus status = runFiles(files, settings, jobs) ? AllSucceeded : SomeFailed;
    return finished(status);
}
