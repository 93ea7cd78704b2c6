#include "xmodem.h"

#include "boundedwait.h"
#include "serialwaits.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QLoggingCategory>
#include <QMetaMethod>
#include <QScopeGuard>
#include <QSerialPort>
#include <QTcpSocket>
#include <QThread>

#include <algorithm>
#include <memory>

namespace {

// The worker's debug lines go where qDebug() puts them, the default category, but cost nothing
// while that is off: qDebug() would format every line, a few per block, only to drop it.
const QLoggingCategory &workerLog()
{
    return *QLoggingCategory::defaultCategory();
}

} // namespace

// A block sent again: a category of its own, so that it can be watched without every other
// debug line. The run's result counts retransmissions whatever the logging rules say.
Q_LOGGING_CATEGORY(resendLog, "vorlex.resend", QtDebugMsg)

namespace {

constexpr int SerialPauseAfterFrameMs = 400;
constexpr int SerialAnswerWaitMs = 500;
constexpr int EthConnectWaitMs = 2500;
constexpr int EthPauseAfterFrameMs = 400;
constexpr int EthProbeWaitMs = 400;
constexpr int EthProbesPerGroup = 7;
constexpr int DrainWindowMs = 300;
constexpr int AckPassMs = 1000;
constexpr int AckPasses = 4;
constexpr int DrainMsPerPayloadByte = 20;

// Looks at the link itself before calling it quiet: a port's notification may not have come
// for bytes it already holds.
bool inputWaiting(QIODevice *link)
{
    if (link->bytesAvailable() > 0)
        return true;
    auto *port = qobject_cast<QSerialPort *>(link);
    return port && serialwaits::inputHeld(port);
}

// Looked at from inside a wait, at each of its wake-ups. Bytes found are read by the caller; a
// port gone ends the wait for the caller to see, as linkClosed() does.
bool answerHeld(QSerialPort *port)
{
    return serialwaits::inputHeld(port) || port->error() == QSerialPort::ResourceError;
}

// The link closed under a wait: a cabinet that hung up, a port that went away.
bool linkClosed(QIODevice *link)
{
    if (auto *socket = qobject_cast<QAbstractSocket *>(link))
        return socket->state() != QAbstractSocket::ConnectedState;
    if (auto *port = qobject_cast<QSerialPort *>(link))
        return !port->isOpen() || port->error() == QSerialPort::ResourceError;
    return !link->isOpen();
}

// An image that cannot be opened for reading (missing, a folder, no permission).
bool imageReadable(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly);
}

} // namespace

// The line goes to the debug log as qDebug() would write it and to the trace for a transcript;
// nothing is formatted when neither wants it.
template <typename... Parts>
void Xmodem::debugLine(const QLoggingCategory &category, const Parts &...parts)
{
    const bool traced = m_events->traceWanted();
    if (!traced && !category.isDebugEnabled())
        return;
    QString line;
    {
        QDebug stream(&line);
        (stream << ... << parts);
    }
    while (line.endsWith(QLatin1Char(' ')))
        line.chop(1);
    if (category.isDebugEnabled())
        QMessageLogger(nullptr, 0, nullptr, category.categoryName()).debug().noquote() << line;
    if (traced)
        emit m_events->trace(line);
}

Xmodem::Xmodem(QObject *parent)
    : QObject(parent)
    , serialPort(nullptr)
    , ethSocket(nullptr)
    , blockNumber(0)
    , runCounter(0)
    , ethConnected(false)
    , devNumber(0)
    , m_events(new RunEvents(this))
{
}

Xmodem::~Xmodem() = default;

void Xmodem::setPortName(QString portname) { portName = portname; }
QString Xmodem::getPortName() { return portName; }
void Xmodem::setFileName(QString filename) { fileName = filename; }
QString Xmodem::getFileName() { return fileName; }
void Xmodem::setIP(QString ipAddr) { ipAddress = ipAddr; }
QString Xmodem::getIP() { return ipAddress; }
void Xmodem::setEthPort(QString ethport) { ethPort = ethport; }
QString Xmodem::getEthPort() { return ethPort; }
void Xmodem::setDevNumber(uint8_t dNumber) { devNumber = dNumber; }
uint8_t Xmodem::getDevNumber() { return devNumber; }

void Xmodem::readEth() {}
void Xmodem::socketEthConnected() { ethConnected = true; }
void Xmodem::socketEthDisConnected() { ethConnected = false; }

