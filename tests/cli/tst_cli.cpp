#include "testfiles.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#ifdef Q_OS_UNIX
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

struct Run
{
    int exitCode = -1; // -1: crashed or never finished
    QByteArray out;
    QByteArray err;
};

// Runs the program, or with `wrapper` the program that wrapper starts (the
// program's path and arguments follow the wrapper's own).
Run run(const QStringList &args, const QByteArray &stdinBytes = {}, const QString &workDir = {},
        const QStringList &wrapper = {}, const QString &program = QStringLiteral(XMLADJUST_CLI))
{
    QProcess process;
    if (!workDir.isEmpty())
        process.setWorkingDirectory(workDir);
    if (wrapper.isEmpty())
        process.start(program, args);
    else
        process.start(wrapper.first(), wrapper.mid(1) + QStringList(program) + args);
    Run result;
    if (!process.waitForStarted())
        return result;
    process.write(stdinBytes);
    process.closeWriteChannel();
    // Only so that a hung program fails its test instead of stalling the suite.
    if (!process.waitForFinished(10 * 60 * 1000)) {
        process.kill();
        process.waitForFinished();
    }
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    if (process.exitStatus() == QProcess::NormalExit)
        result.exitCode = process.exitCode();
    return result;
}

QStringList lines(const QByteArray &bytes)
{
    QStringList split = QString::fromUtf8(bytes).split('\n');
    if (split.last().isEmpty())
        split.removeLast();
    return split;
}

bool matchesWhole(const QString &pattern, const QString &text)
{
    return QRegularExpression('^' + pattern + '$').match(text).hasMatch();
}

// Replacing renames a new file over the old one, so a file that was left alone is
// the one whose device and inode are still the same.
QString fileIdentity(const QString &path)
{
#ifdef Q_OS_UNIX
    struct stat status = {};
    if (stat(QFile::encodeName(path).constData(), &status) != 0)
        return QString();
    return QString("%1:%2").arg(status.st_dev).arg(status.st_ino);
#else
    Q_UNUSED(path);
    return QString();
#endif
}

// The UTF-8 text in UTF-16 with a byte order mark.
QByteArray utf16(const QByteArray &utf8, bool littleEndian)
{
    QByteArray bytes;
    for (const QChar c : QChar(0xfeff) + QString::fromUtf8(utf8)) {
        const char high = char(c.unicode() >> 8), low = char(c.unicode() & 0xff);
        bytes.append(littleEndian ? low : high).append(littleEndian ? high : low);
    }
    return bytes;
}

// Each start tag on its own line, so the depth error has a line of its own.
QByteArray nested(int levels)
{
    return QByteArray("<e x='1'>\n").repeated(levels) + QByteArray("</e>").repeated(levels);
}

const QStringList lat{"--attribute", "lat", "--add", "0.2"};

// In "a{old|new}b" the input holds "aoldb" and the expected output "anewb".
QByteArray side(QByteArray edits, bool after)
{
    for (int open; (open = edits.indexOf('{')) >= 0;) {
        const int bar = edits.indexOf('|', open), close = edits.indexOf('}', bar);
        const QByteArray kept =
            after ? edits.mid(bar + 1, close - bar - 1) : edits.mid(open + 1, bar - open - 1);
        edits.replace(open, close + 1 - open, kept);
    }
    return edits;
}

void addEdited(const char *tag, const QByteArray &edits, const QString &report,
               const QStringList &options = lat)
{
    QTest::newRow(tag) << side(edits, false) << options << side(edits, true) << report;
}

} // namespace

class tst_Cli : public QObject
{
    Q_OBJECT

private slots:
    void adjustFile_data();
    void adjustFile();
    void newValue_data();
    void newValue();
    void optionsSelectValues_data();
    void optionsSelectValues();
    void usageError_data();
    void usageError();
    void helpAndVersion();
    void fileRefused_data();
    void fileRefused();
    void standardInput_data();
    void standardInput();
    void reformatReadsAWholePipe();
    void aliasesOfOneFile_data();
    void aliasesOfOneFile();
    void writeFailsPartWay_data();
    void writeFailsPartWay();
    void folderNotWritable_data();
    void folderNotWritable();
    void fileChangesWhileWritten_data();
    void fileChangesWhileWritten();
};

