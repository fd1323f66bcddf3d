// SPDX-License-Identifier: MIT
// The real window, headless: which mode a press runs, what the browser and the result
// line show, the file dialog, files from outside, and the work in the background.
#include "dom/xmlinput.h"
#include "initialize.h"
#include "mainwindow.h"

#include "cases.h"
#include "datarows.h"
#include "xmlcompare.h"

#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextBrowser>

#include <csignal>
#include <fcntl.h>
#include <functional>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>

using namespace xmladjust;

namespace {

// Runs `handle` on the modal dialog as soon as it is open.
void whenModalDialogOpens(std::function<void(QFileDialog *)> handle)
{
    QTimer::singleShot(20, [handle] {
        if (auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget()))
            handle(dialog);
        else
            whenModalDialogOpens(handle);
    });
}

// One p element a line, as file mode writes them.
QByteArray paragraphs(int count, const QByteArray &value)
{
    return "<r>\n" + QByteArray("<p x=\"" + value + "\"/>\n").repeated(count) + "</r>\n";
}

// Drags the data onto the widget and drops it there, as a file manager would.
// The bytes of address space this process has mapped.
rlim_t addressSpaceInUse()
{
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmSize:"))
            return line.mid(7).trimmed().split(' ').value(0).toULongLong() * 1024;
    return 0;
}

void dropOn(QWidget *target, const QMimeData &data)
{
    const QPoint at = target->rect().center();
    const Qt::DropActions actions = Qt::CopyAction | Qt::MoveAction | Qt::LinkAction;
    QDragEnterEvent enter(at, actions, &data, Qt::LeftButton, Qt::NoModifier);
    QDragMoveEvent move(at, actions, &data, Qt::LeftButton, Qt::NoModifier);
    QDropEvent drop(at, actions, &data, Qt::LeftButton, Qt::NoModifier);
    for (QEvent *event : std::initializer_list<QEvent *>{&enter, &move, &drop})
        QApplication::sendEvent(target, event);
}

void dropFiles(QWidget *target, const QStringList &paths)
{
    QList<QUrl> urls;
    for (const QString &path : paths)
        urls << QUrl::fromLocalFile(path);
    QMimeData data;
    data.setUrls(urls);
    dropOn(target, data);
}

} // namespace

