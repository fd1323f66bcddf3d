#include "mainwindow.h"
#include "testfiles.h"
#include "xmlcompare.h"

#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMimeData>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QTextCodec>
#include <QToolBar>
#include <QtTest>

#include <cerrno>
#include <functional>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#endif
#ifdef Q_OS_LINUX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

QString nested(int levels)
{
    return QString("<e x='1'>").repeated(levels) + QString("</e>").repeated(levels);
}

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

// A pattern for exactly this text.
QString exactly(const QString &text)
{
    return QRegularExpression::escape(text);
}

bool matchesWhole(const QString &pattern, const QString &text)
{
    const QRegularExpression whole("\\A(?:" + pattern + ")\\z",
                                   QRegularExpression::DotMatchesEverythingOption);
    return whole.match(text).hasMatch();
}

// One p element a line, as file mode writes them, so that the adjusted file is the
// same text with the new value.
QByteArray paragraphs(int count, const QByteArray &value)
{
    return "<r>\n" + QByteArray("<p x=\"" + value + "\"/>\n").repeated(count) + "</r>\n";
}

// Drags the data onto the widget and drops it there, as a file manager would.
void dropOn(QWidget *target, const QMimeData &data)
{
    const QPoint at = target->rect().center();
    const Qt::DropActions actions = Qt::CopyAction | Qt::MoveAction | Qt::LinkAction;
    QDragEnterEvent enter(at, actions, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    QDragMoveEvent move(at, actions, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &move);
    QDropEvent drop(at, actions, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
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
    void init();
    void cleanup();

    void formCells_data();
    void formCells();
    void formAsBuilt();
    void guard_data();
    void guard();
    void textMode_data();
    void textMode();
    void textModeRepeatsAndClearingSwitchesToFile();
    void valueCountInResultLine_data();
    void valueCountInResultLine();
    void fileMode_data();
    void fileMode();
    void fileModeTwiceAddsTwice();
    void fileLeftAlone_data();
    void fileLeftAlone();
    void fileModeInBackground_data();
    void fileModeInBackground();
    void fileChangedMeanwhile_data();
    void fileChangedMeanwhile();
    void reformatMatchesWindowFileMode_data();
    void reformatMatchesWindowFileMode();
    void pickFile_data();
    void pickFile();
    void fileFromOutside_data();
    void fileFromOutside();
    void answersOnTheTerminal_data();
    void answersOnTheTerminal();

private:
    template <typename T> T *widget(const char *name)
    {
        T *found = m_window->findChild<T *>(QLatin1String(name));
        if (!found)
            qFatal("no widget %s", name);
        return found;
    }
    void fillForm(const QString &attribute, double increment, bool useOver = false, double over = 0,
                  bool useLess = false, double less = 0);
    void change() { QTest::mouseClick(widget<QPushButton>("goChange"), Qt::LeftButton); }
    // What the box holds, without toPlainText()'s substitutions.
    QString rawText(const char *name)
    {
        return widget<QTextEdit>(name)->document()->toRawText().replace(
            QChar(QChar::ParagraphSeparator), '\n');
    }
    QString browserText() { return rawText("textBrowser"); }
    QString resultLine() { return widget<QLabel>("resultLine")->text(); }

    MainWindow *m_window = nullptr;
    QTemporaryDir *m_dir = nullptr;
};

void tst_MainWindow::init()
{
    m_dir = new QTemporaryDir;
    m_window = new MainWindow;
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
}

void tst_MainWindow::cleanup()
{
    delete m_window;
    delete m_dir;
}

void tst_MainWindow::fillForm(const QString &attribute, double increment, bool useOver, double over,
                              bool useLess, double less)
{
    widget<QLineEdit>("parameter")->setText(attribute);
    widget<QDoubleSpinBox>("value")->setValue(increment);
    widget<QCheckBox>("useCondOver")->setChecked(useOver);
    widget<QDoubleSpinBox>("overValue")->setValue(over);
    widget<QCheckBox>("useCondLess")->setChecked(useLess);
    widget<QDoubleSpinBox>("lessValue")->setValue(less);
}

void tst_MainWindow::formCells_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QRect>("cell"); // column, row, column span, row span
    QTest::addColumn<QString>("caption");

    QTest::newRow("textEdit") << "textEdit"
                              << "QTextEdit" << QRect(0, 0, 4, 1) << "";
    QTest::newRow("textBrowser") << "textBrowser"
                                 << "QTextBrowser" << QRect(0, 1, 4, 1) << "";
    QTest::newRow("filePath") << "filePath"
                              << "QLineEdit" << QRect(0, 2, 1, 1) << "";
    QTest::newRow("pick") << "pick"
                          << "QPushButton" << QRect(1, 2, 2, 1) << "Выбрать";
    QTest::newRow("parameter") << "parameter"
                               << "QLineEdit" << QRect(0, 3, 1, 1) << "";
    QTest::newRow("value") << "value"
                           << "QDoubleSpinBox" << QRect(1, 3, 1, 1) << "";
    QTest::newRow("goChange") << "goChange"
                              << "QPushButton" << QRect(2, 3, 1, 1) << "Изменить";
    QTest::newRow("useCondOver") << "useCondOver"
                                 << "QCheckBox" << QRect(0, 4, 2, 1)
                                 << "Использовать условие: если больше";
    QTest::newRow("overValue") << "overValue"
                               << "QDoubleSpinBox" << QRect(2, 4, 1, 1) << "";
    QTest::newRow("useCondLess") << "useCondLess"
                                 << "QCheckBox" << QRect(0, 5, 2, 1)
                                 << "Использовать условие: если меньше";
    QTest::newRow("lessValue") << "lessValue"
                               << "QDoubleSpinBox" << QRect(2, 5, 1, 1) << "";
}

void tst_MainWindow::formCells()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QRect, cell);
    QFETCH(QString, caption);
    QWidget *found = widget<QWidget>(qPrintable(name));
    QCOMPARE(found->metaObject()->className(), qPrintable(className));
    auto *grid = widget<QGridLayout>("gridLayout");
    int row, column, rowSpan, columnSpan;
    grid->getItemPosition(grid->indexOf(found), &row, &column, &rowSpan, &columnSpan);
    QCOMPARE(QRect(column, row, columnSpan, rowSpan), cell);
    if (auto *button = qobject_cast<QAbstractButton *>(found))
        QCOMPARE(button->text(), caption);
    if (auto *spinBox = qobject_cast<QDoubleSpinBox *>(found)) {
        QCOMPARE(spinBox->decimals(), 5);
        QCOMPARE(spinBox->minimum(), -10000000.0);
        QCOMPARE(spinBox->maximum(), 10000000.0);
        QCOMPARE(spinBox->value(), 0.0);
    }
    if (auto *checkBox = qobject_cast<QCheckBox *>(found))
        QVERIFY(!checkBox->isChecked());
}

