// SPDX-License-Identifier: MIT
// Replacing a file keeps its mode and owner and a link to it, and never goes over a
// change another program made between the reading and the replacing.
#include "file/atomicfile.h"

#include "outcomes.h"
#include "testfiles.h"

#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace xmladjust;

namespace {

// The file's extended attributes with their values (ACLs among them), its mode and
// its number of names.
QByteArray attached(const QString &path)
{
    QProcess shown;
    shown.start("sh", {"-c", "getfattr -d -m - \"$0\"; stat -c %a:%h \"$0\"", path});
    return shown.waitForFinished() ? shown.readAll() : QByteArray();
}

} // namespace

class tst_AtomicFile : public QObject
{
    Q_OBJECT

private slots:
    void replace_data()
    {
        QTest::addColumn<QString>("meanwhile"); // what another program does to the file
        QTest::addColumn<QString>("failure");

        QTest::newRow("nothing, through a link") << ""
                                                 << "";
        QTest::newRow("removes it") << "remove"
                                    << "Missing";
        QTest::newRow("appends to it") << "append"
                                       << "ChangedMeanwhile";
        QTest::newRow("moves its time by a nanosecond") << "touch"
                                                        << "ChangedMeanwhile";
        // An editor that saves a new file in place of the old one and keeps its time: only
        // the file's identity tells.
        QTest::newRow("puts one of the same size and time in its place") << "replace"
                                                                         << "ChangedMeanwhile";
    }

    void replace()
    {
        QFETCH(QString, meanwhile);
        QTemporaryDir dir;
        const QString path = dir.filePath("doc.xml");
        QByteArray other = "<r lat='1'/>"; // what the other program leaves
        QVERIFY(writeBytes(path, other) && QFile::link(path, dir.filePath("link.xml")));
        const auto mode = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup;
        QVERIFY(QFile::setPermissions(path, mode));
        // Root rewriting someone else's file leaves it theirs.
        const bool root = geteuid() == 0;
        QVERIFY(!root || chown(QFile::encodeName(path).constData(), 4321, 4322) == 0);

        AtomicFileReplacement replacement;
        QVERIFY(replacement.begin(dir.filePath("link.xml")).succeeded());
        QCOMPARE(replacement.device()->write("new"), qint64(3));
        struct stat before = {};
        QCOMPARE(::stat(QFile::encodeName(path).constData(), &before), 0);
        if (meanwhile == "remove") {
            QVERIFY(QFile::remove(path));
        } else if (meanwhile == "append") {
            QFile file(path);
            QVERIFY(file.open(QIODevice::Append) && file.write("<!-- added -->") == 14);
            other += "<!-- added -->";
        } else if (!meanwhile.isEmpty()) {
            const QString written = meanwhile == "touch" ? path : dir.filePath("other.xml");
            timespec times[2] = {{0, UTIME_OMIT}, before.st_mtim};
            if (written == path)
                times[1].tv_nsec = (times[1].tv_nsec + 1) % 1000000000;
            else
                QVERIFY(writeBytes(written, other.replace('1', '5')));
            QCOMPARE(utimensat(AT_FDCWD, QFile::encodeName(written).constData(), times, 0), 0);
            QCOMPARE(::rename(QFile::encodeName(written).constData(),
                              QFile::encodeName(path).constData()),
                     0);
        }
        const Outcome result = replacement.commit();

        QTEST(kindOf(result), "failure");
        QVERIFY(result.succeeded() || !messageOf(result).isEmpty());
        QVERIFY(QFileInfo(dir.filePath("link.xml")).isSymLink());
        QCOMPARE(entries(dir.path()).join(' '),
                 meanwhile == "remove" ? "link.xml" : "doc.xml link.xml");
        if (meanwhile == "remove")
            return;
        QCOMPARE(readBytes(path), result.succeeded() ? QByteArray("new") : other);
        if (result.succeeded()) {
            QCOMPARE(QFileInfo(path).permissions() & 0x7077, mode);
            QVERIFY(!root ||
                    (QFileInfo(path).ownerId() == 4321 && QFileInfo(path).groupId() == 4322));
        }
    }

    // What is attached to the file stays after a replacement, or the file does.
    void keepsWhatIsAttached_data()
    {
        QTest::addColumn<QString>("attached"); // given to the file before
        QTest::addColumn<QString>("failure");

        // Each row: its name, how the file gets it, and the failure.
        for (const char *row :
             {"a second name|link|", "an extended attribute|setfattr -n user.origin -v kept|",
              "an ACL|setfacl -m u:nobody:rw|", "setuid and setgid|chmod 6755|",
              "a lock another run holds|lock|Busy"}) {
            const QStringList fields = QString(row).split('|');
            QTest::newRow(qPrintable(fields[0])) << fields[1] << fields[2];
        }
    }

    void keepsWhatIsAttached()
    {
        QFETCH(QString, attached);
        QTemporaryDir dir;
        const QString path = dir.filePath("doc.xml");
        QVERIFY(writeBytes(path, "old"));
        QFile lock(path);
        if (attached == "link") {
            QCOMPARE(link(QFile::encodeName(path), QFile::encodeName(dir.filePath("other.xml"))),
                     0);
        } else if (attached == "lock") {
            QVERIFY(lock.open(QIODevice::ReadOnly) && flock(lock.handle(), LOCK_EX) == 0);
        } else {
            const QStringList command = attached.split(' ') << path;
            if (QProcess::execute(command.first(), command.mid(1)) != 0)
                QSKIP("this file system cannot hold it");
        }
        const QByteArray before = ::attached(path);

        AtomicFileReplacement replacement;
        Outcome result = replacement.begin(path, 100);
        if (result.succeeded()) {
            QCOMPARE(replacement.device()->write("new"), qint64(3));
            result = replacement.commit();
        }
        QTEST(kindOf(result), "failure");
        QCOMPARE(readBytes(path), result.succeeded() ? QByteArray("new") : QByteArray("old"));
        QCOMPARE(::attached(path), before);
        if (attached == "link")
            QCOMPARE(readBytes(dir.filePath("other.xml")), QByteArray("new"));
        QCOMPARE(entries(dir.path()).size(), attached == "link" ? 2 : 1);
    }

    // No one but root may add to the file's folder: the replacement cannot begin, and
    // the file stays. As root, the work runs in a child as the unprivileged "nobody".
    void folderNotWritable()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("doc.xml");
        QVERIFY(writeBytes(path, "old") && QFile::setPermissions(path, QFile::Permissions(0x6666)));
        QVERIFY(QFile::setPermissions(dir.path(), QFile::Permissions(0x5555)));
        const pid_t child = fork();
        if (child == 0) {
            if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
                _exit(2);
            AtomicFileReplacement replacement;
            _exit(kindOf(replacement.begin(path)) == "CannotWrite" ? 0 : 1);
        }
        int status = -1;
        QVERIFY(child > 0 && waitpid(child, &status, 0) == child);
        QFile::setPermissions(dir.path(), QFile::Permissions(0x7700));
        QCOMPARE(status, 0);
        QCOMPARE(readBytes(path), QByteArray("old"));
        QCOMPARE(entries(dir.path()), QStringList("doc.xml"));
    }
};

QTEST_GUILESS_MAIN(tst_AtomicFile)
#include "tst_atomicfile.moc"
