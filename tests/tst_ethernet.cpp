#include <QtTest>
#include <QTcpServer>

#include "devsimprocess.h"
#include "recordingcabinet.h"
#include "runlog.h"
#include "xmodem.h"

namespace {

constexpr int Device = 1;

struct EthRun
{
    EthRun(const QString &ip, const QString &port, const QString &file)
    {
        worker.setIP(ip);
        worker.setEthPort(port);
        worker.setFileName(file);
        worker.setDevNumber(Device);
    }
    Xmodem worker;
    RunLog log{&worker};
};

QStringList successEvents(const QStringList &handshake, int size)
{
    QStringList events{QStringLiteral("status 4")};
    events << handshake << QStringLiteral("status 1");
    for (int read = 128; read < size + 128; read += 128)
        events << QStringLiteral("progress %1/%2").arg(qMin(read, size)).arg(size);
    events << QStringLiteral("status 2") << QStringLiteral("finished");
    return events;
}

int openSockets()
{
    int sockets = 0;
    for (const QFileInfo &fd : QDir(QStringLiteral("/proc/self/fd")).entryInfoList(QDir::System | QDir::NoDotAndDotDot))
        sockets += QFile::symLinkTarget(fd.filePath()).contains(QLatin1String("socket:"));
    return sockets;
}

} // namespace

// Whole Ethernet updates through a cabinet on 127.0.0.1: the device emulator, or a cabinet that
// only records what reaches it. The worker runs in the test's own thread.
class TestEthernet : public QObject
{
    Q_OBJECT
private slots:
    void wholeImageArrives_data();
    void wholeImageArrives();
    void frameComesFirst();
    void badAddressOrPort_data();
    void badAddressOrPort();
    void nobodyListening();
    void probeGroups();
    void answerEndsProbeWait();
    void twoStartRequests();
    void negativeAcknowledgements_data();
    void negativeAcknowledgements();
    void transferFailures_data();
    void transferFailures();
    void refusedBeforeConnecting_data();
    void refusedBeforeConnecting();
    void imageCutShortWhileSent();
    void cabinetDrops_data();
    void cabinetDrops();
    void stopInSecondProbe();
    void stopBeforeProbing_data();
    void stopBeforeProbing();
    void stopEndsDrain();
    void runResults_data();
    void runResults();

private:
    QString writeImage(const QByteArray &bytes) { return m_images.write(bytes); }
    ImageFiles m_images;
};

void TestEthernet::wholeImageArrives_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("4096 bytes") << 4096;
    QTest::newRow("4097 bytes, last block filled") << 4097;
    QTest::newRow("140000 bytes, beyond the serial limit, numbers wrap") << 140000;
}

void TestEthernet::wholeImageArrives()
{
    QFETCH(int, size);
    DevSim sim({QStringLiteral("--tcp"), QStringLiteral("0"), QStringLiteral("--device"), QString::number(Device)});
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    const QByteArray file = firmwareImage(size);
    EthRun run(QStringLiteral("127.0.0.1"), QString::number(sim.tcpPort()), writeImage(file));

    QCOMPARE(run.worker.connectEthDevice(), 1);
    QCOMPARE(run.log.events(), successEvents({QStringLiteral("probe")}, size));
    QCOMPARE(sim.waitForExit(), 0);
    QCOMPARE(sim.image(), filledImage(file));
}

void TestEthernet::frameComesFirst()
{
    RecordingCabinet cabinet;
    EthRun run(QStringLiteral("127.0.0.1"), cabinet.port(), writeImage(firmwareImage(4096)));
    run.log.stopAt(QStringLiteral("probe"));

    QCOMPARE(run.worker.connectEthDevice(), 1);
    QCOMPARE(run.log.events().mid(0, 2), (QStringList{QStringLiteral("status 4"), QStringLiteral("probe")}));
    QCOMPARE(cabinet.bytes().left(9), QByteArray::fromHex("010801000000E1F764"));
}