void tst_MainWindow::formAsBuilt()
{
    QCOMPARE(m_window->windowTitle(), QString("MainWindow"));
    QCOMPARE(m_window->size(), QSize(1200, 650));
    QCOMPARE(m_window->centralWidget()->objectName(), QString("centralWidget"));
    auto *grid = widget<QGridLayout>("gridLayout");
    QCOMPARE(grid->spacing(), 6);
    QCOMPARE(grid->contentsMargins(), QMargins(11, 11, 11, 11));
    QSpacerItem *spacer = grid->itemAtPosition(3, 3)->spacerItem();
    QVERIFY(spacer);
    QCOMPARE(spacer->sizeHint(), QSize(40, 20));
    QCOMPARE(spacer->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
    QCOMPARE(m_window->menuBar()->objectName(), QString("menuBar"));
    QVERIFY(m_window->menuBar()->actions().isEmpty());
    QVERIFY(widget<QToolBar>("mainToolBar")->actions().isEmpty());
    QCOMPARE(m_window->statusBar()->objectName(), QString("statusBar"));
    QVERIFY(widget<QLineEdit>("filePath")->text().isEmpty());
    QVERIFY(widget<QTextEdit>("textEdit")->toPlainText().isEmpty());

    // Creation order is the keyboard order: parameter first, textEdit last.
    const QStringList expectedOrder{"parameter",   "filePath",    "value",     "useCondOver",
                                    "pick",        "goChange",    "lessValue", "overValue",
                                    "useCondLess", "textBrowser", "textEdit"};
    QStringList order;
    QWidget *current = widget<QWidget>("parameter");
    for (int i = 0; i < 100 && order.size() < expectedOrder.size(); ++i) {
        if (expectedOrder.contains(current->objectName()) && !order.contains(current->objectName()))
            order << current->objectName();
        current = current->nextInFocusChain();
    }
    QCOMPARE(order, expectedOrder);
    m_window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_window));
    QCOMPARE(QApplication::focusWidget(), widget<QWidget>("parameter"));
}

