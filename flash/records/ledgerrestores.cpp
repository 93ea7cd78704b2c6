#include "ledger.h"

#include "sqliteerrors.h"
#include "sqlrows.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>

bool Ledger::startAfresh(const LedgerRow &writer, const QString &from, qint64 keptRow, qint64 plantRow, QString *identity, QString *error)
{
    bool made = false;
    const bool written = write([&](QSqlDatabase &db, QString *why) {
        QSqlQuery query(db);
        if (!query.exec(QStringLiteral("SELECT value, (SELECT coalesce(max(id), 0) FROM attempts WHERE ledger_id = ledger_info.value) FROM ledger_info "
                                       "WHERE key = 'id'"))
            || !query.next()) {
            *why = explainedSqliteError(query.lastError());
            return false;
        }
        *identity = query.value(0).toString();
        RestoreFacts facts;
        facts.ledgerRow = query.value(1).toLongLong();
        query.finish();
        // Another flasher of this ledger has seen the restore first.
        if (*identity != from)
            return true;
        // The rows written so far keep the identity they were written under (their hashes hold
        // it); the restore is the new identity's first row, and names where it forked.
        *identity = QUuid::createUuid().toString(QUuid::WithoutBraces);
        query.prepare(QStringLiteral("UPDATE ledger_info SET value = ? WHERE key = 'id'"));
        query.addBindValue(*identity);
        if (!query.exec()) {
            *why = explainedSqliteError(query.lastError());
            return false;
        }
        facts.before = from;
        facts.after = *identity;
        facts.fork = keptRow;
        facts.plantRow = plantRow;
        LedgerRow row = writer;
        row.kind = QStringLiteral("restore");
        row.outcome = QStringLiteral("restore");
        row.startRow = keptRow;
        row.detail = facts.detail();
        row.start = row.end = QDateTime::currentDateTimeUtc();
        row.message = QStringLiteral("журнал восстановлен из копии: база завода хранит его строки (id %1) до %2, а журнал сходится с ней только "
                                     "до строки %3; дальше журнал пишет под id %4")
                          .arg(from).arg(plantRow).arg(keptRow).arg(*identity);
        made = insertRow(&row, why);
        return made;
    }, error);
    if (written && made)
        m_id = *identity;
    return written;
}

bool Ledger::restores(QList<LedgerRestore> *restores, QString *error)
{
    if (m_version < 3)
        return true;
    QSqlQuery query(QSqlDatabase::database(m_connection));
    // Found by an earlier version, kept apart from the chain as it kept them.
    if (!query.exec(QStringLiteral("SELECT before, after, kept_row, plant_row, found_at, acknowledged_by, acknowledged_at FROM restores ORDER BY rowid"))) {
        *error = explainedSqliteError(query.lastError());
        return false;
    }
    while (query.next())
        restores->append({0, query.value(0).toString(), query.value(1).toString(), query.value(2).toLongLong(), query.value(3).toLongLong(),
                          QDateTime::fromString(query.value(4).toString(), Qt::ISODateWithMs), query.value(5).toString(),
                          QDateTime::fromString(query.value(6).toString(), Qt::ISODateWithMs)});
    if (m_version < 5)
        return true;
    if (!query.exec(QStringLiteral("SELECT r.id, r.detail, r.started_at, a.operator, a.ended_at FROM attempts r LEFT JOIN attempts a "
                                   "ON a.kind = 'acknowledgement' AND a.start_row = r.id WHERE r.kind = 'restore' ORDER BY r.id"))) {
        *error = explainedSqliteError(query.lastError());
        return false;
    }
    while (query.next()) {
        RestoreFacts facts;
        // A restore row that does not parse is the chain's to tell (its hash); it names no fork.
        if (!RestoreFacts::parse(query.value(1).toString(), &facts))
            continue;
        if (!restores->isEmpty() && restores->constLast().row == query.value(0).toLongLong())
            continue; // acknowledged twice: the first counts
        restores->append({query.value(0).toLongLong(), facts.before, facts.after, facts.fork, facts.plantRow,
                          QDateTime::fromString(query.value(2).toString(), Qt::ISODateWithMs), query.value(3).toString(),
                          query.value(4).isNull() ? QDateTime() : QDateTime::fromString(query.value(4).toString(), Qt::ISODateWithMs)});
        restores->last().ledgerRow = facts.ledgerRow;
    }
    return true;
}

bool Ledger::forks(QHash<QString, QPair<QString, qint64>> *forks, QString *error)
{
    QList<LedgerRestore> found;
    if (!restores(&found, error))
        return false;
    for (const LedgerRestore &restore : qAsConst(found))
        forks->insert(restore.after, {restore.before, restore.keptRow});
    return true;
}

bool Ledger::acknowledgeRestores(const LedgerRow &writer, int *count, QString *error)
{
    *count = 0;
    return write([&](QSqlDatabase &db, QString *why) {
        QList<LedgerRestore> found;
        if (!restores(&found, why))
            return false;
        for (const LedgerRestore &restore : qAsConst(found)) {
            if (restore.acknowledged.isValid())
                continue;
            ++*count;
            if (restore.row == 0) {
                QSqlQuery query(db);
                query.prepare(QStringLiteral("UPDATE restores SET acknowledged_by = ?, acknowledged_at = ? WHERE acknowledged_at IS NULL AND before = ? "
                                             "AND after = ?"));
                for (const QVariant &value : {QVariant(writer.operatorName), QVariant(sqlTime(QDateTime::currentDateTimeUtc())), QVariant(restore.before),
                                              QVariant(restore.after)})
                    query.addBindValue(value);
                if (!query.exec()) {
                    *why = explainedSqliteError(query.lastError());
                    return false;
                }
                continue;
            }
            // The engineer's word is a row of the chain too: removing it breaks the chain.
            LedgerRow row = writer;
            row.kind = QStringLiteral("acknowledgement");
            row.outcome = QStringLiteral("acknowledged");
            row.startRow = restore.row;
            row.start = row.end = QDateTime::currentDateTimeUtc();
            row.message = QStringLiteral("восстановление журнала из копии (строка %1) разобрано и подтверждено: %2").arg(restore.row).arg(writer.operatorName);
            if (!insertRow(&row, why))
                return false;
        }
        return true;
    }, error);
}
