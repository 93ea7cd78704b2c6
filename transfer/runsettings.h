#ifndef RUNSETTINGS_H
#define RUNSETTINGS_H

#include <QByteArray>
#include <QString>

// What one run needs: the link, the image and the device.
struct RunSettings
{
    enum class Link { Serial, Ethernet };
    Link link = Link::Serial;
    QString serialPort;
    QString address;
    QString port;
    QString file;      // names the image
    QByteArray image;  // the bytes to send; a null array: the worker reads the file
    int device = 0;
};

#endif // RUNSETTINGS_H