void tst_MainWindow::guard_data()
{
    QTest::addColumn<QString>("attribute");
    QTest::addColumn<double>("increment");
    QTest::addColumn<QString>("message");

    const QString noName = "Ничего не изменено: не указано имя атрибута";
    const QString zero = "Ничего не изменено: прибавляемое число равно нулю";
    QTest::newRow("empty attribute name") << "" << 1.0 << noName;
    QTest::newRow("zero increment") << "x" << 0.0 << zero;
    QTest::newRow("increment below five decimals") << "x" << 0.000001 << zero;
    QTest::newRow("neither") << "" << 0.0 << noName;
}

void tst_MainWindow::guard()
{
    QFETCH(QString, attribute);
    QFETCH(double, increment);
    fillForm(attribute, increment);
    const QString path = m_dir->filePath("doc.xml");
    QVERIFY(writeBytes(path, "<r x='1'/>"));
    widget<QLineEdit>("filePath")->setText(path);
    widget<QTextBrowser>("textBrowser")->setPlainText("previous");

    change(); // file mode
    QCOMPARE(readBytes(path), QByteArray("<r x='1'/>"));
    QTEST(resultLine(), "message");
    widget<QLabel>("resultLine")->clear();
    widget<QTextEdit>("textEdit")->setPlainText("<r x='1'/>");
    change(); // text mode
    QCOMPARE(browserText(), QString("previous"));
    QTEST(resultLine(), "message");
}

void tst_MainWindow::textMode_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("attribute");
    QTest::addColumn<double>("increment");
    QTest::addColumn<QString>("expected"); // exactly what the browser shows
    QTest::addColumn<QString>("message");  // a pattern for the result line

    const QString notWellFormed =
        "Текст не изменён: некорректный XML, строка %1, столбец \\d+: \\S.*";
    QTest::newRow("worked example, bounds 5 and 15")
        << R"(<r x="5"><a x="10"/><b x="15"/><c x="abc"><d x="7"/></c></r>)"
        << "x" << 2.5
        << "<r x=\"5\">\n <a x=\"12.5\"/>\n <b x=\"15\"/>\n <c x=\"abc\">\n  <d x=\"9.5\"/>\n "
           "</c>\n</r>\n"
        << exactly("В тексте изменено 2 значения");
    QTest::newRow("no binary noise")
        << R"(<r><p lat="5.7558123"/><p lat="10"/></r>)"
        << "lat" << 0.2 << "<r>\n <p lat=\"5.9558123\"/>\n <p lat=\"10.2\"/>\n</r>\n"
        << exactly("В тексте изменено 2 значения");
    QTest::newRow("document type shown as source, not rendered")
        << R"(<!DOCTYPE html><html><body x="6"><b>bold</b></body></html>)"
        << "x" << 1.0
        << "<!DOCTYPE html>\n<html>\n <body x=\"7\">\n  <b>bold</b>\n </body>\n</html>\n"
        << exactly("В тексте изменено 1 значение");
    QTest::newRow("no-break spaces and line separators kept")
        << QString("<r x='6'>a\u00a0b\u2028c</r>") << "x" << 1.0
        << QString("<r x=\"7\">a\u00a0b\u2028c</r>\n") << exactly("В тексте изменено 1 значение");
    QTest::newRow("names allowed since XML's fifth edition")
        << QString(
               "<\u1230\u120b\u121d x='6'><\u1781 x='7'/><\U00020000 x='8'/></\u1230\u120b\u121d>")
        << "x" << 1.0
        << QString("<\u1230\u120b\u121d x=\"7\">\n <\u1781 x=\"8\"/>\n <\U00020000 x=\"9\"/>\n"
                   "</\u1230\u120b\u121d>\n")
        << exactly("В тексте изменено 3 значения");
    QTest::newRow("internal subset, no-break space text and preserved space kept")
        << QString("<!DOCTYPE r [<!ATTLIST r unit CDATA 'mm'>]><r x='6'><t>\u00a0</t>"
                   "<p xml:space='preserve'><a/> <b/></p></r>")
        << "x" << 1.0
        << QString("<!DOCTYPE r [<!ATTLIST r unit CDATA 'mm'>]>\n<r x=\"7\">\n <t>\u00a0</t>\n"
                   " <p xml:space=\"preserve\"><a/> <b/></p>\n</r>\n")
        << exactly("В тексте изменено 1 значение");
    QTest::newRow("duplicate attribute refused") << "<r x='6'><p x='7' x='8'/></r>"
                                                 << "x" << 1.0 << "<r x=\"6\"/>\n"
                                                 << notWellFormed.arg(1);
    QTest::newRow("only a line break clears") << "\n"
                                              << "x" << 1.0 << "" << notWellFormed.arg("\\d+");
    QTest::newRow("only words clears") << "just words"
                                       << "x" << 1.0 << "" << notWellFormed.arg(1);
    QTest::newRow("mismatched tag on the second line") << "<r x='6'>\n<a></r>"
                                                       << "x" << 1.0 << "<r x=\"6\">\n <a/>\n</r>\n"
                                                       << notWellFormed.arg(2);
    QTest::newRow("too deep clears")
        << nested(1001) << "x" << 1.0 << ""
        << exactly("Текст не изменён: вложенность глубже 1000 уровней");
    QTest::newRow("entities expanding too far clear")
        << "<!DOCTYPE r [<!ENTITY big '" + QString(4000, 'b') + "'>]><r x='6'>" +
               QString("&big;").repeated(16001) + "</r>"
        << "x" << 1.0 << ""
        << "Текст не изменён: слишком большой \\(\\S.*\\)";
    QTest::newRow("name of spaces still refreshes")
        << "<r x='6'/>"
        << " " << 1.0 << "<r x=\"6\"/>\n"
        << exactly("Текст не изменён: ни одно значение не подходит");
}

