#include <QtTest>

#include "devicerecord.h"
#include "exitcodes.h"
#include "flashoptions.h"
#include "retrypolicy.h"

// The flasher's rules, in-process: the plan's lines, when a device is tried again, the exit
// code's precedence and the outcome names reports and scripts read.
class TestFlashCore : public QObject
{
    Q_OBJECT
private slots:
    void planLines_data();
    void planLines();
    void retryPolicy_data();
    void retryPolicy();
    void exitCodes_data();
    void exitCodes();
    void outcomeNames_data();
    void outcomeNames();
};

void TestFlashCore::planLines_data()
{
    QTest::addColumn<QString>("plan");
    QTest::addColumn<QString>("links"); // each joined link as "name: devices", or the error's start
    QTest::newRow("both kinds, comments, blank lines")
        << "# plant\n\neth 127.0.0.1:4041 2-4   # hall 1\nserial /dev/ttyUSB0 7\n" << "127.0.0.1:4041: 2,3,4; /dev/ttyUSB0: 7";
    QTest::newRow("same cabinet twice, default port written out") << "eth 127.0.0.1 2\neth 127.0.0.1:4040 5,6" << "127.0.0.1:4040: 2,5,6";
    QTest::newRow("IPv6 cabinet") << "eth [::1]:4041 9" << "[::1]:4041: 9";
    QTest::newRow("unknown link kind") << "eth 127.0.0.1 2\ntcp 127.0.0.1 2" << "plan.txt:2: ";
    QTest::newRow("port beyond 65535") << "\n\neth 127.0.0.1:70000 2" << "plan.txt:3: ";
    QTest::newRow("device 256") << "serial /dev/ttyS0 256" << "plan.txt:1: ";
    QTest::newRow("no devices") << "eth 127.0.0.1" << "plan.txt:1: ";
    QTest::newRow("a word too many") << "serial /dev/ttyS0 2 3" << "plan.txt:1: ";
    QTest::newRow("host name") << "eth cabinet.local 2" << "plan.txt:1: ";
    QTest::newRow("a device twice on one line") << "serial /dev/ttyS0 2,2" << "plan.txt:1: прибор 2";
    QTest::newRow("a device twice on one link") << "eth 127.0.0.1 2-4\n\neth 127.0.0.1:4040 3" << "прибор 3 на связи 127.0.0.1:4040 указан дважды: plan.txt:1 и plan.txt:3";
    QTest::newRow("a line of 4096 characters") << QStringLiteral("eth 127.0.0.1 2 #").leftJustified(4096, QLatin1Char('x')) << "127.0.0.1:4040: 2";
    QTest::newRow("a line of 4097 characters") << QStringLiteral("eth 127.0.0.1 2 #").leftJustified(4097, QLatin1Char('x')) << "plan.txt:1: строка длиннее 4096";
    QTest::newRow("one cabinet, once as an IPv4-mapped IPv6 address") << "eth [::ffff:127.0.0.1]:4041 2\neth 127.0.0.1:4041 3" << "127.0.0.1:4041: 2,3";
    QTest::newRow("a scope that reads as a path") << "eth [fe80::1%lo/x]:4040 2" << "plan.txt:1: неверная зона IPv6-адреса";
    QTest::newRow("any address, not a cabinet's") << "eth 0.0.0.0 2" << "plan.txt:1: адрес шкафа \"0.0.0.0\" - не адрес одного шкафа";
    QTest::newRow("an address with a leading zero, octal to Qt") << "eth 127.0.0.010 2" << "plan.txt:1: IP адрес шкафа \"127.0.0.010\" записан неоднозначно";
    QTest::newRow("escape sequence echoed escaped")
        << "serial /dev/ttyS0 \x1b[2J" << "plan.txt:1: неверные номера приборов \"\\x1b[2J\"";
#ifndef Q_OS_WIN // device paths and the loopback interface's name are the system's
    QTest::newRow("same serial port by name and by path") << "serial ttyUSB0 1\nserial /dev/ttyUSB0 3" << "ttyUSB0: 1,3";
    QTest::newRow("one interface by its name and its number") << "eth [fe80::1%lo]:4040 2\neth [fe80::1%1]:4040 3" << "[fe80::1%lo]:4040: 2,3";
    QTest::newRow("one serial port by two paths") << "serial /dev/null 1\nserial /dev/./null 3" << "/dev/null: 1,3";
    QTest::newRow("a device on one port by two paths") << "serial /dev/null 1\nserial /dev/../dev/null 1" << "прибор 1 на связи /dev/null указан дважды";
#endif
}

void TestFlashCore::planLines()
{
    QFETCH(QString, plan);
    QFETCH(QString, links);
    QList<LinkPlan> parsed;
    QString error;
    QList<LinkPlan> joined;
    const bool ok = parsePlan(plan, QStringLiteral("plan.txt"), &parsed, &error) && joinSameLinks(parsed, &joined, &error);
    if (links.startsWith(QLatin1String("plan.txt:")) || links.startsWith(QStringLiteral("прибор"))) {
        QVERIFY(!ok);
        QVERIFY2(error.startsWith(links), qPrintable(error));
        return;
    }
    QVERIFY2(ok, qPrintable(error));
    QStringList shown;
    for (const LinkPlan &link : qAsConst(joined)) {
        QStringList devices;
        for (int device : link.devices)
            devices << QString::number(device);
        shown << link.name() + QStringLiteral(": ") + devices.join(QLatin1Char(','));
    }
    QCOMPARE(shown.join(QStringLiteral("; ")), links);
}