void tst_Cli::adjustFile_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<QString>("report"); // after "doc.xml: "

    QTest::newRow("declaration, DOCTYPE, comments, PI, CDATA and spacing kept")
        << readBytes(QFINDTESTDATA("../data/layout.xml")) << lat
        << readBytes(QFINDTESTDATA("../data/layout-adjusted.xml")) << "7 values adjusted";
    addEdited("CRLF line ends",
              "<r>\r\n <p lat=\"{1|1.2}\"/>\r\n <p lat='{2|2.2}'\r\n  b='3'/></r>\r\n",
              "2 values adjusted");
    addEdited("look-alikes in other values, PIs and text",
              "<r a='x\"> lat=\"1\"' b=\"lat='1'\" lat=\"{2|2.2}\"><?pi lat=\"1\"?>lat=\"1\"</r>",
              "1 value adjusted");
    addEdited("ISO-8859-1 bytes kept",
              "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n"
              "<r n=\"\xe9t\xe9\" lat=\"{1|1.2}\">caf\xe9 \xff</r>\n",
              "1 value adjusted");
    const QByteArray le("<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n"
                        "<r n=\"\xe4\xb8\xad\" lat=\"{1|1.2}\"/>");
    QTest::newRow("UTF-16LE with byte order mark")
        << utf16(side(le, false), true) << lat << utf16(side(le, true), true) << "1 value adjusted";
    addEdited("character references replaced whole",
              "<r lat=\"{&#49;0|10.2}\" lon=\"&#49;0\"><p lat=\"{&#x2D;&#x31;|-0.8}\"/></r>",
              "2 values adjusted");
    addEdited("entity references replaced whole",
              "<!DOCTYPE r [<!ENTITY v \"7\"><!ENTITY w \"&v;5\">]>"
              "<r lat=\"{&v;|7.2}\"><p lat='{&w;|75.2}'/><p lat=\"{1&v;|17.2}\"/></r>",
              "3 values adjusted");
    const QByteArray names("<r xmlns:geo='urn:g'><p geo:lat='{1|%1}' lat='{1|%2}' Lat='1' "
                           "lat2='1' latitude='1'/><geo:p lat='{2|%3}'/></r>");
    addEdited("only the name as written", QString(names).arg("1", "1.2", "2.2").toUtf8(),
              "2 values adjusted");
    addEdited("prefixed name as written", QString(names).arg("1.2", "1", "2").toUtf8(),
              "1 value adjusted", {"--attribute", "geo:lat", "--add", "0.2"});
    const QByteArray withDefault("<!DOCTYPE r [<!ATTLIST p lat CDATA \"5\">]>\n"
                                 "<r><p lat=\"{1|1.2}\"/><p lat=\"{2|2.2}\"/><p/></r>");
    addEdited("default from the document type left as it is", withDefault,
              "2 values adjusted, 1 left unchanged (not written in the file's text)");
    addEdited("default outside the bounds not counted", withDefault, "2 values adjusted",
              lat + QStringList{"--below", "3"});
    addEdited("markup from an entity left as it is",
              "<!DOCTYPE r [<!ENTITY e \"<p lat='1'/>\">]><r lat=\"{3|3.2}\">&e;&e;</r>",
              "1 value adjusted, 2 left unchanged (not written in the file's text)");
    addEdited("nothing qualifies", "<r lat='12px' lon='1'>\r\n</r>", "0 values adjusted");
    addEdited("nothing qualifies, reformatted", "<r lat='12px' lon='1'>\r\n</r>",
              "0 values adjusted", lat + QStringList("--reformat"));
    addEdited("dry run", side(withDefault, false),
              "2 values would be adjusted, 1 left unchanged (not written in the file's text)",
              lat + QStringList("--dry-run"));
    addEdited("dry run, reformatted", "<r lat='1'/>", "1 value would be adjusted",
              lat + QStringList{"--dry-run", "--reformat"});
    const QStringList half{"--attribute", "x", "--add", "0.5"};
    for (const int levels : {50000, 100000})
        QTest::addRow("%d levels", levels)
            << nested(levels) << half << nested(levels).replace("'1'", "'1.5'")
            << QString("%1 values adjusted").arg(levels);
}

