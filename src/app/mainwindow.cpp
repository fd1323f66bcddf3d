#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "adjustmentrule.h"
#include "attributewalk.h"
#include "xmlinput.h"
#include "xmloutput.h"

#include <QDir>
#include <QDomDocument>
#include <QFileDialog>
#include <QTextDocument>

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), ui(new Ui::MainWindow)
{
    ui->setupUi(this);
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
    if (ui->parameter->text().isEmpty() || ui->value->value() == 0.0)
        return;

    QDomDocument document;
    // The raw text: toPlainText() would turn no-break spaces into plain ones.
    const QString source = ui->textEdit->document()->toRawText().replace(
        QChar(QChar::ParagraphSeparator), QLatin1Char('\n'));
    if (!source.isEmpty()) {
        if (loadXmlText(document, source).isLoaded()) {
            QDomElement root = document.documentElement();
            if (!root.isNull())
                changeNode(root);
        }
        // Also after a failed parse: the browser shows what the parser got to, and
        // is cleared for a refused document. Always as plain text, never rendered.
        ui->textBrowser->setPlainText(serializeXml(document, 1));
        return;
    }

    const QString path = ui->filePath->text();
    if (!loadXmlFile(document, path).isLoaded())
        return;
    QDomElement root = document.documentElement();
    if (!root.isNull())
        changeNode(root);
    saveXmlFile(path, document);
}

void MainWindow::changeNode(QDomNode &node)
{
    adjustAttributes(node, ruleFromForm());
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
