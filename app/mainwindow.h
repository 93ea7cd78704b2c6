#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QList>
#include <QMainWindow>
#include <QPointer>
#include <QString>

class QThread;
class Xmodem;

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
    bool readDeviceNumber(uint8_t *number);
    bool rawImage(const QString &path);
    void launch(Xmodem *worker, int (Xmodem::*entry)());
    void abandonRuns();

    MainWindowForm *ui;
    int connectAttempts;
    QString statusText;
    // The threads of runs started here, so that a closing window can end them; each
    // deletes itself when its run is over.
    QList<QPointer<QThread>> runThreads;
};

#endif // MAINWINDOW_H