void tst_MainWindow::textMode()
{
    QFETCH(QString, source);
    QFETCH(QString, attribute);
    QFETCH(double, increment);
    fillForm(attribute, increment, true, 5, true, 15);
    const QString path = m_dir->filePath("doc.xml");
    QVERIFY(writeBytes(path, "<r x='6'/>"));
    widget<QLineEdit>("filePath")->setText(path);
    widget<QTextBrowser>("textBrowser")->setPlainText("previous");
    widget<QTextEdit>("textEdit")->setPlainText(source);

    change();
    QTEST(browserText(), "expected");
    QCOMPARE(rawText("textEdit"), source);
    QCOMPARE(readBytes(path), QByteArray("<r x='6'/>"));
    QFETCH(QString, message);
    QVERIFY2(matchesWhole(message, resultLine()), qPrintable(resultLine()));
}

void tst_MainWindow::textModeRepeatsAndClearingSwitchesToFile()
{
    fillForm("x", 1);
    widget<QTextEdit>("textEdit")->setPlainText("<r x='1'/>");
    change();
    change();
    QCOMPARE(browserText(), QString("<r x=\"2\"/>\n"));

    const QString path = m_dir->filePath("doc.xml");
    QVERIFY(writeBytes(path, "<r x='1'/>"));
    widget<QLineEdit>("filePath")->setText(path);
    widget<QTextEdit>("textEdit")->clear();
    change();
    QCOMPARE(readBytes(path), QByteArray("<r x=\"2\"/>\n"));
    QCOMPARE(browserText(), QString("<r x=\"2\"/>\n"));
}

void tst_MainWindow::valueCountInResultLine_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("message");

    const QList<QPair<int, const char *>> rows{
        {1, "1 значение"},     {2, "2 значения"},      {4, "4 значения"},     {5, "5 значений"},
        {11, "11 значений"},   {12, "12 значений"},    {14, "14 значений"},   {21, "21 значение"},
        {22, "22 значения"},   {25, "25 значений"},    {101, "101 значение"}, {111, "111 значений"},
        {112, "112 значений"}, {1004, "1004 значения"}};
    for (const auto &row : rows)
        QTest::newRow(row.second) << row.first
                                  << QString("В тексте изменено ") + QString::fromUtf8(row.second);
}

void tst_MainWindow::valueCountInResultLine()
{
    QFETCH(int, count);
    fillForm("x", 1);
    widget<QTextEdit>("textEdit")->setPlainText(paragraphs(count, "1"));
    change();
    QTEST(resultLine(), "message");
}

