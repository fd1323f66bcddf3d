// SPDX-License-Identifier: MIT
#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QMainWindow>
#include <QPointer>

class QDomNode;
class QLabel;
class QProgressBar;

namespace Ui {
class MainWindow;
}

namespace xmladjust {
struct AdjustmentRule;
struct FileAdjustResult;
} // namespace xmladjust

// In the global namespace, as its form's Ui::MainWindow: the form, style sheets and
// accessibility tools know the window by its class name.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Puts the file in the path field, as the command line and a dropped file do; a
    // relative path is taken from the current folder.
    void openFile(const QString &path);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private slots:
    void on_pick_clicked();
    void on_goChange_clicked();

private:
    // Adjusts the named attribute on the node and everything below it, as the form
    // says, and returns how many values changed.
    int changeNode(QDomNode &node);
    xmladjust::AdjustmentRule ruleFromForm() const;
    // Runs file mode on a worker thread and returns when it is done; meanwhile the
    // form is disabled and the GUI thread keeps handling events.
    xmladjust::FileAdjustResult adjustFileInBackground(const QString &path,
                                                       const xmladjust::AdjustmentRule &rule);
    void setBusy(bool busy);
    void showResult(const QString &line);

    Ui::MainWindow *ui;
    QLabel *m_resultLine;
    QProgressBar *m_busyIndicator;
    bool m_busy = false;
    bool m_closeWhenDone = false;
    QPointer<QWidget> m_focusBeforeWork;
};

#endif // MAINWINDOW_H