void TestEthernet::badAddressOrPort_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("port");
    QTest::addColumn<int>("status");
    QTest::newRow("empty address") << "" << "4464" << int(ERROR_BAD_IP_ADDRESS);
    QTest::newRow("address from an empty mask") << "..." << "4464" << int(ERROR_BAD_IP_ADDRESS);
    QTest::newRow("host name") << "localhost" << "4464" << int(ERROR_BAD_IP_ADDRESS);
    QTest::newRow("port 0") << "127.0.0.1" << "0" << int(ERROR_BAD_ETH_PORT);
    QTest::newRow("empty port") << "127.0.0.1" << "" << int(ERROR_BAD_ETH_PORT);
    QTest::newRow("port not a number") << "127.0.0.1" << "abc" << int(ERROR_BAD_ETH_PORT);
    QTest::newRow("negative port") << "127.0.0.1" << "-1" << int(ERROR_BAD_ETH_PORT);
    QTest::newRow("port 70000, not 4464") << "127.0.0.1" << "70000" << int(ERROR_BAD_ETH_PORT);
    QTest::newRow("port 65536, one past the last") << "127.0.0.1" << "65536" << int(ERROR_BAD_ETH_PORT);
}

void TestEthernet::badAddressOrPort()
{
    QFETCH(QString, address);
    QFETCH(QString, port);
    QFETCH(int, status);
    // 4464 is where a port of 70000 would land if it were cut to 16 bits.
    QTcpServer trap;
    const bool trapping = trap.listen(QHostAddress::LocalHost, 4464);
    EthRun run(address, port, writeImage(firmwareImage(4096)));

    QCOMPARE(run.worker.connectEthDevice(), -1);
    QCOMPARE(run.log.events(), (QStringList{QStringLiteral("status %1").arg(status), QStringLiteral("finished")}));
    if (trapping) {
        QTest::qWait(100);
        QVERIFY(!trap.hasPendingConnections());
    }
}

void TestEthernet::nobodyListening()
{
    quint16 closedPort = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        closedPort = probe.serverPort();
    }
    const int socketsBefore = openSockets();
    EthRun run(QStringLiteral("127.0.0.1"), QString::number(closedPort), writeImage(firmwareImage(4096)));
    QElapsedTimer clock;
    clock.start();

    QCOMPARE(run.worker.connectEthDevice(), -1);
    const qint64 waited = clock.elapsed();
    QCOMPARE(run.log.events(), (QStringList{QStringLiteral("status -14"), QStringLiteral("finished")}));
    QVERIFY2(waited > 2500 * 0.8 && waited < 2500 * 1.2, qPrintable(QString::number(waited)));
    QCOMPARE(openSockets(), socketsBefore);
}

// A silent device: a probe every 400 ms, and a group of seven runs straight into the next.
void TestEthernet::probeGroups()
{
    RecordingCabinet cabinet;
    EthRun run(QStringLiteral("127.0.0.1"), cabinet.port(), writeImage(firmwareImage(4096)));
    run.log.stopAt(QStringLiteral("probe"), 9);

    QCOMPARE(run.worker.connectEthDevice(), 1);
    // The stop came during probe 9, so the second group still runs to its seventh probe.
    QCOMPARE(run.log.probes(), 14);
    QVERIFY(run.log.endedCleanly());
    QTRY_COMPARE(cabinet.probeTimes().size(), 14);
    // The frame, then the probe byte 0x64 alone each time.
    QCOMPARE(cabinet.bytes(), QByteArray::fromHex("010801000000E1F7") + QByteArray(14, '\x64'));
    const QList<qint64> times = cabinet.probeTimes();
    for (int i = 1; i < times.size(); ++i) {
        const qint64 gap = times.at(i) - times.at(i - 1);
        QVERIFY2(gap > 400 * 0.8 && gap < 400 * 1.2, qPrintable(QStringLiteral("probe %1 after %2 ms").arg(i + 1).arg(gap)));
    }
}

