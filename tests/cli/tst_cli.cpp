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
#include <sys/stat.h>

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

        const Run result = run(given.arguments << name, {}, dir.path());
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
    // program opens it (a write lease on the file holds the opening until then): the
    // program began its replacement before, and does not write over the new file.
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
                 QByteArray(QFile::encodeName(path) + ": error: the file was changed meanwhile\n"));
        QCOMPARE(readBytes(path), QByteArray("<r lat='5'/>"));
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
        QCOMPARE(program.readAllStandardError(), QByteArray("caf\xe9.xml: 1 value adjusted\n"));
        // The shell's glob lists them in byte order: the adjusted one, then its look-alike.
        const QByteArray out = program.readAllStandardOutput();
        QVERIFY2(matchesWhole("status 0\n<r lat=.2./>\n?<r lat='5'/>", out), out.constData());
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