uint16_t Xmodem::CRC16_2(const QByteArray *buf)
{
    // Callable by name from anywhere: no buffer is an empty one.
    return crc16Modbus(buf ? *buf : QByteArray());
}

void Xmodem::setImage(QByteArray image)
{
    m_image = image;
    m_hasImage = true;
}

void Xmodem::stop()
{
    // Nothing may follow finished(): a stop that arrives after the run has no run to stop.
    if (m_runOver)
        return;
    report(STATUS_STOPPED);
    runCounter = -127;
}

void Xmodem::stopHandshake()
{
    if (m_runOver)
        return;
    m_stopAtOnce = true;
    stop();
}

void Xmodem::abandon()
{
    if (m_runOver || m_abandonRequested)
        return;
    m_abandonRequested = true;
    runCounter = -127;
    report(STATUS_STOPPED);
}

bool Xmodem::abandoned() const
{
    return m_abandonRequested || QThread::currentThread()->isInterruptionRequested();
}

void Xmodem::report(int status)
{
    m_result.previousStatus = m_result.lastStatus;
    m_result.lastStatus = status;
    m_result.portName = portName;
    emit status_dev(status);
}

int Xmodem::endRun(int result)
{
    if (m_result.lastStatus == STATUS_FILE_SENT)
        m_result.outcome = RunResult::Outcome::Updated;
    else if (abandoned())
        m_result.outcome = RunResult::Outcome::Abandoned;
    else if (m_handshakeStopped)
        m_result.outcome = RunResult::Outcome::Stopped;
    else
        m_result.outcome = RunResult::Outcome::Failed;
    m_result.end = QDateTime::currentDateTimeUtc();
    m_runOver = true;
    emit m_events->result(m_result);
    emit finished();
    return result;
}

int Xmodem::connectDevice()
{
    // Created here, in the run's thread, so that the port's notifiers belong to it.
    const std::unique_ptr<QSerialPort> port(new QSerialPort);
    const auto forgetPort = qScopeGuard([this] { serialPort = nullptr; });
    m_result.start = QDateTime::currentDateTimeUtc();

    if (portName.isEmpty()) {
        report(ERROR_NO_INTERFACE);
        return endRun(-1);
    }
    if (fileName.isEmpty() && !m_hasImage) {
        report(ERROR_BAD_FILE_NAME);
        return endRun(1);
    }
    const qint64 size = m_hasImage ? m_image.size() : QFileInfo(fileName).size();
    m_result.imageSize = size;
    if (size > MaxSerialFileSize || size < MinSerialFileSize) {
        report(ERROR_BAD_FILE_SIZE);
        return endRun(1);
    }
    if (!m_hasImage && !imageReadable(fileName)) {
        report(ERROR_BAD_FILE_NAME);
        return endRun(1);
    }

    port->setPortName(portName);
    port->setBaudRate(QSerialPort::Baud19200);
    port->setDataBits(QSerialPort::Data8);
    port->setParity(QSerialPort::NoParity);
    port->setStopBits(QSerialPort::OneStop);
    port->setFlowControl(QSerialPort::NoFlowControl);
    if (!port->open(QIODevice::ReadWrite)) {
        report(ERROR_PORT_NOT_OPENING);
        if (port->isOpen())
            port->close();
        return endRun(1);
    }

    // The answer's wait, for the systems whose port is waited on through the event loop.
    BoundedWait answerWait([this] { return m_abandonRequested; });
    answerWait.endOn(port.get(), &QIODevice::readyRead);
    answerWait.endOn(port.get(), &QSerialPort::errorOccurred);

    runCounter = 1;
    // Not checked here: a frame the line did not take gets no answer, and the probes below go
    // on until the port fails or the operator stops.
    port->write(buildAddressFrame(devNumber));
    BoundedWait pause([this] { return m_abandonRequested; });
    pause.wait(SerialPauseAfterFrameMs);

    for (;;) {
        // The answer wait below blocks without dispatching events; a stop() queued during it
        // is delivered here, so it ends the loop at the next attempt.
        QCoreApplication::processEvents();
        if (runCounter <= 0 || abandoned()) {
            m_handshakeStopped = true;
            break;
        }
        if (!port->isOpen()) {
            report(ERROR_PORT_NOT_OPENING);
            return endRun(1);
        }
        port->clear();
        port->clearError();
        debugLine(workerLog(), "Try connect");
        ++m_result.probes;
        emit start_transmit();
        // A probe the line did not take is a probe without an answer: the wait below catches it.
        port->write(&PROBE_BYTE, 1);
        port->flush();
        serialwaits::awaitAnswer(port.get(), SerialAnswerWaitMs, answerWait);
        ++runCounter;
        if (port->error() == QSerialPort::ResourceError) {
            // The port went away (adapter unplugged, line hung up): every further wait would
            // fail at once and the loop would spin, so it counts as a port that closed.
            report(ERROR_PORT_NOT_OPENING);
            port->close();
            return endRun(1);
        }
        if (port->bytesAvailable() <= 0)
            continue;

        const QByteArray answer = port->readAll();
        debugLine(workerLog(), "Total bytes aviable after answer ", answer.size(), "  data[0]=", int(qint8(answer.at(0))));
        if (answer.size() == 1 && answer.at(0) == START_REQUEST) {
            m_result.answered = true;
            report(STATUS_DEVICE_CONNECTED);
            serialPort = port.get();
            port->clear();
            // An abandoned transfer is the owner's doing, not a failed one.
            if (!sendFile(fileName) && !abandoned())
                report(ERROR_SEND_FAILED);
            break;
        }
        report(ERROR_WRONG_ANSWER);
        drain(port.get());
    }

    if (port->isOpen())
        port->close();
    return endRun(1);
}