void tst_MainWindow::fileMode_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<QString>("message");

    QTest::newRow("ISO-8859-1 written back in it")
        << QByteArray("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n"
                      "<r n=\"\xe9t\xe9\">\n  <p x=\"10\"/>\n  <p x=\"0.1\">caf\xe9</p>\n</r>\n")
        << QByteArray("<?xml version='1.0' encoding='ISO-8859-1'?>\n"
                      "<r n=\"\xe9t\xe9\">\n<p x=\"10.2\"/>\n<p x=\"0.3\">caf\xe9</p>\n</r>\n")
        << "Файл «doc.xml» сохранён: изменено 2 значения";
    QTest::newRow("no declaration is UTF-8")
        << QByteArray("<r x=\"1\">\xd0\x96</r>") << QByteArray("<r x=\"1.2\">\xd0\x96</r>\n")
        << "Файл «doc.xml» сохранён: изменено 1 значение";
    QTest::newRow("Windows line ends") << QByteArray("<r>\r\n<p x=\"1\">a\r\nb</p>\r\n</r>\r\n")
                                       << QByteArray("<r>\n<p x=\"1.2\">a\nb</p>\n</r>\n")
                                       << "Файл «doc.xml» сохранён: изменено 1 значение";
    QTest::newRow("deepest allowed")
        << nested(1000).toUtf8() << nested(1000).replace("'1'", "\"1.2\"").toUtf8() + "\n"
        << "Файл «doc.xml» сохранён: изменено 1000 значений";
}

void tst_MainWindow::fileMode()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, output);
    const QString path = m_dir->filePath("doc.xml");
    QVERIFY(writeBytes(path, input));
    fillForm("x", 0.2);
    widget<QLineEdit>("filePath")->setText(path);
    change();
    QByteArray written = readBytes(path);
#ifdef Q_OS_WIN
    written.replace("\r\n", "\n");
#endif
    if (QByteArray(QTest::currentDataTag()) == "deepest allowed")
        QCOMPARE(canonicalXml(QString(written)), canonicalXml(QString(output)));
    else
        QCOMPARE(written, output);
    QTEST(resultLine(), "message");
}

void tst_MainWindow::fileModeTwiceAddsTwice()
{
    const QString path = m_dir->filePath("doc.xml");
    QVERIFY(writeBytes(path, "<r><a x='4'/><b x='5.5'/></r>"));
    fillForm("x", 1, false, 0, true, 6);
    widget<QLineEdit>("filePath")->setText(path);
    change();
    change();
    // b reached 6.5 on the first run, so the second run left it.
    QCOMPARE(readBytes(path), QByteArray("<r>\n<a x=\"6\"/>\n<b x=\"6.5\"/>\n</r>\n"));
}

// How a row of fileLeftAlone prepares the file beyond writing its content.
enum class Setup
{
    None,
    ReadOnly,
    Folder,         // the path names a folder
    TooLarge,       // the file grows, without data, past the size the window reads
    WriteSizeLimit, // writing stops at 64 KiB, as on a full disk
};
Q_DECLARE_METATYPE(Setup)

void tst_MainWindow::fileLeftAlone_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<Setup>("setup");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("message"); // a pattern for the result line

    const QByteArray one("<r x='1'/>");
    const QString notChanged = exactly("Файл «doc.xml» не изменён: ");
    QTest::newRow("read-only") << one << Setup::ReadOnly << "doc.xml"
                               << notChanged + "нет прав на запись";
    QTest::newRow("not well-formed")
        << QByteArray("<r x='1'>\n<a></r>") << Setup::None << "doc.xml"
        << notChanged + "некорректный XML, строка 2, столбец \\d+: \\S.*";
    QTest::newRow("binary") << QByteArray("\x00\xff\xfe<\x01", 5) << Setup::None << "doc.xml"
                            << notChanged + "некорректный XML, строка 1, столбец \\d+: \\S.*";
    QTest::newRow("too deep") << nested(1001).toUtf8() << Setup::None << "doc.xml"
                              << notChanged + "вложенность глубже 1000 уровней";
    QTest::newRow("too large") << QByteArray() << Setup::TooLarge << "doc.xml"
                               << notChanged + "слишком большой \\(\\S.*\\)";
    QTest::newRow("no value qualifies") << QByteArray("<r y='1'><p x='a'/></r>") << Setup::None
                                        << "doc.xml" << notChanged + "ни одно значение не подходит";
    QTest::newRow("write fails part-way")
        << paragraphs(10000, "1") << Setup::WriteSizeLimit << "doc.xml"
        << notChanged + exactly("не удалось записать (" + qt_error_string(EFBIG) + ')');
    QTest::newRow("missing path") << one << Setup::None << "missing.xml"
                                  << exactly("Файл «missing.xml» не найден: ничего не изменено");
    QTest::newRow("folder") << one << Setup::Folder << "folder"
                            << exactly("«folder» — не обычный файл: ничего не изменено");
    QTest::newRow("empty path") << one << Setup::None << ""
                                << exactly("Ничего не изменено: файл не выбран");
}