class tst_MainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { initializeCore(); }
    void init()
    {
        m_dir = new QTemporaryDir;
        m_window = new MainWindow;
        // The form, style sheets and accessibility tools know the window by this name.
        QCOMPARE(m_window->metaObject()->className(), "MainWindow");
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window));
    }

    void cleanup()
    {
        delete m_window;
        delete m_dir;
    }

    void cases_data() { addCaseRows(QFINDTESTDATA("../data/cases"), "window"); }
    // File mode and the command line's --reformat write the same bytes, which hold the
    // values the streaming engine writes.
    void cases()
    {
        QFETCH(AdjustmentCase, given);
        const QString name = given.name + ".xml";
        const QByteArray input = readBytes(given.inputPath);
        QVERIFY(writeBytes(m_dir->filePath(name), input) &&
                writeBytes(m_dir->filePath("cli.xml"), input));
        fillForm(given.option("--attribute"), given.option("--add").toDouble(),
                 given.option("--above"), given.option("--below"));
        widget<QLineEdit>("filePath")->setText(m_dir->filePath(name));
        change();
        QProcess program;
        program.start(XMLADJUST_CLI, given.arguments << "--reformat" << m_dir->filePath("cli.xml"));
        QVERIFY(program.waitForFinished(5 * 60 * 1000));

        const QByteArray saved = readBytes(m_dir->filePath(name));
        QCOMPARE(saved, readBytes(m_dir->filePath("cli.xml")));
        QString message =
            "Файл «" + name + "» сохранён: изменено " + QString::number(given.adjusted) + " \\S+";
        if (!given.failure.isEmpty() || given.adjusted == 0) {
            QCOMPARE(saved, input);
            message = QRegularExpression::escape("Файл «" + name + "» не изменён: ") +
                      (given.failure.isEmpty()
                           ? QRegularExpression::escape("ни одно значение не подходит")
                           : "\\S.*");
        } else {
            QDomDocument window, expected;
            QVERIFY(loadXmlBytes(window, saved).succeeded() &&
                    loadXmlBytes(expected, given.output).succeeded());
            QCOMPARE(documentContent(window), documentContent(expected));
        }
        QVERIFY2(matchesWhole(message, resultLine()), qPrintable(resultLine()));
    }

    void textMode_data() { addDataRows(QFINDTESTDATA("../data/window-text.tsv")); }
    // The text is adjusted and shown; the file named beside it is left alone.
    void textMode()
    {
        QFETCH(QByteArray, source);
        QFETCH(QByteArray, attribute);
        QFETCH(QByteArray, increment);
        QFETCH(QByteArray, above);
        QFETCH(QByteArray, below);
        QFETCH(QByteArray, browser);
        QFETCH(QByteArray, message);
        fillForm(attribute, increment.toDouble(), above, below);
        const QString path = m_dir->filePath("doc.xml");
        QVERIFY(writeBytes(path, "<r x='6'/>"));
        widget<QLineEdit>("filePath")->setText(path);
        widget<QTextBrowser>("textBrowser")->setPlainText("previous");
        widget<QTextEdit>("textEdit")->setPlainText(QString::fromUtf8(source));

        change();
        if (browser != "(any)")
            QCOMPARE(browserText(), QString::fromUtf8(browser));
        QCOMPARE(rawText("textEdit"), QString::fromUtf8(source));
        QCOMPARE(readBytes(path), QByteArray("<r x='6'/>"));
        QVERIFY2(matchesWhole(QString::fromUtf8(message), resultLine()), qPrintable(resultLine()));
    }

    // A press adjusts the text box's text again, and the file once more; with the text box
    // cleared, the next press is on the file.
    void pressedAgainAndSwitchedToFile()
    {
        fillForm("x", 1, QString(), "6");
        widget<QTextEdit>("textEdit")->setPlainText("<r x='1'/>");
        change();
        change();
        QCOMPARE(browserText(), QString("<r x=\"2\"/>\n"));

        const QString path = m_dir->filePath("doc.xml");
        QVERIFY(writeBytes(path, "<r><a x='4'/><b x='5.5'/></r>"));
        widget<QLineEdit>("filePath")->setText(path);
        widget<QTextEdit>("textEdit")->clear();
        change();
        change();
        // b reached 6.5 on the first press, so the second left it.
        QCOMPARE(readBytes(path), QByteArray("<r>\n<a x=\"6\"/>\n<b x=\"6.5\"/>\n</r>\n"));
        QCOMPARE(browserText(), QString("<r x=\"2\"/>\n"));
    }

    void fileMode_data() { addDataRows(QFINDTESTDATA("../data/window-file.tsv")); }
    // Anything but success leaves the file as it was, to its modification time.
    void fileMode()
    {
        QFETCH(QByteArray, content);
        QFETCH(QByteArray, size);
        QFETCH(QByteArray, mode);
        QFETCH(QByteArray, path);
        QFETCH(QByteArray, attribute);
        QFETCH(QByteArray, message);
        const QString doc = m_dir->filePath("doc.xml");
        QVERIFY(writeBytes(doc, content) && QDir(m_dir->path()).mkdir("folder"));
        QVERIFY(size.isEmpty() || QFile::resize(doc, size.toLongLong()));
        QVERIFY(mode.isEmpty() || chmod(QFile::encodeName(doc), mode.toUInt(nullptr, 8)) == 0);
        const QDateTime modified(QDate(2001, 2, 3), QTime(4, 5, 6), Qt::UTC);
        {
            QFile file(doc);
            QVERIFY(file.open(QIODevice::ReadWrite) &&
                    file.setFileTime(modified, QFileDevice::FileModificationTime));
        }
        const qint64 bytes = QFileInfo(doc).size();
        fillForm(attribute, 1);
        widget<QLineEdit>("filePath")
            ->setText(path.isEmpty() || path.startsWith('/') ? QString(path)
                                                             : m_dir->filePath(path));
        QFETCH(QByteArray, limit);
        QFETCH(QByteArray, memory);
        rlimit savedWrites = {}, savedSpace = {};
        QVERIFY(getrlimit(RLIMIT_FSIZE, &savedWrites) == 0 &&
                getrlimit(RLIMIT_AS, &savedSpace) == 0);
        rlimit writes = savedWrites, space = savedSpace;
        if (!limit.isEmpty())
            writes.rlim_cur = limit.toULongLong();
        if (!memory.isEmpty())
            space.rlim_cur = addressSpaceInUse() + memory.toULongLong();
        std::signal(SIGXFSZ, SIG_IGN); // writing past the limit then fails instead
        QVERIFY(setrlimit(RLIMIT_FSIZE, &writes) == 0 && setrlimit(RLIMIT_AS, &space) == 0);
        change();
        QVERIFY(setrlimit(RLIMIT_FSIZE, &savedWrites) == 0 &&
                setrlimit(RLIMIT_AS, &savedSpace) == 0);

        QVERIFY2(matchesWhole(QString::fromUtf8(message), resultLine()), qPrintable(resultLine()));
        QCOMPARE(entries(m_dir->path()), QStringList({"doc.xml", "folder"}));
        if (QByteArray(QTest::currentDataTag()) == "adjusted") {
            QCOMPARE(readBytes(doc), QByteArray("<r x=\"2\"/>\n"));
            return;
        }
        QCOMPARE(QFileInfo(doc).lastModified().toUTC(), modified);
        QCOMPARE(QFileInfo(doc).size(), bytes);
        if (size.isEmpty())
            QCOMPARE(readBytes(doc), content);
    }

    void fileModeInBackground_data()
    {
        QTest::addColumn<QString>("meanwhile"); // what the user does while the file is adjusted

        QTest::newRow("waits") << "";
        QTest::newRow("presses Изменить again") << "click";
        QTest::newRow("presses space on Изменить") << "space";
        QTest::newRow("drops another file") << "drop";
        QTest::newRow("closes the window") << "close";
    }

    // The document is large enough for its adjustment to take a noticeable time, during
    // which a timer on the GUI thread watches the window.
    void fileModeInBackground()
    {
        QFETCH(QString, meanwhile);
        const int count = 200000;
        const QString path = m_dir->filePath("big.xml");
        QVERIFY(writeBytes(path, paragraphs(count, "1")));
        fillForm("x", 0.2);
        widget<QLineEdit>("filePath")->setText(path);
        auto *form = widget<QWidget>("centralWidget");
        auto *goChange = widget<QPushButton>("goChange");
        auto *busyIndicator = widget<QProgressBar>("busyIndicator");

        // What the user does waits in the event queue, as input made during the work does,
        // until the GUI thread handles events again: during the work, or after it when the
        // work blocks that thread.
        QTimer::singleShot(0, m_window, [&] {
            if (meanwhile == "click")
                QTest::mouseClick(goChange, Qt::LeftButton);
            else if (meanwhile == "space")
                QTest::keyClick(goChange, Qt::Key_Space);
            else if (meanwhile == "drop")
                dropFiles(m_window, {m_dir->filePath("other.xml")});
            else if (meanwhile == "close")
                m_window->close();
        });
        int ticks = 0;
        bool alwaysBusy = true;
        QTimer timer;
        connect(&timer, &QTimer::timeout, [&] {
            ++ticks;
            // Closing, too, waits for the file to be done.
            const QCursor *cursor = QApplication::overrideCursor();
            alwaysBusy = alwaysBusy && m_window->isVisible() && !form->isEnabled() &&
                         busyIndicator->isVisible() && cursor &&
                         cursor->shape() == Qt::WaitCursor &&
                         resultLine() == "Файл «big.xml» обрабатывается…";
        });
        timer.start(0);
        change();
        timer.stop();
        QCoreApplication::processEvents();

        QVERIFY(readBytes(path) == paragraphs(count, "1.2")); // once, not twice
        QCOMPARE(widget<QLineEdit>("filePath")->text(), path);
        QVERIFY(ticks > 0 && alwaysBusy);
        QVERIFY(form->isEnabled() && !busyIndicator->isVisible() &&
                !QApplication::overrideCursor());
        QCOMPARE(resultLine(), QString("Файл «big.xml» сохранён: изменено %1 значений").arg(count));
        QCOMPARE(m_window->isVisible(), meanwhile != "close");
    }

    // Another program appends to the file while the window opens it to lock it (a write
    // lease on the file holds the opening until then): the window stamps and reads the
    // file only once it holds it, so the other program's edit stays.
    void fileChangedMeanwhile()
    {
        const QString path = m_dir->filePath("doc.xml");
        QVERIFY(writeBytes(path, "<r x='1'/>\n"));
        QFile other(path);
        QVERIFY(other.open(QIODevice::ReadWrite | QIODevice::Append));
        std::signal(SIGIO, SIG_IGN); // how the kernel tells the lease holder of an opening
        if (fcntl(other.handle(), F_SETLEASE, F_WRLCK) != 0)
            QSKIP("no file leases here");
        QTimer timer;
        connect(&timer, &QTimer::timeout, [&] {
            // The lease is to become a read lease: someone waits to open the file to read.
            if (!other.isOpen() || fcntl(other.handle(), F_GETLEASE) != F_RDLCK)
                return;
            other.write("<!-- added -->\n");
            other.close(); // which ends the lease
        });
        timer.start(0);
        fillForm("x", 1);
        widget<QLineEdit>("filePath")->setText(path);
        change();

        QVERIFY(!other.isOpen());
        QCOMPARE(resultLine(), QString("Файл «doc.xml» сохранён: изменено 1 значение"));
        QCOMPARE(readBytes(path), QByteArray("<r x=\"2\"/>\n<!-- added -->\n"));
        QCOMPARE(entries(m_dir->path()), QStringList("doc.xml"));
    }

    // Another run of this program holds the file past the bound: the window refuses.
    void fileLockedByAnother()
    {
        const QString path = m_dir->filePath("doc.xml");
        QVERIFY(writeBytes(path, "<r x='1'/>"));
        QFile holder(path);
        QVERIFY(holder.open(QIODevice::ReadOnly) && flock(holder.handle(), LOCK_EX) == 0);
        fillForm("x", 1);
        widget<QLineEdit>("filePath")->setText(path);
        change();
        QCOMPARE(resultLine(),
                 QString("Файл «doc.xml» не изменён: другая программа держит его дольше 3 с"));
        QCOMPARE(readBytes(path), QByteArray("<r x='1'/>"));
    }

    void pickFile_data()
    {
        QTest::addColumn<bool>("accept");
        QTest::addColumn<QString>("expected");

        QTest::newRow("chosen file replaces a typed path") << true << "chosen.xml";
        QTest::newRow("cancel keeps the typed path") << false << "/elsewhere/typed.xml";
    }

    void pickFile()
    {
        QFETCH(bool, accept);
        QFETCH(QString, expected);
        QVERIFY(writeBytes(m_dir->filePath("chosen.xml"), "<r/>"));
        const QString previousDirectory = QDir::currentPath();
        QDir::setCurrent(m_dir->path());
        widget<QLineEdit>("filePath")->setText("/elsewhere/typed.xml");

        QString caption, directory;
        QStringList filters;
        bool resolvesLinks = true;
        whenModalDialogOpens([&](QFileDialog *dialog) {
            caption = dialog->windowTitle();
            filters = dialog->nameFilters();
            directory = dialog->directory().absolutePath();
            resolvesLinks = !dialog->testOption(QFileDialog::DontResolveSymlinks);
            if (accept) {
                QTest::keyClicks(dialog->findChild<QLineEdit *>("fileNameEdit"), "chosen.xml");
                QMetaObject::invokeMethod(dialog, "accept");
            } else {
                dialog->reject();
            }
        });
        QTest::mouseClick(widget<QPushButton>("pick"), Qt::LeftButton);
        QDir::setCurrent(previousDirectory);

        QCOMPARE(caption, QString("Выбрать файл"));
        QCOMPARE(filters, QStringList("*.xml"));
        QCOMPARE(QFileInfo(directory).canonicalFilePath(),
                 QFileInfo(m_dir->path()).canonicalFilePath());
        QVERIFY(!resolvesLinks);
        QCOMPARE(widget<QLineEdit>("filePath")->text(),
                 accept ? m_dir->filePath(expected) : expected);
    }

    // A name that is not UTF-8, as the command line gives it, reaches its own file and
    // not its look-alike, whose name is the same with U+FFFD for the byte.
    void fileNameNotUtf8()
    {
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
        QSKIP("Qt 6 names every file in UTF-8; the window refuses such a name when it starts");
#endif
        const QByteArray folder = QFile::encodeName(m_dir->path()) + '/';
        const QString name = QFile::decodeName(folder + "caf\xe9.xml"),
                      lookAlike = QFile::decodeName(folder + "caf\xef\xbf\xbd.xml");
        QVERIFY(writeBytes(name, "<r x='1'/>") && writeBytes(lookAlike, "<r x='5'/>"));
        m_window->openFile(name);
        fillForm("x", 1);
        change();
        QCOMPARE(resultLine(),
                 "Файл «" + QFileInfo(name).fileName() + "» сохранён: изменено 1 значение");
        QCOMPARE(readBytes(name), QByteArray("<r x=\"2\"/>\n"));
        QCOMPARE(readBytes(lookAlike), QByteArray("<r x='5'/>"));
    }

    void fileFromOutside_data() { addDataRows(QFINDTESTDATA("../data/window-outside.tsv")); }

    void fileFromOutside()
    {
        QFETCH(QByteArray, on);
        QFETCH(QByteArray, given);
        const QStringList paths = QString(given).replace('@', m_dir->path()).split(' ');
        widget<QLineEdit>("filePath")->setText(m_dir->filePath("typed.xml"));
        if (on == "command line") {
            const QString previousDirectory = QDir::currentPath();
            QDir::setCurrent(m_dir->path());
            m_window->openFile(paths.first());
            QDir::setCurrent(previousDirectory);
        } else {
            QWidget *target = on == "MainWindow" ? m_window : widget<QWidget>(on);
            if (auto *textBox = qobject_cast<QTextEdit *>(target))
                target = textBox->viewport();
            QMimeData text;
            text.setText(paths.last());
            if (paths.first() == "text")
                dropOn(target, text);
            else
                dropFiles(target, paths);
        }
        QFETCH(QByteArray, path);
        QFETCH(QByteArray, text);
        QCOMPARE(widget<QLineEdit>("filePath")->text(), m_dir->filePath(path));
        QCOMPARE(widget<QTextEdit>("textEdit")->toPlainText(), QString(text));
    }