void tst_Cli::adjustFile()
{
    QFETCH(QByteArray, input);
    QFETCH(QStringList, options);
    QFETCH(QByteArray, output);
    QFETCH(QString, report);
    QTemporaryDir dir;
    const QString path = dir.filePath("doc.xml");
    QVERIFY(!input.isEmpty());
    QVERIFY(writeBytes(path, input));
    const QString before = fileIdentity(path);

    const Run result = run(options << "doc.xml", {}, dir.path());
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.out, QByteArray());
    QCOMPARE(lines(result.err), QStringList("doc.xml: " + report));
    QCOMPARE(readBytes(path), output);
    if (output == input)
        QCOMPARE(fileIdentity(path), before);
    QCOMPARE(entries(dir.path()), QStringList("doc.xml"));
}

void tst_Cli::newValue_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("add");
    QTest::addColumn<QString>("expected"); // the value itself when left alone

    const struct
    {
        const char *tag, *value, *add, *expected;
    } rows[] = {
        {"finer than five decimals", "1", "0.000001", "1.000001"},
        {"negative increment", "0.1", "-0.3", "-0.2"},
        {"beyond a double's digits", "123456789.123456789", "0.000000001", "123456789.12345679"},
        {"integer beyond a double", "12345678901234567890", "1", "12345678901234567891"},
        {"increment with leading point", "1", ".5", "1.5"},
        {"increment with trailing point", "1", "5.", "6"},
        {"increment with plus sign", "2", "+3", "5"},
        {"exponent form", "1e3", "1", "1001"},
        {"exponent form, shortest text", "2.5E-1", "0.2", "0.45"},
        {"unit suffix left alone", "12px", "1", "12px"},
        {"empty left alone", "", "1", ""},
    };
    for (const auto &row : rows)
        QTest::newRow(row.tag) << QString(row.value) << QString(row.add) << QString(row.expected);
}

void tst_Cli::newValue()
{
    QFETCH(QString, value);
    QFETCH(QString, add);
    QFETCH(QString, expected);
    const Run result =
        run({"--attribute", "lat", "--add", add}, "<r lat=\"" + value.toUtf8() + "\"/>");
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.out, "<r lat=\"" + expected.toUtf8() + "\"/>");
    QCOMPARE(lines(result.err),
             QStringList(expected == value ? "-: 0 values adjusted" : "-: 1 value adjusted"));
}

void tst_Cli::optionsSelectValues_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("values"); // of the four elements afterwards

    const QStringList x{"--attribute", "x", "--add", "1"};
    const struct
    {
        const char *tag;
        QStringList options;
        const char *values;
    } rows[] = {
        {"strictly between 10 and 20", x + QStringList{"--above", "10", "--below", "20"},
         "10 16 20 -5"},
        {"above only", x + QStringList{"--above", "10"}, "10 16 21 -5"},
        {"below only", x + QStringList{"--below", "10"}, "10 15 20 -4"},
        {"bounds in exponent form", x + QStringList{"--above", "1e1", "--below", "2E1"},
         "10 16 20 -5"},
        {"bound with spaces", x + QStringList{"--above", " 14.5 "}, "10 16 21 -5"},
        {"infinite bound", x + QStringList{"--above", "inf"}, "10 15 20 -5"},
        {"negative bound as the next argument", x + QStringList{"--above", "-5"}, "11 16 21 -5"},
        {"negative bound after equals", x + QStringList{"--above=-5.5"}, "11 16 21 -4"},
        {"bounds hold before the increment",
         {"--below", "15", "--add", "10", "--attribute", "x"},
         "20 15 20 5"},
        {"negative increment as the next argument",
         {"--attribute", "x", "--add", "-0.5"},
         "9.5 14.5 19.5 -5.5"},
        {"every option after equals",
         {"--attribute=x", "--add=-0.5", "--below=0"},
         "10 15 20 -5.5"},
    };
    for (const auto &row : rows)
        QTest::newRow(row.tag) << row.options << QString(row.values);
}

void tst_Cli::optionsSelectValues()
{
    QFETCH(QStringList, options);
    QFETCH(QString, values);
    const Run result = run(options, "<r x='10'><p x='15'/><p x='20'/><p x='-5'/></r>");
    QCOMPARE(result.exitCode, 0);
    const QStringList v = values.split(' ');
    QCOMPARE(
        QString(result.out),
        QString("<r x='%1'><p x='%2'/><p x='%3'/><p x='%4'/></r>").arg(v[0], v[1], v[2], v[3]));
}

