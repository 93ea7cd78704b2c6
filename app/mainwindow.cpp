#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "imageformat.h"
#include "statusmessages.h"
#include "xmodem.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QSerialPortInfo>
#include <QThread>

const char *const MakerCaption = "ООО «Ларент-Прибор», г. Верхнеозёрск, 2026";

namespace {
// How long a closing window gives running updates to wind down: a run notices within a
// second at most, or 2.5 s when it is writing a serial block.
constexpr int ShutdownWaitMs = 5000;
} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new MainWindowForm)
    , connectAttempts(0)
{
    ui->setupUi(this);

    ui->cmbComPort->clear();
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &port : ports)
        ui->cmbComPort->addItem(port.portName());

    ui->progressBar->setMaximum(100);
    ui->progressBar->setValue(0);
    ui->statusBar->showMessage(QString::fromUtf8(MakerCaption));
    // Applied after the form's default address, which the mask then refits.
    ui->edtIpAddr->setInputMask(QStringLiteral("000.000.000.000"));
}

MainWindow::~MainWindow()
{
    abandonRuns();
    delete ui;
}

// A window that goes away while updates run must not leave their threads running into the
// end of the process. Each run is told to give up: its waits see the request within a tenth of
// a second, a serial port's blocking wait when it ends (half a second while probing).
void MainWindow::abandonRuns()
{
    for (const QPointer<QThread> &thread : qAsConst(runThreads)) {
        if (thread) {
            thread->requestInterruption();
            thread->quit();
        }
    }
    const QDeadlineTimer deadline(ShutdownWaitMs);
    for (const QPointer<QThread> &thread : qAsConst(runThreads)) {
        if (!thread)
            continue;
        if (thread->wait(deadline))
            delete thread;
        else
            qWarning() << "an update run did not end in time";
    }
    runThreads.clear();
}

void MainWindow::on_btnExit_clicked()
{
    emit stopAll();
    QCoreApplication::processEvents();
    close();
}

void MainWindow::on_btnFileSelect_clicked()
{
    const QString path = QFileDialog::getOpenFileName(nullptr, tr("Выберите файл с прошивкой прибора"), QStringLiteral("./"),
                                                      tr("Двоичный файл (*.bin);;"));
    if (!path.isNull())
        ui->edtFileName->setText(path);
}

void MainWindow::on_btnStartUpdate_clicked()
{
    ui->progressBar->setValue(0);
    if (ui->edtFileName->text().isEmpty()) {
        QMessageBox::warning(this, QStringLiteral("Ошибка"), QStringLiteral("Не задан файл с прошивкой!"), QMessageBox::Ok,
                             QMessageBox::NoButton);
        on_btnFileSelect_clicked();
        if (ui->edtFileName->text().isEmpty())
            return;
    }

    const int link = ui->tabInterfceForUpdate->currentIndex();
    if ((link == 1 || link == 2) && !rawImage(ui->edtFileName->text()))
        return;
    if (link == 1) {
        if (ui->cmbComPort->currentText().isEmpty()) {
            QMessageBox::warning(this, QStringLiteral("Ошибка"), QStringLiteral("Не задан COM порт!"), QMessageBox::Ok,
                                 QMessageBox::NoButton);
            return;
        }
        uint8_t device = 0;
        if (!readDeviceNumber(&device))
            return;
        auto *worker = new Xmodem;
        connectAttempts = 0;
        worker->setPortName(ui->cmbComPort->currentText());
        worker->setFileName(ui->edtFileName->text());
        worker->setDevNumber(device);
        launch(worker, &Xmodem::connectDevice);
    } else if (link == 2) {
        uint8_t device = 0;
        if (!readDeviceNumber(&device))
            return;
        connectAttempts = 0;
        auto *worker = new Xmodem;
        worker->setIP(ui->edtIpAddr->text());
        worker->setEthPort(ui->edtEthPort->text());
        worker->setFileName(ui->edtFileName->text());
        worker->setDevNumber(device);
        launch(worker, &Xmodem::connectEthDevice);
    }
}

// A HEX, S-record or ELF file would be stored by the device byte for byte as its firmware.
bool MainWindow::rawImage(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return true; // the run reports a file it cannot read
    const ForeignImageFormat format = foreignImageFormat(file.read(4096));
    if (format.name.isEmpty())
        return true;
    QString advice = foreignImageAdvice(format, path, rawImageName(path));
    advice[0] = advice.at(0).toUpper();
    QMessageBox::warning(this, QStringLiteral("Ошибка"), advice, QMessageBox::Ok, QMessageBox::NoButton);
    return false;
}

// The device number as typed, or a warning: a slip such as "258" must not update device 2.
bool MainWindow::readDeviceNumber(uint8_t *number)
{
    bool ok = false;
    const int value = ui->edtDevNumber->text().toInt(&ok, 10);
    if (!ok || value < 0 || value > 255) {
        QMessageBox::warning(this, QStringLiteral("Ошибка"),
                             QStringLiteral("Неверный номер прибора! Введите целое число от 0 до 255."), QMessageBox::Ok,
                             QMessageBox::NoButton);
        return false;
    }
    *number = uint8_t(value);
    return true;
}

void MainWindow::launch(Xmodem *worker, int (Xmodem::*entry)())
{
    auto *thread = new QThread;
    worker->moveToThread(thread);
    connect(thread, &QThread::started, worker, entry);
    connect(worker, &Xmodem::start_transmit, this, &MainWindow::dev_connect_probe);
    connect(worker, &Xmodem::finished, thread, &QThread::quit);
    connect(this, &MainWindow::stopAll, worker, &Xmodem::stop);
    connect(worker, &Xmodem::finished, worker, &QObject::deleteLater);
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    connect(worker, &Xmodem::status_dev, this, &MainWindow::dev_statusprn);
    connect(worker, &Xmodem::progress, this, &MainWindow::progress);
    thread->start();
    ui->btnStartUpdate->setEnabled(false);

    runThreads.removeAll(QPointer<QThread>());
    runThreads.append(thread);
}

void MainWindow::dev_connect_probe()
{
    ++connectAttempts;
    dev_statusprn(STATUS_CONNECTING);
}

void MainWindow::dev_statusprn(int status)
{
    static QString prevStatusText = QString::fromUtf8(MakerCaption);

    qDebug() << "ret STATUS=" << status;
    ui->statusBar->setStyleSheet(QStringLiteral("color: red; background: yellow"));

    const StatusPresentation shown = presentStatus(status, statusText, ui->cmbComPort->currentText(), connectAttempts);
    statusText = shown.message;
    if (!shown.styleSheet.isEmpty())
        ui->statusBar->setStyleSheet(shown.styleSheet);
    if (status == STATUS_CONNECTING)
        prevStatusText.clear();

    ui->statusBar->showMessage(prevStatusText + QStringLiteral("; ") + statusText, 0);
    prevStatusText = statusText;
    if (status != STATUS_FILE_SENT)
        ui->progressBar->setValue(0);
    ui->btnStartUpdate->setEnabled(!shown.runGoesOn);
}

void MainWindow::progress(int totalread, qint64 sizefile)
{
    if (sizefile <= 0)
        return;
    ui->progressBar->setValue(int(double(totalread) / double(sizefile) * 100));
}
