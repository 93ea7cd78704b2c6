#ifndef PLANTSTATUSCODES_H
#define PLANTSTATUSCODES_H

#include <QString>

class QSqlDatabase;

// The messages of the status codes as this program shows them, for the view.
// Inside the caller's transaction; the plant's view of each device shows them beside its code.
bool fillStatusCodes(QSqlDatabase &db, QString *error);

#endif // PLANTSTATUSCODES_H