void tst_Cli::usageError_data()
{
    QTest::addColumn<QStringList>("options");

    const QStringList x{"--attribute", "x", "--add", "1"};
    const struct
    {
        const char *tag;
        QStringList options;
    } rows[] = {
        {"no options", {}},
        {"attribute missing", {"--add", "1"}},
        {"increment missing", {"--attribute", "x"}},
        {"empty attribute", {"--attribute=", "--add", "1"}},
        {"empty attribute as the next argument", {"--attribute", "", "--add", "1"}},
        {"lower bound not a number", x + QStringList{"--above", "abc"}},
        {"upper bound not a number", x + QStringList{"--below", "abc"}},
        {"empty bound", x + QStringList{"--below="}},
        {"increment twice", x + QStringList{"--add", "1"}},
        {"attribute twice", x + QStringList{"--attribute", "x"}},
        {"flag twice", x + QStringList{"--dry-run", "--dry-run"}},
        {"unknown option", x + QStringList{"--verbose"}},
        {"unknown short option", x + QStringList{"-v"}},
    };
    for (const auto &row : rows)
        QTest::newRow(row.tag) << row.options + QStringList("doc.xml");
    QTest::newRow("value missing at the end")
        << QStringList{"--attribute", "x", "doc.xml", "--add"};
    for (const char *add : {"0", "0.000", "-0.0", "", "1e3", " 1", "1 ", "abc", "1.2.3", "1,5", "-",
                            ".", "inf", "0x1"})
        QTest::addRow("increment '%s'", add)
            << QStringList{"--attribute", "x", QString("--add=") + add, "doc.xml"};
}

void tst_Cli::usageError()
{
    QFETCH(QStringList, options);
    QTemporaryDir dir;
    const QString path = dir.filePath("doc.xml");
    QVERIFY(writeBytes(path, "<r x='1'/>"));
    const QString before = fileIdentity(path);

    const Run result = run(options, {}, dir.path());
    QCOMPARE(result.exitCode, 2);
    QCOMPARE(result.out, QByteArray());
    const QStringList err = lines(result.err);
    QCOMPARE(err.size(), 2);
    QVERIFY2(matchesWhole("xmladjust-cli: \\S.*", err[0]), qPrintable(err[0]));
    QVERIFY2(err[1].startsWith("usage: xmladjust-cli"), qPrintable(err[1]));
    QCOMPARE(readBytes(path), QByteArray("<r x='1'/>"));
    QCOMPARE(fileIdentity(path), before);
}

void tst_Cli::helpAndVersion()
{
    const Run help = run({"--help"});
    QCOMPARE(help.exitCode, 0);
    QVERIFY2(help.out.startsWith("usage: xmladjust-cli"), help.out.constData());
    QCOMPARE(help.err, QByteArray());
    const Run version = run({"--version"});
    QCOMPARE(version.exitCode, 0);
    QCOMPARE(version.out, QByteArray("xmladjust-cli 1.0.0\n"));
    QCOMPARE(version.err, QByteArray());
}

void tst_Cli::fileRefused_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("permissions"); // 0: leave as created
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("report"); // pattern, after the name

    const QString notWellFormed("error: line %1, column [1-9]\\d*: \\S.*");
    QTest::newRow("mismatched tag")
        << QByteArray("<r lat='1'>\n<a>\n</r>\n") << 0 << "doc.xml" << notWellFormed.arg(3);
    QTest::newRow("empty file") << QByteArray() << 0 << "doc.xml" << notWellFormed.arg(1);
    QTest::newRow("undeclared entity")
        << QByteArray("<r>\n<p lat='&u;'/>\n</r>") << 0 << "doc.xml" << notWellFormed.arg(2);
    QTest::newRow("second document element")
        << QByteArray("<r lat='1'/>\n<r lat='1'/>") << 0 << "doc.xml" << notWellFormed.arg(2);
    QTest::newRow("never closed") << QByteArray("<r lat='1'>\n<p lat='2'/>\n") << 0 << "doc.xml"
                                  << notWellFormed.arg("[23]");
    QTest::newRow("bytes not UTF-8") << QByteArray("<r lat='1'>\xff</r>") << 0 << "doc.xml"
                                     << "error: \\S.*";
    QTest::newRow("too deep") << nested(100001) << 0 << "doc.xml"
                              << "error: line 100001, column [1-9]\\d*: elements are nested "
                                 "deeper than 100000 levels";
    const QString notWritable("error: permission denied: the file is not writable");
    QTest::newRow("read-only") << QByteArray("<r lat='1'/>")
                               << int(QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther)
                               << "doc.xml" << notWritable;
    QTest::newRow("owner may not write, group may")
        << QByteArray("<r lat='1'/>")
        << int(QFile::ReadOwner | QFile::ReadGroup | QFile::WriteGroup) << "doc.xml" << notWritable;
    QTest::newRow("missing") << QByteArray("<r lat='1'/>") << 0 << "missing.xml"
                             << "error: no such file";
    QTest::newRow("directory") << QByteArray("<r lat='1'/>") << 0 << "sub"
                               << "error: is a directory";
    QTest::newRow("dangling link") << QByteArray("<r lat='1'/>") << 0 << "dangling.xml"
                                   << "error: no such file";
}