void tst_MainWindow::fileLeftAlone()
{
    QFETCH(QByteArray, content);
    QFETCH(Setup, setup);
    QFETCH(QString, name);
    const QString path = m_dir->filePath("doc.xml");
    QVERIFY(writeBytes(path, content));
    if (setup == Setup::ReadOnly)
        QVERIFY(
            QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
    if (setup == Setup::Folder)
        QVERIFY(QDir(m_dir->path()).mkdir(name));
    if (setup == Setup::TooLarge)
        QVERIFY(QFile::resize(path, (qint64(256) << 20) + 1));
    const QDateTime modified(QDate(2001, 2, 3), QTime(4, 5, 6), Qt::UTC);
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(modified, QFileDevice::FileModificationTime));
    }
    const qint64 size = QFileInfo(path).size();
    fillForm("x", 1);
    widget<QLineEdit>("filePath")->setText(name.isEmpty() ? name : m_dir->filePath(name));

    if (setup == Setup::WriteSizeLimit) {
#ifdef Q_OS_UNIX
        // Writing past the limit then fails instead of ending the process.
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit;
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &limit), 0);
        const rlim_t previous = limit.rlim_cur;
        limit.rlim_cur = 64 * 1024;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &limit), 0);
        change();
        limit.rlim_cur = previous;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &limit), 0);
#else
        QSKIP("needs a file-size limit");
#endif
    } else {
        change();
    }

    QFETCH(QString, message);
    QVERIFY2(matchesWhole(message, resultLine()), qPrintable(resultLine()));
    const QFileInfo after(path);
    QCOMPARE(after.lastModified().toUTC(), modified);
    QCOMPARE(after.size(), size);
    if (setup != Setup::TooLarge)
        QCOMPARE(readBytes(path), content);
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files | QDir::Hidden), QStringList("doc.xml"));
}

void tst_MainWindow::fileModeInBackground_data()
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
void tst_MainWindow::fileModeInBackground()
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
                     busyIndicator->isVisible() && cursor && cursor->shape() == Qt::WaitCursor &&
                     resultLine() == "Файл «big.xml» обрабатывается…";
    });
    timer.start(0);
    change();
    timer.stop();
    QCoreApplication::processEvents();

    QVERIFY(readBytes(path) == paragraphs(count, "1.2")); // once, not twice
    QCOMPARE(widget<QLineEdit>("filePath")->text(), path);
    QVERIFY(ticks > 0);
    QVERIFY(alwaysBusy);
    QVERIFY(form->isEnabled());
    QVERIFY(!busyIndicator->isVisible() && !QApplication::overrideCursor());
    QCOMPARE(resultLine(), QString("Файл «big.xml» сохранён: изменено %1 значений").arg(count));
    QCOMPARE(m_window->isVisible(), meanwhile != "close");
}

void tst_MainWindow::fileChangedMeanwhile_data()
{
    QTest::addColumn<QByteArray>("added"); // none: the other program sets the file's time

    QTest::newRow("appended to") << QByteArray("<!-- added meanwhile -->\n");
    QTest::newRow("only its modification time") << QByteArray();
}