int Xmodem::connectEthDevice()
{
    BoundedWait wait([this] { return m_abandonRequested; });
    const std::unique_ptr<QTcpSocket> socket(new QTcpSocket);
    ethSocket = socket.get();
    const auto forgetSocket = qScopeGuard([this] { ethSocket = nullptr; });
    m_result.start = QDateTime::currentDateTimeUtc();

    QHostAddress address;
    if (!address.setAddress(ipAddress)) {
        report(ERROR_BAD_IP_ADDRESS);
        return endRun(-1);
    }
    // The port as typed or not at all: narrowing "70000" would reach a port nobody named.
    bool portOk = false;
    const int port = ethPort.toInt(&portOk, 10);
    if (!portOk || port < 1 || port > 65535) {
        report(ERROR_BAD_ETH_PORT);
        return endRun(-1);
    }
    // Found out after the start request, a bad image would leave the device waiting in its
    // receive mode; and an empty one would pass for a sent file.
    if (!m_hasImage && !imageReadable(fileName)) {
        report(ERROR_BAD_FILE_NAME);
        return endRun(1);
    }
    m_result.imageSize = m_hasImage ? m_image.size() : QFileInfo(fileName).size();
    if (m_result.imageSize <= 0) {
        report(ERROR_BAD_FILE_SIZE);
        return endRun(1);
    }

    connect(socket.get(), &QTcpSocket::connected, this, &Xmodem::socketEthConnected);
    connect(socket.get(), &QTcpSocket::disconnected, this, &Xmodem::socketEthDisConnected);
    const QMetaObject::Connection connectedEndsWait = wait.endOn(socket.get(), &QTcpSocket::connected);
    wait.endOn(socket.get(), &QTcpSocket::disconnected);

    socket->connectToHost(ipAddress, quint16(port), QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
    wait.wait(EthConnectWaitMs);
    if (!ethConnected) {
        debugLine(workerLog(), "Timeout failed to connect Eth device");
        socket->abort();
        report(ERROR_ETH_CONNECT);
        return endRun(-1);
    }

    // stop() is the only thing that makes the counter negative before probing starts.
    const auto stoppedBeforeProbing = [this] { return runCounter < 0 || abandoned(); };
    if (stoppedBeforeProbing()) {
        m_handshakeStopped = true;
        socket->close();
        return endRun(1);
    }

    // Probes written into a connection the cabinet has closed would go on for ever.
    const auto cabinetGone = [&] { return !ethConnected || socket->state() != QAbstractSocket::ConnectedState; };
    const auto linkLost = [&] {
        debugLine(workerLog(), "the cabinet closed the connection");
        report(ERROR_LINK_LOST);
        socket->abort();
        return endRun(1);
    };

    // One small message at a time, each waiting for its answer: nothing to gain from Nagle.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    report(STATUS_CABINET_CONNECTED);
    // A write to a socket fails only with the connection, which cabinetGone() sees below.
    socket->write(buildAddressFrame(devNumber));
    wait.wait(EthPauseAfterFrameMs);
    disconnect(connectedEndsWait);
    wait.endOn(socket.get(), &QIODevice::readyRead);
    if (stoppedBeforeProbing()) {
        m_handshakeStopped = true;
        socket->close();
        return endRun(1);
    }

    runCounter = 1;
    while (runCounter > 0 && !abandoned()) {
        if (cabinetGone())
            return linkLost();
        // stop() lets the group run out; stopHandshake() ends it at the next probe.
        for (int probe = 1; probe <= EthProbesPerGroup && !(m_stopAtOnce && runCounter <= 0) && !abandoned(); ++probe) {
            ++runCounter;
            debugLine(workerLog(), "Try connect");
            ++m_result.probes;
            emit start_transmit();
            // As the frame's: a lost connection is seen by cabinetGone().
            socket->write(&PROBE_BYTE, 1);
            wait.wait(EthProbeWaitMs);
            if (socket->bytesAvailable() > 0 || cabinetGone())
                break;
        }
        if (socket->bytesAvailable() <= 0)
            continue;

        const QByteArray answer = socket->readAll();
        debugLine(workerLog(), "Total bytes Ethernet aviable after answer ", answer.size(), "  data[0]=",
                  answer.isEmpty() ? 0 : int(qint8(answer.at(0))));
        if (answer.isEmpty())
            continue;
        if (answer.size() == 1 && answer.at(0) == START_REQUEST) {
            m_result.answered = true;
            report(STATUS_DEVICE_CONNECTED);
            if (!sendEthFile(fileName) && !abandoned())
                report(ERROR_SEND_FAILED);
            break;
        }
        report(ERROR_WRONG_ANSWER);
        drain(socket.get());
    }
    if (!m_result.answered)
        m_handshakeStopped = true;

    if (socket->isOpen())
        socket->close();
    return endRun(1);
}

bool Xmodem::sendFile(QString filePath)
{
    debugLine(workerLog(), "send File");
    return transferFile(serialPort, filePath);
}

bool Xmodem::sendEthFile(QString filePath)
{
    debugLine(workerLog(), "send File from Ethernet");
    return transferFile(ethSocket, filePath);
}

bool Xmodem::transferFile(QIODevice *link, const QString &filePath)
{
    // Both transfers are public slots: called outside a run, there is no link to send on.
    if (!link || !link->isOpen()) {
        debugLine(workerLog(), "no open link to send", filePath, "on");
        return false;
    }
    if (m_hasImage) {
        QBuffer image(&m_image);
        image.open(QIODevice::ReadOnly);
        return transferImage(link, &image, m_image.size(), filePath);
    }
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly)) {
        debugLine(workerLog(), "failed to open file", filePath);
        return false;
    }
    // The image is the size it had when opened: a file cut short or failing to read while it
    // is sent must never pass for sent, and only the last block may be a short one.
    return transferImage(link, &file, file.size(), filePath);
}

