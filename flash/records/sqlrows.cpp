#include "sqlrows.h"

#include "sqliteerrors.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

RowColumns RowColumns::of(const QSqlRecord &record)
{
    RowColumns columns;
    columns.kind = record.indexOf(QStringLiteral("kind"));
    columns.startRow = record.indexOf(QStringLiteral("start_row"));
    columns.machine = record.indexOf(QStringLiteral("machine"));
    columns.identity = record.indexOf(QStringLiteral("ledger_id"));
    if (columns.identity < 0)
        columns.identity = record.indexOf(QStringLiteral("ledger"));
    columns.hashVersion = record.indexOf(QStringLiteral("hash_version"));
    columns.detail = record.indexOf(QStringLiteral("detail"));
    return columns;
}

LedgerRow ledgerRowFrom(const QSqlQuery &query, const RowColumns &columns)
{
    LedgerRow row;
    row.id = query.value(0).toLongLong();
    row.batch = query.value(1).toString();
    row.label = query.value(2).toString();
    row.station = query.value(3).toString();
    row.operatorName = query.value(4).toString();
    row.programVersion = query.value(5).toString();
    row.link = query.value(6).toString();
    row.device = query.value(7).toInt();
    row.attempt = query.value(8).toInt();
    row.outcome = query.value(9).toString();
    row.status = query.value(10);
    row.message = query.value(11).toString();
    row.bytesAcknowledged = query.value(12).toLongLong();
    row.retransmissions = query.value(13).toInt();
    // Text in the ledger, a timestamp in the plant database.
    const auto time = [&](int column) {
        const QVariant value = query.value(column);
        return value.userType() == QMetaType::QDateTime ? value.toDateTime().toUTC() : QDateTime::fromString(value.toString(), Qt::ISODateWithMs);
    };
    row.start = time(14);
    row.end = time(15);
    row.imagePath = query.value(16).toString();
    row.imageSize = query.value(17).toLongLong();
    row.imageSha256 = query.value(18).toString();
    row.previousHash = query.value(19).toString();
    row.rowHash = query.value(20).toString();
    if (columns.kind >= 0)
        row.kind = query.value(columns.kind).toString();
    if (columns.startRow >= 0)
        row.startRow = query.value(columns.startRow).toLongLong();
    if (columns.machine >= 0) {
        row.machine = query.value(columns.machine).toString();
        row.boot = query.value(columns.machine + 1).toString();
        row.pid = query.value(columns.machine + 2).toLongLong();
        row.processStart = query.value(columns.machine + 3).toString();
    }
    if (columns.identity >= 0)
        row.ledgerId = query.value(columns.identity).toString();
    // A row written before hashes had versions keeps the rules it was written by.
    row.hashVersion = columns.hashVersion >= 0 && !query.value(columns.hashVersion).isNull() ? query.value(columns.hashVersion).toInt() : 1;
    if (columns.detail >= 0)
        row.detail = query.value(columns.detail).toString();
    return row;
}

bool selectLedgerRows(const QSqlDatabase &db, const QString &sql, const QVariantList &values, QList<LedgerRow> *rows, QString *error)
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    // The plant database's errors are PostgreSQL's, said in its words; a statement that could
    // not be prepared (a lock waited for too long) is said as such, not as what follows it.
    const auto failed = [&] {
        const QSqlError why = query.lastError();
        *error = db.driverName() == QLatin1String("QSQLITE") ? explainedSqliteError(why)
                                                              : (why.databaseText().isEmpty() ? why.driverText() : why.databaseText()).simplified();
        return false;
    };
    if (!query.prepare(sql))
        return failed();
    for (const QVariant &value : values)
        query.addBindValue(value);
    if (!query.exec())
        return failed();
    const RowColumns columns = RowColumns::of(query.record());
    while (query.next())
        rows->append(ledgerRowFrom(query, columns));
    return true;
}

QString sqlTime(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODateWithMs);
}