void TestEthernet::answerEndsProbeWait()
{
    RecordingCabinet cabinet;
    cabinet.answerProbe(1, 100, QByteArray(1, XMODEM_NAK));
    EthRun run(QStringLiteral("127.0.0.1"), cabinet.port(), writeImage(firmwareImage(4096)));
    run.log.stopAt(QStringLiteral("status -7"));

    QCOMPARE(run.worker.connectEthDevice(), 1);
    QCOMPARE(run.log.events(), (QStringList{QStringLiteral("status 4"), QStringLiteral("probe"), QStringLiteral("status -7"),
                                            QStringLiteral("status -15"), QStringLiteral("finished")}));
    const qint64 answeredAfter = run.log.timeOf(QStringLiteral("status -7")) - run.log.timeOf(QStringLiteral("probe"));
    QVERIFY2(answeredAfter >= 100 && answeredAfter < 300, qPrintable(QString::number(answeredAfter)));
}

void TestEthernet::twoStartRequests()
{
    DevSim sim({QStringLiteral("--tcp"), QStringLiteral("0"), QStringLiteral("--device"), QString::number(Device),
                QStringLiteral("--double-start")});
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    const QByteArray file = firmwareImage(4096);
    EthRun run(QStringLiteral("127.0.0.1"), QString::number(sim.tcpPort()), writeImage(file));

    QCOMPARE(run.worker.connectEthDevice(), 1);
    QCOMPARE(run.log.events(),
             successEvents({QStringLiteral("probe"), QStringLiteral("status -7"), QStringLiteral("probe")}, 4096));
    QCOMPARE(sim.waitForExit(), 0);
    QCOMPARE(sim.image(), file);
}

void TestEthernet::negativeAcknowledgements_data()
{
    QTest::addColumn<QStringList>("fault");
    QTest::addColumn<QList<int>>("statuses");
    QTest::addColumn<QString>("naksSent");
    const QList<int> success{STATUS_CABINET_CONNECTED, STATUS_DEVICE_CONNECTED, STATUS_FILE_SENT};
    const QList<int> failure{STATUS_CABINET_CONNECTED, STATUS_DEVICE_CONNECTED, ERROR_LINK_LOST, ERROR_SEND_FAILED};
    QTest::newRow("block 5 NAKed once is sent again")
        << QStringList{QStringLiteral("--nak-block"), QStringLiteral("5")} << success << QStringLiteral("NAKs sent 1,");
    QTest::newRow("block 5 NAKed every time")
        << QStringList{QStringLiteral("--nak-block"), QStringLiteral("5"), QStringLiteral("--nak-count"), QStringLiteral("0")}
        << failure << QStringLiteral("NAKs sent 10,");
    QTest::newRow("end of transmission NAKed twice")
        << QStringList{QStringLiteral("--eot-nak"), QStringLiteral("2")} << success << QStringLiteral("NAKs sent 2,");
    QTest::newRow("end of transmission NAKed 10 times")
        << QStringList{QStringLiteral("--eot-nak"), QStringLiteral("10")} << failure << QStringLiteral("NAKs sent 10,");
}

void TestEthernet::negativeAcknowledgements()
{
    QFETCH(QStringList, fault);
    QFETCH(QList<int>, statuses);
    QFETCH(QString, naksSent);
    DevSim sim(QStringList{QStringLiteral("--tcp"), QStringLiteral("0"), QStringLiteral("--device"), QString::number(Device)} + fault);
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    const QByteArray file = firmwareImage(4096);
    EthRun run(QStringLiteral("127.0.0.1"), QString::number(sim.tcpPort()), writeImage(file));

    QCOMPARE(run.worker.connectEthDevice(), 1);
    QCOMPARE(run.log.statuses(), statuses);
    QVERIFY(run.log.endedCleanly());
    const bool succeeded = statuses.constLast() == STATUS_FILE_SENT;
    QCOMPARE(sim.waitForExit(), succeeded ? 0 : 1);
    QVERIFY2(sim.output().contains(naksSent), qPrintable(sim.output()));
    if (succeeded)
        QCOMPARE(sim.image(), file);
}

void TestEthernet::transferFailures_data()
{
    QTest::addColumn<QStringList>("fault");
    QTest::addColumn<QStringList>("outputs");
    QTest::addColumn<int>("noticedAfterMs"); // from the last block to -13; 0: within a second
    const QStringList timeout{QStringLiteral("XMODEM: Timeout Failed to get ACK")};
    QTest::newRow("device falls silent after block 1") << QStringList{QStringLiteral("--silent-from"), QStringLiteral("2")} << timeout << 4000;
    QTest::newRow("cabinet drops the connection after block 2") << QStringList{QStringLiteral("--drop-after"), QStringLiteral("2")} << timeout << 0;
    QTest::newRow("device cancels at block 3")
        << QStringList{QStringLiteral("--cancel-at"), QStringLiteral("3")} << QStringList{QStringLiteral("XMODEM: Unknown ACK code18")} << -1;
}

