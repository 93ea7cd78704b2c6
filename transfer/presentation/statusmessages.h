#ifndef STATUSMESSAGES_H
#define STATUSMESSAGES_H

#include "runresult.h"

#include <QList>
#include <QPair>
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

// Every code the table knows and its message outside any run (a port named PORT, the first
// attempt, no message before it), for a table of the codes kept beside the records.
QList<QPair<int, QString>> statusCodeMessages();

#endif // STATUSMESSAGES_H
