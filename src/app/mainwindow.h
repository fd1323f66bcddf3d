#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QMainWindow>

class QDomNode;
class QLabel;
struct AdjustmentRule;

namespace Ui {
class MainWindow;
}

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

private slots:
    void on_pick_clicked();
    void on_goChange_clicked();

private:
    // Adjusts the named attribute on the node and everything below it, as the form
    // says, and returns how many values changed.
    int changeNode(QDomNode &node);
    AdjustmentRule ruleFromForm() const;
    void showResult(const QString &line);

    Ui::MainWindow *ui;
    QLabel *m_resultLine;
};

#endif // MAINWINDOW_H
