#include "ledger.h"

#include "platform.h"
#include "sqliteerrors.h"
#include "sqlrows.h"
#include "textescape.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QThread>
#include <QUrl>
#include <QUuid>

#include <limits>
#include <utility>

namespace {

constexpr int BusyTimeoutMs = 10000;

// SQLite takes a null QString as NULL; the ledger's text columns hold text, empty or not.
QVariant text(const QString &value)
{
    return value.isNull() ? QVariant(QStringLiteral("")) : QVariant(value);
}

// A write under the ledger's write lock, taken at once: whatever other flashers of the station
// are writing, what it reads and what it writes belong together.
bool beginWrite(QSqlDatabase &db, QString *error)
{
    QSqlQuery begin(db);
    if (begin.exec(QStringLiteral("BEGIN IMMEDIATE")))
        return true;
    *error = explainedSqliteError(begin.lastError());
    return false;
}

// A write that failed: its statement's error, explained, and nothing of it kept.
bool abandonWrite(QSqlDatabase &db, const QSqlQuery &failed, QString *error)
{
    *error = explainedSqliteError(failed.lastError());
    // A ROLLBACK that fails finds SQLite's own rollback done already; a transaction it left open
    // would fail the next write's BEGIN IMMEDIATE, which says so as any failed write does.
    QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
    return false;
}

const char *const Columns = "id, batch, label, station, operator, program_version, link, device, attempt, outcome, status, message, "
                            "bytes_acknowledged, retransmissions, started_at, ended_at, image_path, image_size, image_sha256, "
                            "previous_hash, row_hash";

} // namespace

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
        *error = explainedSqliteError(db.lastError());
        return false;
    }
    QSqlQuery query(db);
    // Under one write lock: another flasher may be creating the same ledger right now. A reader
    // takes a snapshot.
    if (!query.exec(readOnly ? QStringLiteral("BEGIN") : QStringLiteral("BEGIN IMMEDIATE"))) {
        *error = explainedSqliteError(query.lastError());
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
        return refuse(explainedSqliteError(query.lastError()));
    if ((objects > 0 || readOnly) && application != ApplicationId)
        return refuse(QStringLiteral("это не журнал vorlex-flash"));
    if (version > SchemaVersion)
        return refuse(QStringLiteral("журнал записан более новой программой (версия схемы %1, эта знает до %2); он не тронут").arg(version).arg(SchemaVersion));
    // A reader takes an older ledger as it is; a writer brings it up to date first.
    if (version < SchemaVersion && !readOnly && !upgrade(version, error))
        return refuse(*error);
    m_version = readOnly ? version : SchemaVersion;
    if (!query.exec(QStringLiteral("SELECT value FROM ledger_info WHERE key = 'id'")) || !query.next())
        return refuse(QStringLiteral("у журнала нет своего id: %1").arg(explainedSqliteError(query.lastError())));
    m_id = query.value(0).toString();
    query.finish();
    // A reader keeps its snapshot: what it reads next belongs together, whatever is written meanwhile.
    if (readOnly)
        return true;
    if (!query.exec(QStringLiteral("COMMIT")))
        return refuse(explainedSqliteError(query.lastError()));
    // Readers and writers of several flashers at once. The switch needs the file to itself for
    // a moment, and SQLite does not wait for that on its own.
    QElapsedTimer waited;
    waited.start();
    while (!query.exec(QStringLiteral("PRAGMA journal_mode=WAL"))) {
        if (waited.elapsed() > BusyTimeoutMs) {
            *error = explainedSqliteError(query.lastError());
            return false;
        }
        QThread::msleep(20);
    }
    // Its answer, the mode now in force, is not read: SQLite keeps the former mode only for a
    // database without a file or a system without shared memory, and a ledger is neither. A -wal
    // or -shm that cannot be made fails the ledger's next statement, which says why.
    query.finish();
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
            *error = explainedSqliteError(query.lastError());
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
        *error = explainedSqliteError(next.lastError());
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
                                  text(sqlTime(row->start)), text(sqlTime(row->end)), text(row->imagePath), QVariant(row->imageSize),
                                  text(row->imageSha256), QVariant(row->previousHash), QVariant(row->rowHash), text(row->kind),
                                  row->startRow > 0 ? QVariant(row->startRow) : QVariant(), known ? text(row->machine) : QVariant(),
                                  known ? text(row->boot) : QVariant(), known ? QVariant(row->pid) : QVariant(),
                                  known ? text(row->processStart) : QVariant(), QVariant(row->id), QVariant(row->ledgerId),
                                  QVariant(row->hashVersion), row->detail.isEmpty() ? QVariant() : QVariant(row->detail)})
        insert.addBindValue(value);
    if (!insert.exec()) {
        *error = explainedSqliteError(insert.lastError());
        return false;
    }
    QSqlQuery head(db);
    head.prepare(QStringLiteral("UPDATE ledger_info SET value = CASE key WHEN 'head_rows' THEN CAST(value AS INTEGER) + 1 "
                                "WHEN 'head_row' THEN ? ELSE ? END WHERE key IN ('head_rows', 'head_row', 'head_hash')"));
    head.addBindValue(row->id);
    head.addBindValue(row->rowHash);
    if (!head.exec() || head.numRowsAffected() != 3) {
        *error = head.lastError().isValid() ? explainedSqliteError(head.lastError()) : QStringLiteral("у журнала нет заголовка");
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
        // Its own failure is caught as abandonWrite()'s is: by the next write.
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
            *why = explainedSqliteError(query.lastError());
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

bool Ledger::hasBatch(const QString &batch, bool *found, QString *error)
{
    QSqlQuery query(QSqlDatabase::database(m_connection));
    query.prepare(QStringLiteral("SELECT EXISTS (SELECT 1 FROM attempts WHERE batch = ?)"));
    query.addBindValue(batch);
    if (!query.exec() || !query.next()) {
        *error = explainedSqliteError(query.lastError());
        return false;
    }
    *found = query.value(0).toBool();
    return true;
}

bool Ledger::history(const LedgerFilter &filter, QList<LedgerRow> *rows, QString *error)
{
    QVariantList values;
    const QString extra = m_version >= 2 ? QStringLiteral(" AND ") + oneLinePerAttempt(SqlDialect::Sqlite, QStringLiteral("attempts")) : QString();
    const QString sql = historyQuery(columns(), filter, extra, QStringLiteral("started_at, id"), &values);
    return selectLedgerRows(QSqlDatabase::database(m_connection), sql, values, rows, error);
}

bool Ledger::openAttempts(QList<LedgerRow> *rows, QString *error)
{
    if (m_version < 2)
        return true;
    const QString sql = QStringLiteral("SELECT %1 FROM attempts WHERE kind = 'start' AND %2 ORDER BY id").arg(columns(), oneLinePerAttempt(SqlDialect::Sqlite, QStringLiteral("attempts")));
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
            *error = explainedSqliteError(query.lastError());
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
        *error = explainedSqliteError(query.lastError());
        return false;
    }
    while (query.next())
        rows->append({query.value(0).toLongLong(), query.value(1).toString()});
    return true;
}

