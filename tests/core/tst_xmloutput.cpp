#include "adjustmentrule.h"
#include "attributewalk.h"
#include "bounds.h"
#include "encoding.h"
#include "initialize.h"
#include "outcomes.h"
#include "xmlcompare.h"
#include "xmlinput.h"
#include "xmloutput.h"

#include "testfiles.h"

#include <QDir>
#include <QDomDocument>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

#include <functional>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

using namespace xmladjust;

namespace {

bool runningAsRoot()
{
#ifdef Q_OS_UNIX
    return geteuid() == 0;
#else
    return false;
#endif
}

#ifdef Q_OS_UNIX
// Runs the work in a child process as the unprivileged user "nobody" when this is
// root, whom no folder permission stops, and as this user otherwise; the work's
// result comes back as the exit status.
int asUnprivilegedUser(const std::function<int()> &work)
{
    const pid_t child = fork();
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(250);
        _exit(work());
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}
#endif

} // namespace

class tst_XmlOutput : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { initializeCore(); }
    void fileBytes_data();
    void fileBytes();
    void windowPathCases_data();
    void windowPathCases();
    void astralCharactersInText();
    void replaceKeepsModeOwnerAndLink();
    void notWritableLeftAlone_data();
    void notWritableLeftAlone();
    void nothingToReplace_data();
    void nothingToReplace();
    void folderNotWritable();
    void fileVanishesBeforeSave();
    void writeFailsPartWay();
};

// Each NAME.xml in tests/data/window-path is loaded, has x increased by 1 and is
// saved as the window's file mode does; NAME.saved holds the bytes it must come out
// as, and its absence says the document must be refused as not well-formed.
void tst_XmlOutput::windowPathCases_data()
{
    QTest::addColumn<QString>("path");
    const QDir folder(QFINDTESTDATA("../data/window-path"));
    const QStringList names = folder.entryList({QStringLiteral("*.xml")}, QDir::Files);
    QVERIFY(!names.isEmpty());
    for (const QString &name : names)
        QTest::newRow(qPrintable(name)) << folder.filePath(name);
}

void tst_XmlOutput::windowPathCases()
{
    QFETCH(QString, path);
    QDomDocument document;
    const Outcome load = loadXmlBytes(document, readBytes(path));
    const QString savedPath = path.chopped(4) + QStringLiteral(".saved");
    if (!QFile::exists(savedPath)) {
        QCOMPARE(statusOf(load), int(FailureKind::NotWellFormed));
        return;
    }
    QVERIFY2(load.succeeded(), qPrintable(messageOf(load)));
    AdjustmentRule rule;
    rule.attributeName = QStringLiteral("x");
    rule.increment = *DecimalNumber::fromNumeral(QStringLiteral("1"));
    adjustAttributes(document, rule);
    const QByteArray saved = encodeXmlFile(document);
    QCOMPARE(saved, readBytes(savedPath));
    QDomDocument reread;
    QVERIFY(loadXmlBytes(reread, saved).succeeded());
    QCOMPARE(documentContent(reread), documentContent(document));
}

void tst_XmlOutput::fileBytes_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("output");

    QTest::newRow("CR reference is data")
        << QByteArray("<r>a&#xd;</r>") << QByteArray("<r>a&#xd;</r>\n");
    QTest::newRow("beyond the BMP in ISO-8859-1")
        << QByteArray("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>"
                      "<r a=\"&#x1F600;\">&#x1F600;&#x4E2D;<!--\xe9--></r>")
        << QByteArray("<?xml version='1.0' encoding='ISO-8859-1'?>\n"
                      "<r a=\"&#x1f600;\">&#x1f600;&#x4e2d;<!--\xe9-->\n</r>\n");
    const QString utf16("<?xml version='1.0' encoding='UTF-16'?>\n<r a=\"\u4e2d\U0001F600\"/>\n");
    QTest::newRow("UTF-16 keeps its byte order mark")
        << QTextCodec::codecForName("UTF-16BE")->fromUnicode(utf16)
        << QTextCodec::codecForName("UTF-16")->fromUnicode(utf16);
    // Qt's own UTF-32 encoder writes a stray unit after each character beyond the
    // BMP, and the saved file could not be read again.
    const QString utf32Doc("<?xml version='1.0' encoding='UTF-32BE'?>\n<r a=\"\U0001F600\"/>\n");
    QTest::newRow("UTF-32BE beyond the BMP")
        << utf32Bytes(utf32Doc, true) << utf32Bytes(utf32Doc, true);
    const QString withMark =
        QString("<?xml version='1.0' encoding='UTF-32'?>\n<r>\U0001F600</r>\n");
    QTest::newRow("UTF-32 beyond the BMP, with its byte order mark")
        << QByteArray("\xff\xfe\0\0", 4) + utf32Bytes(withMark, false)
        << QByteArray("\xff\xfe\0\0", 4) + utf32Bytes(withMark, false);
}

