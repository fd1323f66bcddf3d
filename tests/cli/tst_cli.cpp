// SPDX-License-Identifier: MIT
// The command-line program as a user runs it: its options, reports and exit statuses,
// files in batches, standard input and output, and a write that fails. The rows of
// tests/data/command-line.tsv and the cases of tests/data/cases are its data.
#include "cases.h"
#include "datarows.h"

#include <QProcess>
#include <QTemporaryDir>

#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Run
{
    int exitCode = -1; // -1: crashed or never finished
    QByteArray out;
    QString err;
};

// Runs the program, or with `wrapper` the program that wrapper starts (the program's
// path and arguments follow the wrapper's own), with the hash seed each process draws.
Run run(const QStringList &args, const QByteArray &input = {}, const QString &workDir = {},
        const QStringList &wrapper = {})
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove("QT_HASH_SEED");
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(workDir);
    const QStringList command = wrapper + QStringList(XMLADJUST_CLI) + args;
    process.start(command.first(), command.mid(1));
    process.write(input);
    process.closeWriteChannel();
    Run result;
    // Only so that a hung program fails its test instead of stalling the suite.
    if (!process.waitForFinished(10 * 60 * 1000))
        process.kill();
    result.out = process.readAllStandardOutput();
    result.err = QString::fromUtf8(process.readAllStandardError()).trimmed();
    if (process.exitStatus() == QProcess::NormalExit)
        result.exitCode = process.exitCode();
    return result;
}

// The wrapper that starts the program with tests/cli/faultshim.cpp preloaded (ahead of
// a sanitizer's runtime) and set as `setting` says.
QStringList withShim(const QString &setting)
{
    return {"env", "LD_PRELOAD=" XMLADJUST_SHIM, "ASAN_OPTIONS=verify_asan_link_order=0", setting};
}

// What the program reports for the case under the file name.
QString reportPattern(const AdjustmentCase &given, const QString &name, bool dryRun = false)
{
    QString report = QString(dryRun ? "%1 values? would be adjusted" : "%1 values? adjusted")
                         .arg(given.adjusted);
    if (!given.byRule.isEmpty())
        report += " \\(" + QRegularExpression::escape(given.byRule) + "\\)";
    if (given.notInText)
        report += QString(", %1 left unchanged \\(not written in the file's text\\)")
                      .arg(given.notInText);
    if (!given.failure.isEmpty())
        report =
            (given.line ? QString("error: line %1, column %2: ").arg(given.line).arg(given.column)
                        : QString("error: ")) +
            QRegularExpression::escape(given.reason) + ".*";
    return QRegularExpression::escape(name) + ": " + report;
}

} // namespace

class tst_Cli : public QObject
{
    Q_OBJECT

private slots:
    void cases_data()
    {
        addCaseRows(QFINDTESTDATA("../data/cases"), {"cli", "stdin", "dry-run", "reformat"});
    }
    // The file in place, standard input, a dry run of the file, and --reformat through
    // standard input, which writes what it writes of the expected document.
    void cases()
    {
        QFETCH(AdjustmentCase, given);
        QFETCH(QString, path);
        QTemporaryDir dir;
        const bool piped = path == "stdin" || path == "reformat";
        const QString name = piped ? QString("-") : given.name + ".xml";
        const QByteArray input = readBytes(given.inputPath);
        QVERIFY(writeBytes(dir.filePath(given.name + ".xml"), input));
        const QString before = inodeOf(dir.filePath(given.name + ".xml"));
        QStringList options;
        if (path == "dry-run" || path == "reformat")
            options << "--" + path;

        const Run result = run(given.arguments + options + QStringList(name),
                               piped ? input : QByteArray(), dir.path());
        QVERIFY2(matchesWhole(reportPattern(given, name, path == "dry-run"), result.err),
                 qPrintable(result.err));
        QCOMPARE(result.exitCode, given.failure.isEmpty() ? 0 : 1);
        QByteArray expectedOutput = path == "stdin" && given.failure.isEmpty() ? given.output : "";
        if (path == "reformat") // the expected document as --reformat writes it
            expectedOutput =
                run({"--attribute", "absent", "--add", "1", "--reformat"}, given.output).out;
        QCOMPARE(result.out, expectedOutput);
        const QString file = dir.filePath(given.name + ".xml");
        QCOMPARE(readBytes(file), path == "cli" && given.failure.isEmpty() ? given.output : input);
        if (readBytes(file) == input) // nothing to change leaves the file itself
            QCOMPARE(inodeOf(file), before);
        QCOMPARE(entries(dir.path()), QStringList(given.name + ".xml"));
    }

