// SPDX-License-Identifier: MIT
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "dom/attributewalk.h"
#include "dom/fileadjust.h"
#include "dom/xmlinput.h"
#include "dom/xmloutput.h"
#include "resultmessages.h"
#include "rule/adjustmentrule.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QDomDocument>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMimeData>
#include <QProgressBar>
#include <QTextDocument>
#include <QThread>
#include <QUrl>

#include <memory>

using namespace xmladjust;

namespace {

// The local file a drag carries, when it carries exactly one.
QString draggedFile(const QMimeData *mimeData)
{
    if (!mimeData || !mimeData->hasUrls())
        return QString();
    const QList<QUrl> urls = mimeData->urls();
    return urls.size() == 1 && urls.first().isLocalFile() ? urls.first().toLocalFile() : QString();
}

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), ui(new Ui::MainWindow), m_resultLine(new QLabel),
      m_busyIndicator(new QProgressBar)
{
    ui->setupUi(this);

    m_resultLine->setObjectName(QStringLiteral("resultLine"));
    // File names and the parser's reasons are shown as they are, never as markup.
    m_resultLine->setTextFormat(Qt::PlainText);
    m_resultLine->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // A long reason is cut off (and shown whole as a tool tip) rather than widening the window.
    m_resultLine->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    statusBar()->addWidget(m_resultLine, 1);

    m_busyIndicator->setObjectName(QStringLiteral("busyIndicator"));
    m_busyIndicator->setRange(0, 0);
    m_busyIndicator->setTextVisible(false);
    m_busyIndicator->setMaximumWidth(160);
    m_busyIndicator->hide();
    statusBar()->addPermanentWidget(m_busyIndicator);

    // A file dropped anywhere on the window, text boxes and fields included, goes to
    // the path field; other drops reach the widget under them as before.
    setAcceptDrops(true);
    installEventFilter(this);
    const QList<QWidget *> children = findChildren<QWidget *>();
    for (QWidget *child : children)
        child->installEventFilter(this);
}

MainWindow::~MainWindow()
{
    delete ui;
}

void MainWindow::openFile(const QString &path)
{
    ui->filePath->setText(QFileInfo(path).absoluteFilePath());
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::DragEnter && event->type() != QEvent::DragMove &&
        event->type() != QEvent::Drop)
        return QMainWindow::eventFilter(watched, event);

    // Enter and move events are drop events too.
    auto *drop = static_cast<QDropEvent *>(event);
    if (m_busy) {
        drop->ignore();
        return true;
    }
    const QString file = draggedFile(drop->mimeData());
    // Only the file's name is taken: never accept a move, after which the source
    // would delete the file.
    const Qt::DropAction action =
        drop->possibleActions() & Qt::CopyAction ? Qt::CopyAction : Qt::LinkAction;
    if (file.isEmpty() || !(drop->possibleActions() & action))
        return QMainWindow::eventFilter(watched, event);
    drop->setDropAction(action);
    drop->accept();
    if (event->type() == QEvent::Drop)
        openFile(file);
    return true;
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    // A file is never left half-written: the window closes once the work is done.
    if (m_busy) {
        m_closeWhenDone = true;
        event->ignore();
        return;
    }
    QMainWindow::closeEvent(event);
}

void MainWindow::on_pick_clicked()
{
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Выбрать файл"),
                                                      QDir::currentPath(), QStringLiteral("*.xml"),
                                                      nullptr, QFileDialog::DontResolveSymlinks);
    if (!path.isEmpty())
        ui->filePath->setText(path);
}

void MainWindow::on_goChange_clicked()
{
    if (m_busy)
        return;
    const AdjustmentRule rule = ruleFromForm();
    if (!rule.isEffective()) {
        showResult(nothingToDoMessage(rule));
        return;
    }

    // The raw text: toPlainText() would turn no-break spaces into plain ones.
    const QString source = ui->textEdit->document()->toRawText().replace(
        QChar(QChar::ParagraphSeparator), QLatin1Char('\n'));
    if (!source.isEmpty()) {
        QDomDocument document;
        const Outcome load = loadXmlText(document, source);
        int adjusted = 0;
        if (load.succeeded()) {
            QDomElement root = document.documentElement();
            if (!root.isNull())
                adjusted = changeNode(root);
        }
        // Also after a failed parse: the browser shows what the parser got to, and
        // is cleared for a refused document. Always as plain text, never rendered.
        ui->textBrowser->setPlainText(serializeXml(document, 1));
        showResult(textResultMessage(load, adjusted));
        return;
    }

    const QString path = ui->filePath->text();
    if (path.isEmpty()) {
        showResult(noFileChosenMessage());
        return;
    }
    showResult(fileWorkingMessage(path));
    setBusy(true);
    const FileAdjustResult result = adjustFileInBackground(path, rule);
    setBusy(false);
    showResult(fileResultMessage(path, result));
    if (m_closeWhenDone)
        close();
}

int MainWindow::changeNode(QDomNode &node)
{
    return adjustAttributes(node, ruleFromForm());
}

AdjustmentRule MainWindow::ruleFromForm() const
{
    AdjustmentRule rule;
    rule.attributeName = ui->parameter->text();
    rule.increment = AdjustmentRule::incrementFromSpinBox(ui->value->value());
    rule.useAbove = ui->useCondOver->isChecked();
    rule.above = ui->overValue->value();
    rule.useBelow = ui->useCondLess->isChecked();
    rule.below = ui->lessValue->value();
    return rule;
}

FileAdjustResult MainWindow::adjustFileInBackground(const QString &path, const AdjustmentRule &rule)
{
    FileAdjustResult result;
    // The document is built, adjusted, saved and destroyed on the worker; only the
    // result crosses back.
    const std::unique_ptr<QThread> worker(
        QThread::create([path, rule, &result] { result = adjustXmlFile(path, rule); }));
    // The DOM's serialiser and destructor recurse once per nesting level; the worker
    // gets the stack the GUI thread has, where a thread's default may be far smaller.
    worker->setStackSize(8 * 1024 * 1024);
    QEventLoop loop;
    connect(worker.get(), &QThread::finished, &loop, &QEventLoop::quit);
    worker->start();
    // Not excluding user input: what arrives meanwhile meets a disabled form and is
    // dropped, instead of being queued to run after the work.
    loop.exec();
    // The loop also ends early when the application quits; the file is finished first.
    worker->wait();
    return result;
}

void MainWindow::setBusy(bool busy)
{
    m_busy = busy;
    if (busy) {
        m_focusBeforeWork = QApplication::focusWidget();
        QApplication::setOverrideCursor(Qt::WaitCursor);
    } else {
        QApplication::restoreOverrideCursor();
    }
    centralWidget()->setEnabled(!busy);
    m_busyIndicator->setVisible(busy);
    if (!busy && m_focusBeforeWork)
        m_focusBeforeWork->setFocus();
}

void MainWindow::showResult(const QString &line)
{
    m_resultLine->setText(line);
    m_resultLine->setToolTip(line);
}
