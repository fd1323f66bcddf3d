#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "adjustmentrule.h"
#include "attributewalk.h"
#include "fileadjust.h"
#include "resultmessages.h"
#include "xmlinput.h"
#include "xmloutput.h"

#include <QDir>
#include <QDomDocument>
#include <QFileDialog>
#include <QLabel>
#include <QTextDocument>

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), ui(new Ui::MainWindow), m_resultLine(new QLabel)
{
    ui->setupUi(this);

    m_resultLine->setObjectName(QStringLiteral("resultLine"));
    // File names and the parser's reasons are shown as they are, never as markup.
    m_resultLine->setTextFormat(Qt::PlainText);
    m_resultLine->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // A long reason is cut off (and shown whole as a tool tip) rather than widening the window.
    m_resultLine->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    statusBar()->addWidget(m_resultLine, 1);
}

MainWindow::~MainWindow()
{
    delete ui;
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
        const XmlLoadResult load = loadXmlText(document, source);
        int adjusted = 0;
        if (load.isLoaded()) {
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
    showResult(fileResultMessage(path, adjustXmlFile(path, rule)));
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

void MainWindow::showResult(const QString &line)
{
    m_resultLine->setText(line);
    m_resultLine->setToolTip(line);
}