void TestEthernet::transferFailures()
{
    QFETCH(QStringList, fault);
    QFETCH(QStringList, outputs);
    QFETCH(int, noticedAfterMs);
    DevSim sim(QStringList{QStringLiteral("--tcp"), QStringLiteral("0"), QStringLiteral("--device"), QString::number(Device)} + fault);
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    EthRun run(QStringLiteral("127.0.0.1"), QString::number(sim.tcpPort()), writeImage(firmwareImage(4096)));

    QCOMPARE(run.worker.connectEthDevice(), 1);
    QCOMPARE(run.log.statuses(),
             (QList<int>{STATUS_CABINET_CONNECTED, STATUS_DEVICE_CONNECTED, ERROR_LINK_LOST, ERROR_SEND_FAILED}));
    QCOMPARE(run.log.outputs(), outputs);
    QVERIFY(run.log.endedCleanly());
    const qint64 lastBlock = run.log.timeOf(QStringLiteral("progress %1/4096").arg(run.log.progressValues().constLast()));
    const qint64 waited = run.log.timeOf(QStringLiteral("status -13")) - lastBlock;
    if (noticedAfterMs > 0)
        QVERIFY2(waited > noticedAfterMs * 0.8 && waited < noticedAfterMs * 1.2, qPrintable(QString::number(waited)));
    else if (noticedAfterMs == 0)
        QVERIFY2(waited < 1000, qPrintable(QString::number(waited)));
    QCOMPARE(sim.waitForExit(), 1);
}

void TestEthernet::refusedBeforeConnecting_data()
{
    QTest::addColumn<int>("size"); // -1: no such file, -2: a folder
    QTest::addColumn<int>("status");
    QTest::newRow("missing file") << -1 << int(ERROR_BAD_FILE_NAME);
    QTest::newRow("a folder, not a file") << -2 << int(ERROR_BAD_FILE_NAME);
    QTest::newRow("empty file") << 0 << int(ERROR_BAD_FILE_SIZE);
}

// The device must not be put into its receive mode for an image that cannot be sent.
void TestEthernet::refusedBeforeConnecting()
{
    QFETCH(int, size);
    QFETCH(int, status);
    RecordingCabinet cabinet;
    QTemporaryDir folder;
    const QString path = size == -1 ? m_images.missing() : size == -2 ? folder.path() : writeImage(firmwareImage(size));
    EthRun run(QStringLiteral("127.0.0.1"), cabinet.port(), path);

    QCOMPARE(run.worker.connectEthDevice(), 1);
    QCOMPARE(run.log.events(), (QStringList{QStringLiteral("status %1").arg(status), QStringLiteral("finished")}));
    QTest::qWait(100);
    QVERIFY(!cabinet.contacted());
}

void TestEthernet::imageCutShortWhileSent()
{
    DevSim sim({QStringLiteral("--tcp"), QStringLiteral("0"), QStringLiteral("--device"), QString::number(Device)});
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    const QString path = writeImage(firmwareImage(65536));
    EthRun run(QStringLiteral("127.0.0.1"), QString::number(sim.tcpPort()), path);
    QObject::connect(&run.worker, &Xmodem::progress, &run.worker, [&](int totalRead) {
        if (totalRead == 1024)
            QVERIFY(QFile::resize(path, 2048));
    });

    QCOMPARE(run.worker.connectEthDevice(), 1);
    QCOMPARE(run.log.statuses(), (QList<int>{STATUS_CABINET_CONNECTED, STATUS_DEVICE_CONNECTED, ERROR_SEND_FAILED}));
    QVERIFY(run.log.progressValues().constLast() < 65536);
    QVERIFY(run.log.endedCleanly());
    QCOMPARE(sim.waitForExit(), 1);
}

