#ifndef STATUSMESSAGES_H
#define STATUSMESSAGES_H

#include "runresult.h"

#include <QString>

// How a status code is shown to the operator: the one table of messages, shared by every
// program that shows them, so the operator reads the same words everywhere.
struct StatusPresentation
{
    QString message;
    QString styleSheet; // empty: stays red on yellow
    bool runGoesOn;     // the start button stays disabled
};

// previousMessage: the message shown last (code -10 extends it); portName: the serial port
// the window names in its port messages; attempts: the connection attempts so far.
StatusPresentation presentStatus(int status, const QString &previousMessage, const QString &portName, int attempts);

// A run's last status as the operator read it when the run ended; empty when it reported none.
QString runMessage(const RunResult &result);

#endif // STATUSMESSAGES_H
