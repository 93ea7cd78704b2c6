// The real window on a real COM port under Windows code: it lists the port, and an update from
// it reaches the device behind the port. The serial rig runs it in its Wine guest, where
// VORLEX_RIG_PORT names a UART with vorlex-devsim on the other end and VORLEX_RIG_IMAGE the image.

#include "mainwindow.h"

#include <QComboBox>
#include <QFileInfo>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QtTest>

class TestComWindow : public QObject
{
    Q_OBJECT
private slots:
    void updateOverComPort();
};

void TestComWindow::updateOverComPort()
{
    const QString port = qEnvironmentVariable("VORLEX_RIG_PORT");
    const QString image = qEnvironmentVariable("VORLEX_RIG_IMAGE");
    QVERIFY2(!port.isEmpty() && QFileInfo::exists(image), "VORLEX_RIG_PORT and VORLEX_RIG_IMAGE must name the port and the image");
    MainWindow window;
    window.show();
    auto *ports = window.findChild<QComboBox *>(QStringLiteral("cmbComPort"));
    QStringList listed;
    for (int i = 0; i < ports->count(); ++i)
        listed << ports->itemText(i);
    qInfo("ports listed: %s", qPrintable(listed.join(QLatin1String(", "))));
    QVERIFY2(listed.contains(port), qPrintable(listed.join(QLatin1String(", "))));
    ports->setCurrentIndex(listed.indexOf(port));
    window.findChild<QTabWidget *>(QStringLiteral("tabInterfceForUpdate"))->setCurrentIndex(1);
    window.findChild<QLineEdit *>(QStringLiteral("edtFileName"))->setText(image);
    window.findChild<QPushButton *>(QStringLiteral("btnStartUpdate"))->click();
    QTRY_VERIFY_WITH_TIMEOUT(window.statusBar()->currentMessage().endsWith(
                                 QStringLiteral("Файл успешно отправлен, не забудьте проверить параметры и настройки порогов")),
                             120000);
    QCOMPARE(window.findChild<QProgressBar *>(QStringLiteral("progressBar"))->value(), 100);
}

QTEST_MAIN(TestComWindow)
#include "tst_comwindow.moc"
