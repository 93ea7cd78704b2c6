#include "plantdatabase.h"

#include "plantsql.h"
#include "recordchain.h"
#include "platform.h"
#include "sqlrows.h"
#include "textescape.h"

#include <QCoreApplication>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QSysInfo>

namespace {

constexpr int RowsPerCopy = 500;

const char *const Columns = "station, ledger, row_id, batch, label, operator, program_version, link, device, attempt, outcome, status, "
                            "message, bytes_acknowledged, retransmissions, started_at, ended_at, image_path, image_size, image_sha256, "
                            "previous_hash, row_hash";

// A time for a timestamptz column: null for none (a start row has no end yet).
QVariant timestamp(const QDateTime &time)
{
    return time.isValid() ? QVariant(sqlTime(time)) : QVariant();
}

} // namespace

bool PlantDatabase::insert(const LedgerRow &row, bool *added, QString *error)
{
    QSqlDatabase db = QSqlDatabase::database(m_connection);
    // PostgreSQL takes a null QString as NULL; its text columns hold text, empty or not.
    const auto text = [](const QString &value) { return value.isNull() ? QVariant(QStringLiteral("")) : QVariant(value); };
    QSqlQuery insert(db);
    if (!insert.prepare(QStringLiteral("INSERT INTO attempts (%1, kind, start_row%2) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?%3) "
                                  "ON CONFLICT (station, ledger, row_id) DO NOTHING")
                       .arg(QLatin1String(Columns), m_chainColumns ? QStringLiteral(", machine, boot, pid, process_start, hash_version, detail") : QString(),
                            m_chainColumns ? QStringLiteral(", ?, ?, ?, ?, ?, ?") : QString()))) {
        *error = plantErrorText(insert.lastError());
        return false;
    }
    for (const QVariant &value : {text(row.station), QVariant(row.ledgerId), QVariant(row.id), text(row.batch), text(row.label),
                                  text(row.operatorName), text(row.programVersion), text(row.link), QVariant(row.device),
                                  QVariant(row.attempt), text(row.outcome), row.status, text(row.message),
                                  QVariant(row.bytesAcknowledged), QVariant(row.retransmissions), timestamp(row.start),
                                  timestamp(row.end), text(row.imagePath), QVariant(row.imageSize), text(row.imageSha256),
                                  text(row.previousHash), text(row.rowHash), text(row.kind),
                                  row.startRow > 0 ? QVariant(row.startRow) : QVariant()})
        insert.addBindValue(value);
    if (m_chainColumns) {
        const bool known = row.pid != 0;
        for (const QVariant &value : {known ? text(row.machine) : QVariant(), known ? text(row.boot) : QVariant(),
                                      known ? QVariant(row.pid) : QVariant(), known ? text(row.processStart) : QVariant(),
                                      row.hashVersion >= 2 ? QVariant(row.hashVersion) : QVariant(),
                                      row.detail.isEmpty() ? QVariant() : QVariant(row.detail)})
            insert.addBindValue(value);
    } else if (row.hashVersion >= 2) {
        // A row whose hash covers columns this plant database lacks would not verify there.
        *error = QStringLiteral("в базе завода %1 нет столбцов hash_version и detail: её может дополнить станция с правом менять таблицы").arg(m_name);
        return false;
    }
    if (!insert.exec()) {
        *error = plantErrorText(insert.lastError());
        return false;
    }
    *added = insert.numRowsAffected() > 0;
    if (*added)
        return true;
    // Already here: the same row sent by another flasher of this ledger is fine; another row
    // under the same key is never dropped without a word.
    QSqlQuery held(db);
    if (!held.prepare(QStringLiteral("SELECT row_hash FROM attempts WHERE station = ? AND ledger = ? AND row_id = ?"))) {
        *error = plantErrorText(held.lastError());
        return false;
    }
    held.addBindValue(text(row.station));
    held.addBindValue(row.ledgerId);
    held.addBindValue(row.id);
    if (!held.exec()) {
        *error = plantErrorText(held.lastError());
        return false;
    }
    // Neither added nor to be seen: dropped without an error, or hidden from this role.
    if (!held.next()) {
        *error = QStringLiteral("строки %1 журнала %2 (станция %3) нет в базе завода и после вставки, а база не сказала почему: её отбросил "
                                "триггер или правило таблицы attempts, или база не показывает её этой роли (политика строк, представление); "
                                "копирование остановлено")
                     .arg(row.id).arg(quotedForMessage(row.ledgerId), quotedForMessage(row.station));
        return false;
    }
    if (held.value(0).toString() == row.rowHash)
        return true;
    *error = QStringLiteral("строка %1 журнала %2 (станция %3) уже есть в базе завода, но другая (хеш %4, в журнале %5): копирование остановлено; "
                            "сравните журнал с базой: vorlex-flash --verify-records --plant-db")
                 .arg(row.id).arg(quotedForMessage(row.ledgerId), quotedForMessage(row.station), quotedForMessage(held.value(0).toString()), row.rowHash);
    return false;
}