// Another program changes the file after the window has begun to read it. A write
// lease on the file holds the window's opening of it until the change is made.
void tst_MainWindow::fileChangedMeanwhile()
{
#ifdef Q_OS_LINUX
    QFETCH(QByteArray, added);
    const QString path = m_dir->filePath("doc.xml");
    QVERIFY(writeBytes(path, "<r x='1'/>\n"));
    QFile other(path);
    QVERIFY(other.open(QIODevice::ReadWrite | QIODevice::Append));
    std::signal(SIGIO, SIG_IGN); // how the kernel tells the lease holder of an opening
    if (fcntl(other.handle(), F_SETLEASE, F_WRLCK) != 0)
        QSKIP("no file leases here");
    bool changed = false;
    QTimer timer;
    connect(&timer, &QTimer::timeout, [&] {
        // The lease is to become a read lease: someone waits to open the file for reading.
        if (changed || fcntl(other.handle(), F_GETLEASE) != F_RDLCK)
            return;
        const timespec times[2] = {{0, UTIME_OMIT}, {978307200, 0}};
        changed = added.isEmpty() ? futimens(other.handle(), times) == 0
                                  : ::write(other.handle(), added.constData(),
                                            size_t(added.size())) == added.size();
        fcntl(other.handle(), F_SETLEASE, F_UNLCK);
    });
    timer.start(0);
    fillForm("x", 1);
    widget<QLineEdit>("filePath")->setText(path);
    change();
    other.close();

    QVERIFY(changed);
    QCOMPARE(resultLine(), QString("Файл «doc.xml» не изменён: его изменила другая программа, "
                                   "пока шла обработка"));
    QCOMPARE(readBytes(path), "<r x='1'/>\n" + added);
    QCOMPARE(entries(m_dir->path()), QStringList("doc.xml"));
#else
    QSKIP("needs file leases");
#endif
}

void tst_MainWindow::reformatMatchesWindowFileMode_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("attribute");
    QTest::addColumn<double>("increment");
    QTest::addColumn<double>("above"); // NaN: no bound
    QTest::addColumn<double>("below");

    const double off = qQNaN();
    QTest::newRow("UTF-8, indented, with comments")
        << QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- head -->\n<r>\n"
                      "  <p lat=\"55.7558123\"/>\n  <!-- between -->\n"
                      "  <p lat='10' lon=\"1\">\xd0\x96 <![CDATA[<n lat=\"1\"/>]]></p>\n</r>\n")
        << "lat" << 0.2 << off << off;
    QTest::newRow("ISO-8859-1 declared, with bounds")
        << QByteArray(
               "<?xml version='1.0' encoding='ISO-8859-1'?>\n"
               "<r n=\"\xe9t\xe9\" x=\"5\">\n  <p x=\"10\">caf\xe9</p>\n  <p x=\"20\"/>\n</r>\n")
        << "x" << -0.125 << 5.0 << 15.0;
    QTest::newRow("Windows line ends")
        << QByteArray("<r>\r\n<p x=\"1\">a\r\nb</p>\r\n</r>\r\n") << "x" << 2.5 << off << off;
    QTest::newRow("DOCTYPE with internal subset")
        << QByteArray("<!DOCTYPE r [\n<!ENTITY who \"world\">\n<!ATTLIST p lat CDATA \"5\">\n]>\n"
                      "<r>\n<p lat=\"1\">&who;</p>\n<p/>\n</r>\n")
        << "lat" << 1.0 << off << off;
    const QString utf16("<?xml version='1.0' encoding='UTF-16'?>\n<r a=\"\u4e2d\" x=\"7\"/>\n");
    QTest::newRow("UTF-16 with byte order mark")
        << QTextCodec::codecForName("UTF-16LE")->fromUnicode(utf16) << "x" << 0.00001 << off << off;
}

void tst_MainWindow::reformatMatchesWindowFileMode()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, attribute);
    QFETCH(double, increment);
    QFETCH(double, above);
    QFETCH(double, below);
    const QString byWindow = m_dir->filePath("window.xml");
    const QString byProgram = m_dir->filePath("program.xml");
    QVERIFY(writeBytes(byWindow, content));
    QVERIFY(writeBytes(byProgram, content));

    fillForm(attribute, increment, !qIsNaN(above), qIsNaN(above) ? 0 : above, !qIsNaN(below),
             qIsNaN(below) ? 0 : below);
    widget<QLineEdit>("filePath")->setText(byWindow);
    change();

    // The numbers as the spin boxes hold them: five decimals.
    const auto text = [](double value) {
        return QString::number(value, 'f', 5);
    };
    QStringList arguments{"--reformat", "--attribute", attribute, "--add", text(increment)};
    if (!qIsNaN(above))
        arguments << "--above" << text(above);
    if (!qIsNaN(below))
        arguments << "--below" << text(below);
    QProcess program;
    program.start(XMLADJUST_CLI, arguments << byProgram);
    QVERIFY(program.waitForFinished(5 * 60 * 1000));
    QCOMPARE(program.exitCode(), 0);

    const QByteArray written = readBytes(byWindow);
    QVERIFY(written != content); // each row has something to adjust
    QCOMPARE(readBytes(byProgram), written);
}

