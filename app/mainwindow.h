#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QMainWindow>
#include <QString>

namespace Ui {
class MainWindow;
}
// The window's widget tree, generated from mainwindow.ui and reached by object name.
using MainWindowForm = Ui::MainWindow;

// Caption naming the maker: in the status bar at start-up, and in front of the first status message.
extern const char *const MakerCaption;

class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

signals:
    void stopAll();

private slots:
    void on_btnExit_clicked();
    void on_btnFileSelect_clicked();
    void on_btnStartUpdate_clicked();
    void dev_connect_probe();
    void dev_statusprn(int status);
    void progress(int totalread, qint64 sizefile);

private:
    MainWindowForm *ui;
    int connectAttempts;
    QString statusText;
};

#endif // MAINWINDOW_H
