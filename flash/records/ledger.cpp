#include "ledger.h"

#include "platform.h"
#include "textescape.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStandardPaths>
#include <QThread>
#include <QUrl>
#include <QUuid>

#include <limits>
#include <utility>

namespace {

// SQLite's error as the operator reads it: what it means and what to do, then SQLite's own words.
QString explained(const QSqlError &error)
{
    QString meaning;
    switch (error.nativeErrorCode().toInt() & 0xff) { // the primary code of an extended one
    case 26: // SQLITE_NOTADB
        meaning = QStringLiteral("файл - не база SQLite, а значит, не журнал; укажите журнал (--records)");
        break;
    case 5: // SQLITE_BUSY
    case 6: // SQLITE_LOCKED
        meaning = QStringLiteral("журнал занят другой программой дольше 10 с; повторите, когда она закончит");
        break;
    case 13: // SQLITE_FULL
        meaning = QStringLiteral("диск полон; освободите место на диске журнала");
        break;
    case 8: // SQLITE_READONLY
    case 23: // SQLITE_AUTH
        meaning = QStringLiteral("в журнал нельзя писать; нужны права на запись в файл и его папку");
        break;
    case 14: // SQLITE_CANTOPEN
        meaning = QStringLiteral("файл журнала не открывается; проверьте путь и права");
        break;
    case 10: // SQLITE_IOERR
        meaning = QStringLiteral("ошибка ввода-вывода; проверьте диск журнала");
        break;
    case 11: // SQLITE_CORRUPT
        meaning = QStringLiteral("файл журнала повреждён; сохраните его для разбора и начните новый (--records)");
        break;
    default:
        meaning = QStringLiteral("ошибка базы SQLite");
    }
    const QString cause = error.databaseText().isEmpty() ? error.driverText() : error.databaseText();
    return cause.isEmpty() ? meaning : QStringLiteral("%1: %2").arg(meaning, cause.simplified());
}

// "VLXL": a SQLite file with this application id is a ledger of ours.
constexpr int ApplicationId = 0x564c584c;
constexpr int BusyTimeoutMs = 10000;

// SQLite takes a null QString as NULL; the ledger's text columns hold text, empty or not.
QVariant text(const QString &value)
{
    return value.isNull() ? QVariant(QStringLiteral("")) : QVariant(value);
}

QString utc(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODateWithMs);
}

// A write under the ledger's write lock, taken at once: whatever other flashers of the station
// are writing, what it reads and what it writes belong together.
bool beginWrite(QSqlDatabase &db, QString *error)
{
    QSqlQuery begin(db);
    if (begin.exec(QStringLiteral("BEGIN IMMEDIATE")))
        return true;
    *error = explained(begin.lastError());
    return false;
}

// A write that failed: its statement's error, explained, and nothing of it kept.
bool abandonWrite(QSqlDatabase &db, const QSqlQuery &failed, QString *error)
{
    *error = explained(failed.lastError());
    QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
    return false;
}

const char *const Columns = "id, batch, label, station, operator, program_version, link, device, attempt, outcome, status, message, "
                            "bytes_acknowledged, retransmissions, started_at, ended_at, image_path, image_size, image_sha256, "
                            "previous_hash, row_hash";
// Lines of --history: one per attempt, its end row, or its start row while no end names it; a
// restore and its acknowledgement are no attempts.
const char *const OneLinePerAttempt = "(kind = 'end' OR (kind = 'start' AND NOT EXISTS (SELECT 1 FROM attempts e WHERE e.start_row = attempts.id "
                                      "AND e.kind = 'end')))";

} // namespace

bool selectLedgerRows(const QSqlDatabase &db, const QString &sql, const QVariantList &values, QList<LedgerRow> *rows, QString *error)
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    // The plant database's errors are PostgreSQL's, said in its words; a statement that could
    // not be prepared (a lock waited for too long) is said as such, not as what follows it.
    const auto failed = [&] {
        const QSqlError why = query.lastError();
        *error = db.driverName() == QLatin1String("QSQLITE") ? explained(why)
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
        add("started_at >= ?", utc(filter.since));
    if (filter.until.isValid())
        add("started_at < ?", utc(filter.until));
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

Ledger::Ledger()
    : m_connection(QStringLiteral("ledger-") + QUuid::createUuid().toString(QUuid::WithoutBraces))
{
}

Ledger::~Ledger()
{
    {
        QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        if (db.isValid())
            db.close();
    }
    QSqlDatabase::removeDatabase(m_connection);
}

QString Ledger::defaultPath()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation)).filePath(QStringLiteral("records.sqlite"));
}

