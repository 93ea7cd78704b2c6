#ifndef FLASHOPTIONS_H
#define FLASHOPTIONS_H

#include "devicelist.h"

#include <QList>
#include <QString>
#include <QStringList>

// What one vorlex-flash command asks for, checked before any link is opened.
struct FlashOptions
{
    enum class Link { Serial, Ethernet };
    Link link = Link::Serial;
    QString serialPort;
    QString address;
    QString port = QStringLiteral("4040");
    QList<int> devices;
    QString file;
    bool keepGoing = false;
    bool quiet = false;
    QString logFile;
    int answerTimeoutSeconds = 30;
};


// ADDRESS or ADDRESS:PORT, with [ADDRESS]:PORT for IPv6; the port as typed, 1 to 65535.
bool parseEthTarget(const QString &text, QString *address, QString *port, QString *error);

// The checks the window and the worker make, all made up front: file, device numbers,
// address and port, the serial size limits. An empty result means the options are usable.
QString checkOptions(const FlashOptions &options);

#endif // FLASHOPTIONS_H
