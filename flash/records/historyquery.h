#ifndef HISTORYQUERY_H
#define HISTORYQUERY_H

#include <QDateTime>
#include <QString>
#include <QVariant>

// Which rows --history shows; empty fields do not filter.
struct LedgerFilter
{
    QDateTime since;  // from, UTC
    QDateTime until;  // before, UTC
    int device = -1;
    QString link;
    QString label;
    QString outcome;
    QString batch;
    bool latest = false; // only each device's (link and number) latest attempt
};

// The query for history lines, oldest first: the columns of attempts where the filter holds, and
// whatever the caller adds (extra, beginning with AND). With latest, the newest line of each link
// and device within the other filters, kept when its outcome passes: the devices whose latest
// attempt failed, say.
QString historyQuery(const QString &columns, const LedgerFilter &filter, const QString &extra, const QString &order, QVariantList *values);

// The filter as SQL for the ledger's and the plant database's attempts tables alike: " WHERE
// ..." with a ? for each of *values, or nothing.
QString filterClause(const LedgerFilter &filter, QVariantList *values);

// Where the two stores' SQL differs: the ledger's SQLite file numbers its rows once for every
// station; the plant's PostgreSQL keys them by station, ledger identity and number.
enum class SqlDialect { Sqlite, Postgres };

// Lines of --history and the plant's view of each device: one per attempt, its end row, or its
// start row while no end names it; a restore and its acknowledgement are no attempts. The
// condition on table (the attempts table as the query names it), in parentheses.
QString oneLinePerAttempt(SqlDialect dialect, const QString &table);

#endif // HISTORYQUERY_H