void tst_MainWindow::pickFile_data()
{
    QTest::addColumn<bool>("accept");
    QTest::addColumn<QString>("expected");

    QTest::newRow("chosen file replaces a typed path") << true << "chosen.xml";
    QTest::newRow("cancel keeps the typed path") << false << "/elsewhere/typed.xml";
}

void tst_MainWindow::pickFile()
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
            auto *nameEdit = dialog->findChild<QLineEdit *>("fileNameEdit");
            QTest::keyClicks(nameEdit, "chosen.xml");
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
    QCOMPARE(widget<QLineEdit>("filePath")->text(), accept ? m_dir->filePath(expected) : expected);
}

void tst_MainWindow::fileFromOutside_data()
{
    QTest::addColumn<QString>("how");       // "command line", or the widget dropped on
    QTest::addColumn<QStringList>("given"); // paths, or with "text" the text dropped
    QTest::addColumn<QString>("path");      // expected in the path field, under the folder
    QTest::addColumn<QString>("text");      // expected in the text box

    QTest::newRow("relative path on the command line")
        << "command line" << QStringList("doc.xml") << "doc.xml"
        << "";
    QTest::newRow("relative path through a folder on the command line")
        << "command line" << QStringList("sub/../doc.xml") << "doc.xml"
        << "";
    QTest::newRow("file dropped on the window")
        << "MainWindow" << QStringList("@/doc.xml") << "doc.xml"
        << "";
    QTest::newRow("file dropped on the text box")
        << "textEdit" << QStringList("@/doc.xml") << "doc.xml"
        << "";
    QTest::newRow("file dropped on the path field replaces it")
        << "filePath" << QStringList("@/doc.xml") << "doc.xml"
        << "";
    QTest::newRow("two files dropped are not taken")
        << "MainWindow" << QStringList{"@/doc.xml", "@/other.xml"} << "typed.xml"
        << "";
    QTest::newRow("text dropped on the text box is inserted")
        << "textEdit" << QStringList{"text", "<r x='1'/>"} << "typed.xml"
        << "<r x='1'/>";
}

void tst_MainWindow::fileFromOutside()
{
    QFETCH(QString, how);
    QFETCH(QStringList, given);
    given.replaceInStrings("@", m_dir->path());
    widget<QLineEdit>("filePath")->setText(m_dir->filePath("typed.xml"));
    if (how == "command line") {
        const QString previousDirectory = QDir::currentPath();
        QDir::setCurrent(m_dir->path());
        m_window->openFile(given.first());
        QDir::setCurrent(previousDirectory);
    } else {
        QWidget *target = how == "MainWindow" ? m_window : widget<QWidget>(qPrintable(how));
        if (auto *textBox = qobject_cast<QTextEdit *>(target))
            target = textBox->viewport();
        if (given.first() == "text") {
            QMimeData data;
            data.setText(given.last());
            dropOn(target, data);
        } else {
            dropFiles(target, given);
        }
    }
    QFETCH(QString, path);
    QCOMPARE(widget<QLineEdit>("filePath")->text(), m_dir->filePath(path));
    QTEST(widget<QTextEdit>("textEdit")->toPlainText(), "text");
}

void tst_MainWindow::answersOnTheTerminal_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<QString>("pattern"); // for standard output

    QTest::newRow("--help") << "--help"
                            << "Usage: \\S*xmladjust \\[options\\] \\[FILE\\]\\n.*";
    QTest::newRow("--version") << "--version" << exactly("xmladjust " XMLADJUST_VERSION "\n");
}

// Also without a display to show the window on.
void tst_MainWindow::answersOnTheTerminal()
{
    QFETCH(QString, option);
    QFETCH(QString, pattern);
    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(name);
    program.setProcessEnvironment(environment);
    program.start(XMLADJUST_APP, {option});
    QVERIFY(program.waitForFinished());
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    const QString out = QString::fromUtf8(program.readAllStandardOutput());
    QVERIFY2(matchesWhole(pattern, out), qPrintable(out));
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
