#include "ledger.h"

#include "flashoptions.h"

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
#include <QUuid>

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
const QString NoPreviousRow(64, QLatin1Char('0'));

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

// The hashed content of a row: every field but the id and the hashes, in a fixed order.
QString rowHash(const LedgerRow &row, const QString &previous)
{
    QStringList fields{previous, row.batch, row.label, row.station, row.operatorName, row.programVersion, row.link,
                             QString::number(row.device), QString::number(row.attempt), row.outcome,
                             row.status.isNull() ? QString() : QString::number(row.status.toInt()), row.message,
                             QString::number(row.bytesAcknowledged), QString::number(row.retransmissions), utc(row.start),
                             utc(row.end), row.imagePath, QString::number(row.imageSize), row.imageSha256};
    // A row whole at the end, as schema 1 wrote it, hashes as it always did; the two rows of an
    // attempt also hash what they are and which start an end belongs to.
    if (row.kind != QLatin1String("end") || row.startRow != 0 || row.pid != 0)
        fields << row.kind << QString::number(row.startRow);
    // From schema 4 on, the flasher that wrote it: whether its attempt still runs rests on this.
    if (row.pid != 0)
        fields << row.machine << row.boot << QString::number(row.pid) << row.processStart;
    return QString::fromLatin1(QCryptographicHash::hash(fields.join(QChar(0x1f)).toUtf8(), QCryptographicHash::Sha256).toHex());
}

const char *const Columns = "id, batch, label, station, operator, program_version, link, device, attempt, outcome, status, message, "
                            "bytes_acknowledged, retransmissions, started_at, ended_at, image_path, image_size, image_sha256, "
                            "previous_hash, row_hash";
// Lines of --history: one per attempt, its end row, or its start row while no end names it.
const char *const OneLinePerAttempt = "(kind = 'end' OR NOT EXISTS (SELECT 1 FROM attempts e WHERE e.start_row = attempts.id))";

} // namespace

LedgerRow ledgerRowFrom(const QSqlQuery &query, bool withKind, int process)
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
    if (withKind) {
        row.kind = query.value(21).toString();
        row.startRow = query.value(22).toLongLong();
    }
    if (process >= 0) {
        row.machine = query.value(process).toString();
        row.boot = query.value(process + 1).toString();
        row.pid = query.value(process + 2).toLongLong();
        row.processStart = query.value(process + 3).toString();
    }
    return row;
}

bool selectLedgerRows(const QSqlDatabase &db, const QString &sql, const QVariantList &values, QList<LedgerRow> *rows, QString *error)
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    query.prepare(sql);
    for (const QVariant &value : values)
        query.addBindValue(value);
    if (!query.exec()) {
        *error = explained(query.lastError());
        return false;
    }
    const bool withKind = query.record().count() > 22;
    const int identity = query.record().indexOf(QStringLiteral("ledger_id"));
    const int process = query.record().indexOf(QStringLiteral("machine"));
    while (query.next()) {
        rows->append(ledgerRowFrom(query, withKind, process));
        if (identity >= 0)
            rows->last().ledgerId = query.value(identity).toString();
    }
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
    if (filter.outcome == QLatin1String("not-updated"))
        add("outcome <> ?", QStringLiteral("updated"));
    else if (!filter.outcome.isEmpty())
        add("outcome = ?", filter.outcome);
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
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
    db.setDatabaseName(path);
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1%2").arg(BusyTimeoutMs).arg(readOnly ? QStringLiteral(";QSQLITE_OPEN_READONLY") : QString()));
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
    if (!query.exec(QStringLiteral("COMMIT")))
        return refuse(explained(query.lastError()));
    if (readOnly)
        return true;
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
    return QLatin1String(Columns) + (m_version >= 2 ? QStringLiteral(", kind, start_row") : QStringLiteral(", 'end', NULL"))
        + (m_version >= 4 ? QStringLiteral(", machine, boot, pid, process_start") : QString());
}

