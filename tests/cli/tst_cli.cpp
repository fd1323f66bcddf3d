// SPDX-License-Identifier: MIT
// The command-line program as a user runs it: its options, reports and exit statuses,
// files in batches, standard input and output, and a write that fails. The rows of
// tests/data/command-line.tsv and the cases of tests/data/cases are its data.
#include "cases.h"
#include "datarows.h"
#include "threadsanitizer.h"

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

} // namespace

class tst_Cli : public QObject
{
    Q_OBJECT

private slots:
    void cases_data() { addCaseRows(QFINDTESTDATA("../data/cases"), "cli"); }
    void cases()
    {
        QFETCH(AdjustmentCase, given);
        QTemporaryDir dir;
        const QString name = given.name + ".xml";
        const QByteArray input = readBytes(given.inputPath);
        QVERIFY(writeBytes(dir.filePath(name), input));
        const QString before = inodeOf(dir.filePath(name));

        const QStringList options = given.arguments;
        const Run result = run(options + QStringList(name), {}, dir.path());
        QString report = QString("%1 values? adjusted").arg(given.adjusted);
        if (given.notInText)
            report += QString(", %1 left unchanged \\(not written in the file's text\\)")
                          .arg(given.notInText);
        if (!given.failure.isEmpty())
            report = QString(given.line ? "error: line %1, column %2: " : "error: ")
                         .arg(given.line)
                         .arg(given.column) +
                     QRegularExpression::escape(given.reason) + ".*";
        QVERIFY2(matchesWhole(QRegularExpression::escape(name) + ": " + report, result.err),
                 qPrintable(result.err));
        QCOMPARE(result.exitCode, given.failure.isEmpty() ? 0 : 1);
        QCOMPARE(result.out, QByteArray());
        QCOMPARE(readBytes(dir.filePath(name)), given.failure.isEmpty() ? given.output : input);
        if (readBytes(dir.filePath(name)) == input) // nothing to change leaves the file itself
            QCOMPARE(inodeOf(dir.filePath(name)), before);
        QCOMPARE(entries(dir.path()), QStringList(name));

        // In a pipeline, standard output gets the document only when the whole of it is.
        const Run piped = run(options, input, dir.path());
        QCOMPARE(piped.exitCode, result.exitCode);
        QCOMPARE(piped.out, given.failure.isEmpty() ? given.output : QByteArray());
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

        // A leading redirection of standard output is made by a shell.
        QStringList shell;
        if (!args.isEmpty() && args.first().startsWith('>'))
            shell = QStringList{"sh", "-c", "exec \"$0\" \"$@\" " + args.takeFirst()};
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
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QStringList>("options");
        for (const char *locale : {"C", "C.UTF-8"}) {
            QTest::addRow("%s, streamed", locale) << locale << QStringList();
            QTest::addRow("%s, --reformat", locale) << locale << QStringList("--reformat");
        }
    }

    // caf\xe9.xml is not UTF-8; read as UTF-8 with U+FFFD for the byte it would be its
    // look-alike caf\xef\xbf\xbd.xml. Each name reaches its own file, and the report
    // names it byte for byte. The names pass through a shell's printf, not through this
    // process's locale.
    void fileNameNotUtf8()
    {
        QFETCH(QString, locale);
        QFETCH(QStringList, options);
        QTemporaryDir dir;
        const QString script =
            QString("printf \"<r lat='1'/>\" > \"$(printf 'caf\\351.xml')\"; "
                    "printf \"<r lat='5'/>\" > \"$(printf 'caf\\357\\277\\275.xml')\"; "
                    "LC_ALL=%1 \"$0\" %2 --attribute lat --add 1 \"$(printf 'caf\\351.xml')\"; "
                    "echo \"status $?\"; cat caf*; rm caf*")
                .arg(locale, options.join(' '));
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
        QCOMPARE(program.readAllStandardError(), QByteArray("caf\xe9.xml: 1 value adjusted\n"));
        // The shell's glob lists them in byte order: the adjusted one, then its look-alike.
        QVERIFY2(matchesWhole("status 0\n<r lat=.2./>\n?<r lat='5'/>", out), out.constData());
#endif
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

    // Runs of both paths on one file at once take turns: every edit reported is in the file.
    void runsAtOnce()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("doc.xml");
        QVERIFY(writeBytes(path, "<r><p lat=\"0\"/></r>"));
        int reported = 0, refused = 0;
        for (int round = 0; round < 20; ++round) {
            QProcess runs[2];
            for (int i = 0; i < 2; ++i) {
                QStringList args{"--attribute", "lat", "--add", "1", path};
                if (i == round % 2)
                    args << "--reformat";
                runs[i].start(XMLADJUST_CLI, args);
            }
            for (QProcess &process : runs) {
                QVERIFY(process.waitForFinished());
                const QByteArray report = process.readAllStandardError();
                reported += report.count(": 1 value adjusted");
                refused += report.count(": error: the file was changed meanwhile");
            }
        }
        QCOMPARE(reported + refused, 40);
        QCOMPARE(QRegularExpression("lat=.(\\d+)").match(readBytes(path)).captured(1).toInt(),
                 reported);
    }

    // Another run holds the file: the program waits for it, and past the bound refuses.
    void fileLockedByAnother()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("doc.xml");
        QVERIFY(writeBytes(path, "<r lat='1'/>"));
        QFile holder(path);
        QVERIFY(holder.open(QIODevice::ReadOnly) && flock(holder.handle(), LOCK_EX) == 0);
        const Run refused = run({"--attribute", "lat", "--add", "1", path});
        QCOMPARE(refused.err, path + ": error: another program has held the file locked for 3 "
                                     "seconds");
        QVERIFY(refused.exitCode == 1 && readBytes(path) == "<r lat='1'/>");

        QProcess waiting;
        waiting.start(XMLADJUST_CLI, {"--attribute", "lat", "--add", "1", "--reformat", path});
        QVERIFY(!waiting.waitForFinished(300));
        holder.close();
        QVERIFY(waiting.waitForFinished());
        QCOMPARE(waiting.readAllStandardError(), QFile::encodeName(path) + ": 1 value adjusted\n");
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
