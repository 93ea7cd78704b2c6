#ifndef LINKLOCK_H
#define LINKLOCK_H

#include <QString>

#include <memory>

class PlantDatabase;
class QLockFile;

// Two flashers on one machine must never drive one link at once: a lock file per link, in the
// system's temporary folder where every user's flasher finds it. A lock left by a process that
// has died does not block; it is taken over. With a plant database the link is also locked there,
// for every station of the plant.
class LinkLock
{
public:
    explicit LinkLock(const QString &linkKey, PlantDatabase *plant = nullptr);
    ~LinkLock();

    // False when another process holds the link: *holder then says which.
    bool tryLock(QString *holder);
    void unlock();

private:
    std::unique_ptr<QLockFile> m_file;
    QString m_key;
    PlantDatabase *m_plant;
    bool m_plantLocked = false;
};

#endif // LINKLOCK_H