bool Ledger::append(LedgerRow row, QString *error, qint64 *id)
{
    QSqlDatabase db = QSqlDatabase::database(m_connection);
    QSqlQuery query(db);
    // The previous row's hash and this row go in under one write lock.
    if (!beginWrite(db, error))
        return false;
    const auto fail = [&](const QSqlQuery &failed) { return abandonWrite(db, failed, error); };
    QSqlQuery last(db);
    last.prepare(QStringLiteral("SELECT row_hash FROM attempts WHERE station = :station ORDER BY id DESC LIMIT 1"));
    last.bindValue(QStringLiteral(":station"), row.station);
    if (!last.exec())
        return fail(last);
    const QString previous = last.next() ? last.value(0).toString() : NoPreviousRow;
    last.finish();
    QSqlQuery insert(db);
    // A row's id is never used twice, not even after the last rows were deleted: the head
    // remembers the highest one. The identity is read here, where another flasher may have
    // made it anew.
    insert.prepare(QStringLiteral("INSERT INTO attempts (batch, label, station, operator, program_version, link, device, attempt, outcome, "
                                  "status, message, bytes_acknowledged, retransmissions, started_at, ended_at, image_path, image_size, "
                                  "image_sha256, previous_hash, row_hash, kind, start_row, machine, boot, pid, process_start, id, ledger_id) "
                                  "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, "
                                  "max(coalesce((SELECT max(id) FROM attempts), 0), (SELECT CAST(value AS INTEGER) FROM ledger_info WHERE key = 'head_row')) + 1, "
                                  "(SELECT value FROM ledger_info WHERE key = 'id'))"));
    for (const QVariant &value : {text(row.batch), text(row.label), text(row.station), text(row.operatorName), text(row.programVersion),
                                  text(row.link), QVariant(row.device), QVariant(row.attempt), text(row.outcome), row.status, text(row.message),
                                  QVariant(row.bytesAcknowledged), QVariant(row.retransmissions), text(utc(row.start)), text(utc(row.end)),
                                  text(row.imagePath), QVariant(row.imageSize), text(row.imageSha256), QVariant(previous),
                                  QVariant(rowHash(row, previous)), text(row.kind), row.startRow > 0 ? QVariant(row.startRow) : QVariant(),
                                  row.pid != 0 ? text(row.machine) : QVariant(), row.pid != 0 ? text(row.boot) : QVariant(),
                                  row.pid != 0 ? QVariant(row.pid) : QVariant(), row.pid != 0 ? text(row.processStart) : QVariant()})
        insert.addBindValue(value);
    if (!insert.exec())
        return fail(insert);
    const qint64 newId = insert.lastInsertId().toLongLong();
    if (id)
        *id = newId;
    QSqlQuery head(db);
    head.prepare(QStringLiteral("UPDATE ledger_info SET value = CASE key WHEN 'head_rows' THEN CAST(value AS INTEGER) + 1 "
                                "WHEN 'head_row' THEN ? ELSE ? END WHERE key IN ('head_rows', 'head_row', 'head_hash')"));
    head.addBindValue(newId);
    head.addBindValue(rowHash(row, previous));
    if (!head.exec() || head.numRowsAffected() != 3)
        return fail(head);
    if (!query.exec(QStringLiteral("COMMIT")))
        return fail(query);
    return true;
}

bool Ledger::verify(qint64 *rows, QString *problem, QString *error)
{
    QSqlQuery query(QSqlDatabase::database(m_connection));
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT %1 FROM attempts ORDER BY station, id").arg(columns()))) {
        *error = explained(query.lastError());
        return false;
    }
    *rows = 0;
    QString station;
    QString previous = NoPreviousRow;
    const int process = query.record().indexOf(QStringLiteral("machine"));
    while (query.next()) {
        const LedgerRow row = ledgerRowFrom(query, true, process);
        if (*rows == 0 || row.station != station) {
            station = row.station;
            previous = NoPreviousRow;
        }
        ++*rows;
        if (row.previousHash != previous) {
            *problem = QStringLiteral("перед строкой %1 (станция %2) строка удалена или вставлена").arg(row.id).arg(row.station);
            return false;
        }
        if (rowHash(row, previous) != row.rowHash) {
            *problem = QStringLiteral("строка %1 (станция %2) изменена").arg(row.id).arg(row.station);
            return false;
        }
        previous = row.rowHash;
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
    // An identity is only ever replaced by a restore, which names it: no need to look at rows.
    QSqlQuery query(QSqlDatabase::database(m_connection));
    if (!query.exec(m_version >= 3 ? QStringLiteral("SELECT before FROM restores ORDER BY rowid") : QStringLiteral("SELECT 1 WHERE 0"))) {
        *error = explained(query.lastError());
        return false;
    }
    ids->clear();
    while (query.next())
        *ids << query.value(0).toString();
    QString current = m_id;
    if (query.exec(QStringLiteral("SELECT value FROM ledger_info WHERE key = 'id'")) && query.next())
        current = query.value(0).toString();
    ids->removeAll(current);
    *ids << current;
    return true;
}