void tst_XmlOutput::fileBytes()
{
    QFETCH(QByteArray, input);
    QDomDocument document;
    QVERIFY(loadXmlText(document, decodeXmlBytes(input)).succeeded());
    QByteArray bytes = encodeXmlFile(document);
#ifdef Q_OS_WIN
    bytes.replace("\r\n", "\n");
#endif
    QTEST(bytes, "output");
}

void tst_XmlOutput::astralCharactersInText()
{
    QDomDocument document;
    QVERIFY(loadXmlText(document, QString("<?xml version='1.0' encoding='ISO-8859-1'?>"
                                          "<r a='\U0001F600'>\U0001F600<!--\U0001F600--></r>"))
                .succeeded());
    QCOMPARE(serializeXml(document, 1),
             QString("<?xml version='1.0' encoding='ISO-8859-1'?>\n"
                     "<r a=\"&#x1f600;\">&#x1f600;<!--\U0001F600-->\n</r>\n"));
    // The document itself is left as it was.
    QCOMPARE(document.documentElement().attribute("a"), QString("\U0001F600"));
}

void tst_XmlOutput::replaceKeepsModeOwnerAndLink()
{
    QTemporaryDir dir;
    const QString target = dir.filePath("target.xml");
    const QString link = dir.filePath("link.xml");
    QVERIFY(writeBytes(target, "old"));
    QVERIFY(QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
    if (!QFile::link(target, link))
        QSKIP("no symbolic links here");

#ifdef Q_OS_UNIX
    // Root rewriting someone else's file leaves it theirs.
    const bool changeOwner = runningAsRoot();
    if (changeOwner)
        QVERIFY(chown(QFile::encodeName(target).constData(), 4321, 4322) == 0);
#endif

    QVERIFY(replaceFileContents(link, "new").succeeded());
#ifdef Q_OS_UNIX
    if (changeOwner) {
        QCOMPARE(QFileInfo(target).ownerId(), 4321u);
        QCOMPARE(QFileInfo(target).groupId(), 4322u);
    }
#endif
    QVERIFY(QFileInfo(link).isSymLink());
    QCOMPARE(readBytes(target), QByteArray("new"));
    QCOMPARE(QFileInfo(target).permissions() & 0x7077,
             QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup);
    QCOMPARE(entries(dir.path()), QStringList({"link.xml", "target.xml"}));
}

void tst_XmlOutput::notWritableLeftAlone_data()
{
    QTest::addColumn<int>("permissions");

    QTest::newRow("read-only") << int(QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);
    QTest::newRow("owner may not write, group may")
        << int(QFile::ReadOwner | QFile::ReadGroup | QFile::WriteGroup);
}

void tst_XmlOutput::notWritableLeftAlone()
{
    QFETCH(int, permissions);
    QTemporaryDir dir;
    const QString path = dir.filePath("doc.xml");
    QVERIFY(writeBytes(path, "old"));
    QVERIFY(QFile::setPermissions(path, QFile::Permissions(permissions)));

    QCOMPARE(statusOf(replaceFileContents(path, "new")), int(FailureKind::NotWritable));
    QCOMPARE(readBytes(path), QByteArray("old"));
    QCOMPARE(QFileInfo(path).permissions() & 0x7077, QFile::Permissions(permissions));
    QCOMPARE(entries(dir.path()), QStringList("doc.xml"));
}

void tst_XmlOutput::nothingToReplace_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("kind");

    QTest::newRow("missing") << "missing.xml" << int(FailureKind::Missing);
    QTest::newRow("directory") << "sub" << int(FailureKind::NotRegularFile);
    QTest::newRow("dangling link") << "dangling.xml" << int(FailureKind::Missing);
}