bool Ledger::open(const QString &path, QString *error, Access access)
{
    const QFileInfo place(path);
    if (place.isDir()) {
        *error = QStringLiteral("это папка");
        return false;
    }
    const bool readOnly = access == Access::ReadOnly;
    if (readOnly && !place.exists()) {
        *error = QStringLiteral("нет такого файла; журнал ведёт vorlex-flash, когда обновляет приборы (--records)");
        return false;
    }
    if (readOnly && place.size() == 0) {
        *error = QStringLiteral("файл пуст, это не журнал");
        return false;
    }
    // Only the user's data folder is made when missing: any other missing folder is a typing
    // mistake, which would otherwise start a second ledger in a place nobody looks.
    if (!place.absoluteDir().exists()) {
        if (place.absoluteFilePath() != QFileInfo(defaultPath()).absoluteFilePath()) {
            *error = QStringLiteral("нет папки %1").arg(quotedForMessage(QDir::toNativeSeparators(place.absolutePath()), PathInMessage));
            return false;
        }
        if (!QDir().mkpath(place.absolutePath())) {
            *error = QStringLiteral("нельзя создать папку %1").arg(quotedForMessage(QDir::toNativeSeparators(place.absolutePath()), PathInMessage));
            return false;
        }
    }
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QSQLITE"))) {
        *error = QStringLiteral("нет драйвера SQLite для Qt (пакет libqt6sql6-sqlite или libqt5sql5-sqlite)");
        return false;
    }
    m_path = path;
    bool immutable = false;
    if (readOnly && QFileInfo::exists(path + QStringLiteral("-wal"))) {
        // A writer is at work, or died: what it has written is in the -wal, which only the
        // -shm beside it tells how to read.
        if (!QFileInfo::exists(path + QStringLiteral("-shm"))) {
            m_beingWritten = true;
            *error = QStringLiteral("журнал пишется, или его vorlex-flash прервался: у него есть %1 без %2, а без него последние записи "
                                    "прочесть можно, только создав его в папке журнала. Повторите, когда партия кончится; "
                                    "после прерванной первая же запись журнала (партия, --sync-records) вберёт их")
                         .arg(quotedForMessage(place.fileName() + QStringLiteral("-wal"), 200), quotedForMessage(place.fileName() + QStringLiteral("-shm"), 200));
            return false;
        }
    } else if (readOnly) {
        // No writer: the file alone, which SQLite then reads making nothing beside it.
        immutable = true;
        m_stamp = platform::fileStamp(path);
    }
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
    db.setDatabaseName(immutable ? QUrl::fromLocalFile(place.absoluteFilePath()).toString(QUrl::FullyEncoded) + QStringLiteral("?immutable=1") : path);
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1%2%3")
                             .arg(BusyTimeoutMs)
                             .arg(readOnly ? QStringLiteral(";QSQLITE_OPEN_READONLY") : QString(), immutable ? QStringLiteral(";QSQLITE_OPEN_URI") : QString()));
    if (!db.open()) {
        *error = explained(db.lastError());
        return false;
    }
    QSqlQuery query(db);
    // Under one write lock: another flasher may be creating the same ledger right now. A reader
    // takes a snapshot.
    if (!query.exec(readOnly ? QStringLiteral("BEGIN") : QStringLiteral("BEGIN IMMEDIATE"))) {
        *error = explained(query.lastError());
        return false;
    }
    const auto refuse = [&](const QString &why) {
        *error = why;
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        return false;
    };
    const auto number = [&](const QString &statement, int *value) {
        const bool ok = query.exec(statement) && query.next();
        *value = ok ? query.value(0).toInt() : 0;
        // A statement left open would keep the transaction from committing.
        query.finish();
        return ok;
    };
    int application = 0;
    int version = 0;
    int objects = 0;
    if (!number(QStringLiteral("PRAGMA application_id"), &application) || !number(QStringLiteral("PRAGMA user_version"), &version)
        || !number(QStringLiteral("SELECT count(*) FROM sqlite_master"), &objects))
        return refuse(explained(query.lastError()));
    if ((objects > 0 || readOnly) && application != ApplicationId)
        return refuse(QStringLiteral("это не журнал vorlex-flash"));
    if (version > SchemaVersion)
        return refuse(QStringLiteral("журнал записан более новой программой (версия схемы %1, эта знает до %2); он не тронут").arg(version).arg(SchemaVersion));
    // A reader takes an older ledger as it is; a writer brings it up to date first.
    if (version < SchemaVersion && !readOnly && !upgrade(version, error))
        return refuse(*error);
    m_version = readOnly ? version : SchemaVersion;
    if (!query.exec(QStringLiteral("SELECT value FROM ledger_info WHERE key = 'id'")) || !query.next())
        return refuse(QStringLiteral("у журнала нет своего id: %1").arg(explained(query.lastError())));
    m_id = query.value(0).toString();
    query.finish();
    // A reader keeps its snapshot: what it reads next belongs together, whatever is written meanwhile.
    if (readOnly)
        return true;
    if (!query.exec(QStringLiteral("COMMIT")))
        return refuse(explained(query.lastError()));
    // Readers and writers of several flashers at once. The switch needs the file to itself for
    // a moment, and SQLite does not wait for that on its own.
    QElapsedTimer waited;
    waited.start();
    while (!query.exec(QStringLiteral("PRAGMA journal_mode=WAL"))) {
        if (waited.elapsed() > BusyTimeoutMs) {
            *error = explained(query.lastError());
            return false;
        }
        QThread::msleep(20);
    }
    query.finish();
    return true;
}

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
            *error = explained(query.lastError());
            return false;
        }
    }
    return true;
}

