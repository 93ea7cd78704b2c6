#include "station.h"

#include <QFile>

#include <algorithm>

namespace {
// After the last ACK the programmer closes its end; wait that long for it before going on anyway.
constexpr int LingerMs = 5000;
} // namespace

Station::Station(std::unique_ptr<Link> link, const Settings &settings, QObject *parent)
    : QObject(parent)
    , m_link(std::move(link))
    , m_settings(settings)
    , m_pacer(settings.baud)
{
    connect(m_link.get(), &Link::received, &m_pacer, &LinePacer::fromProgrammer);
    connect(&m_pacer, &LinePacer::deliverToLink, m_link.get(), &Link::write);
    connect(&m_pacer, &LinePacer::deliverToDevice, this, [this](const QByteArray &bytes) {
        if (!m_sessionOver && !m_hangingUp)
            m_device->receive(bytes);
    });
    m_linger.setSingleShot(true);
    m_linger.setInterval(LingerMs);
    connect(&m_linger, &QTimer::timeout, this, [this] { endSession(false); });
    connect(m_link.get(), &Link::note, this, &Station::say);
    connect(m_link.get(), &Link::lost, this, [this] { endSession(true); });
    connect(m_link.get(), &Link::peerClosed, this, [this] {
        say(QStringLiteral("the programmer closed the link"));
        endSession(false);
    });
}

Station::~Station() = default;

void Station::start()
{
    startSession();
    QList<int> sorted = m_settings.device.addresses.values();
    std::sort(sorted.begin(), sorted.end());
    QStringList numbers;
    for (int n : sorted)
        numbers << QString::number(n);
    say(QStringLiteral("%1 ready, link ready at %2")
            .arg(m_settings.device.plain ? QStringLiteral("plain XMODEM-CRC receiver") : QStringLiteral("device ") + numbers.join(QLatin1Char(',')))
            .arg(m_link->where()));
}

void Station::startSession()
{
    DeviceOptions options = m_settings.device;
    // A line that fails its first updates and then settles.
    if (options.dropSessions > 0 && m_sessions >= options.dropSessions)
        options.dropAfterBlock = 0;
    ++m_sessions;
    m_hangingUp = false;
    m_device = std::make_unique<Device>(options);
    m_sessionOver = false;
    connect(m_device.get(), &Device::transmit, &m_pacer, &LinePacer::toProgrammer);
    connect(m_device.get(), &Device::note, this, &Station::say);
    // Behind a serial device server the line is never hung up between devices: the session is
    // over once the end of transmission is acknowledged (the ACK is already on its way).
    connect(m_device.get(), &Device::completed, &m_linger, [this] {
        if (m_settings.sessionEndsAtEot && m_settings.keepRunning)
            endSession(false);
        else
            m_linger.start();
    });
    connect(m_device.get(), &Device::hangUpRequested, this, [this] {
        // The acknowledgement still held back for the line's time goes out before the line
        // drops, as it would on a real line; nothing more reaches the device meanwhile.
        m_hangingUp = true;
        hangUpWhenSent(m_sessions);
    });
}

// Looked at again until the pacer has nothing left for the programmer; a session that ended
// meanwhile (the link lost, the programmer gone) takes its hang-up with it.
void Station::hangUpWhenSent(int session)
{
    if (session != m_sessions || !m_hangingUp)
        return;
    if (const int ms = m_pacer.msUntilSent(); ms > 0) {
        QTimer::singleShot(ms, this, [this, session] { hangUpWhenSent(session); });
        return;
    }
    m_hangingUp = false;
    // What the programmer sent into the dropped line is lost with it.
    m_pacer.dropIncoming();
    m_link->hangUp();
    // A cabinet listens on for the next connection.
    endSession(m_settings.hangUpEndsLink);
}

void Station::endSession(bool linkGone)
{
    if (m_sessionOver)
        return;
    m_sessionOver = true;
    m_linger.stop();
    if (!m_settings.outFile.isEmpty() && (m_device->address() >= 0 || m_settings.device.plain)) {
        QString name = m_settings.outFile;
        name.replace(QLatin1String("{session}"), QString::number(m_sessions));
        name.replace(QLatin1String("{device}"), m_settings.device.plain ? QStringLiteral("plain") : QString::number(m_device->address()));
        // A cabinet by its port, a serial line by its device name.
        name.replace(QLatin1String("{cabinet}"), m_link->where().section(QLatin1Char(':'), -1).section(QLatin1Char('/'), -1));
        QFile file(name);
        if (!file.open(QIODevice::WriteOnly) || file.write(m_device->image()) != m_device->image().size())
            say(QStringLiteral("cannot write %1: %2").arg(name, file.errorString()));
    }
    say(QStringLiteral("summary: ") + m_device->summary());
    if (m_settings.keepRunning && !linkGone) {
        // The old device may be inside one of its own signals: let it go later.
        m_device.release()->deleteLater();
        startSession();
    } else {
        emit done(m_device->complete());
    }
}

void Station::say(const QString &text)
{
    emit line(text);
}