void tst_Cli::fileRefused()
{
    QFETCH(QByteArray, content);
    QFETCH(int, permissions);
    QFETCH(QString, name);
    QFETCH(QString, report);
    QTemporaryDir dir;
    const QString path = dir.filePath("doc.xml");
    QVERIFY(writeBytes(path, content));
    QVERIFY(QDir(dir.path()).mkdir("sub"));
    QVERIFY(QFile::link("gone.xml", dir.filePath("dangling.xml")));
    if (permissions)
        QVERIFY(QFile::setPermissions(path, QFile::Permissions(permissions)));
    const QFile::Permissions mode = QFileInfo(path).permissions();
    const QString before = fileIdentity(path);
    // Between two good files, which must be adjusted all the same.
    QVERIFY(writeBytes(dir.filePath("a.xml"), "<r lat='1'/>"));
    QVERIFY(writeBytes(dir.filePath("c.xml"), "<r lat='2'/>"));

    const Run result =
        run({"--attribute", "lat", "--add", "1", "a.xml", name, "c.xml"}, {}, dir.path());
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(result.out, QByteArray());
    const QStringList err = lines(result.err);
    QCOMPARE(err.size(), 3);
    QCOMPARE(err[0], QString("a.xml: 1 value adjusted"));
    QVERIFY2(matchesWhole(QRegularExpression::escape(name) + ": " + report, err[1]),
             qPrintable(err[1].left(300)));
    QCOMPARE(err[2], QString("c.xml: 1 value adjusted"));
    QCOMPARE(readBytes(dir.filePath("a.xml")), QByteArray("<r lat='2'/>"));
    QCOMPARE(readBytes(dir.filePath("c.xml")), QByteArray("<r lat='3'/>"));
    QCOMPARE(readBytes(path), content);
    QCOMPARE(fileIdentity(path), before);
    QCOMPARE(QFileInfo(path).permissions(), mode);
    QCOMPARE(entries(dir.path()),
             QStringList({"a.xml", "c.xml", "dangling.xml", "doc.xml", "sub"}));
    QVERIFY(entries(dir.filePath("sub")).isEmpty());
}

void tst_Cli::standardInput_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<QString>("report"); // pattern
    QTest::addColumn<int>("exitCode");

    const QByteArray doc("<!-- c -->\r\n<r lat='1'>\r\n<p lat=\"2\"/></r>\r\n");
    const QByteArray adjusted("<!-- c -->\r\n<r lat='1.2'>\r\n<p lat=\"2.2\"/></r>\r\n");
    QTest::newRow("no file named") << lat << doc << adjusted << "-: 2 values adjusted" << 0;
    QTest::newRow("dash") << lat + QStringList("-") << doc << adjusted << "-: 2 values adjusted"
                          << 0;
    QTest::newRow("nothing to adjust still copied")
        << QStringList{"--attribute", "lon", "--add", "1"} << doc << doc << "-: 0 values adjusted"
        << 0;
    QTest::newRow("dry run") << lat + QStringList("--dry-run") << doc << QByteArray()
                             << "-: 2 values would be adjusted" << 0;
    const QString notWellFormed("-: error: line %1, column [1-9]\\d*: \\S.*");
    QTest::newRow("not well-formed")
        << lat << QByteArray("<r lat='1'>\n<p></r>") << QByteArray() << notWellFormed.arg(2) << 1;
    QTest::newRow("empty") << lat << QByteArray() << QByteArray() << notWellFormed.arg(1) << 1;
    // Far more than one read's worth is fine before the fault comes.
    QTest::newRow("fault after a long good start")
        << lat << "<r>" + QByteArray("<p lat='1'/>").repeated(100000) + "</x>" << QByteArray()
        << notWellFormed.arg(1) << 1;

    const QByteArray latin1("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<r n=\"\xe9t\xe9\">\n"
                            "  <p lat=\"10\"/>\n  <p lat='0.1'>caf\xe9</p>\n</r>\n");
    QTest::newRow("reformat") << lat + QStringList("--reformat") << latin1
                              << QByteArray("<?xml version='1.0' encoding='ISO-8859-1'?>\n"
                                            "<r n=\"\xe9t\xe9\">\n<p lat=\"10.2\"/>\n"
                                            "<p lat=\"0.3\">caf\xe9</p>\n</r>\n")
                              << "-: 2 values adjusted" << 0;
    QTest::newRow("reformat, dry run") << lat + QStringList{"--reformat", "--dry-run"} << latin1
                                       << QByteArray() << "-: 2 values would be adjusted" << 0;
    QTest::newRow("reformat, not well-formed")
        << lat + QStringList("--reformat") << QByteArray("<r lat='1'>\n<p></r>") << QByteArray()
        << notWellFormed.arg(2) << 1;
}