QString Ledger::columns() const
{
    return QLatin1String(Columns) + (m_version >= 2 ? QStringLiteral(", kind, start_row") : QStringLiteral(", 'end' AS kind, NULL AS start_row"))
        + (m_version >= 3 ? QStringLiteral(", ledger_id") : QString()) + (m_version >= 4 ? QStringLiteral(", machine, boot, pid, process_start") : QString())
        + (m_version >= 5 ? QStringLiteral(", hash_version, detail") : QString());
}

bool Ledger::predecessorHash(const QString &station, const QString &identity, qint64 bound, QString *hash, QString *error)
{
    QSqlQuery query(QSqlDatabase::database(m_connection));
    query.prepare(QStringLiteral("SELECT row_hash FROM attempts WHERE station = ? AND ledger_id = ? AND id <= ? ORDER BY id DESC LIMIT 1"));
    QHash<QString, QPair<QString, qint64>> forks;
    bool forksRead = false;
    QString lineage = identity;
    // Within one identity the station's last row; a station's first row under an identity
    // follows the restore that began it back to the row before its fork.
    for (int depth = 0; depth < 1000; ++depth) {
        query.bindValue(0, station);
        query.bindValue(1, lineage);
        query.bindValue(2, bound);
        if (!query.exec()) {
            *error = explained(query.lastError());
            return false;
        }
        if (query.next()) {
            *hash = query.value(0).toString();
            return true;
        }
        if (!std::exchange(forksRead, true) && !this->forks(&forks, error))
            return false;
        if (!forks.contains(lineage))
            break;
        bound = qMin(bound, forks.value(lineage).second);
        lineage = forks.value(lineage).first;
    }
    *hash = NoPreviousRow;
    return true;
}