    void casesInOneBatch_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<bool>("reversed");
        QTest::newRow("one job") << QStringList{"--jobs", "1"} << false;
        QTest::newRow("4 jobs") << QStringList{"-j", "4"} << false;
        QTest::newRow("16 jobs, in reverse order") << QStringList{"--jobs=16"} << true;
    }
    // The cases that share their arguments, each batch in one run: every file gets its
    // own bytes and its own report, in the order the files were given.
    void casesInOneBatch()
    {
        QFETCH(QStringList, options);
        QFETCH(bool, reversed);
        QList<AdjustmentCase> cases;
        readCases(QFINDTESTDATA("../data/cases"), &cases);
        QMap<QStringList, QList<AdjustmentCase>> batches;
        for (const AdjustmentCase &given : qAsConst(cases)) {
            if (given.paths.contains("cli"))
                batches[given.arguments] << given;
        }
        for (auto batch = batches.cbegin(); batch != batches.cend(); ++batch) {
            QList<AdjustmentCase> given = batch.value();
            if (given.size() < 2)
                continue;
            if (reversed)
                std::reverse(given.begin(), given.end());
            QTemporaryDir dir;
            QStringList names, expected;
            for (const AdjustmentCase &c : qAsConst(given)) {
                names << c.name + ".xml";
                expected << reportPattern(c, names.last());
                QVERIFY(writeBytes(dir.filePath(names.last()), readBytes(c.inputPath)));
            }
            const Run result = run(options + batch.key() + names, {}, dir.path());
            QVERIFY2(matchesWhole(expected.join('\n'), result.err), qPrintable(result.err));
            const bool failed =
                std::any_of(given.begin(), given.end(),
                            [](const AdjustmentCase &c) { return !c.failure.isEmpty(); });
            QCOMPARE(result.exitCode, failed ? 1 : 0);
            for (const AdjustmentCase &c : qAsConst(given))
                QVERIFY2(readBytes(dir.filePath(c.name + ".xml")) ==
                             (c.failure.isEmpty() ? c.output : readBytes(c.inputPath)),
                         qPrintable(c.name));
            names.sort();
            QCOMPARE(entries(dir.path()), names);
        }
    }

    void commandLine_data() { addDataRows(QFINDTESTDATA("../data/command-line.tsv")); }
    void commandLine()
    {
        QFETCH(QByteArray, arguments);
        QFETCH(QByteArray, input);
        QFETCH(QByteArray, doc);
        QFETCH(QByteArray, mode);
        QFETCH(QByteArray, status);
        QFETCH(QByteArray, error);
        QFETCH(QByteArray, after);
        QTemporaryDir dir;
        const QString path = dir.filePath("doc.xml");
        QVERIFY(writeBytes(path, doc) && writeBytes(dir.filePath("a.xml"), "<r lat='1'/>") &&
                writeBytes(dir.filePath("c.xml"), "<r lat='2'/>") && QDir(dir.path()).mkdir("sub"));
        QVERIFY(QFile::link("doc.xml", dir.filePath("link.xml")) &&
                QFile::link("gone.xml", dir.filePath("dangling.xml")) &&
                QFile::link("loop.xml", dir.filePath("loop.xml")));
        QVERIFY(mode.isEmpty() || chmod(QFile::encodeName(path), mode.toUInt(nullptr, 8)) == 0);
        const QFile::Permissions permissions = QFileInfo(path).permissions();
        const QString before = inodeOf(path);
        QStringList args;
        static const QRegularExpression argument("(?:[^\\s\"]+|\"[^\"]*\")+");
        for (auto match = argument.globalMatch(arguments); match.hasNext();)
            args << match.next().captured().remove('"').replace('@', dir.path());

        // A leading redirection of standard output, or command, is made by a shell.
        QStringList shell;
        if (!args.isEmpty() && args.first().startsWith('>'))
            shell = QStringList{"sh", "-c", "exec \"$0\" \"$@\" " + args.takeFirst()};
        else if (!args.isEmpty() && args.first().endsWith(';'))
            shell = QStringList{"sh", "-c", args.takeFirst() + " exec \"$0\" \"$@\""};
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        if (shell.value(2).contains("ulimit -v"))
            QSKIP("a sanitizer's shadow memory does not fit under a limit on address space");
#endif
        const Run result = run(args, input, dir.path(), shell);
        QCOMPARE(QByteArray::number(result.exitCode), status);
        QTEST(result.out, "output");
        QVERIFY2(matchesWhole(QString(error).replace('@', dir.path()), result.err),
                 qPrintable(result.err));
        QCOMPARE(readBytes(path), after.isEmpty() ? doc : after);
        if (after.isEmpty())
            QCOMPARE(inodeOf(path), before);
        QCOMPARE(QFileInfo(path).permissions(), permissions);
        QVERIFY(QFileInfo(dir.filePath("link.xml")).isSymLink());
        QCOMPARE(entries(dir.path()), QStringList({"a.xml", "c.xml", "dangling.xml", "doc.xml",
                                                   "link.xml", "loop.xml", "sub"}));
    }

    void filesAround_data() { addDataRows(QFINDTESTDATA("../data/cli-files.tsv")); }
    // What the program leaves around a file: compressed files and backups.
    void filesAround()
    {
        QFETCH(QByteArray, setup);
        QFETCH(QByteArray, command);
        QFETCH(QByteArray, status);
        QFETCH(QByteArray, error);
        QFETCH(QByteArray, shown);
        QTemporaryDir dir;
        QVERIFY(writeBytes(dir.filePath("doc.xml"),
                           "<!-- c -->\r\n<r lat='1'>\r\n<p lat=\"2\"/></r>\r\n"));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("PATH",
                           QFileInfo(XMLADJUST_CLI).path() + ':' + environment.value("PATH"));
        environment.insert("TZ", "UTC");
#ifdef XMLADJUST_SANITIZED
        environment.insert("SANITIZED", "1"); // whose runtime reserves terabytes of address space
#endif
        const auto shell = [&](const QByteArray &script) {
            QProcess process;
            process.setProcessEnvironment(environment);
            process.setWorkingDirectory(dir.path());
            process.start("sh", {"-c", script});
            process.waitForFinished(10 * 60 * 1000);
            return Run{process.exitCode(), process.readAllStandardOutput(),
                       QString::fromUtf8(process.readAllStandardError()).trimmed()};
        };
        QVERIFY2(shell("set -e; " + setup).exitCode == 0, setup.constData());
        const Run result = shell(command);
        QVERIFY2(matchesWhole(error, result.err), qPrintable(result.err));
        QCOMPARE(QByteArray::number(result.exitCode), status);
        QTEST(shell(shown).out, "after");
    }

    void helpAndVersion()
    {
        const Run help = run({"--help"});
        QVERIFY2(help.exitCode == 0 && help.out.startsWith("usage: xmladjust-cli"),
                 help.out.constData());
        const Run version = run({"--version"});
        QCOMPARE(version.exitCode, 0);
        QCOMPARE(version.out, QByteArray("xmladjust-cli " XMLADJUST_VERSION "\n"));
        QVERIFY(help.err.isEmpty() && version.err.isEmpty());
    }

    // Another program puts a file of the same size and time in place of doc.xml while the
    // program opens it to lock it (a write lease on the file holds the opening until
    // then): once locked, the path names another file, and the program starts over on it.
    void fileReplacedWhileOpened()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("doc.xml"), other = dir.filePath("other.xml");
        QVERIFY(writeBytes(path, "<r lat='1'/>") && writeBytes(other, "<r lat='5'/>"));
        QFile lease(path);
        QVERIFY(lease.open(QIODevice::ReadWrite));
        std::signal(SIGIO, SIG_IGN); // how the kernel tells the lease holder of an opening
        if (fcntl(lease.handle(), F_SETLEASE, F_WRLCK) != 0)
            QSKIP("no file leases here");
        QProcess program;
        program.start(XMLADJUST_CLI, {"--attribute", "lat", "--add", "1", path});
        // The lease is to become a read lease: the program waits to open the file to read.
        while (fcntl(lease.handle(), F_GETLEASE) != F_RDLCK)
            QVERIFY(!program.waitForFinished(1));
        struct stat status = {};
        QVERIFY(::stat(QFile::encodeName(path), &status) == 0);
        const timespec times[2] = {status.st_atim, status.st_mtim};
        QVERIFY(utimensat(AT_FDCWD, QFile::encodeName(other), times, 0) == 0);
        QVERIFY(::rename(QFile::encodeName(other), QFile::encodeName(path)) == 0);
        lease.close(); // which ends the lease
        QVERIFY(program.waitForFinished());
        QCOMPARE(program.readAllStandardError(),
                 QByteArray(QFile::encodeName(path) + ": 1 value adjusted\n"));
        QCOMPARE(readBytes(path), QByteArray("<r lat='6'/>"));
        QCOMPARE(entries(dir.path()), QStringList("doc.xml"));
    }

    void fileNameNotUtf8_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QStringList>("options");
        const std::pair<const char *, QByteArray> names[] = {
            {"a lead byte without its sequence", "\xe9"},
            {"0xFF", "\xff"},
            {"0x80", "\x80"},
            {"a lone continuation byte", "\xbf"},
            {"a sequence cut short", "\xe2\x82"}};
        for (const auto &[name, bytes] : names) {
            for (const char *locale : {"C", "C.UTF-8"}) {
                QTest::addRow("%s, %s, streamed", name, locale) << bytes << locale << QStringList();
                QTest::addRow("%s, %s, --reformat", name, locale)
                    << bytes << locale << QStringList("--reformat");
            }
        }
    }

    // caf<bytes>.xml is not UTF-8; read as UTF-8 with U+FFFD for what it cannot read it
    // would be its look-alike caf\xef\xbf\xbd.xml. Each name reaches its own file, and the
    // report names it byte for byte. The names pass through a shell's printf, not through
    // this process's locale.
    void fileNameNotUtf8()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, locale);
        QFETCH(QStringList, options);
        QTemporaryDir dir;
        QString octal;
        for (const char byte : bytes)
            octal += QString("\\%1").arg(uchar(byte), 3, 8, QChar('0'));
        const QString name = "\"$(printf 'caf" + octal + ".xml')\"",
                      lookAlike = "\"$(printf 'caf\\357\\277\\275.xml')\"";
        const QString script = QString("printf \"<r lat='1'/>\" > %1; "
                                       "printf \"<r lat='5'/>\" > %2; "
                                       "LC_ALL=%3 \"$0\" %4 --attribute lat --add 1 %1; "
                                       "echo \"status $?\"; cat %1 %2; rm caf*")
                                   .arg(name, lookAlike, locale, options.join(' '));
        QProcess program;
        program.setWorkingDirectory(dir.path());
        program.start("sh", {"-c", script, XMLADJUST_CLI});
        QVERIFY(program.waitForFinished());
        const QByteArray out = program.readAllStandardOutput();
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
        // Qt 6 reads every argument as UTF-8: the name is refused, and neither file changes.
        QVERIFY(program.readAllStandardError().contains("cannot be reached exactly"));
        QVERIFY2(matchesWhole("status 2\n<r lat='1'/>\n?<r lat='5'/>", out), out.constData());
