#include "linklock.h"

#include "plantdatabase.h"

#include <QCryptographicHash>
#include <QDir>
#include <QLockFile>
#include <QRegularExpression>

LinkLock::LinkLock(const QString &linkKey, PlantDatabase *plant)
    : m_key(linkKey)
    , m_plant(plant)
{
    // Readable in a listing, and unique however the key had to be folded into a file name.
    QString name = linkKey;
    name.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9.-]+")), QStringLiteral("_"));
    const QString hash = QString::fromLatin1(QCryptographicHash::hash(linkKey.toUtf8(), QCryptographicHash::Sha1).toHex().left(8));
    m_file = std::make_unique<QLockFile>(QDir(QDir::tempPath()).filePath(QStringLiteral("vorlex-flash-%1-%2.lock").arg(name, hash)));
    // Only a dead holder makes a lock stale, however long a batch runs.
    m_file->setStaleLockTime(0);
}

LinkLock::~LinkLock()
{
    unlock();
}

bool LinkLock::tryLock(QString *holder)
{
    if (m_file->tryLock(0)) {
        if (!m_plant || !m_plant->isOpen())
            return true;
        if (m_plant->tryLockLink(m_key, holder)) {
            m_plantLocked = true;
            return true;
        }
        *holder = QStringLiteral("станция %1, по базе завода").arg(*holder);
        m_file->unlock();
        return false;
    }
    qint64 pid = 0;
    QString host;
    QString application;
    if (m_file->error() == QLockFile::LockFailedError && m_file->getLockInfo(&pid, &host, &application))
        *holder = QStringLiteral("%1 (PID %2)").arg(application.isEmpty() ? QStringLiteral("процесс") : application).arg(pid);
    else
        *holder = QStringLiteral("нельзя создать файл блокировки в %1").arg(QDir::tempPath());
    return false;
}

void LinkLock::unlock()
{
    if (m_plantLocked && m_plant->isOpen())
        m_plant->unlockLink(m_key);
    m_plantLocked = false;
    m_file->unlock();
}
