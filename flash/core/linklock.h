#ifndef LINKLOCK_H
#define LINKLOCK_H

#include "platform.h"

#include <QString>

struct LinkPlan;

// Two flashers must never drive one link at once. A serial port is locked on the port itself,
// so that every path to the device collides; a cabinet, which has no device file, on a file
// named for its address and port in the system's lock folder. The kernel holds these locks and
// drops them with their holder: nothing is left behind by a flasher that died. With a plant
// database the link is also locked there (by its queue), for every station of the plant.
class LinkLock
{
public:
    explicit LinkLock(const LinkPlan &link);
    ~LinkLock();

    // False when the link is held or cannot be locked: *why then says so ("занята: её ведёт ...",
    // "не заблокирована: ...").
    bool tryLock(QString *why);
    // Before each further device: the lock is still on the file its path names. False: *why
    // says what changed, and the link starts no new device.
    bool stillHeld(QString *why) const;
    void unlock();

private:
    QString m_path;
    bool m_cabinet;
    platform::FileLock m_file;
};

#endif // LINKLOCK_H
