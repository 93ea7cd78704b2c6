#include "plantdatabase.h"

#include "plantsql.h"
#include "sqlrows.h"
#include "textescape.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

#include <algorithm>
#include <limits>

namespace {

// A row as the chain's rules read it: the ledger's columns in the ledger's order, then the rest.
const char *const RowColumnsSql = "row_id, batch, label, station, operator, program_version, link, device, attempt, outcome, status, message, "
                                  "bytes_acknowledged, retransmissions, started_at, ended_at, image_path, image_size, image_sha256, "
                                  "previous_hash, row_hash, kind, start_row, ledger";

} // namespace

bool PlantDatabase::compare(Ledger &ledger, PlantComparison *result, QString *error)
{
    *result = PlantComparison();
    QStringList identities;
    QList<LedgerRestore> restores;
    QHash<QString, QPair<QString, qint64>> forks;
    if (!ledger.identities(&identities, error) || !ledger.restores(&restores, error) || !ledger.forks(&forks, error))
        return false;
    const auto name = [&](const QString &problem) {
        ++result->problems;
        if (result->named.size() < 10)
            result->named << problem;
    };
    // A row beyond a restore's fork: lost with the restore (only the plant has it), or written
    // under the former identity before the restore was found (only the ledger has it).
    const auto beyondFork = [&](const QString &identity, qint64 id, bool inPlant) {
        return std::any_of(restores.cbegin(), restores.cend(), [&](const LedgerRestore &restore) {
            return restore.before == identity && id > restore.keptRow && id <= (inPlant ? restore.plantRow : qMax(restore.ledgerRow, restore.plantRow));
        });
    };
    constexpr qint64 Step = 10000;
    for (const QString &identity : qAsConst(identities)) {
        qint64 plantRow = 0;
        QString plantHash;
        if (!lastRow(identity, &plantRow, &plantHash, error))
            return false;
        qint64 ledgerRow = 0;
        {
            QList<QPair<qint64, QString>> last;
            if (!ledger.hashesOf(identity, std::numeric_limits<qint64>::max(), 1, &last, error))
                return false;
            ledgerRow = last.isEmpty() ? 0 : last.constFirst().first;
        }
        const qint64 end = qMax(plantRow, ledgerRow);
        for (qint64 from = 1; from <= end; from += Step) {
            const qint64 to = qMin(end, from + Step - 1);
            QList<QPair<qint64, QString>> mine;
            QHash<qint64, QPair<QString, QString>> theirs;
            if (!ledger.hashesOf(identity, to, int(Step), &mine, error) || !hashes(identity, from, to, &theirs, error))
                return false;
            for (const auto &[id, hash] : qAsConst(mine)) {
                if (id < from)
                    break;
                const auto there = theirs.find(id);
                if (there != theirs.end() && there->first == hash) {
                    ++result->compared;
                    theirs.erase(there);
                    continue;
                }
                if (beyondFork(identity, id, false)) {
                    ++result->writtenBeforeFound;
                    if (there != theirs.end()) {
                        ++result->lostInRestores;
                        theirs.erase(there);
                    }
                    continue;
                }
                if (there == theirs.end()) {
                    // Copies go in the order of the rows: one missing before the plant's last is gone from it.
                    if (id < plantRow)
                        name(QStringLiteral("строки %1 (id журнала %2) нет в базе завода, хотя строки после неё там есть: её удалили оттуда")
                                 .arg(id).arg(quotedForMessage(identity)));
                    else
                        ++result->notCopied;
                    continue;
                }
                name(QStringLiteral("строка %1 (станция %2, id журнала %3) в базе завода другая: хеш %4, в журнале %5")
                         .arg(id).arg(quotedForMessage(there->second), quotedForMessage(identity), quotedForMessage(there->first), hash));
                theirs.erase(there);
            }
            for (auto it = theirs.cbegin(); it != theirs.cend(); ++it) {
                const qint64 id = it.key();
                if (beyondFork(identity, id, true))
                    ++result->lostInRestores;
                else
                    name(QStringLiteral("строка %1 (станция %2, id журнала %3) есть в базе завода, но её нет в журнале")
                             .arg(id).arg(quotedForMessage(it->second), quotedForMessage(identity)));
            }
        }
    }
    // The plant's rows by their content, not by their stored hashes.
    if (!walk(identities, forks, [&](const LedgerRow &row, ChainWalk::Fault fault) {
            if (fault != ChainWalk::Fault::None)
                name(ChainWalk::describe(fault, row, QStringLiteral("в базе завода")));
        }, error))
        return false;
    QStringList found;
    qint64 count = 0;
    if (!repeatedRows(identities, &found, error) || !foreignCopies(ledger, identities, &found, &count, error))
        return false;
    for (const QString &problem : qAsConst(found))
        name(problem);
    return true;
}