void tst_Cli::standardInput()
{
    QFETCH(QStringList, options);
    QFETCH(QByteArray, input);
    QFETCH(QString, report);
    const Run result = run(options, input);
    QTEST(result.exitCode, "exitCode");
    QTEST(result.out, "output");
    const QStringList err = lines(result.err);
    QCOMPARE(err.size(), 1);
    QVERIFY2(matchesWhole(report, err[0]), qPrintable(err[0]));
}

void tst_Cli::reformatReadsAWholePipe()
{
    // cat writes into a real pipe, which holds 64 KiB at a time.
    QTemporaryDir dir;
    const QString path = dir.filePath("long.xml");
    QVERIFY(writeBytes(path, "<r>" + QByteArray("<p lat='1'/>").repeated(100000) + "</r>"));
    QProcess writer;
    QProcess program;
    writer.setStandardOutputProcess(&program);
    writer.start("cat", {path});
    program.start(XMLADJUST_CLI, lat + QStringList("--reformat"));
    QVERIFY(program.waitForFinished(10 * 60 * 1000));
    QVERIFY(writer.waitForFinished());
    QCOMPARE(program.readAllStandardError(), QByteArray("-: 100000 values adjusted\n"));
    QCOMPARE(program.exitCode(), 0);
    QCOMPARE(program.readAllStandardOutput(),
             "<r>\n" + QByteArray("<p lat=\"1.2\"/>\n").repeated(100000) + "</r>\n");
}

void tst_Cli::aliasesOfOneFile_data()
{
    QTest::addColumn<QStringList>("paths"); // "@" stands for the folder's absolute path

    QTest::newRow("same path twice") << QStringList{"a.xml", "a.xml"};
    QTest::newRow("with and without ./") << QStringList{"a.xml", "./a.xml"};
    QTest::newRow("through a folder and back") << QStringList{"sub/../a.xml", "a.xml"};
    QTest::newRow("absolute and relative") << QStringList{"@/a.xml", "a.xml"};
    QTest::newRow("link, then its target") << QStringList{"link.xml", "a.xml"};
    QTest::newRow("target, ./ and link") << QStringList{"a.xml", "./a.xml", "link.xml"};
    QTest::newRow("link alone") << QStringList{"link.xml"};
}

void tst_Cli::aliasesOfOneFile()
{
    QFETCH(QStringList, paths);
    QTemporaryDir dir;
    paths.replaceInStrings("@", dir.path());
    QVERIFY(writeBytes(dir.filePath("a.xml"), "<r lat='1'/>"));
    const auto mode = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup;
    QVERIFY(QFile::setPermissions(dir.filePath("a.xml"), mode));
    QVERIFY(QDir(dir.path()).mkdir("sub"));
    QVERIFY(QFile::link("a.xml", dir.filePath("link.xml")));

    const Run result = run(lat + paths, {}, dir.path());
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(lines(result.err), QStringList(paths.first() + ": 1 value adjusted"));
    QCOMPARE(readBytes(dir.filePath("a.xml")), QByteArray("<r lat='1.2'/>"));
    QCOMPARE(QFileInfo(dir.filePath("a.xml")).permissions() & 0x7077, mode);
    QVERIFY(QFileInfo(dir.filePath("link.xml")).isSymLink());
    QCOMPARE(entries(dir.path()), QStringList({"a.xml", "link.xml", "sub"}));
}

