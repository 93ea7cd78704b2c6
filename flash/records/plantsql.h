#ifndef PLANTSQL_H
#define PLANTSQL_H

#include <QString>
#include <QStringList>

class QSqlError;

// What every part of the plant database says to the server, and of it.

// The server's own words on one line (the driver's, when the server said nothing), for the end
// of a Russian sentence that says what failed.
QString plantErrorText(const QSqlError &error);

// The advisory lock's key: the same 64 bits for the same link on every station.
qint64 plantLockKey(const QString &linkKey);

// "?, ?, ?": one for each value of an IN list.
QString placeholders(const QStringList &values);

#endif // PLANTSQL_H
