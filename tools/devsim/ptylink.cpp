// The emulator's pseudo-terminal: the one part of it that needs the operating system beyond Qt.

#include "links.h"

#ifdef Q_OS_UNIX

#include <QSocketNotifier>

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

#else

// Windows has no pseudo-terminals: a cabinet (--tcp) or a real port (--serial) instead.
PtyLink::PtyLink(QObject *parent)
    : Link(parent)
{
}

PtyLink::~PtyLink() = default;

bool PtyLink::open(QString *error)
{
    *error = QStringLiteral("this system has no pseudo-terminals (--pty is for Linux): use --tcp PORT, or --serial NAME with a null-modem pair");
    return false;
}

void PtyLink::readMaster() {}
void PtyLink::checkReopened() {}
void PtyLink::write(const QByteArray &) {}
void PtyLink::hangUp() {}

#endif
