#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QSerialPortInfo>

const char *const MakerCaption = "ООО «Ларент-Прибор», г. Верхнеозёрск, 2026";

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
    delete ui;
}

void MainWindow::on_btnExit_clicked() {}
void MainWindow::on_btnFileSelect_clicked() {}
void MainWindow::on_btnStartUpdate_clicked() {}
void MainWindow::dev_connect_probe() {}
void MainWindow::dev_statusprn(int) {}
void MainWindow::progress(int, qint64) {}