void TestEthernet::cabinetDrops_data()
{
    QTest::addColumn<QStringList>("fault");
    QTest::addColumn<int>("dropAfterMs");
    QTest::addColumn<QList<int>>("statuses");
    const QStringList silent{QStringLiteral("--start-after"), QStringLiteral("1000000")};
    QTest::newRow("in the pause after the frame") << QStringList{} << 100 << QList<int>{STATUS_CABINET_CONNECTED, ERROR_LINK_LOST};
    QTest::newRow("while probing") << silent << 1000 << QList<int>{STATUS_CABINET_CONNECTED, ERROR_LINK_LOST};
    QTest::newRow("while draining a chattering device")
        << silent + QStringList{QStringLiteral("--noise"), QStringLiteral("20")} << 1500
        << QList<int>{STATUS_CABINET_CONNECTED, ERROR_WRONG_ANSWER, ERROR_LINK_LOST};
}

// A cabinet that closes the connection before the transfer ends the run within about a second.
void TestEthernet::cabinetDrops()
{
    QFETCH(QStringList, fault);
    QFETCH(int, dropAfterMs);
    QFETCH(QList<int>, statuses);
    DevSim sim(QStringList{QStringLiteral("--tcp"), QStringLiteral("0"), QStringLiteral("--device"), QString::number(Device),
                           QStringLiteral("--hang-up-after"), QString::number(dropAfterMs)}
               + fault);
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    EthRun run(QStringLiteral("127.0.0.1"), QString::number(sim.tcpPort()), writeImage(firmwareImage(4096)));

    QCOMPARE(run.worker.connectEthDevice(), 1);
    QCOMPARE(run.log.statuses(), statuses);
    QVERIFY(run.log.endedCleanly());
    const qint64 ended = run.log.timeOf(QStringLiteral("finished")) - run.log.timeOf(QStringLiteral("status 4"));
    QVERIFY2(ended >= dropAfterMs * 0.7 && ended < dropAfterMs + 1300, qPrintable(QString::number(ended)));
    QCOMPARE(sim.waitForExit(), 1);
}

void TestEthernet::stopInSecondProbe()
{
    RecordingCabinet cabinet;
    EthRun run(QStringLiteral("127.0.0.1"), cabinet.port(), writeImage(firmwareImage(4096)));
    run.log.stopAt(QStringLiteral("probe"), 2);

    QCOMPARE(run.worker.connectEthDevice(), 1);
    QStringList expected{QStringLiteral("status 4"), QStringLiteral("probe"), QStringLiteral("probe"), QStringLiteral("status -15")};
    for (int probe = 3; probe <= 7; ++probe)
        expected << QStringLiteral("probe");
    expected << QStringLiteral("finished");
    QCOMPARE(run.log.events(), expected);
    QTRY_COMPARE(cabinet.probeTimes().size(), 7);
}

void TestEthernet::stopBeforeProbing_data()
{
    QTest::addColumn<bool>("duringPause");
    QTest::newRow("during the connection wait") << false;
    QTest::newRow("during the pause after the frame") << true;
}

void TestEthernet::stopBeforeProbing()
{
    QFETCH(bool, duringPause);
    RecordingCabinet cabinet;
    EthRun run(QStringLiteral("127.0.0.1"), cabinet.port(), writeImage(firmwareImage(4096)));
    if (duringPause)
        run.log.stopAt(QStringLiteral("status 4"));
    else
        QMetaObject::invokeMethod(&run.worker, &Xmodem::stop, Qt::QueuedConnection);

    QCOMPARE(run.worker.connectEthDevice(), 1);
    const QStringList expected = duringPause
        ? QStringList{QStringLiteral("status 4"), QStringLiteral("status -15"), QStringLiteral("finished")}
        : QStringList{QStringLiteral("status -15"), QStringLiteral("finished")};
    QCOMPARE(run.log.events(), expected);
    QTest::qWait(200);
    QCOMPARE(cabinet.bytes(), duringPause ? QByteArray::fromHex("010801000000E1F7") : QByteArray());
}