bool Xmodem::transferImage(QIODevice *link, QIODevice *source, qint64 imageSize, const QString &name)
{
    // One timer and loop for every acknowledgement of the transfer, not a new pair per block.
    // A link that closes under it ends the wait at once.
    BoundedWait ackWait([this] { return m_abandonRequested; });
    ackWait.endOn(link, &QIODevice::readyRead);
    if (auto *socket = qobject_cast<QAbstractSocket *>(link))
        ackWait.endOn(socket, &QAbstractSocket::disconnected);
    else if (auto *port = qobject_cast<QSerialPort *>(link)) {
        ackWait.endOn(port, &QSerialPort::errorOccurred);
        // A port may hold the answer without saying so (a notification lost after a zero-byte
        // read): the wait's 100 ms wake-ups look for it, so that such an answer costs at most
        // that and not the whole pass.
        ackWait.endWhen([port] { return answerHeld(port); });
    }
    const auto failed = [this] {
        // Given up by the owner, not lost.
        if (!abandoned())
            report(ERROR_LINK_LOST);
        return false;
    };
    m_result.imageSize = imageSize;
    blockNumber = 1;
    int totalRead = 0;
    char payload[XMODEM_PAYLOAD_SIZE];
    while (totalRead < imageSize) {
        const qint64 wanted = std::min<qint64>(XMODEM_PAYLOAD_SIZE, imageSize - totalRead);
        const qint64 count = source->read(payload, wanted);
        if (count != wanted) {
            debugLine(workerLog(), "failed to read file", name, "at", totalRead, "of", imageSize, source->errorString());
            return false;
        }
        totalRead += int(count);
        std::fill(payload + count, payload + XMODEM_PAYLOAD_SIZE, XMODEM_FILL_BYTE);
        emit progress(totalRead, imageSize);

        const QByteArray block = buildBlock(blockNumber, payload);
        blockNumber = nextBlockNumber(blockNumber);
        if (!deliver(link, block, ackWait))
            return failed();
        m_result.bytesAcknowledged = totalRead;
    }

    debugLine(workerLog(), "wait XMODEM_EOT");
    if (!deliver(link, QByteArray(1, XMODEM_EOT), ackWait))
        return failed();
    debugLine(workerLog(), "file sent");
    if (link == serialPort)
        debugLine(workerLog(), link->readAll());
    report(STATUS_FILE_SENT);
    return true;
}