void tst_Cli::writeFailsPartWay_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::newRow("streamed") << QStringList();
    QTest::newRow("--reformat") << QStringList("--reformat");
}

// A file-size limit makes writing fail after 64 KiB, as a full disk would; the
// limit's signal keeps its default action, which ends a program that does not
// ignore it.
void tst_Cli::writeFailsPartWay()
{
    QFETCH(QStringList, options);
    QTemporaryDir dir;
    const QString path = dir.filePath("doc.xml");
    const QByteArray content = "<r>" + QByteArray("<p lat='1'/>\n").repeated(100000) + "</r>";
    QVERIFY(writeBytes(path, content));

    const Run result =
        run(options + QStringList{"--attribute", "lat", "--add", "1", "doc.xml"}, {}, dir.path(),
            {"sh", "-c", "trap - XFSZ; ulimit -f 64; exec \"$0\" \"$@\""});
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(matchesWhole("doc.xml: error: \\S.*", QString::fromUtf8(result.err).trimmed()),
             result.err.constData());
    QCOMPARE(readBytes(path), content);
    QCOMPARE(entries(dir.path()), QStringList("doc.xml"));
}

void tst_Cli::folderNotWritable_data()
{
    writeFailsPartWay_data();
}

// Anyone may write the file, but no one but root may add to its folder; as root,
// the program runs as the unprivileged user "nobody", from a copy that user can run.
void tst_Cli::folderNotWritable()
{
#ifdef Q_OS_UNIX
    QFETCH(QStringList, options);
    QTemporaryDir programDir;
    const QString program = programDir.filePath("xmladjust-cli");
    QVERIFY(QFile::copy(XMLADJUST_CLI, program));
    QVERIFY(QFile::setPermissions(programDir.path(), QFile::Permissions(0x7755)));
    QStringList wrapper;
    if (geteuid() == 0)
        wrapper = QStringList{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};

    QTemporaryDir dir;
    const QString path = dir.filePath("doc.xml");
    QVERIFY(writeBytes(path, "<r lat='1'/>"));
    QVERIFY(QFile::setPermissions(path, QFile::Permissions(0x6666)));
    QVERIFY(QFile::setPermissions(dir.path(), QFile::Permissions(0x5555)));
    const Run result = run(options + QStringList{"--attribute", "lat", "--add", "1", path}, {}, {},
                           wrapper, program);
    QFile::setPermissions(dir.path(), QFile::Permissions(0x7700));

    QCOMPARE(result.exitCode, 1);
    QVERIFY2(matchesWhole(QRegularExpression::escape(path) + ": error: \\S.*",
                          QString::fromUtf8(result.err).trimmed()),
             result.err.constData());
    QCOMPARE(readBytes(path), QByteArray("<r lat='1'/>"));
    QCOMPARE(entries(dir.path()), QStringList("doc.xml"));
#else
    QSKIP("needs POSIX permissions");
#endif
}

// Whether the process has a file open beside the one at the path: its temporary
// file, which may have no name in the folder yet (O_TMPFILE); `stillReading`: and
// the file itself, which the streaming path opens after the temporary file.
bool writesBeside(qint64 processId, const QString &path, bool stillReading)
{
    const QString folder = QFileInfo(path).absolutePath() + '/';
    const QDir descriptors(QStringLiteral("/proc/%1/fd").arg(processId));
    bool writing = entries(folder).size() > 1;
    bool reading = false;
    for (const QString &descriptor : descriptors.entryList(QDir::AllEntries | QDir::System)) {
        const QString target = QFile::symLinkTarget(descriptors.filePath(descriptor));
        writing = writing || (target.startsWith(folder) && target != path);
        reading = reading || target == path;
    }
    return writing && (reading || !stillReading);
}

