#include "device.h"

#include "xmodemframe.h"

#include <QDateTime>

namespace {
constexpr int BlockStallMs = 1000;
constexpr int PlainStartRequestMs = 1000;
constexpr char NoiseByte = 0x3F;
} // namespace

Device::Device(const DeviceOptions &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_nakLeft(options.nakCount)
    , m_eotNakLeft(options.eotNaks)
{
    m_blockTimer.setSingleShot(true);
    m_blockTimer.setInterval(BlockStallMs);
    connect(&m_blockTimer, &QTimer::timeout, this, &Device::onBlockStalled);
    if (m_options.noiseEveryMs > 0) {
        connect(&m_noiseTimer, &QTimer::timeout, this, [this] { emit transmit(QByteArray(1, NoiseByte)); });
        m_noiseTimer.start(m_options.noiseEveryMs);
        if (m_options.noiseForMs > 0)
            QTimer::singleShot(m_options.noiseForMs, &m_noiseTimer, &QTimer::stop);
    }
    if (m_options.plain) {
        // A plain receiver asks for CRC blocks until the sender begins.
        m_state = State::Receiving;
        m_clock.start();
        connect(&m_startTimer, &QTimer::timeout, this, &Device::requestStart);
        m_startTimer.start(PlainStartRequestMs);
        requestStart();
    }
}

void Device::requestStart()
{
    if (m_anyBlock || !m_block.isEmpty())
        m_startTimer.stop();
    else
        emit transmit(QByteArray(1, START_REQUEST));
}

QString Device::summary() const
{
    const double seconds = m_clock.isValid() ? m_clock.elapsed() / 1000.0 : 0.0;
    QString line = QStringLiteral("blocks %1, bytes %2, NAKs sent %3, bad blocks %4, %5 s - %6")
                       .arg(m_blocks)
                       .arg(m_image.size())
                       .arg(m_naksSent)
                       .arg(m_badBlocks)
                       .arg(seconds, 0, 'f', 2)
                       .arg(complete() ? QStringLiteral("image complete") : QStringLiteral("image NOT complete"));
    if (complete() && m_transferNs > 0) {
        // Measured the same way for every sender: first block in to end of transmission acknowledged.
        const double transfer = m_transferNs / 1e9;
        line += QStringLiteral("; transfer %1 s, %2 blocks/s").arg(transfer, 0, 'f', 3).arg(m_blocks / transfer, 0, 'f', 1);
    }
    return line;
}

void Device::receive(const QByteArray &bytes)
{
    for (const char byte : bytes)
        onByte(byte);
}

void Device::onByte(char byte)
{
    switch (m_state) {
    case State::AwaitFrame:
        awaitFrame(byte);
        break;
    case State::Probing:
        if (byte == PROBE_BYTE)
            onProbe();
        break;
    case State::Receiving:
        if (!m_block.isEmpty()) {
            m_block.append(byte);
            if (m_block.size() == XMODEM_BLOCK_SIZE)
                onBlock();
            else
                m_blockTimer.start();
        } else if (byte == XMODEM_SOH) {
            if (!m_transferClock.isValid())
                m_transferClock.start();
            m_block.append(byte);
            m_blockTimer.start();
        } else if (byte == XMODEM_EOT) {
            onEndOfTransmission();
        } else if (byte == PROBE_BYTE && !m_anyBlock && !m_options.plain) {
            // The sender missed our start request; ask again.
            answer(START_REQUEST);
        }
        break;
    case State::Silent:
    case State::Cancelled:
    case State::Done:
        break;
    }
}

// A Modbus-style address frame may arrive after any amount of other traffic: look at every
// eight-byte window and take the first one that is a well-formed frame.
void Device::awaitFrame(char byte)
{
    m_frameWindow.append(byte);
    if (m_frameWindow.size() > ADDRESS_FRAME_SIZE)
        m_frameWindow.remove(0, 1);
    if (m_frameWindow.size() < ADDRESS_FRAME_SIZE)
        return;
    const int address = uint8_t(m_frameWindow.at(0));
    if (m_frameWindow.mid(1, 5) != QByteArray::fromHex("0801000000"))
        return;
    if (m_frameWindow != buildAddressFrame(uint8_t(address))) {
        say(QStringLiteral("address frame with a bad CRC: %1, staying silent").arg(QString::fromLatin1(m_frameWindow.toHex(' '))));
        m_frameWindow.clear();
        return;
    }
    m_frameWindow.clear();
    if (!m_options.addresses.contains(address)) {
        say(QStringLiteral("address frame for device %1, not this one: staying silent").arg(address));
        return;
    }
    say(QStringLiteral("address frame for device %1 accepted").arg(address));
    m_address = address;
    m_clock.start();
    m_state = State::Probing;
    if (m_options.hangUpAfterMs > 0) {
        QTimer::singleShot(m_options.hangUpAfterMs, this, [this] {
            say(QStringLiteral("%1 ms after the address frame: dropping the link").arg(m_options.hangUpAfterMs));
            emit hangUpRequested();
        });
    }
}

void Device::onProbe()
{
    ++m_probes;
    if (m_noiseTimer.isActive()) {
        say(QStringLiteral("probe %1 drowned in the chatter").arg(m_probes));
        return;
    }
    if (m_probes < m_options.startAfterProbes) {
        say(QStringLiteral("probe %1 ignored").arg(m_probes));
        return;
    }
    if (m_firstAnswer && m_options.wrongStartByte >= 0) {
        m_firstAnswer = false;
        say(QStringLiteral("probe %1 answered with the wrong byte %2").arg(m_probes).arg(m_options.wrongStartByte, 2, 16, QLatin1Char('0')));
        emit transmit(QByteArray(1, char(m_options.wrongStartByte)));
        return;
    }
    if (m_firstAnswer && m_options.doubleStart) {
        m_firstAnswer = false;
        say(QStringLiteral("probe %1 answered with two start requests").arg(m_probes));
        emit transmit(QByteArray(2, START_REQUEST));
        return;
    }
    m_firstAnswer = false;
    say(QStringLiteral("probe %1 answered with the start request").arg(m_probes));
    m_state = State::Receiving;
    answer(START_REQUEST);
}

void Device::onBlock()
{
    m_blockTimer.stop();
    const QByteArray block = m_block;
    m_block.clear();
    m_anyBlock = true;

    const int number = uint8_t(block.at(1));
    const int complement = uint8_t(block.at(2));
    const char *payload = block.constData() + 3;
    const uint16_t crc = uint16_t((uint8_t(block.at(131)) << 8) | uint8_t(block.at(132)));
    if (number + complement != 255 || crc != CRC16(payload, XMODEM_PAYLOAD_SIZE)) {
        ++m_badBlocks;
        say(QStringLiteral("bad block (number %1, complement %2), NAK").arg(number).arg(complement));
        answer(XMODEM_NAK);
        return;
    }
    const int previous = m_expectedNumber == 0 ? 255 : m_expectedNumber - 1;
    if (number == previous && m_blocks > 0) {
        say(QStringLiteral("block %1 again: acknowledged, not stored twice").arg(number));
        answer(XMODEM_ACK);
        return;
    }
    if (number != m_expectedNumber) {
        say(QStringLiteral("block number %1 out of sequence (expected %2): cancelling").arg(number).arg(m_expectedNumber));
        m_state = State::Cancelled;
        emit transmit(QByteArray(2, XMODEM_CAN));
        return;
    }

    const int position = m_blocks + 1;
    if (position == m_options.silentFromBlock) {
        say(QStringLiteral("block %1: falling silent").arg(position));
        m_state = State::Silent;
        return;
    }
    if (position == m_options.cancelAtBlock) {
        say(QStringLiteral("block %1: cancelling").arg(position));
        m_state = State::Cancelled;
        emit transmit(QByteArray(1, XMODEM_CAN));
        return;
    }
    if (position == m_options.nakBlock && (m_nakLeft > 0 || m_options.nakCount <= 0)) {
        --m_nakLeft;
        say(QStringLiteral("block %1: NAK as told").arg(position));
        answer(XMODEM_NAK);
        return;
    }

    m_image.append(payload, XMODEM_PAYLOAD_SIZE);
    m_blocks = position;
    m_expectedNumber = nextBlockNumber(m_expectedNumber);
    if (m_options.verbose)
        say(QStringLiteral("block %1 (number %2) stored").arg(position).arg(number));
    answer(XMODEM_ACK);
    if (position == m_options.dropAfterBlock) {
        say(QStringLiteral("block %1: dropping the link").arg(position));
        emit hangUpRequested();
    }
}

void Device::onEndOfTransmission()
{
    if (m_eotNakLeft > 0) {
        --m_eotNakLeft;
        say(QStringLiteral("end of transmission: NAK as told"));
        answer(XMODEM_NAK);
        return;
    }
    m_state = State::Done;
    m_transferNs = m_transferClock.isValid() ? m_transferClock.nsecsElapsed() : 0;
    m_blockTimer.stop();
    answer(XMODEM_ACK);
    say(QStringLiteral("end of transmission acknowledged"));
    emit completed();
}

// A receiver that hears nothing more in the middle of a block throws the piece away and NAKs.
void Device::onBlockStalled()
{
    if (m_state != State::Receiving || m_block.isEmpty())
        return;
    say(QStringLiteral("block stalled after %1 bytes: NAK").arg(m_block.size()));
    m_block.clear();
    ++m_badBlocks;
    answer(XMODEM_NAK);
}

void Device::answer(char byte)
{
    if (byte == XMODEM_NAK)
        ++m_naksSent;
    emit transmit(QByteArray(1, byte));
}

void Device::say(const QString &line)
{
    emit note(line);
}