LedgerRow PlantDatabase::writer() const
{
    const platform::ProcessIdentity process = platform::currentProcess();
    LedgerRow row;
    row.station = m_station.isEmpty() ? QSysInfo::machineHostName() : m_station;
    row.operatorName = platform::loginName();
    row.programVersion = QCoreApplication::applicationVersion();
    row.machine = process.machine;
    row.boot = process.boot;
    row.pid = process.pid;
    row.processStart = process.started;
    return row;
}

bool PlantDatabase::readBack(const QList<LedgerRow> &sent, QString *error)
{
    QSqlQuery query(QSqlDatabase::database(m_connection));
    query.setForwardOnly(true);
    // A ledger's rows may carry other identities and stations (rows of a restore, older rows).
    QStringList identities;
    for (const LedgerRow &row : sent)
        if (!identities.contains(row.ledgerId))
            identities << row.ledgerId;
    if (!query.prepare(QStringLiteral("SELECT %1 FROM attempts WHERE ledger IN (%2) AND row_id BETWEEN ? AND ?").arg(rowColumns(), placeholders(identities)))) {
        *error = plantErrorText(query.lastError());
        return false;
    }
    for (const QString &identity : qAsConst(identities))
        query.addBindValue(identity);
    query.addBindValue(sent.constFirst().id);
    query.addBindValue(sent.constLast().id);
    if (!query.exec()) {
        *error = plantErrorText(query.lastError());
        return false;
    }
    const auto key = [](const LedgerRow &row) { return QStringList{row.station, row.ledgerId, QString::number(row.id)}; };
    QHash<QStringList, LedgerRow> held;
    const RowColumns columns = RowColumns::of(query.record());
    while (query.next()) {
        const LedgerRow row = ledgerRowFrom(query, columns);
        // A key the table's constraint holds once, seen twice: a table that inherits it, or a view.
        if (held.contains(key(row))) {
            *error = QStringLiteral("строка %1 журнала %2 (станция %3) видна в базе завода дважды (таблица-наследник attempts или представление?); "
                                    "копирование остановлено")
                         .arg(row.id).arg(quotedForMessage(row.ledgerId), quotedForMessage(row.station));
            return false;
        }
        held.insert(key(row), row);
    }
    // The flasher makes no temporary table: one in its session (a function of the plant's made it)
    // may stand in for attempts for this session alone.
    QSqlQuery temporary(QSqlDatabase::database(m_connection));
    if (!temporary.exec(QStringLiteral("SELECT count(*) FROM pg_catalog.pg_class WHERE relnamespace = pg_catalog.pg_my_temp_schema()")) || !temporary.next()) {
        *error = plantErrorText(temporary.lastError());
        return false;
    }
    if (temporary.value(0).toLongLong() > 0) {
        *error = QStringLiteral("в сеансе станции с базой завода появились временные таблицы (их сделала функция базы): строки, которые видит "
                                "станция, могут быть не в таблице attempts; копирование остановлено");
        return false;
    }
    for (const LedgerRow &row : sent) {
        const auto it = held.constFind(key(row));
        const QString named = QStringLiteral("строка %1 журнала %2 (станция %3)").arg(row.id).arg(quotedForMessage(row.ledgerId), quotedForMessage(row.station));
        if (it == held.constEnd()) {
            *error = QStringLiteral("%1 принята базой завода без ошибки, но после копирования её там нет: её удалил триггер или правило таблицы attempts, "
                                    "или база не показывает её этой роли (политика строк, представление); копирование остановлено")
                         .arg(named);
            return false;
        }
        // Its stored hash proves nothing: its content is hashed anew.
        if (it->rowHash != row.rowHash || it->previousHash != row.previousHash || rowHash(*it, row.previousHash) != row.rowHash) {
            *error = QStringLiteral("%1 в базе завода после копирования не такая, как в журнале: её изменили правила самой базы (триггер, правило таблицы attempts, тип столбца); "
                                    "копирование остановлено; сравните журнал с базой: vorlex-flash --verify-records --plant-db")
                         .arg(named);
            return false;
        }
    }
    return true;
}

bool PlantDatabase::copyFrom(Ledger &ledger, PlantCopy *result, QString *error)
{
    error->clear();
    if (copyChains(ledger, result, error))
        return true;
    // An empty failure would read as none, in a report too.
    if (error->isEmpty())
        *error = QStringLiteral("база завода не назвала причину");
    return false;
}

