#ifndef SQLITEERRORS_H
#define SQLITEERRORS_H

#include <QString>

class QSqlError;

// SQLite's error as the operator reads it: what it means and what to do, then SQLite's own words.
QString explainedSqliteError(const QSqlError &error);

#endif // SQLITEERRORS_H
