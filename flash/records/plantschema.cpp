#include "plantdatabase.h"

#include "historyquery.h"
#include "plantsql.h"
#include "plantstatuscodes.h"
#include "textescape.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>

namespace {

// One line per device: its latest attempt, its end row or its start while no end names it.
QString deviceState()
{
    return QStringLiteral("SELECT DISTINCT ON (a.link, a.device) a.link, a.device, a.outcome, a.status, s.message AS status_message, a.message, "
                          "a.started_at, a.ended_at, a.image_sha256, a.image_path, a.station, a.batch, a.label, a.operator FROM attempts a "
                          "LEFT JOIN status_codes s ON s.code = a.status WHERE %1 ORDER BY a.link, a.device, a.started_at DESC, a.row_id DESC")
        .arg(oneLinePerAttempt(SqlDialect::Postgres, QStringLiteral("a")));
}

// What each column holds, for whoever reads the plant database with SQL alone.
const char *const Comments[][2] = {
    {"station", "Станция (--station), записавшая строку"},
    {"ledger", "Идентификатор журнала станции; новый после восстановления журнала из копии"},
    {"row_id", "Номер строки в журнале станции; вместе со station и ledger - ключ"},
    {"batch", "Партия: один запуск vorlex-flash"},
    {"label", "Метка партии (--label), например номер заказа"},
    {"operator", "Оператор (--operator)"},
    {"program_version", "Версия vorlex-flash"},
    {"link", "Связь: адрес:порт шкафа или COM порт"},
    {"device", "Номер прибора, 0..255"},
    {"attempt", "Номер попытки прибора в партии, с 1; 0 - прибор не начат"},
    {"outcome", "Итог: updated, failed, no answer, interrupted, not started, unfinished; in progress - начало попытки"},
    {"status", "Последний код состояния прибора; его текст - в status_codes"},
    {"message", "Последнее сообщение, как его видел оператор"},
    {"bytes_acknowledged", "Байтов образа, подтверждённых прибором"},
    {"retransmissions", "Повторов блоков в этой попытке"},
    {"started_at", "Начало попытки"},
    {"ended_at", "Конец попытки; пусто у строки начала"},
    {"image_path", "Файл прошивки"},
    {"image_size", "Размер образа, байт"},
    {"image_sha256", "SHA-256 образа"},
    {"previous_hash", "Хеш предыдущей строки станции в журнале (цепочка)"},
    {"row_hash", "SHA-256 строки вместе с previous_hash"},
    {"copied_at", "Когда строка пришла в базу завода"},
    {"kind", "start - начало попытки, записанное до первого блока; end - её конец"},
    {"start_row", "У строки конца: номер строки её начала"},
};

// Brings the schema from version to this program's, inside the caller's transaction: an
// existing plant database keeps every row.
bool upgrade(QSqlDatabase &db, int version, QString *error)
{
    QStringList steps;
    if (version < 1) {
        steps << QStringLiteral("CREATE TABLE vorlex_schema (version INTEGER NOT NULL)")
              << QStringLiteral("INSERT INTO vorlex_schema VALUES (1)")
              << QStringLiteral("CREATE TABLE attempts (station TEXT NOT NULL, ledger TEXT NOT NULL, row_id BIGINT NOT NULL, batch TEXT NOT NULL, "
                                "label TEXT NOT NULL, operator TEXT NOT NULL, program_version TEXT NOT NULL, link TEXT NOT NULL, "
                                "device INTEGER NOT NULL, attempt INTEGER NOT NULL, outcome TEXT NOT NULL, status INTEGER, message TEXT NOT NULL, "
                                "bytes_acknowledged BIGINT NOT NULL, retransmissions INTEGER NOT NULL, started_at TEXT NOT NULL, "
                                "ended_at TEXT NOT NULL, image_path TEXT NOT NULL, image_size BIGINT NOT NULL, image_sha256 TEXT NOT NULL, "
                                "previous_hash TEXT NOT NULL, row_hash TEXT NOT NULL, copied_at TIMESTAMPTZ NOT NULL DEFAULT now(), "
                                "PRIMARY KEY (station, ledger, row_id))")
              << QStringLiteral("CREATE INDEX attempts_started ON attempts (started_at)")
              << QStringLiteral("CREATE INDEX attempts_device ON attempts (device, started_at)")
              << QStringLiteral("CREATE INDEX attempts_batch ON attempts (batch)");
    }
    if (version < 2) {
        steps << QStringLiteral("ALTER TABLE attempts ADD COLUMN IF NOT EXISTS kind TEXT NOT NULL DEFAULT 'end', ADD COLUMN IF NOT EXISTS start_row BIGINT")
              // Times that SQL can compare; a start row's missing end is no time at all.
              << QStringLiteral("ALTER TABLE attempts ALTER COLUMN started_at TYPE timestamptz USING started_at::timestamptz, "
                                "ALTER COLUMN ended_at DROP NOT NULL, ALTER COLUMN ended_at TYPE timestamptz USING nullif(ended_at, '')::timestamptz")
              << QStringLiteral("CREATE INDEX attempts_ledger ON attempts (ledger, row_id)")
              << QStringLiteral("CREATE TABLE status_codes (code INTEGER PRIMARY KEY, message TEXT NOT NULL)")
              << QStringLiteral("COMMENT ON TABLE status_codes IS 'Коды состояния прибора и их тексты, как их показывает программа'")
              << QStringLiteral("COMMENT ON TABLE attempts IS 'Попытки обновления приборов всех станций: строки их журналов'")
              << QStringLiteral("CREATE VIEW device_state AS %1").arg(deviceState())
              << QStringLiteral("COMMENT ON VIEW device_state IS 'Последняя попытка каждого прибора (связь и номер)'");
        for (const auto &comment : Comments)
            steps << QStringLiteral("COMMENT ON COLUMN attempts.%1 IS '%2'").arg(QLatin1String(comment[0]), QString::fromUtf8(comment[1]));
        steps << QStringLiteral("UPDATE vorlex_schema SET version = 2");
    }
    QSqlQuery query(db);
    for (const QString &step : qAsConst(steps)) {
        if (!query.exec(step)) {
            *error = plantErrorText(query.lastError());
            return false;
        }
    }
    return true;
}

} // namespace

