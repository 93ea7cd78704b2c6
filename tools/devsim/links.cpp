#include "links.h"

#include <QHostAddress>
#include <QSerialPort>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

PtyLink::PtyLink(QObject *parent)
    : Link(parent)
{
    m_reopenPoll.setInterval(20);
    connect(&m_reopenPoll, &QTimer::timeout, this, &PtyLink::checkReopened);
}

PtyLink::~PtyLink()
{
    hangUp();
}

bool PtyLink::open(QString *error)
{
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    m_slavePath = QString::fromLocal8Bit(::ptsname(m_master));
    // Raw from the start: no echo and no line editing, even before the programmer sets the line up.
    termios tio{};
    if (::tcgetattr(m_master, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(m_master, TCSANOW, &tio);
    }
    m_notifier = new QSocketNotifier(m_master, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &PtyLink::readMaster);
    return true;
}

void PtyLink::readMaster()
{
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n > 0) {
            emit received(QByteArray(buffer, int(n)));
            if (m_master < 0)
                return; // the device hung up while handling these bytes
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return;
        // EIO: the programmer closed the slave side. Watch quietly until it opens it again.
        m_notifier->setEnabled(false);
        m_reopenPoll.start();
        emit peerClosed();
        return;
    }
}

void PtyLink::checkReopened()
{
    pollfd fd{m_master, POLLIN, 0};
    if (::poll(&fd, 1, 0) >= 0 && !(fd.revents & POLLHUP)) {
        m_reopenPoll.stop();
        m_notifier->setEnabled(true);
    }
}

void PtyLink::write(const QByteArray &bytes)
{
    qint64 done = 0;
    while (m_master >= 0 && done < bytes.size()) {
        const ssize_t n = ::write(m_master, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0)
            done += n;
        else if (n < 0 && errno != EINTR && errno != EAGAIN)
            return; // nobody on the other side: the bytes are lost, as on a line with nothing plugged in
    }
}

void PtyLink::hangUp()
{
    if (m_master < 0)
        return;
    // May run from inside the notifier's own signal: let it go later.
    m_notifier->setEnabled(false);
    m_notifier->deleteLater();
    m_notifier = nullptr;
    m_reopenPoll.stop();
    ::close(m_master);
    m_master = -1;
}

SerialLink::SerialLink(const QString &name, int baud, QObject *parent)
    : Link(parent)
    , m_port(new QSerialPort(name, this))
    , m_baud(baud)
{
    connect(m_port, &QSerialPort::readyRead, this, [this] { emit received(m_port->readAll()); });
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

void SerialLink::write(const QByteArray &bytes)
{
    m_port->write(bytes);
    m_port->flush();
}

void SerialLink::hangUp()
{
    m_port->close();
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
