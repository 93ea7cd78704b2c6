#ifndef DEVSIM_STATION_H
#define DEVSIM_STATION_H

#include "device.h"
#include "links.h"

#include <QObject>
#include <QTimer>

#include <memory>

// One link with its bus of devices: a pseudo-terminal, a serial port or one cabinet. A session
// is one update, from the programmer opening the link to it closing it; with keepRunning one
// session follows another.
class Station : public QObject
{
    Q_OBJECT
public:
    struct Settings
    {
        DeviceOptions device;
        int baud = 0;
        QString outFile;          // {device} stands for the device number, {cabinet} for the link, {session} for the update
        bool sessionEndsAtEot = false; // a serial bus: the next device may be addressed at once
        bool keepRunning = false;
        bool hangUpEndsLink = false; // a pseudo-terminal is gone once hung up
    };

    Station(std::unique_ptr<Link> link, const Settings &settings, QObject *parent = nullptr);
    ~Station() override;

    void start();
    QString where() const { return m_link->where(); }

signals:
    // Printed lines, without the time.
    void line(const QString &text);
    // No more sessions will follow; complete: the last one received a whole image.
    void done(bool complete);

private:
    void startSession();
    void endSession(bool linkGone);
    void hangUpWhenSent(int session);
    void say(const QString &text);

    std::unique_ptr<Link> m_link;
    Settings m_settings;
    LinePacer m_pacer;
    std::unique_ptr<Device> m_device;
    bool m_sessionOver = false;
    bool m_hangingUp = false;
    int m_sessions = 0;
    QTimer m_linger;
};

#endif // DEVSIM_STATION_H
