#ifndef SQLROWS_H
#define SQLROWS_H

#include "recordchain.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QVariant>

class QSqlDatabase;
class QSqlQuery;
class QSqlRecord;

// The rows of both stores as SQL gives and takes them: the ledger's SQLite file and the plant's
// PostgreSQL keep the same row, each in its own table.

// Where a query's optional columns are, looked up once per query by their names: the ledger's
// and the plant database's older schemas lack some.
struct RowColumns
{
    int kind = -1;
    int startRow = -1;
    int machine = -1;
    int identity = -1;
    int hashVersion = -1;
    int detail = -1;
    static RowColumns of(const QSqlRecord &record);
};

// A row as both databases return it: the ledger's 21 columns in the ledger's order first (the
// plant's row_id for id), the others wherever they are.
LedgerRow ledgerRowFrom(const QSqlQuery &query, const RowColumns &columns);

// Runs a SELECT of those columns with its values bound in order, and appends what it returns.
bool selectLedgerRows(const QSqlDatabase &db, const QString &sql, const QVariantList &values, QList<LedgerRow> *rows, QString *error);

// A time as both stores are given one: UTC, ISO 8601 with milliseconds.
QString sqlTime(const QDateTime &time);

#endif // SQLROWS_H