QString PlantDatabase::rowColumns() const
{
    return (m_startRows ? QString::fromLatin1(RowColumnsSql)
                        : QString::fromLatin1(RowColumnsSql).replace(QStringLiteral("kind, start_row"), QStringLiteral("'end' AS kind, NULL AS start_row")))
         + (m_processColumns ? QStringLiteral(", machine, boot, pid, process_start") : QString())
         + (m_chainColumns ? QStringLiteral(", hash_version, detail") : QString());
}

bool PlantDatabase::walk(const QStringList &identities, const QHash<QString, QPair<QString, qint64>> &forks,
                         const std::function<void(const LedgerRow &, ChainWalk::Fault)> &each, QString *error)
{
    if (identities.isEmpty())
        return true;
    QSqlQuery query(QSqlDatabase::database(m_connection));
    query.setForwardOnly(true);
    if (!query.prepare(QStringLiteral("SELECT %1 FROM attempts WHERE ledger IN (%2) ORDER BY station, row_id").arg(rowColumns(), placeholders(identities)))) {
        *error = plantErrorText(query.lastError());
        return false;
    }
    for (const QString &identity : identities)
        query.addBindValue(identity);
    if (!query.exec()) {
        *error = plantErrorText(query.lastError());
        return false;
    }
    // Every row's hash computed anew from what the plant database holds: a stored hash proves
    // nothing of the row beside it.
    ChainWalk chain(forks);
    const RowColumns columns = RowColumns::of(query.record());
    while (query.next()) {
        const LedgerRow row = ledgerRowFrom(query, columns);
        each(row, chain.next(row));
    }
    return true;
}

bool PlantDatabase::repeatedRows(const QStringList &identities, QStringList *named, QString *error)
{
    // A row's number is the ledger's, once for every station: the same number twice under one
    // identity is a row planted beside another.
    QSqlQuery query(QSqlDatabase::database(m_connection));
    if (!query.prepare(QStringLiteral("SELECT ledger, row_id, string_agg(station, ', ' ORDER BY station) FROM attempts WHERE ledger IN (%1) "
                                      "GROUP BY ledger, row_id HAVING count(*) > 1 ORDER BY row_id LIMIT 10")
                           .arg(placeholders(identities)))) {
        *error = plantErrorText(query.lastError());
        return false;
    }
    for (const QString &identity : identities)
        query.addBindValue(identity);
    if (!query.exec()) {
        *error = plantErrorText(query.lastError());
        return false;
    }
    while (query.next())
        *named << QStringLiteral("строка %1 (id журнала %2) есть в базе завода не раз, у станций %3: одна из них подложена")
                      .arg(query.value(1).toLongLong()).arg(quotedForMessage(query.value(0).toString()), quotedForMessage(query.value(2).toString(), 200));
    return true;
}

bool PlantDatabase::foreignCopies(Ledger &ledger, const QStringList &identities, QStringList *named, qint64 *count, QString *error)
{
    // The same attempts under an identity this ledger does not know: its rows given a new
    // identity (rewritten), or the plant's rows copied under another. A station's new ledger
    // shares no batch with its former one.
    LedgerHead head;
    if (!ledger.head(&head, error))
        return false;
    QStringList stations;
    for (const LedgerHead::Chain &chain : qAsConst(head.chains))
        stations << chain.station;
    stations.removeDuplicates();
    if (stations.isEmpty())
        return true;
    QSqlQuery query(QSqlDatabase::database(m_connection));
    query.setForwardOnly(true);
    if (!query.prepare(QStringLiteral("SELECT ledger, station, batch, count(*) FROM attempts WHERE ledger NOT IN (%1) AND station IN (%2) "
                                      "GROUP BY ledger, station, batch")
                           .arg(placeholders(identities), placeholders(stations)))) {
        *error = plantErrorText(query.lastError());
        return false;
    }
    for (const QString &value : identities + stations)
        query.addBindValue(value);
    if (!query.exec()) {
        *error = plantErrorText(query.lastError());
        return false;
    }
    while (query.next()) {
        bool found = false;
        if (!ledger.hasBatch(query.value(2).toString(), &found, error))
            return false;
        if (!found)
            continue;
        *count += query.value(3).toLongLong();
        if (named->size() < 10)
            *named << QStringLiteral("партия %1 станции %2 есть в базе завода и под id журнала %3, которого этот журнал не знает "
                                     "(строк %4): журнал или база переписаны")
                          .arg(quotedForMessage(query.value(2).toString()), quotedForMessage(query.value(1).toString()),
                               quotedForMessage(query.value(0).toString()))
                          .arg(query.value(3).toLongLong());
    }
    return true;
}