using Outcome = DeviceRecord::Outcome;

void TestFlashCore::retryPolicy_data()
{
    QTest::addColumn<int>("outcome");
    QTest::addColumn<int>("status"); // the attempt's last status code
    QTest::addColumn<int>("attempt"); // of 3
    QTest::addColumn<bool>("holding");
    QTest::addColumn<bool>("retried");
    QTest::newRow("the link lost, attempts left") << int(Outcome::Failed) << -13 << 1 << false << true;
    QTest::newRow("no answer, attempts left") << int(Outcome::NoAnswer) << -15 << 2 << false << true;
    QTest::newRow("the last attempt failed") << int(Outcome::Failed) << -10 << 3 << false << false;
    QTest::newRow("updated") << int(Outcome::Updated) << 2 << 1 << false << false;
    QTest::newRow("interrupted") << int(Outcome::Interrupted) << -15 << 1 << false << false;
    QTest::newRow("the batch holds") << int(Outcome::Failed) << -13 << 1 << true << false;
    // The checks before any link opens rule these out: another attempt would repeat them.
    for (const int status : {-5, -8, -9, -11, -12})
        QTest::addRow("bad input %d", status) << int(Outcome::Failed) << status << 1 << false << false;
    QTest::newRow("a port that did not open") << int(Outcome::Failed) << -4 << 1 << false << true;
}

void TestFlashCore::retryPolicy()
{
    QFETCH(int, outcome);
    QFETCH(int, status);
    QFETCH(int, attempt);
    QFETCH(bool, holding);
    QFETCH(bool, retried);
    QCOMPARE(retry::mayRetry(Outcome(outcome), status, attempt, 3, holding), retried);
}

void TestFlashCore::exitCodes_data()
{
    QTest::addColumn<bool>("allUpdated");
    QTest::addColumn<bool>("interrupted");
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<int>("lateSignal");
    QTest::addColumn<bool>("recordsLost");
    QTest::addColumn<bool>("outputFailed");
    QTest::addColumn<bool>("standardOutputFailed");
    QTest::addColumn<int>("code");
    QTest::newRow("every device updated") << true << false << 0 << 0 << false << false << false << 0;
    QTest::newRow("a device not updated") << false << false << 0 << 0 << false << false << false << 1;
    QTest::newRow("a ledger row lost") << true << false << 0 << 0 << true << false << false << 4;
    QTest::newRow("a row lost, a device not updated") << false << false << 0 << 0 << true << false << false << 4;
    QTest::newRow("an output not written, a row lost too") << false << false << 0 << 0 << true << true << false << 3;
    QTest::newRow("standard output cut") << true << false << 0 << 0 << false << false << true << 3;
    QTest::newRow("Ctrl-C, an output not written") << false << true << 0 << 0 << true << true << true << 130;
    QTest::newRow("SIGTERM after a Ctrl-C") << false << true << 15 << 0 << false << false << false << 143;
    QTest::newRow("SIGHUP after the last device") << true << false << 0 << 1 << false << false << true << 129;
    QTest::newRow("SIGTERM after the last device, a row lost") << true << false << 0 << 15 << true << true << false << 143;
}

void TestFlashCore::exitCodes()
{
    QFETCH(bool, allUpdated);
    QFETCH(bool, interrupted);
    QFETCH(int, signalNumber);
    QFETCH(int, lateSignal);
    QFETCH(bool, recordsLost);
    QFETCH(bool, outputFailed);
    QFETCH(bool, standardOutputFailed);
    const int batch = batchExitCode({allUpdated, interrupted, signalNumber, lateSignal, recordsLost, outputFailed});
    QTEST(standardOutputFailed ? withOutputFailure(batch) : batch, "code");
}

void TestFlashCore::outcomeNames_data()
{
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QString>("name"); // for reports and scripts
    QTest::addColumn<QString>("text"); // for the operator
    QTest::newRow("updated") << int(Outcome::Updated) << "updated" << "обновлён";
    QTest::newRow("failed") << int(Outcome::Failed) << "failed" << "ошибка";
    QTest::newRow("no answer") << int(Outcome::NoAnswer) << "no answer" << "нет ответа";
    QTest::newRow("interrupted") << int(Outcome::Interrupted) << "interrupted" << "прерван";
    QTest::newRow("not started") << int(Outcome::NotStarted) << "not started" << "не начат";
}

void TestFlashCore::outcomeNames()
{
    QFETCH(int, outcome);
    QFETCH(QString, name);
    QFETCH(QString, text);
    QCOMPARE(outcomeName(Outcome(outcome)), name);
    QCOMPARE(outcomeText(Outcome(outcome)), text);
}

QTEST_GUILESS_MAIN(TestFlashCore)
#include "tst_flashcore.moc"