// Sends one block, or the end of transmission, and waits for its answer. A NAK asks for the
// very same bytes again; only an ACK lets the transfer go on.
bool Xmodem::deliver(QIODevice *link, const QByteArray &message, BoundedWait &ackWait)
{
    auto *socket = qobject_cast<QAbstractSocket *>(link);
    const bool isBlock = message.size() > 1;
    for (int transmission = 1; transmission <= MaxTransmissions; ++transmission) {
        if (abandoned())
            return false;
        if (transmission > 1) {
            ++m_result.retransmissions;
            if (isBlock)
                debugLine(resendLog(), "resend block", int(uint8_t(message.at(1))), "transmission", transmission);
            else
                debugLine(resendLog(), "resend XMODEM_EOT transmission", transmission);
        }
        // Bytes the link did not take get no ACK: the answer's wait below ends the transfer.
        link->write(message);
        if (isBlock && link == serialPort)
            serialwaits::pushWritten(serialPort, XMODEM_PAYLOAD_SIZE * DrainMsPerPayloadByte);
        // Hand the bytes to the network now rather than when the wait's loop gets round to it:
        // the device can answer that much sooner.
        if (socket)
            socket->flush();

        const int answer = waitAck(link, AckPassMs, ackWait);
        if (!isBlock)
            debugLine(workerLog(), "Wait ACK 1000");
        if (answer == XMODEM_ACK)
            return true;
        if (answer != XMODEM_NAK)
            return false;
    }
    debugLine(workerLog(), "no ACK after", MaxTransmissions, "transmissions");
    return false;
}

// wait ends early on the link's readyRead().
int Xmodem::waitAck(QIODevice *link, int timeoutMs, BoundedWait &wait)
{
    for (int pass = 0; pass < AckPasses && !inputWaiting(link) && !abandoned() && !linkClosed(link); ++pass)
        wait.wait(timeoutMs);

    if (!inputWaiting(link)) {
        debugLine(workerLog(), "Timeout failed to get ack");
        emit output(tr("XMODEM: Timeout Failed to get ACK"));
        return -1;
    }
    const auto code = uint8_t(link->readAll().at(0));
    if (code == XMODEM_ACK) {
        debugLine(workerLog(), "ACK");
        return XMODEM_ACK;
    }
    if (code == XMODEM_NAK) {
        debugLine(workerLog(), "NAK");
        return XMODEM_NAK;
    }
    const QString hex = QString::asprintf("%02X", code);
    debugLine(workerLog(), "unknown ACK code:", hex.toLatin1().constData());
    emit output(tr("XMODEM: Unknown ACK code") + hex);
    return code;
}

// After a wrong answer: throw away whatever the device keeps sending until it has been quiet
// for a whole window. A stop ends it too, so a chattering device cannot hold the run.
void Xmodem::drain(QIODevice *link)
{
    auto *port = qobject_cast<QSerialPort *>(link);
    auto *socket = qobject_cast<QAbstractSocket *>(link);
    const auto discard = [&] {
        if (port) {
            port->clear();
            port->clearError();
        } else {
            link->readAll();
        }
    };
    if (port)
        port->clear();

    BoundedWait wait([this] { return m_abandonRequested; });
    wait.endOn(link, &QIODevice::readyRead);
    if (socket)
        wait.endOn(socket, &QAbstractSocket::disconnected);
    while (runCounter > 0 && !abandoned()) {
        wait.wait(DrainWindowMs);
        if (socket && socket->state() != QAbstractSocket::ConnectedState)
            break;
        if (!inputWaiting(link))
            break;
        discard();
    }
}
