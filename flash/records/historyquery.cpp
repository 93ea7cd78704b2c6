#include "historyquery.h"

#include "sqlrows.h"

#include <QStringList>

QString historyQuery(const QString &columns, const LedgerFilter &filter, const QString &extra, const QString &order, QVariantList *values)
{
    const auto where = [&](const LedgerFilter &part) {
        const QString clause = filterClause(part, values) + extra;
        return clause.startsWith(QLatin1String(" AND ")) ? QStringLiteral(" WHERE") + clause.mid(4) : clause;
    };
    if (!filter.latest)
        return QStringLiteral("SELECT %1 FROM attempts%2 ORDER BY %3").arg(columns, where(filter), order);
    LedgerFilter scope = filter;
    scope.outcome.clear();
    const QString inner = where(scope);
    LedgerFilter state;
    state.outcome = filter.outcome;
    const QString outer = filterClause(state, values);
    return QStringLiteral("SELECT * FROM (SELECT %1, row_number() OVER (PARTITION BY link, device ORDER BY started_at DESC, %3 DESC) AS newest "
                          "FROM attempts%2) lines WHERE newest = 1%4 ORDER BY %3")
        .arg(columns, inner, order, outer.isEmpty() ? QString() : QStringLiteral(" AND ") + outer.mid(7));
}

QString filterClause(const LedgerFilter &filter, QVariantList *values)
{
    QStringList where;
    const auto add = [&](const char *condition, const QVariant &value) {
        where << QLatin1String(condition);
        *values << value;
    };
    if (filter.since.isValid())
        add("started_at >= ?", sqlTime(filter.since));
    if (filter.until.isValid())
        add("started_at < ?", sqlTime(filter.until));
    if (filter.device >= 0)
        add("device = ?", filter.device);
    if (!filter.link.isEmpty())
        add("link = ?", filter.link);
    if (!filter.label.isEmpty())
        add("label = ?", filter.label);
    // not-updated: every outcome but updated, whatever names later outcomes get.
    if (filter.outcome == QLatin1String("not-updated")) {
        add("outcome <> ?", QStringLiteral("updated"));
    } else if (filter.outcome == QLatin1String("unfinished")) {
        // Closed as unfinished by a later flasher, or still "in progress" with its flasher gone:
        // the caller tells which after the liveness check.
        add("outcome IN (?, 'in progress')", filter.outcome);
    } else if (!filter.outcome.isEmpty()) {
        add("outcome = ?", filter.outcome);
    }
    if (!filter.batch.isEmpty())
        add("batch = ?", filter.batch);
    return where.isEmpty() ? QString() : QStringLiteral(" WHERE ") + where.join(QStringLiteral(" AND "));
}

QString oneLinePerAttempt(SqlDialect dialect, const QString &table)
{
    // An end row names its start row by number; in the plant, a number is one station's under
    // one identity.
    const QString names = dialect == SqlDialect::Sqlite
        ? QStringLiteral("e.start_row = %1.id")
        : QStringLiteral("e.station = %1.station AND e.ledger = %1.ledger AND e.start_row = %1.row_id");
    return QStringLiteral("(%1.kind = 'end' OR (%1.kind = 'start' AND NOT EXISTS (SELECT 1 FROM attempts e WHERE %2 AND e.kind = 'end')))")
        .arg(table, names.arg(table));
}