bool Ledger::insertRow(LedgerRow *row, QString *error)
{
    QSqlDatabase db = QSqlDatabase::database(m_connection);
    QSqlQuery next(db);
    // A row's id is never used twice, not even after the last rows were deleted: the head
    // remembers the highest one. The identity is read here, where another flasher may have
    // made it anew.
    if (!next.exec(QStringLiteral("SELECT max(coalesce((SELECT max(id) FROM attempts), 0), (SELECT CAST(value AS INTEGER) FROM ledger_info "
                                  "WHERE key = 'head_row')) + 1, (SELECT value FROM ledger_info WHERE key = 'id')"))
        || !next.next()) {
        *error = explained(next.lastError());
        return false;
    }
    row->id = next.value(0).toLongLong();
    row->ledgerId = next.value(1).toString();
    next.finish();
    row->hashVersion = LedgerRow::CurrentHashVersion;
    // A restore begins its identity: it follows the row before its fork.
    RestoreFacts facts;
    const bool restore = row->kind == QLatin1String("restore") && RestoreFacts::parse(row->detail, &facts);
    if (!predecessorHash(row->station, restore ? facts.before : row->ledgerId, restore ? facts.fork : std::numeric_limits<qint64>::max(),
                         &row->previousHash, error))
        return false;
    row->rowHash = rowHash(*row, row->previousHash);
    QSqlQuery insert(db);
    insert.prepare(QStringLiteral("INSERT INTO attempts (batch, label, station, operator, program_version, link, device, attempt, outcome, "
                                  "status, message, bytes_acknowledged, retransmissions, started_at, ended_at, image_path, image_size, "
                                  "image_sha256, previous_hash, row_hash, kind, start_row, machine, boot, pid, process_start, id, ledger_id, "
                                  "hash_version, detail) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"));
    const bool known = row->pid != 0;
    for (const QVariant &value : {text(row->batch), text(row->label), text(row->station), text(row->operatorName), text(row->programVersion),
                                  text(row->link), QVariant(row->device), QVariant(row->attempt), text(row->outcome), row->status,
                                  text(row->message), QVariant(row->bytesAcknowledged), QVariant(row->retransmissions),
                                  text(utc(row->start)), text(utc(row->end)), text(row->imagePath), QVariant(row->imageSize),
                                  text(row->imageSha256), QVariant(row->previousHash), QVariant(row->rowHash), text(row->kind),
                                  row->startRow > 0 ? QVariant(row->startRow) : QVariant(), known ? text(row->machine) : QVariant(),
                                  known ? text(row->boot) : QVariant(), known ? QVariant(row->pid) : QVariant(),
                                  known ? text(row->processStart) : QVariant(), QVariant(row->id), QVariant(row->ledgerId),
                                  QVariant(row->hashVersion), row->detail.isEmpty() ? QVariant() : QVariant(row->detail)})
        insert.addBindValue(value);
    if (!insert.exec()) {
        *error = explained(insert.lastError());
        return false;
    }
    QSqlQuery head(db);
    head.prepare(QStringLiteral("UPDATE ledger_info SET value = CASE key WHEN 'head_rows' THEN CAST(value AS INTEGER) + 1 "
                                "WHEN 'head_row' THEN ? ELSE ? END WHERE key IN ('head_rows', 'head_row', 'head_hash')"));
    head.addBindValue(row->id);
    head.addBindValue(row->rowHash);
    if (!head.exec() || head.numRowsAffected() != 3) {
        *error = head.lastError().isValid() ? explained(head.lastError()) : QStringLiteral("у журнала нет заголовка");
        return false;
    }
    return true;
}

bool Ledger::readUnchanged() const
{
    return m_stamp.isEmpty() || (!QFileInfo::exists(m_path + QStringLiteral("-wal")) && platform::fileStamp(m_path) == m_stamp);
}

bool Ledger::write(const std::function<bool(QSqlDatabase &, QString *)> &body, QString *error)
{
    QSqlDatabase db = QSqlDatabase::database(m_connection);
    if (!beginWrite(db, error))
        return false;
    if (!body(db, error)) {
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        return false;
    }
    QSqlQuery commit(db);
    if (!commit.exec(QStringLiteral("COMMIT")))
        return abandonWrite(db, commit, error);
    return true;
}

bool Ledger::append(LedgerRow row, QString *error, qint64 *id)
{
    // The previous row's hash and this row go in under one write lock.
    if (!write([&](QSqlDatabase &, QString *why) { return insertRow(&row, why); }, error))
        return false;
    if (id)
        *id = row.id;
    return true;
}

bool Ledger::closeAttempt(LedgerRow end, bool *closed, QString *error)
{
    *closed = false;
    return write([&](QSqlDatabase &db, QString *why) {
        // Asked again under the write lock: flashers that start together all see the attempt open.
        QSqlQuery query(db);
        query.prepare(QStringLiteral("SELECT EXISTS (SELECT 1 FROM attempts WHERE kind = 'end' AND start_row = ?)"));
        query.addBindValue(end.startRow);
        if (!query.exec() || !query.next()) {
            *why = explained(query.lastError());
            return false;
        }
        const bool ended = query.value(0).toBool();
        query.finish();
        if (ended)
            return true;
        *closed = insertRow(&end, why);
        return *closed;
    }, error);
}