void TestEthernet::stopEndsDrain()
{
    DevSim sim({QStringLiteral("--tcp"), QStringLiteral("0"), QStringLiteral("--device"), QString::number(Device),
                QStringLiteral("--start-after"), QStringLiteral("1000000"), QStringLiteral("--noise"), QStringLiteral("20")});
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    EthRun run(QStringLiteral("127.0.0.1"), QString::number(sim.tcpPort()), writeImage(firmwareImage(4096)));
    constexpr int StopAfterMs = 1500;
    QTimer::singleShot(StopAfterMs, &run.worker, &Xmodem::stop);
    QElapsedTimer clock;
    clock.start();

    QCOMPARE(run.worker.connectEthDevice(), 1);
    const qint64 stoppedWithin = clock.elapsed() - StopAfterMs;
    QVERIFY(run.log.statuses().contains(ERROR_WRONG_ANSWER));
    QCOMPARE(run.log.statuses().constLast(), int(STATUS_STOPPED));
    QVERIFY(run.log.endedCleanly());
    QVERIFY2(stoppedWithin < 1000, qPrintable(QString::number(stoppedWithin)));
    QCOMPARE(sim.waitForExit(), 1);
}

void TestEthernet::runResults_data()
{
    QTest::addColumn<QStringList>("fault");
    QTest::addColumn<QString>("stopEvent");
    QTest::addColumn<QString>("verb");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<int>("acknowledged");
    QTest::addColumn<int>("retransmissions");
    const auto arguments = [](const char *option, const char *value) { return QStringList{QLatin1String(option), QLatin1String(value)}; };
    QTest::newRow("handshake stopped just before the answer") << arguments("--start-after", "3") << "probe" << "stopHandshake"
                                                               << int(RunResult::Outcome::Stopped) << 0 << 0;
    QTest::newRow("handshake stopped just after the answer: the transfer goes on")
        << arguments("--start-after", "3") << "status 1" << "stopHandshake" << int(RunResult::Outcome::Updated) << 4096 << 0;
    QTest::newRow("NAKed block counted with debug output off") << arguments("--nak-block", "2") << "" << "" << int(RunResult::Outcome::Updated) << 4096 << 1;
    QTest::newRow("abandoned while waiting for an acknowledgement")
        << arguments("--silent-from", "3") << "progress 384/4096" << "abandon" << int(RunResult::Outcome::Abandoned) << 256 << 0;
}

// The result is the worker's own: what the device acknowledged, and how the run was stopped.
void TestEthernet::runResults()
{
    QFETCH(QStringList, fault);
    QFETCH(QString, stopEvent);
    QFETCH(QString, verb);
    QFETCH(int, outcome);
    QFETCH(int, acknowledged);
    QFETCH(int, retransmissions);
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    DevSim sim(QStringList{QStringLiteral("--tcp"), QStringLiteral("0"), QStringLiteral("--device"), QString::number(Device)} + fault);
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    EthRun run(QStringLiteral("127.0.0.1"), QString::number(sim.tcpPort()), writeImage(firmwareImage(4096)));
    const QByteArray verbName = verb.toLatin1();
    if (!stopEvent.isEmpty())
        run.log.stopAt(stopEvent, 2 - int(stopEvent != QLatin1String("probe")), verbName.constData());

    run.worker.connectEthDevice();
    const RunResult &result = run.log.result();
    QVERIFY(run.log.endedCleanly());
    QCOMPARE(int(result.outcome), outcome);
    QCOMPARE(result.bytesAcknowledged, qint64(acknowledged));
    QCOMPARE(result.retransmissions, retransmissions);
    QVERIFY(result.start.isValid() && result.start <= result.end && result.end.timeSpec() == Qt::UTC);
    // A deliberate stop reads as one: no lost link, and an abandon is seen at once.
    QVERIFY(!run.log.statuses().contains(ERROR_LINK_LOST) && !run.log.statuses().contains(ERROR_SEND_FAILED));
    if (verb == QLatin1String("abandon")) {
        const qint64 seen = run.log.timeOf(QStringLiteral("finished")) - run.log.timeOf(stopEvent);
        QVERIFY2(seen < 500, qPrintable(QString::number(seen)));
    }
}

QTEST_GUILESS_MAIN(TestEthernet)
#include "tst_ethernet.moc"
