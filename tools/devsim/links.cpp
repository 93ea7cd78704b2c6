#include "links.h"

#include <QHostAddress>
#include <QSerialPort>
#include <QTcpServer>
#include <QTcpSocket>

#include <algorithm>

SerialLink::SerialLink(const QString &name, int baud, QObject *parent)
    : Link(parent)
    , m_port(new QSerialPort(name, this))
    , m_baud(baud)
{
    connect(m_port, &QSerialPort::readyRead, this, [this] { emit received(m_port->readAll()); });
    connect(m_port, &QSerialPort::errorOccurred, this, &SerialLink::onError);
    m_retry.setInterval(RetryMs);
    connect(&m_retry, &QTimer::timeout, this, &SerialLink::reopen);
}

// A line that hung up would otherwise wake the emulator for ever with nothing to read.
void SerialLink::onError()
{
    // A hung-up tty reads as end of file, which Qt reports as a read error.
    const QSerialPort::SerialPortError error = m_port->error();
    if ((error != QSerialPort::ResourceError && error != QSerialPort::ReadError) || !m_port->isOpen())
        return;
    const QString why = m_port->errorString();
    m_port->close();
    // The other end of a pseudo-terminal (a virtual machine's UART) does not come back.
    if (m_port->portName().startsWith(QLatin1String("pts/")) || m_port->portName().startsWith(QLatin1String("/dev/pts/"))) {
        emit note(QStringLiteral("the line is gone (%1): the emulator ends").arg(why));
        emit lost();
        return;
    }
    emit note(QStringLiteral("the line is gone (%1): looking for it again every %2 ms").arg(why).arg(RetryMs));
    m_retry.start();
}

void SerialLink::reopen()
{
    QString error;
    if (open(&error)) {
        m_retry.stop();
        emit note(QStringLiteral("the line is back"));
    }
}

bool SerialLink::open(QString *error)
{
    m_port->setBaudRate(m_baud);
    m_port->setDataBits(QSerialPort::Data8);
    m_port->setParity(QSerialPort::NoParity);
    m_port->setStopBits(QSerialPort::OneStop);
    m_port->setFlowControl(QSerialPort::NoFlowControl);
    if (!m_port->open(QIODevice::ReadWrite)) {
        *error = m_port->errorString();
        return false;
    }
    return true;
}

QString SerialLink::where() const
{
    return m_port->portName();
}

// What a line does not take is lost, as on a real line: the programmer sees an answer missing.
void SerialLink::write(const QByteArray &bytes)
{
    m_port->write(bytes);
    m_port->flush();
}

void SerialLink::hangUp()
{
    // A device that drops its line comes back after a moment, as after a reset, for the retry.
    m_port->close();
    QTimer::singleShot(ReopenMs, this, [this] {
        if (m_port->isOpen())
            return;
        QString error;
        emit note(open(&error) ? QStringLiteral("the line is back after %1 ms").arg(ReopenMs)
                               : QStringLiteral("cannot reopen %1: %2").arg(m_port->portName(), error));
    });
}

TcpLink::TcpLink(quint16 port, int dropFirst, QObject *parent)
    : Link(parent)
    , m_server(new QTcpServer(this))
    , m_port(port)
    , m_dropFirst(dropFirst)
{
    connect(m_server, &QTcpServer::newConnection, this, &TcpLink::accept);
}

bool TcpLink::open(QString *error)
{
    if (!m_server->listen(QHostAddress::LocalHost, m_port)) {
        *error = m_server->errorString();
        return false;
    }
    return true;
}

QString TcpLink::where() const
{
    return QStringLiteral("127.0.0.1:%1").arg(m_server->serverPort());
}

void TcpLink::accept()
{
    // The cabinet passes one byte stream at a time: a connection that comes while another is
    // open waits until that one has closed.
    while (!m_client && m_server->hasPendingConnections()) {
        QTcpSocket *socket = m_server->nextPendingConnection();
        if (++m_connections <= m_dropFirst) {
            emit note(QStringLiteral("connection %1: dropped at once, as told").arg(m_connections));
            socket->abort();
            socket->deleteLater();
            continue;
        }
        emit note(QStringLiteral("connection %1 from the programmer").arg(m_connections));
        m_client = socket;
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { emit received(socket->readAll()); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            if (m_client == socket)
                m_client = nullptr;
            socket->deleteLater();
            emit peerClosed();
            accept();
        });
    }
}

void TcpLink::write(const QByteArray &bytes)
{
    // As on a serial line: a connection that fails loses the answer, and the socket says why.
    if (m_client)
        m_client->write(bytes);
}

void TcpLink::hangUp()
{
    if (m_client)
        m_client->close();
}

LinePacer::LinePacer(int baud, QObject *parent)
    : QObject(parent)
    , m_nsPerByte(baud > 0 ? qint64(10) * 1000000000 / baud : 0)
{
    m_clock.start();
    for (Direction *direction : {&m_in, &m_out}) {
        direction->timer.setSingleShot(true);
        direction->timer.setTimerType(Qt::PreciseTimer);
    }
    connect(&m_in.timer, &QTimer::timeout, this, [this] { release(m_in, true); });
    connect(&m_out.timer, &QTimer::timeout, this, [this] { release(m_out, false); });
}

void LinePacer::fromProgrammer(const QByteArray &bytes)
{
    if (m_nsPerByte == 0)
        emit deliverToDevice(bytes);
    else
        enqueue(m_in, bytes);
}

void LinePacer::toProgrammer(const QByteArray &bytes)
{
    if (m_nsPerByte == 0)
        emit deliverToLink(bytes);
    else
        enqueue(m_out, bytes);
}

int LinePacer::msUntilSent() const
{
    if (m_out.queue.empty())
        return 0;
    // A millisecond past the last byte's time, so that the pacer's own timer has fired.
    return int(std::max<qint64>(0, m_out.queue.back().first - m_clock.nsecsElapsed()) / 1000000) + 1;
}

void LinePacer::dropIncoming()
{
    m_in.queue.clear();
    m_in.timer.stop();
}

void LinePacer::enqueue(Direction &direction, const QByteArray &bytes)
{
    const qint64 now = m_clock.nsecsElapsed();
    direction.lineFreeNs = std::max(direction.lineFreeNs, now) + m_nsPerByte * bytes.size();
    direction.queue.emplace_back(direction.lineFreeNs, bytes);
    if (!direction.timer.isActive())
        direction.timer.start(int((direction.queue.front().first - now + 999999) / 1000000));
}

void LinePacer::release(Direction &direction, bool toDevice)
{
    const qint64 now = m_clock.nsecsElapsed();
    while (!direction.queue.empty() && direction.queue.front().first <= now) {
        const QByteArray bytes = direction.queue.front().second;
        direction.queue.pop_front();
        if (toDevice)
            emit deliverToDevice(bytes);
        else
            emit deliverToLink(bytes);
    }
    if (!direction.queue.empty())
        direction.timer.start(int((direction.queue.front().first - now + 999999) / 1000000));
}
