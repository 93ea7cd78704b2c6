#include "plantdatabase.h"

#include "plantsql.h"
#include "textescape.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

bool PlantDatabase::lastAgreed(Ledger &ledger, const QString &identity, qint64 upTo, qint64 *row, QString *error)
{
    constexpr int Step = 500;
    for (;;) {
        QList<QPair<qint64, QString>> mine;
        if (!ledger.hashesOf(identity, upTo, Step, &mine, error))
            return false;
        if (mine.isEmpty()) {
            *row = 0;
            return true;
        }
        QHash<qint64, QPair<QString, QString>> theirs;
        if (!hashes(identity, mine.constLast().first, mine.constFirst().first, &theirs, error))
            return false;
        for (const auto &[id, hash] : qAsConst(mine)) {
            if (theirs.value(id).first == hash) {
                *row = id;
                return true;
            }
        }
        upTo = mine.constLast().first - 1;
    }
}

bool PlantDatabase::firstBroken(const QString &identity, const QHash<QString, QPair<QString, qint64>> &forks, QString *broken, QString *error)
{
    QStringList lineage{identity};
    while (forks.contains(lineage.constLast()) && !lineage.contains(forks.value(lineage.constLast()).first))
        lineage << forks.value(lineage.constLast()).first;
    broken->clear();
    return walk(lineage, forks, [&](const LedgerRow &row, ChainWalk::Fault fault) {
        if (fault != ChainWalk::Fault::None && broken->isEmpty())
            *broken = ChainWalk::describe(fault, row, QStringLiteral("в базе завода"));
    }, error);
}

bool PlantDatabase::lostRowsWhole(const QString &identity, qint64 kept, qint64 plantRow, QString *broken, QString *error)
{
    QStringList repeated;
    if (!repeatedRows({identity}, &repeated, error))
        return false;
    if (!repeated.isEmpty()) {
        *broken = repeated.constFirst();
        return true;
    }
    // The rows a restore lost went to the plant one after another: every number up to its last.
    QSqlQuery query(QSqlDatabase::database(m_connection));
    if (!query.prepare(QStringLiteral("SELECT count(*) FROM attempts WHERE ledger = ? AND row_id > ? AND row_id <= ?"))) {
        *error = plantErrorText(query.lastError());
        return false;
    }
    query.addBindValue(identity);
    query.addBindValue(kept);
    query.addBindValue(plantRow);
    if (!query.exec() || !query.next()) {
        *error = plantErrorText(query.lastError());
        return false;
    }
    const qint64 held = query.value(0).toLongLong();
    if (held != plantRow - kept)
        *broken = QStringLiteral("из строк %1-%2 (id журнала %3) в базе завода только %4, а строки туда идут подряд")
                      .arg(kept + 1).arg(plantRow).arg(quotedForMessage(identity)).arg(held);
    return true;
}
