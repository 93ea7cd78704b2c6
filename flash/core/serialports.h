#ifndef SERIALPORTS_H
#define SERIALPORTS_H

#include <QString>
#include <QStringList>

// Whether a serial port is there: listed by the system, or a path that exists (a
// pseudo-terminal is not listed). *listed: the names the system lists, as a message shows them.
bool serialPortPresent(const QString &name, QStringList *listed = nullptr);

// Empty when the port is there; otherwise the message that says so and names the ports there are.
QString checkSerialPort(const QString &name);

// Why a port that did not open may have refused this user, with the remedy; empty when that is
// not the cause or the system has no such remedy.
QString portPermissionHint(const QString &name);

#endif // SERIALPORTS_H