bool PlantDatabase::copyChains(Ledger &ledger, PlantCopy *result, QString *error)
{
    *result = PlantCopy();
    QSqlDatabase db = QSqlDatabase::database(m_connection);
    QStringList identities;
    QHash<QString, QPair<QString, qint64>> forks;
    if (!ledger.identities(&identities, error) || !ledger.forks(&forks, error))
        return false;
    for (int i = 0; i < identities.size(); ++i) {
        const QString identity = identities.at(i);
        const bool current = i == identities.size() - 1;
        // The plant database first, then the ledger: rows reach the plant only from the ledger,
        // so a ledger read later can only have more.
        qint64 plantRow = 0;
        QString plantHash;
        if (!lastRow(identity, &plantRow, &plantHash, error))
            return false;
        QList<QPair<qint64, QString>> mine;
        if (plantRow > 0 && !ledger.hashesOf(identity, plantRow, 1, &mine, error))
            return false;
        const bool agreed = plantRow == 0 || (!mine.isEmpty() && mine.constFirst().first == plantRow && mine.constFirst().second == plantHash);
        if (!agreed) {
            // Rows of a former identity that the ledger lacks: that restore is on record already.
            if (!current)
                continue;
            // The plant database holds rows of this ledger that it no longer has, or other rows
            // under the same numbers. Only if they form a chain of their own was the ledger
            // restored from a backup; rows that do not verify are a conflict, never evidence.
            qint64 kept = 0;
            QString broken;
            if (!lastAgreed(ledger, identity, plantRow, &kept, error) || !firstBroken(identity, forks, &broken, error)
                || (broken.isEmpty() && !lostRowsWhole(identity, kept, plantRow, &broken, error)))
                return false;
            if (!broken.isEmpty()) {
                *error = QStringLiteral("%1: это не восстановление журнала, а строки, которые не сходятся со своими хешами; копирование остановлено; "
                                        "сравните журнал с базой: vorlex-flash --verify-records --plant-db")
                             .arg(broken);
                return false;
            }
            // Nothing is lost: the ledger goes on under a new identity, and the restore, a row of
            // its chain, waits for an engineer.
            QString fresh;
            if (!ledger.startAfresh(writer(), identity, kept, plantRow, &fresh, error))
                return false;
            result->restores << QStringLiteral("журнал восстановлен из копии: база завода %1 хранит его строки (id %2) до %3, а журнал "
                                               "сходится с ней только до строки %4. Строки %5-%3 есть только в базе завода; журнал пишет "
                                               "дальше под новым id %6. Разберитесь и подтвердите: vorlex-flash --acknowledge-restore")
                                    .arg(m_name, identity).arg(plantRow).arg(kept).arg(kept + 1).arg(fresh);
            if (!identities.contains(fresh))
                identities << fresh;
            forks.insert(fresh, {identity, kept});
            continue;
        }
        // The last row there as it is held, not only by its stored hash: a row the plant's own
        // rules changed stops every later copy too, not just the one that sent it.
        if (agreed && plantRow > 0) {
            QList<LedgerRow> last;
            if (!ledger.rowsOf(identity, plantRow - 1, 1, &last, error) || (!last.isEmpty() && !readBack(last, error)))
                return false;
        }
        // An identity's first copy: not if the plant holds the same attempts under another.
        if (plantRow == 0) {
            QStringList named;
            qint64 count = 0;
            if (!foreignCopies(ledger, identities, &named, &count, error))
                return false;
            if (count > 0) {
                *error = named.constFirst() + QStringLiteral("; копирование остановлено; сравните журнал с базой: vorlex-flash --verify-records --plant-db");
                return false;
            }
        }
        qint64 after = plantRow;
        for (;;) {
            QList<LedgerRow> rows;
            if (!ledger.rowsOf(identity, after, RowsPerCopy, &rows, error))
                return false;
            if (rows.isEmpty())
                break;
            if (!db.transaction()) {
                *error = plantErrorText(db.lastError());
                return false;
            }
            // Only the rows that arrived now count: another flasher of this ledger may have sent
            // some of them a moment ago.
            int added = 0;
            for (const LedgerRow &row : qAsConst(rows)) {
                bool isNew = false;
                if (!insert(row, &isNew, error)) {
                    // A rollback that fails leaves the connection in a failed transaction: the
                    // worker's check after any failed copy (alive()) fails too, and connects anew.
                    db.rollback();
                    return false;
                }
                added += isNew ? 1 : 0;
            }
            // A row is copied when it is there as written, whatever the plant's own rules did
            // to it; rows that are not stay out of the plant, and the next copy meets the same.
            if (!readBack(rows, error)) {
                db.rollback();
                return false;
            }
            if (!db.commit()) {
                *error = plantErrorText(db.lastError());
                return false;
            }
            // Deferred triggers run at the commit, after the first look.
            if (!readBack(rows, error))
                return false;
            result->copied += added;
            after = rows.constLast().id;
        }
    }
    return true;
}
