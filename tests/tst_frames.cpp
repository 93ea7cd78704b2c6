#include <QtTest>

#include "xmodem.h"

// The bytes that go on the wire: both checksums, the device-address frame and the XMODEM block.
class TestFrames : public QObject
{
    Q_OBJECT
private slots:
    void checksums_data();
    void checksums();
    void modbusChecksumByName();
    void addressFrame_data();
    void addressFrame();
    void blockLayout_data();
    void blockLayout();
    void blockNumbersWrap();
    void protocolBytes_data();
    void protocolBytes();
};

void TestFrames::checksums_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("xmodem");
    QTest::addColumn<int>("modbus");
    QTest::newRow("check digits") << QByteArray("123456789") << 0x31C3 << 0x4B37;
    QTest::newRow("empty") << QByteArray() << 0x0000 << 0xFFFF;
    QTest::newRow("128 zero bytes") << QByteArray(128, '\0') << 0x0000 << 0xFBFE;
    QTest::newRow("frame head of device 1") << QByteArray::fromHex("010801000000") << 0x3139 << 0xF7E1;
}

void TestFrames::checksums()
{
    QFETCH(QByteArray, input);
    QFETCH(int, xmodem);
    QFETCH(int, modbus);
    QCOMPARE(int(CRC16(input.constData(), input.size())), xmodem);
    Xmodem worker;
    QCOMPARE(int(worker.CRC16_2(&input)), modbus);
}

void TestFrames::modbusChecksumByName()
{
    Xmodem worker;
    const QByteArray digits("123456789");
    uint16_t result = 0;
    QVERIFY(QMetaObject::invokeMethod(&worker, "CRC16_2", Qt::DirectConnection, Q_RETURN_ARG(uint16_t, result),
                                      Q_ARG(const QByteArray *, &digits)));
    QCOMPARE(result, uint16_t(0x4B37));
    const QByteArray *none = nullptr;
    QVERIFY(QMetaObject::invokeMethod(&worker, "CRC16_2", Qt::DirectConnection, Q_RETURN_ARG(uint16_t, result),
                                      Q_ARG(const QByteArray *, none)));
    QCOMPARE(result, uint16_t(0xFFFF));
    QCOMPARE(CRC16(digits.constData(), 0), uint16_t(0));
    QCOMPARE(CRC16(digits.constData(), -5), uint16_t(0));
}

void TestFrames::addressFrame_data()
{
    QTest::addColumn<int>("device");
    QTest::addColumn<QByteArray>("frame");
    QTest::newRow("0") << 0 << QByteArray::fromHex("000801000000E026");
    QTest::newRow("1") << 1 << QByteArray::fromHex("010801000000E1F7");
    QTest::newRow("128") << 128 << QByteArray::fromHex("800801000000FFE6");
    QTest::newRow("200") << 200 << QByteArray::fromHex("C80801000000F06E");
    QTest::newRow("255") << 255 << QByteArray::fromHex("FF0801000000F429");
}

void TestFrames::addressFrame()
{
    QFETCH(int, device);
    QFETCH(QByteArray, frame);
    QCOMPARE(buildAddressFrame(uint8_t(device)), frame);
}

void TestFrames::blockLayout_data()
{
    QTest::addColumn<int>("number");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<QByteArray>("crc");
    const QByteArray zeros(128, '\0');
    QByteArray digits(128, char(0xFF));
    digits.replace(0, 9, "123456789");
    QTest::newRow("block 1, zeros") << 1 << zeros << QByteArray::fromHex("0101FE") << QByteArray::fromHex("0000");
    QTest::newRow("block 255") << 255 << zeros << QByteArray::fromHex("01FF00") << QByteArray::fromHex("0000");
    QTest::newRow("block 0") << 0 << zeros << QByteArray::fromHex("0100FF") << QByteArray::fromHex("0000");
    QTest::newRow("short payload filled with FF") << 33 << digits << QByteArray::fromHex("0121DE")
                                                  << QByteArray::fromHex("4D46");
}

void TestFrames::blockLayout()
{
    QFETCH(int, number);
    QFETCH(QByteArray, payload);
    QFETCH(QByteArray, header);
    QFETCH(QByteArray, crc);
    const QByteArray block = buildBlock(number, payload.constData());
    QCOMPARE(block.size(), 133);
    QCOMPARE(block.left(3), header);
    QCOMPARE(block.mid(3, 128), payload);
    QCOMPARE(block.right(2), crc);
}

void TestFrames::blockNumbersWrap()
{
    int n = 1;
    QList<int> seen;
    for (int i = 0; i < 257; ++i) {
        seen << n;
        n = nextBlockNumber(n);
    }
    QCOMPARE(seen.at(254), 255);
    QCOMPARE(seen.at(255), 0);
    QCOMPARE(seen.at(256), 1);
}

// The bytes as the device documents them: the program, the emulator and the test cabinet share
// one header, so only this ties them to the device.
void TestFrames::protocolBytes_data()
{
    QTest::addColumn<int>("byte");
    QTest::addColumn<int>("documented");
    QTest::newRow("SOH, first byte of a block") << int(XMODEM_SOH) << 0x01;
    QTest::newRow("EOT, after the last block") << int(XMODEM_EOT) << 0x04;
    QTest::newRow("ACK") << int(XMODEM_ACK) << 0x06;
    QTest::newRow("NAK") << int(XMODEM_NAK) << 0x15;
    QTest::newRow("probe, d") << int(PROBE_BYTE) << 0x64;
    QTest::newRow("start request, C") << int(START_REQUEST) << 0x43;
    QTest::newRow("fill of the last block") << int(uint8_t(XMODEM_FILL_BYTE)) << 0xFF;
    QTest::newRow("payload") << XMODEM_PAYLOAD_SIZE << 128;
    QTest::newRow("block") << XMODEM_BLOCK_SIZE << 133;
}

void TestFrames::protocolBytes()
{
    QFETCH(int, byte);
    QFETCH(int, documented);
    QCOMPARE(byte, documented);
}

QTEST_GUILESS_MAIN(TestFrames)
#include "tst_frames.moc"
