#include "linklock.h"

#include "flashoptions.h"

#include <QCoreApplication>
#include <QHostAddress>

LinkLock::LinkLock(const LinkPlan &link)
    : m_cabinet(link.kind == RunSettings::Link::Ethernet)
{
    if (!m_cabinet) {
        m_path = link.serialPort.startsWith(QLatin1Char('/')) ? link.serialPort : QStringLiteral("/dev/") + link.serialPort;
        return;
    }
    // "vorlex-flash-cabinet-127.0.0.1-4040.lock", "vorlex-flash-cabinet-fe80..1-4041.lock": one
    // name for one cabinet, its address as the plan normalised it.
    QString name = QStringLiteral("vorlex-flash-cabinet-%1-%2.lock").arg(QHostAddress(link.address).toString(), QString::number(link.port.toInt()));
    name.replace(QLatin1Char(':'), QLatin1Char('.'));
    // A file name in the lock folder and nothing else: no '/' of a scope id leads anywhere.
    for (QChar &c : name)
        if (!(c.isLetterOrNumber() && c.unicode() < 0x80) && c != QLatin1Char('.') && c != QLatin1Char('-'))
            c = QLatin1Char('_');
    m_path = name;
}

LinkLock::~LinkLock()
{
    unlock();
}

bool LinkLock::tryLock(QString *why)
{
    QString detail;
    const platform::FileLock::Result result = m_cabinet ? m_file.lockFile(m_path, &detail) : m_file.lockDevice(m_path, &detail);
    switch (result) {
    case platform::FileLock::Result::Locked:
        break;
    case platform::FileLock::Result::Held:
        *why = QStringLiteral("занята: её ведёт %1").arg(detail);
        return false;
    case platform::FileLock::Result::Unusable:
        // A port that cannot be opened is the worker's to report, with its remedy.
        if (!m_cabinet)
            break;
        *why = QStringLiteral("не заблокирована: %1").arg(detail);
        return false;
    }
    if (m_cabinet)
        m_file.describeHolder(QStringLiteral("%1 (PID %2, пользователь %3)")
                                  .arg(QCoreApplication::applicationName()).arg(QCoreApplication::applicationPid()).arg(platform::loginName()));
    return true;
}

bool LinkLock::stillHeld(QString *why) const
{
    return m_file.stillNamed(why);
}

void LinkLock::unlock()
{
    m_file.unlock();
}
