#include <QtTest>

#include "runlog.h"
#include "xmodem.h"

// The worker object on its own: what a fresh one holds, and what stop() does.
class TestWorker : public QObject
{
    Q_OBJECT
private slots:
    void freshWorker();
    void slotsInvokableByName_data();
    void slotsInvokableByName();
    void stopReportsEveryTime();
    void transferWithoutLinkFails();
};

void TestWorker::freshWorker()
{
    Xmodem worker;
    QCOMPARE(worker.getPortName(), QString());
    QCOMPARE(worker.getFileName(), QString());
    QCOMPARE(worker.getIP(), QString());
    QCOMPARE(worker.getEthPort(), QString());
    QCOMPARE(worker.getDevNumber(), uint8_t(0));

    worker.setPortName(QStringLiteral("/dev/ttyS0"));
    worker.setFileName(QStringLiteral("fw.bin"));
    worker.setIP(QStringLiteral("127.0.0.1"));
    worker.setEthPort(QStringLiteral("4040"));
    worker.setDevNumber(200);
    QCOMPARE(worker.getPortName(), QStringLiteral("/dev/ttyS0"));
    QCOMPARE(worker.getFileName(), QStringLiteral("fw.bin"));
    QCOMPARE(worker.getIP(), QStringLiteral("127.0.0.1"));
    QCOMPARE(worker.getEthPort(), QStringLiteral("4040"));
    QCOMPARE(worker.getDevNumber(), uint8_t(200));
}

// The window and the thread reach the worker by these signatures and by their method indexes:
// five signals, then the slots, each public, at the same place whatever is added after them.
void TestWorker::slotsInvokableByName_data()
{
    QTest::addColumn<QString>("signature");
    QTest::addColumn<int>("index");
    int index = 0;
    for (const char *signature :
         {"output(QString)", "start_transmit()", "finished()", "status_dev(int)", "progress(int,qlonglong)",
          "setPortName(QString)", "getPortName()", "setFileName(QString)", "getFileName()", "setIP(QString)", "getIP()",
          "setEthPort(QString)", "getEthPort()", "setDevNumber(uint8_t)", "getDevNumber()", "sendFile(QString)",
          "connectDevice()", "connectEthDevice()", "sendEthFile(QString)", "readEth()", "socketEthConnected()",
          "socketEthDisConnected()", "CRC16_2(const QByteArray*)", "stop()"})
        QTest::newRow(signature) << QString::fromLatin1(signature) << index++;
}

void TestWorker::slotsInvokableByName()
{
    QFETCH(QString, signature);
    QFETCH(int, index);
    const QMetaObject &meta = Xmodem::staticMetaObject;
    const QMetaMethod method = meta.method(meta.methodOffset() + index);
    QCOMPARE(QString::fromLatin1(method.methodSignature()), QString::fromLatin1(QMetaObject::normalizedSignature(qPrintable(signature))));
    QCOMPARE(method.methodType(), index < 5 ? QMetaMethod::Signal : QMetaMethod::Slot);
    QCOMPARE(method.access(), QMetaMethod::Public);
}

void TestWorker::stopReportsEveryTime()
{
    Xmodem worker;
    RunLog log(&worker);
    QVERIFY(QMetaObject::invokeMethod(&worker, "readEth"));
    QVERIFY(QMetaObject::invokeMethod(&worker, "stop"));
    worker.stop();
    QCOMPARE(log.statuses(), (QList<int>{STATUS_STOPPED, STATUS_STOPPED}));
    QCOMPARE(log.m_finished.count(), 0);
}

void TestWorker::transferWithoutLinkFails()
{
    Xmodem worker;
    RunLog log(&worker);
    for (const char *transfer : {"sendFile", "sendEthFile"}) {
        bool sent = true;
        QVERIFY(QMetaObject::invokeMethod(&worker, transfer, Q_RETURN_ARG(bool, sent), Q_ARG(QString, QStringLiteral("fw.bin"))));
        QVERIFY(!sent);
    }
    QVERIFY(log.events().isEmpty());
}

QTEST_GUILESS_MAIN(TestWorker)
#include "tst_worker.moc"
