#include "ledger.h"

#include "sqliteerrors.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QUuid>

// Brings the schema from an older version to this one, step by step, inside the caller's
// transaction: a ledger is never left half upgraded.
bool Ledger::upgrade(int from, QString *error)
{
    QSqlQuery query(QSqlDatabase::database(m_connection));
    QStringList steps;
    if (from < 1) {
        steps << QStringLiteral("CREATE TABLE attempts (id INTEGER PRIMARY KEY, batch TEXT NOT NULL, label TEXT NOT NULL, "
                                "station TEXT NOT NULL, operator TEXT NOT NULL, program_version TEXT NOT NULL, link TEXT NOT NULL, "
                                "device INTEGER NOT NULL, attempt INTEGER NOT NULL, outcome TEXT NOT NULL, status INTEGER, "
                                "message TEXT NOT NULL, bytes_acknowledged INTEGER NOT NULL, retransmissions INTEGER NOT NULL, "
                                "started_at TEXT NOT NULL, ended_at TEXT NOT NULL, image_path TEXT NOT NULL, image_size INTEGER NOT NULL, "
                                "image_sha256 TEXT NOT NULL, previous_hash TEXT NOT NULL, row_hash TEXT NOT NULL)")
              << QStringLiteral("CREATE INDEX attempts_started ON attempts (started_at)")
              << QStringLiteral("CREATE INDEX attempts_device ON attempts (device, started_at)")
              << QStringLiteral("CREATE INDEX attempts_batch ON attempts (batch)")
              << QStringLiteral("CREATE INDEX attempts_station ON attempts (station, id)")
              << QStringLiteral("CREATE TABLE ledger_info (key TEXT PRIMARY KEY, value TEXT NOT NULL)")
              << QStringLiteral("INSERT INTO ledger_info VALUES ('id', '%1')").arg(QUuid::createUuid().toString(QUuid::WithoutBraces))
              << QStringLiteral("CREATE TABLE plant_copies (plant TEXT PRIMARY KEY, last_row INTEGER NOT NULL)")
              << QStringLiteral("PRAGMA application_id = %1").arg(ApplicationId);
    }
    if (from < 2) {
        // An attempt goes on record before its first block and again when it ends.
        steps << QStringLiteral("ALTER TABLE attempts ADD COLUMN kind TEXT NOT NULL DEFAULT 'end'")
              << QStringLiteral("ALTER TABLE attempts ADD COLUMN start_row INTEGER")
              << QStringLiteral("CREATE INDEX attempts_start_row ON attempts (start_row)")
              // The head, kept with every row from now on: a truncated or emptied ledger no
              // longer ends where its head says.
              << QStringLiteral("INSERT INTO ledger_info SELECT 'head_rows', count(*) FROM attempts")
              << QStringLiteral("INSERT INTO ledger_info SELECT 'head_row', coalesce(max(id), 0) FROM attempts")
              << QStringLiteral("INSERT INTO ledger_info SELECT 'head_hash', coalesce((SELECT row_hash FROM attempts ORDER BY id DESC LIMIT 1), '')");
    }
    if (from < 3) {
        // The identity each row was written under, the plant database's key; after a restore
        // from a backup it is new, so that rows of the same number never collide there. What
        // the plant database holds is asked of it, not remembered here.
        steps << QStringLiteral("ALTER TABLE attempts ADD COLUMN ledger_id TEXT NOT NULL DEFAULT ''")
              << QStringLiteral("UPDATE attempts SET ledger_id = (SELECT value FROM ledger_info WHERE key = 'id')")
              << QStringLiteral("CREATE INDEX attempts_ledger ON attempts (ledger_id, id)")
              << QStringLiteral("CREATE TABLE restores (before TEXT NOT NULL, after TEXT NOT NULL, kept_row INTEGER NOT NULL, "
                                "plant_row INTEGER NOT NULL, found_at TEXT NOT NULL, acknowledged_by TEXT, acknowledged_at TEXT)")
              << QStringLiteral("DROP TABLE plant_copies");
    }
    if (from < 4) {
        // The flasher that wrote each row, so that whether an attempt's flasher still runs is
        // decided from the record itself, not from a lock in a folder others can reach.
        steps << QStringLiteral("ALTER TABLE attempts ADD COLUMN machine TEXT")
              << QStringLiteral("ALTER TABLE attempts ADD COLUMN boot TEXT")
              << QStringLiteral("ALTER TABLE attempts ADD COLUMN pid INTEGER")
              << QStringLiteral("ALTER TABLE attempts ADD COLUMN process_start TEXT");
    }
    if (from < 5) {
        // Hashes that cover every field, the row's number and identity too; a restore is a row
        // of the chain. Older rows keep the hashes they were written with (no version: 1), and
        // restores kept apart before stay where they are.
        steps << QStringLiteral("ALTER TABLE attempts ADD COLUMN hash_version INTEGER")
              << QStringLiteral("ALTER TABLE attempts ADD COLUMN detail TEXT");
        if (from >= 3)
            steps << QStringLiteral("CREATE INDEX IF NOT EXISTS attempts_kind ON attempts (kind)");
        else
            steps << QStringLiteral("CREATE INDEX attempts_kind ON attempts (kind)");
    }
    steps << QStringLiteral("PRAGMA user_version = %1").arg(SchemaVersion);
    for (const QString &step : qAsConst(steps)) {
        if (!query.exec(step)) {
            *error = explainedSqliteError(query.lastError());
            return false;
        }
    }
    return true;
}
