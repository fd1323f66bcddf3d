#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QMainWindow>

class QDomNode;
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
    // Adjusts the named attribute on the node and everything below it, as the form says.
    void changeNode(QDomNode &node);
    AdjustmentRule ruleFromForm() const;

    Ui::MainWindow *ui;
};

#endif // MAINWINDOW_H