bool Ledger::verify(qint64 *rows, QString *problem, QString *error)
{
    QHash<QString, QPair<QString, qint64>> forks;
    if (!this->forks(&forks, error))
        return false;
    QSqlQuery query(QSqlDatabase::database(m_connection));
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT %1 FROM attempts ORDER BY station, id").arg(columns()))) {
        *error = explained(query.lastError());
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
        *error = explained(last.lastError());
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
        *error = explained(query.lastError());
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
        *error = explained(query.lastError());
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
        *error = explained(query.lastError());
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
            *error = explained(query.lastError());
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

bool Ledger::hasBatch(const QString &batch, bool *found, QString *error)
{
    QSqlQuery query(QSqlDatabase::database(m_connection));
    query.prepare(QStringLiteral("SELECT EXISTS (SELECT 1 FROM attempts WHERE batch = ?)"));
    query.addBindValue(batch);
    if (!query.exec() || !query.next()) {
        *error = explained(query.lastError());
        return false;
    }
    *found = query.value(0).toBool();
    return true;
}

bool Ledger::history(const LedgerFilter &filter, QList<LedgerRow> *rows, QString *error)
{
    QVariantList values;
    const QString extra = m_version >= 2 ? QStringLiteral(" AND ") + QLatin1String(OneLinePerAttempt) : QString();
    const QString sql = historyQuery(columns(), filter, extra, QStringLiteral("started_at, id"), &values);
    return selectLedgerRows(QSqlDatabase::database(m_connection), sql, values, rows, error);
}

bool Ledger::openAttempts(QList<LedgerRow> *rows, QString *error)
{
    if (m_version < 2)
        return true;
    const QString sql = QStringLiteral("SELECT %1 FROM attempts WHERE kind = 'start' AND %2 ORDER BY id").arg(columns(), QLatin1String(OneLinePerAttempt));
    return selectLedgerRows(QSqlDatabase::database(m_connection), sql, {}, rows, error);
}

QString Ledger::ofIdentity(const QString &identity, QVariantList *values) const
{
    if (m_version >= 3) {
        *values << identity;
        return QStringLiteral("ledger_id = ?");
    }
    return identity == m_id ? QStringLiteral("1 = 1") : QStringLiteral("0 = 1");
}

bool Ledger::identities(QStringList *ids, QString *error)
{
    ids->clear();
    QList<LedgerRestore> restores;
    if (!this->restores(&restores, error))
        return false;
    // Every identity a row carries, oldest first: rows keep the one they were written under.
    QSqlQuery query(QSqlDatabase::database(m_connection));
    if (m_version >= 3) {
        if (!query.exec(QStringLiteral("SELECT ledger_id FROM attempts GROUP BY ledger_id ORDER BY min(id)"))) {
            *error = explained(query.lastError());
            return false;
        }
        while (query.next())
            *ids << query.value(0).toString();
    }
    for (const LedgerRestore &restore : qAsConst(restores))
        *ids << restore.before;
    QString current = m_id;
    if (query.exec(QStringLiteral("SELECT value FROM ledger_info WHERE key = 'id'")) && query.next())
        current = query.value(0).toString();
    *ids << current;
    ids->removeDuplicates();
    ids->removeAll(current);
    *ids << current;
    return true;
}

bool Ledger::rowsOf(const QString &identity, qint64 after, int limit, QList<LedgerRow> *rows, QString *error)
{
    QVariantList values;
    const QString condition = ofIdentity(identity, &values);
    values << after << limit;
    const QString sql = QStringLiteral("SELECT %1 FROM attempts WHERE %2 AND id > ? ORDER BY id LIMIT ?").arg(columns(), condition);
    const int first = rows->size();
    if (!selectLedgerRows(QSqlDatabase::database(m_connection), sql, values, rows, error))
        return false;
    for (int i = first; i < rows->size(); ++i)
        (*rows)[i].ledgerId = identity;
    return true;
}

bool Ledger::hashesOf(const QString &identity, qint64 upTo, int limit, QList<QPair<qint64, QString>> *rows, QString *error)
{
    QVariantList values;
    const QString condition = ofIdentity(identity, &values);
    QSqlQuery query(QSqlDatabase::database(m_connection));
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT id, row_hash FROM attempts WHERE %1 AND id <= ? ORDER BY id DESC LIMIT ?").arg(condition));
    for (const QVariant &value : qAsConst(values))
        query.addBindValue(value);
    query.addBindValue(upTo);
    query.addBindValue(limit);
    if (!query.exec()) {
        *error = explained(query.lastError());
        return false;
    }
    while (query.next())
        rows->append({query.value(0).toLongLong(), query.value(1).toString()});
    return true;
}

bool Ledger::startAfresh(const LedgerRow &writer, const QString &from, qint64 keptRow, qint64 plantRow, QString *identity, QString *error)
{
    bool made = false;
    const bool written = write([&](QSqlDatabase &db, QString *why) {
        QSqlQuery query(db);
        if (!query.exec(QStringLiteral("SELECT value, (SELECT coalesce(max(id), 0) FROM attempts WHERE ledger_id = ledger_info.value) FROM ledger_info "
                                       "WHERE key = 'id'"))
            || !query.next()) {
            *why = explained(query.lastError());
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
            *why = explained(query.lastError());
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
        *error = explained(query.lastError());
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
        *error = explained(query.lastError());
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
                for (const QVariant &value : {QVariant(writer.operatorName), QVariant(utc(QDateTime::currentDateTimeUtc())), QVariant(restore.before),
                                              QVariant(restore.after)})
                    query.addBindValue(value);
                if (!query.exec()) {
                    *why = explained(query.lastError());
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
