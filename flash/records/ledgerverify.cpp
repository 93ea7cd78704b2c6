#include "ledger.h"

#include "sqliteerrors.h"
#include "sqlrows.h"
#include "textescape.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

bool Ledger::verify(qint64 *rows, QString *problem, QString *error)
{
    QHash<QString, QPair<QString, qint64>> forks;
    if (!this->forks(&forks, error))
        return false;
    QSqlQuery query(QSqlDatabase::database(m_connection));
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT %1 FROM attempts ORDER BY station, id").arg(columns()))) {
        *error = explainedSqliteError(query.lastError());
        return false;
    }
    *rows = 0;
    ChainWalk walk(forks);
    const RowColumns columns = RowColumns::of(query.record());
    while (query.next()) {
        LedgerRow row = ledgerRowFrom(query, columns);
        if (m_version < 3)
            row.ledgerId = m_id;
        ++*rows;
        const ChainWalk::Fault fault = walk.next(row);
        if (fault != ChainWalk::Fault::None) {
            *problem = ChainWalk::describe(fault, row, QString());
            return false;
        }
    }
    if (m_version < 2)
        return true;
    // The end against the head, which every append keeps: rows taken off the end, or all of
    // them, leave the chain whole but shorter than its head.
    LedgerHead kept;
    if (!head(&kept, error))
        return false;
    QSqlQuery last(QSqlDatabase::database(m_connection));
    if (!last.exec(QStringLiteral("SELECT coalesce(max(id), 0), (SELECT row_hash FROM attempts ORDER BY id DESC LIMIT 1) FROM attempts")) || !last.next()) {
        *error = explainedSqliteError(last.lastError());
        return false;
    }
    if (*rows != kept.rows || last.value(0).toLongLong() != kept.lastRow || last.value(1).toString() != kept.hash) {
        *problem = QStringLiteral("журнал кончается не там, где его заголовок: строк %1, последняя %2, а по заголовку строк %3, последняя %4 "
                                  "(строки удалены в конце, или журнал подменён)")
                       .arg(*rows).arg(last.value(0).toLongLong()).arg(kept.rows).arg(kept.lastRow);
        return false;
    }
    return true;
}

bool Ledger::head(LedgerHead *head, QString *error)
{
    QSqlQuery query(QSqlDatabase::database(m_connection));
    if (!query.exec(QStringLiteral("SELECT key, value FROM ledger_info WHERE key IN ('head_rows', 'head_row', 'head_hash', 'id')"))) {
        *error = explainedSqliteError(query.lastError());
        return false;
    }
    int found = 0;
    while (query.next()) {
        const QString key = query.value(0).toString();
        if (key == QLatin1String("head_rows"))
            head->rows = query.value(1).toLongLong();
        else if (key == QLatin1String("head_row"))
            head->lastRow = query.value(1).toLongLong();
        else if (key == QLatin1String("head_hash"))
            head->hash = query.value(1).toString();
        else
            head->id = query.value(1).toString();
        ++found;
    }
    if (found != 4 && m_version >= 2) {
        *error = QStringLiteral("у журнала нет заголовка (строк, последней строки и её хеша)");
        return false;
    }
    head->chains.clear();
    if (m_version < 3)
        return true;
    if (!query.exec(QStringLiteral("SELECT c.station, c.ledger_id, c.rows, c.last, a.row_hash FROM (SELECT station, ledger_id, count(*) AS rows, "
                                   "max(id) AS last FROM attempts GROUP BY station, ledger_id) c JOIN attempts a ON a.id = c.last "
                                   "ORDER BY c.station, c.last"))) {
        *error = explainedSqliteError(query.lastError());
        return false;
    }
    while (query.next())
        head->chains.append({query.value(0).toString(), query.value(1).toString(), query.value(2).toLongLong(), query.value(3).toLongLong(),
                             query.value(4).toString()});
    return true;
}

bool Ledger::holds(const LedgerHead &seen, QString *problem, QString *error)
{
    QSqlQuery query(QSqlDatabase::database(m_connection));
    query.prepare(QStringLiteral("SELECT (SELECT row_hash FROM attempts WHERE id = ?), (SELECT count(*) FROM attempts WHERE id <= ?)"));
    query.addBindValue(seen.lastRow);
    query.addBindValue(seen.lastRow);
    if (!query.exec() || !query.next()) {
        *error = explainedSqliteError(query.lastError());
        return false;
    }
    if (query.value(0).toString() != seen.hash) {
        *problem = query.value(0).isNull() ? QStringLiteral("строки %1 больше нет").arg(seen.lastRow)
                                           : QStringLiteral("строка %1 не та (другой хеш)").arg(seen.lastRow);
        return false;
    }
    if (query.value(1).toLongLong() != seen.rows) {
        *problem = QStringLiteral("до строки %1 в журнале %2 строк, а было %3").arg(seen.lastRow).arg(query.value(1).toLongLong()).arg(seen.rows);
        return false;
    }
    // Each station's chain under each identity, as the report saw it: another station's rows,
    // rewritten before the last row, leave the ledger's own end as it was.
    if (m_version < 3)
        return true;
    for (const LedgerHead::Chain &chain : seen.chains) {
        query.prepare(QStringLiteral("SELECT (SELECT row_hash FROM attempts WHERE id = ? AND station = ? AND ledger_id = ?), "
                                     "(SELECT count(*) FROM attempts WHERE station = ? AND ledger_id = ? AND id <= ?)"));
        for (const QVariant &value : {QVariant(chain.lastRow), QVariant(chain.station), QVariant(chain.identity), QVariant(chain.station),
                                      QVariant(chain.identity), QVariant(chain.lastRow)})
            query.addBindValue(value);
        if (!query.exec() || !query.next()) {
            *error = explainedSqliteError(query.lastError());
            return false;
        }
        const QString which = QStringLiteral("станция %1, id журнала %2").arg(quotedForMessage(chain.station), quotedForMessage(chain.identity));
        if (query.value(0).toString() != chain.hash) {
            *problem = QStringLiteral("%1: строка %2 %3").arg(which).arg(chain.lastRow)
                           .arg(query.value(0).isNull() ? QStringLiteral("не её или её больше нет") : QStringLiteral("не та (другой хеш)"));
            return false;
        }
        if (query.value(1).toLongLong() != chain.rows) {
            *problem = QStringLiteral("%1: до строки %2 строк %3, а было %4").arg(which).arg(chain.lastRow).arg(query.value(1).toLongLong()).arg(chain.rows);
            return false;
        }
    }
    return true;
}