private:
    template <typename T> T *widget(const char *name)
    {
        T *found = m_window->findChild<T *>(QLatin1String(name));
        if (!found)
            qFatal("no widget %s", name);
        return found;
    }

    void fillForm(const QString &attribute, double increment, const QString &above = {},
                  const QString &below = {});
    void change() { QTest::mouseClick(widget<QPushButton>("goChange"), Qt::LeftButton); }
    // What the box holds, without toPlainText()'s substitutions.
    QString rawText(const char *name)
    {
        return widget<QTextEdit>(name)->document()->toRawText().replace(QChar(0x2029), '\n');
    }
    QString browserText() { return rawText("textBrowser"); }
    QString resultLine() { return widget<QLabel>("resultLine")->text(); }

    MainWindow *m_window = nullptr;
    QTemporaryDir *m_dir = nullptr;
};

void tst_MainWindow::fillForm(const QString &attribute, double increment, const QString &above,
                              const QString &below)
{
    widget<QLineEdit>("parameter")->setText(attribute);
    widget<QDoubleSpinBox>("value")->setValue(increment);
    widget<QCheckBox>("useCondOver")->setChecked(!above.isEmpty());
    widget<QDoubleSpinBox>("overValue")->setValue(above.toDouble());
    widget<QCheckBox>("useCondLess")->setChecked(!below.isEmpty());
    widget<QDoubleSpinBox>("lessValue")->setValue(below.toDouble());
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