void tst_XmlOutput::nothingToReplace()
{
    QFETCH(QString, name);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir("sub"));
    QFile::link(dir.filePath("gone.xml"), dir.filePath("dangling.xml"));
    const QStringList before = entries(dir.path());

    QTEST(statusOf(replaceFileContents(dir.filePath(name), "new")), "kind");
    QCOMPARE(entries(dir.path()), before);
    QVERIFY(entries(dir.filePath("sub")).isEmpty());
}

void tst_XmlOutput::folderNotWritable()
{
#ifdef Q_OS_UNIX
    QTemporaryDir dir;
    const QString path = dir.filePath("doc.xml");
    QVERIFY(writeBytes(path, "old"));
    // Anyone may write the file, but no one but root may add to its folder.
    QVERIFY(QFile::setPermissions(path, QFile::Permissions(0x6666)));
    QVERIFY(QFile::setPermissions(dir.path(), QFile::Permissions(0x5555)));

    const int status =
        asUnprivilegedUser([&] { return statusOf(replaceFileContents(path, "new")); });
    QFile::setPermissions(dir.path(), QFile::Permissions(0x7700));
    QCOMPARE(status, int(FailureKind::CannotWrite));
    QCOMPARE(readBytes(path), QByteArray("old"));
    QCOMPARE(entries(dir.path()), QStringList("doc.xml"));
#else
    QSKIP("needs POSIX permissions");
#endif
}

// The file is read, adjusted, and gone by the time it is saved: it is not made anew.
void tst_XmlOutput::fileVanishesBeforeSave()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("doc.xml");
    QVERIFY(writeBytes(path, "<r x='1'/>"));
    QDomDocument document;
    QVERIFY(loadXmlFile(document, path).succeeded());
    QVERIFY(QFile::remove(path));

    QCOMPARE(statusOf(saveXmlFile(path, document)), int(FailureKind::Missing));
    QVERIFY(entries(dir.path()).isEmpty());

    // The same when it goes while the new contents are being written.
    QVERIFY(writeBytes(path, "old"));
    AtomicFileReplacement replacement;
    QVERIFY(replacement.begin(path).succeeded());
    QCOMPARE(replacement.device()->write("new"), qint64(3));
    QVERIFY(QFile::remove(path));
    const Outcome result = replacement.commit();
    QCOMPARE(statusOf(result), int(FailureKind::Missing));
    QVERIFY(!messageOf(result).isEmpty());
    QVERIFY(entries(dir.path()).isEmpty());
}

void tst_XmlOutput::writeFailsPartWay()
{
#ifdef Q_OS_UNIX
    QTemporaryDir dir;
    const QString path = dir.filePath("doc.xml");
    const QByteArray old(4000, 'o');
    QVERIFY(writeBytes(path, old));

    // A file-size limit makes the write fail after 64 KiB, as a full disk would.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    QVERIFY(getrlimit(RLIMIT_FSIZE, &saved) == 0);
    rlimit limited = saved;
    limited.rlim_cur = 64 * 1024;
    QVERIFY(setrlimit(RLIMIT_FSIZE, &limited) == 0);
    const Outcome result = replaceFileContents(path, QByteArray(1024 * 1024, 'n'));
    setrlimit(RLIMIT_FSIZE, &saved);

    QCOMPARE(statusOf(result), int(FailureKind::CannotWrite));
    QVERIFY(!messageOf(result).isEmpty());
    QCOMPARE(readBytes(path), old);
    QCOMPARE(entries(dir.path()), QStringList("doc.xml"));
#else
    QSKIP("needs a file-size limit");
#endif
}

QTEST_GUILESS_MAIN(tst_XmlOutput)
#include "tst_xmloutput.moc"
