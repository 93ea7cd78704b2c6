#include "linklock.h"

#include "flashoptions.h"

#include <QCoreApplication>
#include <QDir>
#include <QHostAddress>

LinkLock::LinkLock(const LinkPlan &link)
    : m_cabinet(link.kind == RunSettings::Link::Ethernet)
{
    if (!m_cabinet) {
#ifndef Q_OS_WIN
        // On Windows a COM port is exclusive to one opener already, and a lock of ours would
        // shut out our own worker: no path, no file lock.
        m_path = link.key().mid(int(qstrlen("serial ")));
#endif
        return;
    }
    // "cabinet-127.0.0.1-4040.lock", "cabinet-fe80..1-4041.lock": one name for one cabinet.
    QString name = QStringLiteral("cabinet-%1-%2.lock").arg(QHostAddress(link.address).toString(), QString::number(link.port.toInt()));
    name.replace(QLatin1Char(':'), QLatin1Char('.'));
    m_path = name;
}

LinkLock::~LinkLock()
{
    unlock();
}

bool LinkLock::tryLock(QString *why)
{
    QString path = m_path;
    if (m_cabinet) {
        QString error;
        const QString folder = platform::sharedLockFolder(&error);
        if (folder.isEmpty()) {
            *why = QStringLiteral("не заблокирована: нет общей папки для блокировок: %1").arg(error);
            return false;
        }
        path = QDir(folder).filePath(m_path);
    }
    if (!path.isEmpty()) {
        QString detail;
        switch (m_file.lock(path, m_cabinet, &detail)) {
        case platform::FileLock::Result::Locked:
            break;
        case platform::FileLock::Result::Held:
            *why = QStringLiteral("занята: её ведёт %1").arg(detail);
            return false;
        case platform::FileLock::Result::Unusable:
            // A port that cannot be opened is the worker's to report, with its remedy.
            if (!m_cabinet)
                break;
            *why = QStringLiteral("не заблокирована: файл блокировки %1 не открывается: %2").arg(QDir::toNativeSeparators(path), detail);
            return false;
        }
        if (m_cabinet)
            m_file.describeHolder(QStringLiteral("%1 (PID %2, пользователь %3)")
                                      .arg(QCoreApplication::applicationName()).arg(QCoreApplication::applicationPid()).arg(platform::loginName()));
    }
    return true;
}

void LinkLock::unlock()
{
    m_file.unlock();
}