bool Ledger::rowsOf(const QString &identity, qint64 after, int limit, QList<LedgerRow> *rows, QString *error)
{
    QVariantList values;
    const QString condition = ofIdentity(identity, &values);
    values << after << limit;
    const QString sql = QStringLiteral("SELECT %1%2 FROM attempts WHERE %3 AND id > ? ORDER BY id LIMIT ?")
                            .arg(columns(), m_version >= 3 ? QStringLiteral(", ledger_id") : QString(), condition);
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

bool Ledger::startAfresh(const QString &from, qint64 keptRow, qint64 plantRow, QString *identity, QString *error)
{
    QSqlDatabase db = QSqlDatabase::database(m_connection);
    QSqlQuery query(db);
    if (!beginWrite(db, error))
        return false;
    const auto fail = [&](const QSqlQuery &failed) { return abandonWrite(db, failed, error); };
    if (!query.exec(QStringLiteral("SELECT value FROM ledger_info WHERE key = 'id'")) || !query.next())
        return fail(query);
    *identity = query.value(0).toString();
    query.finish();
    // Another flasher of this ledger has seen the restore first.
    if (*identity != from) {
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        return true;
    }
    *identity = QUuid::createUuid().toString(QUuid::WithoutBraces);
    QSqlQuery step(db);
    step.prepare(QStringLiteral("UPDATE attempts SET ledger_id = ? WHERE ledger_id = ? AND id > ?"));
    step.addBindValue(*identity);
    step.addBindValue(from);
    step.addBindValue(keptRow);
    if (!step.exec())
        return fail(step);
    step.prepare(QStringLiteral("UPDATE ledger_info SET value = ? WHERE key = 'id'"));
    step.addBindValue(*identity);
    if (!step.exec())
        return fail(step);
    step.prepare(QStringLiteral("INSERT INTO restores (before, after, kept_row, plant_row, found_at) VALUES (?, ?, ?, ?, ?)"));
    for (const QVariant &value : {QVariant(from), QVariant(*identity), QVariant(keptRow), QVariant(plantRow), QVariant(utc(QDateTime::currentDateTimeUtc()))})
        step.addBindValue(value);
    if (!step.exec())
        return fail(step);
    if (!query.exec(QStringLiteral("COMMIT")))
        return fail(query);
    m_id = *identity;
    return true;
}

bool Ledger::restores(QList<LedgerRestore> *restores, QString *error)
{
    if (m_version < 3)
        return true;
    QSqlQuery query(QSqlDatabase::database(m_connection));
    if (!query.exec(QStringLiteral("SELECT before, after, kept_row, plant_row, found_at, acknowledged_by, acknowledged_at FROM restores ORDER BY rowid"))) {
        *error = explained(query.lastError());
        return false;
    }
    while (query.next())
        restores->append({query.value(0).toString(), query.value(1).toString(), query.value(2).toLongLong(), query.value(3).toLongLong(),
                          QDateTime::fromString(query.value(4).toString(), Qt::ISODateWithMs), query.value(5).toString(),
                          QDateTime::fromString(query.value(6).toString(), Qt::ISODateWithMs)});
    return true;
}

bool Ledger::acknowledgeRestores(const QString &by, int *count, QString *error)
{
    QSqlQuery query(QSqlDatabase::database(m_connection));
    query.prepare(QStringLiteral("UPDATE restores SET acknowledged_by = ?, acknowledged_at = ? WHERE acknowledged_at IS NULL"));
    query.addBindValue(by);
    query.addBindValue(utc(QDateTime::currentDateTimeUtc()));
    if (!query.exec()) {
        *error = explained(query.lastError());
        return false;
    }
    *count = query.numRowsAffected();
    return true;
}