// Another program removes or changes the file while its new contents are being
// written beside it: the program is stopped as soon as the temporary file appears,
// the other program's work done, and the program let go on. Or while the program
// opens it: a write lease on the file holds up the opening until the work is done.
void tst_Cli::fileChangesWhileWritten_data()
{
    QTest::addColumn<QString>("meanwhile");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("error");

    const QString changed("doc.xml: error: the file was changed meanwhile");
    QTest::newRow("removed") << "remove" << QStringList()
                             << "doc.xml: error: the file was removed meanwhile";
    QTest::newRow("appended to") << "append" << QStringList() << changed;
    // Only where the whole file is read before anything is written: a file rewritten
    // while it is streamed may read as not well-formed, which is refused as such.
    QTest::newRow("rewritten shorter, --reformat")
        << "rewrite" << QStringList("--reformat") << changed;
    QTest::newRow("its time moved by a nanosecond") << "touch" << QStringList() << changed;
    // An editor that saves a new file in place of the old one and keeps its time:
    // only the file's identity tells.
    QTest::newRow("replaced by one of the same size and time")
        << "replace" << QStringList() << changed;
    QTest::newRow("replaced while opened") << "replace while opened" << QStringList() << changed;
}

void tst_Cli::fileChangesWhileWritten()
{
#ifdef Q_OS_UNIX
    QFETCH(QString, meanwhile);
    QFETCH(QStringList, options);
    QTemporaryDir dir;
    const QString path = dir.filePath("doc.xml");
    const QByteArray content = "<r>" + QByteArray("<p lat='1'/>\n").repeated(1000000) + "</r>";
    QVERIFY(writeBytes(path, content));
    const bool opening = meanwhile.endsWith("while opened");
    QFile lease(path);
    if (opening) {
        QVERIFY(lease.open(QIODevice::ReadWrite));
        std::signal(SIGIO, SIG_IGN); // how the kernel tells the lease holder of an opening
        if (fcntl(lease.handle(), F_SETLEASE, F_WRLCK) != 0)
            QSKIP("no file leases here");
    }
    QProcess process;
    process.setWorkingDirectory(dir.path());
    process.start(XMLADJUST_CLI,
                  options + QStringList{"--attribute", "lat", "--add", "1", "doc.xml"});
    QVERIFY(process.waitForStarted());
    bool stopped = false;
    while (!stopped && !process.waitForFinished(0)) {
        if (opening)
            stopped = fcntl(lease.handle(), F_GETLEASE) == F_RDLCK; // it waits to read
        else if (writesBeside(process.processId(), path, options.isEmpty()))
            stopped = ::kill(pid_t(process.processId()), SIGSTOP) == 0;
    }
    if (!stopped)
        QSKIP("the program finished before it was seen at work");

    struct stat before;
    QCOMPARE(::stat(QFile::encodeName(path).constData(), &before), 0);
    QByteArray other = content; // what the other program leaves
    if (meanwhile == "remove") {
        QVERIFY(QFile::remove(path));
    } else if (meanwhile == "append") {
        other += "<!-- added meanwhile -->\n";
        QFile file(path);
        QVERIFY(file.open(QIODevice::Append) && file.write(other.mid(content.size())) > 0);
    } else if (meanwhile == "rewrite") {
        other = "<r lat='7'/>";
        QVERIFY(writeBytes(path, other));
    } else {
        const QString written = meanwhile == "touch" ? path : dir.filePath("other.xml");
        timespec times[2] = {{0, UTIME_OMIT}, before.st_mtim};
        if (written != path)
            QVERIFY(writeBytes(written, other.replace("lat='1'", "lat='5'")));
        else
            times[1].tv_nsec = (times[1].tv_nsec + 1) % 1000000000;
        QCOMPARE(utimensat(AT_FDCWD, QFile::encodeName(written).constData(), times, 0), 0);
        if (written != path)
            QCOMPARE(::rename(QFile::encodeName(written).constData(),
                              QFile::encodeName(path).constData()),
                     0);
        struct stat after;
        QCOMPARE(::stat(QFile::encodeName(path).constData(), &after), 0);
        if (meanwhile == "touch" && after.st_mtim.tv_nsec == before.st_mtim.tv_nsec)
            QSKIP("the file system keeps no nanoseconds");
    }
    lease.close();
    ::kill(pid_t(process.processId()), SIGCONT);
    QVERIFY(process.waitForFinished(10 * 60 * 1000));

    QCOMPARE(process.exitCode(), 1);
    QTEST(QString::fromUtf8(process.readAllStandardError()).trimmed(), "error");
    if (meanwhile == "remove") {
        QVERIFY(entries(dir.path()).isEmpty());
    } else {
        QVERIFY(readBytes(path) == other);
        QCOMPARE(entries(dir.path()), QStringList("doc.xml"));
    }
#else
    QSKIP("needs POSIX signals");
#endif
}

QTEST_GUILESS_MAIN(tst_Cli)
#include "tst_cli.moc"