#else
        QCOMPARE(program.readAllStandardError(), "caf" + bytes + ".xml: 1 value adjusted\n");
        QVERIFY2(matchesWhole("status 0\n<r lat=.2./>\n?<r lat='5'/>", out), out.constData());
#endif
        QCOMPARE(entries(dir.path()), QStringList());
    }

    void keepsWhatIsAttached_data() { addDataRows(QFINDTESTDATA("../data/cli-metadata.tsv")); }
    // Through both paths, what is attached to the file stays with it.
    void keepsWhatIsAttached()
    {
        QFETCH(QByteArray, options);
        QFETCH(QByteArray, attached);
        QFETCH(QByteArray, shown);
        QTemporaryDir dir;
        QVERIFY(writeBytes(dir.filePath("doc.xml"), "<r lat='1'/>"));
        const auto shell = [&](const QString &command) {
            QProcess process;
            process.setWorkingDirectory(dir.path());
            process.start("sh", {"-c", command});
            process.waitForFinished();
            return process.exitCode() == 0 ? process.readAll() : QByteArray("failed");
        };
        if (shell(attached) == "failed")
            QSKIP("this file system cannot hold it");
        const QByteArray before = shell(shown);
        const Run result = run(
            QString(options + " --attribute lat --add 1 doc.xml").split(' ', Qt::SkipEmptyParts),
            {}, dir.path());
        QCOMPARE(result.err, QString("doc.xml: 1 value adjusted"));
        QVERIFY(shell(shown) == before && readBytes(dir.filePath("doc.xml")).contains("2"));
        if (attached.startsWith("ln"))
            QCOMPARE(readBytes(dir.filePath("other.xml")), readBytes(dir.filePath("doc.xml")));
    }

    void runsAtOnce_data()
    {
        QTest::addColumn<int>("files");
        QTest::addColumn<QStringList>("options");
        QTest::newRow("one file") << 1 << QStringList();
        QTest::newRow("five files, 3 jobs each") << 5 << QStringList{"-j", "3"};
    }
    // Runs of both paths on the same files at once take turns: every edit reported is
    // in its file, and a file changed meanwhile is refused.
    void runsAtOnce()
    {
        QFETCH(int, files);
        QFETCH(QStringList, options);
        QTemporaryDir dir;
        QStringList paths;
        for (int i = 0; i < files; ++i) {
            paths << dir.filePath(QString("doc%1.xml").arg(i));
            QVERIFY(writeBytes(paths.last(), "<r><p lat=\"0\"/></r>"));
        }
        QByteArray reports;
        for (int round = 0; round < 20; ++round) {
            QProcess runs[2];
            for (int i = 0; i < 2; ++i) {
                QStringList args =
                    options + QStringList{"--attribute", "lat", "--add", "1"} + paths;
                if (i == round % 2)
                    args << "--reformat";
                runs[i].start(XMLADJUST_CLI, args);
            }
            for (QProcess &process : runs) {
                QVERIFY(process.waitForFinished());
                reports += process.readAllStandardError();
            }
        }
        for (const QString &path : qAsConst(paths)) {
            const QByteArray name = QFile::encodeName(path);
            const int reported = reports.count(name + ": 1 value adjusted\n");
            const int refused = reports.count(name + ": error: the file was changed meanwhile\n");
            QCOMPARE(reported + refused, 40);
            QCOMPARE(QRegularExpression("lat=.(\\d+)").match(readBytes(path)).captured(1).toInt(),
                     reported);
        }
    }

    void changedWhileSynced_data()
    {
        writeFailsPartWay_data();
    }

    // Another program that takes no lock edits the file while the new contents are being
    // synced (the shim edits it then): the replacement is refused, and its edit stays.
    void changedWhileSynced()
    {
        QFETCH(QStringList, options);
        QTemporaryDir dir;
        QVERIFY(writeBytes(dir.filePath("doc.xml"), "<r lat='1'/>"));
        const Run result = run(options + QStringList{"--attribute", "lat", "--add", "1", "doc.xml"},
                               {}, dir.path(), withShim("XMLADJUST_SHIM_EDIT_ON_SYNC=doc.xml"));
        QCOMPARE(result.err, QString("doc.xml: error: the file was changed meanwhile"));
        QCOMPARE(result.exitCode, 1);
        QCOMPARE(readBytes(dir.filePath("doc.xml")), QByteArray("<r lat='1'/><!-- edited -->\n"));
        QCOMPARE(entries(dir.path()), QStringList("doc.xml"));
    }

    // A run holds the file until it has replaced it: one started while the first is
    // paused syncing the new contents (by the shim) waits for it, and both edits land.
    void secondRunWaitsForTheFirst()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("doc.xml"), gate = dir.filePath("gate");
        QVERIFY(writeBytes(path, "<r lat='1'/>"));
        const QStringList args{XMLADJUST_CLI, "--attribute", "lat", "--add", "1", path};
        const QStringList shimmed = withShim("XMLADJUST_SHIM_PAUSE_ON_SYNC=" + gate) + args;
        QProcess first, second;
        first.start(shimmed.first(), shimmed.mid(1));
        while (!QFile::exists(gate + ".paused"))
            QVERIFY(!first.waitForFinished(10) && first.state() != QProcess::NotRunning);
        second.start(args.first(), args.mid(1));
        QVERIFY(!second.waitForFinished(1000)); // well within the 3 seconds it waits
        QVERIFY(writeBytes(gate, ""));
        QVERIFY(first.waitForFinished() && second.waitForFinished());
        const QByteArray adjusted = QFile::encodeName(path) + ": 1 value adjusted\n";
        QCOMPARE(first.readAllStandardError() + second.readAllStandardError(), adjusted + adjusted);
        QCOMPARE(readBytes(path), QByteArray("<r lat='3'/>"));
    }

    void fileLockedByAnother_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::newRow("alone") << QStringList();
        QTest::newRow("among others, 4 jobs") << QStringList{"-j", "4", "a.xml", "c.xml"};
    }
    // Another run holds the file: the program waits for it, and past the bound refuses,
    // while the other files are done.
    void fileLockedByAnother()
    {
        QFETCH(QStringList, options);
        QTemporaryDir dir;
        const QString path = dir.filePath("doc.xml");
        QVERIFY(writeBytes(path, "<r lat='1'/>") &&
                writeBytes(dir.filePath("a.xml"), "<r lat='1'/>") &&
                writeBytes(dir.filePath("c.xml"), "<r lat='1'/>"));
        QFile holder(path);
        QVERIFY(holder.open(QIODevice::ReadOnly) && flock(holder.handle(), LOCK_EX) == 0);
        const QStringList args = QStringList{"--attribute", "lat", "--add", "1", path} + options;
        const Run refused = run(args, {}, dir.path());
        QString expected = path + ": error: another program has held the file locked for 3 seconds";
        if (!options.isEmpty())
            expected += "\na.xml: 1 value adjusted\nc.xml: 1 value adjusted";
        QCOMPARE(refused.err, expected);
        QVERIFY(refused.exitCode == 1 && readBytes(path) == "<r lat='1'/>");

        QProcess waiting;
        waiting.setWorkingDirectory(dir.path());
        waiting.start(XMLADJUST_CLI, args + QStringList("--reformat"));
        QVERIFY(!waiting.waitForFinished(300));
        holder.close();
        QVERIFY(waiting.waitForFinished());
        QVERIFY(waiting.readAllStandardError().startsWith(QFile::encodeName(path) +
                                                          ": 1 value adjusted\n"));
    }

    void signalLeavesNothing_data() { addDataRows(QFINDTESTDATA("../data/cli-signals.tsv")); }
    // A signal at the worst moment: the program removes what it created, the file
    // stays as it was, and it ends as the signal ends a program.
    void signalLeavesNothing()
    {
        QFETCH(QByteArray, shim);
        QFETCH(QByteArray, options);
        QTemporaryDir dir, temporaries;
        const QByteArray content = "<r>" + QByteArray("<p lat='1'/>\n").repeated(20000) + "</r>";
        QVERIFY(writeBytes(dir.filePath("doc.xml"), content));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("LD_PRELOAD", XMLADJUST_SHIM); // ahead of a sanitizer's runtime
        environment.insert("ASAN_OPTIONS", "verify_asan_link_order=0");
        environment.insert("XMLADJUST_SHIM_SIGNAL", QString(shim).section(' ', 0, 0));
        if (shim.contains("no-tmpfile"))
            environment.insert("XMLADJUST_SHIM_NO_TMPFILE", "1");
        environment.insert("TMPDIR", temporaries.path());
        QProcess program;
        program.setProcessEnvironment(environment);
        program.setWorkingDirectory(dir.path());
        if (options == "-")
            program.setStandardInputFile(dir.filePath("doc.xml"));
        const QString args = options == "-" ? "--attribute lat --add 1 -"
                                            : options + " --attribute lat --add 1 doc.xml";
        program.start(XMLADJUST_CLI, args.split(' ', Qt::SkipEmptyParts));
        QVERIFY(program.waitForFinished());
        QCOMPARE(program.exitStatus(), QProcess::CrashExit);
        QCOMPARE(program.exitCode(), QString(shim).section(':', 0, 0).toInt());
        QVERIFY(readBytes(dir.filePath("doc.xml")) == content);
        QCOMPARE(entries(dir.path()) + entries(temporaries.path()), QStringList("doc.xml"));
    }

    void batchCutShort_data()
    {
        addDataRows(QFINDTESTDATA("../data/cli-batch-faults.tsv"));
    }
    void batchCutShort()
    {
        QFETCH(QByteArray, environment);
        QFETCH(QByteArray, options);
        QFETCH(QByteArray, ending);
        QTemporaryDir dir, temporaries;
        const QByteArray old = "<r>" + QByteArray("<p lat='1'/>\n").repeated(5000) + "</r>";
        QStringList names;
        for (int i = 1; i <= 12; ++i) {
            names << QString("f%1.xml").arg(i, 2, 10, QChar('0'));
            QVERIFY(writeBytes(dir.filePath(names.last()), old));
        }
        const QStringList args = QString(options + " --attribute lat --add 1").split(' ');
        QVERIFY(writeBytes(temporaries.filePath("new.xml"), old));
        QVERIFY(run(args + QStringList(temporaries.filePath("new.xml"))).exitCode == 0);
        const QByteArray adjusted = readBytes(temporaries.filePath("new.xml"));
        QVERIFY(QFile::remove(temporaries.filePath("new.xml")));
        QProcessEnvironment settings = QProcessEnvironment::systemEnvironment();
        settings.insert("LD_PRELOAD", XMLADJUST_SHIM);
        settings.insert("ASAN_OPTIONS", "verify_asan_link_order=0");
        for (const QByteArray &setting : environment.split(' '))
            settings.insert(setting.left(setting.indexOf('=')),
                            setting.mid(setting.indexOf('=') + 1));
        settings.insert("TMPDIR", temporaries.path());
        QProcess program;
        program.setProcessEnvironment(settings);
        program.setWorkingDirectory(dir.path());
        program.start(XMLADJUST_CLI, args + names);
        QVERIFY(program.waitForFinished());
        const int code = ending.split(' ').last().toInt();
        QCOMPARE(program.exitStatus(),
                 ending.startsWith("signal") ? QProcess::CrashExit : QProcess::NormalExit);
        QCOMPARE(program.exitCode(), code);
        const QStringList reports =
            QString(program.readAllStandardError()).split('\n', Qt::SkipEmptyParts);
        int changed = 0;
        for (int i = 0; i < names.size(); ++i) {
            const QByteArray now = readBytes(dir.filePath(names[i]));
            QVERIFY2(now == old || now == adjusted, qPrintable(names[i]));
            changed += now == adjusted;
            if (i < reports.size()) // in order; the failures are the disk's
                QVERIFY2(matchesWhole(QRegularExpression::escape(names[i]) +
                                          (now == old ? ": error: No space left on device"
                                                      : ": 5000 values adjusted"),
                                      reports[i]),
                         qPrintable(reports[i]));
        }
        QVERIFY2(changed < names.size(), qPrintable(QString::number(changed)));
        if (ending.startsWith("status"))
            QVERIFY(reports.size() == names.size() && changed > 0);
        QCOMPARE(entries(dir.path()) + entries(temporaries.path()), names);
    }

    void asAnotherUser_data() { addDataRows(QFINDTESTDATA("../data/cli-another-user.tsv")); }
    // The dry run says what the real run meets; a file of another user stays theirs.
    void asAnotherUser()
    {
        QFETCH(QByteArray, setup);
        QFETCH(QByteArray, user);
        QFETCH(QByteArray, options);
        QFETCH(QByteArray, error);
        if (geteuid() != 0)
            QSKIP("only root can stage another user");
        QTemporaryDir parent;
        const QString dir = parent.filePath("folder");
        QVERIFY(QDir().mkdir(dir) && chmod(QFile::encodeName(parent.path()), 0755) == 0);
        QVERIFY(writeBytes(dir + "/doc.xml", "<r lat='1'/>"));
        if (QProcess::execute("sh", {"-c", "cd '" + dir + "' && " + QString(setup)}) != 0)
            QSKIP("this file system cannot stage it");
        const auto owner = [&] {
            const QFileInfo file(dir + "/doc.xml");
            return QString("%1:%2:%3")
                .arg(file.ownerId())
                .arg(file.groupId())
                .arg(file.permissions());
        };
        const QString before = owner();
        const QStringList wrapper =
            user.isEmpty()
                ? QStringList()
                : QStringList{"setpriv", "--reuid=" + user, "--regid=nogroup", "--clear-groups"};
        const QStringList args =
            QString(options + " --attribute lat --add 1 doc.xml").split(' ', Qt::SkipEmptyParts);
        const Run dry = run(args + QStringList("--dry-run"), {}, dir, wrapper);
        const Run real = run(args, {}, dir, wrapper);
        QProcess::execute("sh", {"-c", "chattr -a '" + dir + "/doc.xml'; chmod 755 '" + dir + "'"});
        QCOMPARE(real.err,
                 error.isEmpty() ? "doc.xml: 1 value adjusted" : "doc.xml: error: " + error);
        QCOMPARE(dry.err, error.isEmpty() ? "doc.xml: 1 value would be adjusted" : real.err);
        QCOMPARE(dry.exitCode, real.exitCode);
        QCOMPARE(readBytes(dir + "/doc.xml").contains("2"), error.isEmpty());
        QCOMPARE(owner(), before);
        QCOMPARE(entries(dir), QStringList("doc.xml"));
    }

    // A large file is synced while it is still being written; the kernel reports a
    // failure of that sync to it alone, so the sync at the end succeeds: the file is
    // replaced all the same only if the first failure is forgotten.
    void earlySyncFails()
    {
        QTemporaryDir dir;
        const QByteArray content =
            "<r lat='1'>" + QByteArray(66 << 20, 'x') + "</r>"; // past the first such sync
        QVERIFY(writeBytes(dir.filePath("doc.xml"), content));
        const Run result = run({"--attribute", "lat", "--add", "1", "doc.xml"}, {}, dir.path(),
                               withShim("XMLADJUST_SHIM_SYNC_FAILS_ONLY=1"));
        QCOMPARE(result.err, QString("doc.xml: error: No space left on device"));
        QCOMPARE(result.exitCode, 1);
        QVERIFY(readBytes(dir.filePath("doc.xml")) == content);
        QCOMPARE(entries(dir.path()), QStringList("doc.xml"));
    }

    void writeFailsPartWay_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::newRow("streamed") << QStringList();
        QTest::newRow("--reformat") << QStringList("--reformat");
    }

    // A file-size limit makes writing fail after 64 KiB, as a full disk would; the limit's
    // signal keeps its default action, which ends a program that does not ignore it.
    void writeFailsPartWay()
    {
        QFETCH(QStringList, options);
        QTemporaryDir dir;
        const QByteArray content = "<r>" + QByteArray("<p lat='1'/>\n").repeated(100000) + "</r>";
        QVERIFY(writeBytes(dir.filePath("doc.xml"), content));
        const Run result =
            run(options << "--attribute"
                        << "lat"
                        << "--add"
                        << "1"
                        << "doc.xml",
                {}, dir.path(), {"sh", "-c", "trap - XFSZ; ulimit -f 64; exec \"$0\" \"$@\""});
        QCOMPARE(result.exitCode, 1);
        QCOMPARE(result.err, QString("doc.xml: error: File too large"));
        QVERIFY(readBytes(dir.filePath("doc.xml")) == content);
        QCOMPARE(entries(dir.path()), QStringList("doc.xml"));
    }
};

QTEST_GUILESS_MAIN(tst_Cli)
#include "tst_cli.moc"