bool PlantDatabase::prepareSchema(QSqlDatabase &db, Access access, QString *error)
{
    QSqlQuery query(db);
    const auto fail = [&](const QString &why) {
        *error = why;
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        db.close();
        return false;
    };
    const auto refuse = [&](const QString &why) {
        m_refused = true;
        return fail(why);
    };
    // What is there is read without any lock: a schema that is up to date needs none, and a
    // read never waits for one.
    int version = 0;
    bool made = false;
    bool foreign = false;
    const auto readSchema = [&] {
        const auto column = [](const char *name) {
            return QStringLiteral("EXISTS (SELECT 1 FROM pg_attribute WHERE attrelid = to_regclass('attempts') AND attname = '%1' AND NOT attisdropped)")
                .arg(QLatin1String(name));
        };
        if (!query.exec(QStringLiteral("SELECT to_regclass('vorlex_schema') IS NOT NULL, to_regclass('attempts') IS NOT NULL, %1, %2, %3, %4")
                            .arg(column("row_hash"), column("start_row"), column("process_start"), column("detail")))
            || !query.next())
            return false;
        made = query.value(0).toBool() && query.value(1).toBool() && query.value(2).toBool();
        foreign = !made && (query.value(0).toBool() || query.value(1).toBool());
        m_startRows = query.value(3).toBool();
        m_processColumns = query.value(4).toBool();
        m_chainColumns = query.value(5).toBool();
        query.finish();
        if (!made)
            return true;
        if (!query.exec(QStringLiteral("SELECT max(version) FROM vorlex_schema")) || !query.next())
            return false;
        version = query.value(0).toInt();
        query.finish();
        return true;
    };
    if (!db.transaction() || !readSchema())
        return fail(plantErrorText(query.lastError()));
    m_reached = true;
    if (foreign)
        return refuse(QStringLiteral("база %1 - не база завода: её таблицы attempts или vorlex_schema - другой программы; укажите базу завода").arg(m_name));
    if (!made && access == Access::ReadOnly)
        return fail(QStringLiteral("в базе %1 нет таблиц журнала vorlex-flash: это не база завода, или в неё ещё ничего не записано").arg(m_name));
    // A newer program has changed what the rows mean: this one must not write there. Its rows
    // wait in the station's ledger until it is upgraded.
    const auto newer = [&] {
        return QStringLiteral("база завода %1 устроена по схеме версии %2, а эта программа пишет только по схеме до версии %3: "
                              "обновите vorlex-flash на этой станции; строки остаются в журнале станции")
            .arg(m_name).arg(version).arg(SchemaVersion);
    };
    // What a newer program's rows mean this one cannot say.
    if (access == Access::ReadOnly && version > SchemaVersion)
        return refuse(QStringLiteral("база завода %1 устроена по схеме версии %2, а эта программа читает только до версии %3: её строки могут "
                                     "значить другое; обновите vorlex-flash").arg(m_name).arg(version).arg(SchemaVersion));
    if (access == Access::ReadOnly) {
        if (!db.commit())
            return fail(plantErrorText(db.lastError()));
        m_open = true;
        return true;
    }
    if (version > SchemaVersion)
        return refuse(newer());
    // A role that may only read is said as such, before anything is tried.
    if (!query.exec(made ? QStringLiteral("SELECT current_user, has_table_privilege('attempts', 'INSERT')")
                         : QStringLiteral("SELECT current_user, has_schema_privilege(current_schema(), 'CREATE')"))
        || !query.next())
        return fail(plantErrorText(query.lastError()));
    if (!query.value(1).toBool())
        return refuse(QStringLiteral("роль %1 может только читать базу завода %2: строки туда не копируются (нужно право %3)")
                          .arg(quotedForMessage(query.value(0).toString()), m_name,
                               made ? QStringLiteral("INSERT на attempts") : QStringLiteral("CREATE в схеме")));
    query.finish();
    if (version < SchemaVersion || !m_processColumns || !m_chainColumns) {
        // One station creates or brings up the schema; the others wait for it here, as long as
        // lock_timeout lets them.
        const qint64 key = plantLockKey(QStringLiteral("schema"));
        if (!query.exec(QStringLiteral("SELECT pg_advisory_xact_lock(%1)").arg(key))) {
            const QSqlError why = query.lastError();
            if (why.nativeErrorCode() != QLatin1String("55P03"))
                return fail(plantErrorText(why));
            // The transaction is over before the holder is asked: an aborted one answers nothing.
            QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
            const QString holder = holderOf(key);
            *error = QStringLiteral("блокировка схемы базы завода %1 (её создание или обновление) занята дольше %2 с: её держит %3")
                         .arg(m_name).arg(LockWaitMs / 1000.0).arg(holder.isEmpty() ? QStringLiteral("другая сессия") : holder);
            db.close();
            return false;
        }
        // Another station may have brought it up while this one waited.
        if (!readSchema())
            return fail(plantErrorText(query.lastError()));
        if (version > SchemaVersion)
            return refuse(newer());
        if (version < SchemaVersion && !upgrade(db, version, error))
            return fail(*error);
        if (!readSchema())
            return fail(plantErrorText(query.lastError()));
    }
    if (!fillStatusCodes(db, error))
        return fail(*error);
    // The flasher that wrote each row, and the version of each row's hash with a restore's
    // facts, as the ledger has them: columns added beside the others, which a station one
    // version behind leaves empty, so the schema's version stays.
    if (!m_processColumns || !m_chainColumns) {
        for (const QString &step : {QStringLiteral("ALTER TABLE attempts ADD COLUMN IF NOT EXISTS machine TEXT, ADD COLUMN IF NOT EXISTS boot TEXT, "
                                                   "ADD COLUMN IF NOT EXISTS pid BIGINT, ADD COLUMN IF NOT EXISTS process_start TEXT, "
                                                   "ADD COLUMN IF NOT EXISTS hash_version INTEGER, ADD COLUMN IF NOT EXISTS detail TEXT"),
                                    QStringLiteral("COMMENT ON COLUMN attempts.machine IS 'Машина записавшего строку vorlex-flash (machine-id)'"),
                                    QStringLiteral("COMMENT ON COLUMN attempts.boot IS 'Загрузка той машины (boot_id)'"),
                                    QStringLiteral("COMMENT ON COLUMN attempts.pid IS 'Номер процесса записавшего строку vorlex-flash'"),
                                    QStringLiteral("COMMENT ON COLUMN attempts.process_start IS 'Когда тот процесс начался: с pid - один процесс навсегда'"),
                                    QStringLiteral("COMMENT ON COLUMN attempts.hash_version IS 'По каким правилам посчитан row_hash; пусто - по первым'"),
                                    QStringLiteral("COMMENT ON COLUMN attempts.detail IS 'У строки восстановления (kind restore): id журнала до и после, "
                                                   "строка развилки, последние строки в базе завода и в журнале'"),
                                    QStringLiteral("CREATE OR REPLACE VIEW device_state AS %1").arg(deviceState())}) {
            if (!query.exec(step))
                return fail(plantErrorText(query.lastError()));
        }
        m_processColumns = m_chainColumns = true;
    }
    if (!db.commit())
        return fail(plantErrorText(db.lastError()));
    m_open = true;
    return true;
}
