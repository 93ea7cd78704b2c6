#include "plantdatabase.h"

#include <QCryptographicHash>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>
#include <QUrlQuery>
#include <QUuid>
#include <QtEndian>

namespace {

constexpr int ConnectTimeoutSeconds = 3;
constexpr int RowsPerCopy = 500;

const char *const Columns = "station, ledger, row_id, batch, label, operator, program_version, link, device, attempt, outcome, status, "
                            "message, bytes_acknowledged, retransmissions, started_at, ended_at, image_path, image_size, image_sha256, "
                            "previous_hash, row_hash";

// The server's own words on one line (the driver's, when the server said nothing), for the end
// of a Russian sentence that says what failed.
QString driverText(const QSqlError &error)
{
    return (error.databaseText().isEmpty() ? error.driverText() : error.databaseText()).simplified();
}

// The advisory lock's key: the same 64 bits for the same link on every station.
qint64 lockKey(const QString &linkKey)
{
    const QByteArray hash = QCryptographicHash::hash("vorlex-flash link " + linkKey.toUtf8(), QCryptographicHash::Sha256);
    return qFromBigEndian<qint64>(hash.constData());
}

QString utc(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODateWithMs);
}

} // namespace

PlantDatabase::PlantDatabase()
    : m_connection(QStringLiteral("plant-") + QUuid::createUuid().toString(QUuid::WithoutBraces))
{
}

PlantDatabase::~PlantDatabase()
{
    close();
    QSqlDatabase::removeDatabase(m_connection);
}

QString PlantDatabase::masked(const QString &text)
{
    static const QRegularExpression password(QStringLiteral("(postgres(?:ql)?://[^:/@\\s]*):[^@/\\s]*@"), QRegularExpression::CaseInsensitiveOption);
    return QString(text).replace(password, QStringLiteral("\\1:***@"));
}

QString PlantDatabase::checkUrl(const QString &text)
{
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid())
        return QStringLiteral("адрес базы \"%1\" не понят: %2").arg(masked(text), masked(url.errorString()));
    if (url.scheme() != QLatin1String("postgresql") && url.scheme() != QLatin1String("postgres"))
        return QStringLiteral("адрес базы должен начинаться с postgresql://, а не \"%1\"").arg(url.scheme());
    const QString host = QUrlQuery(url).queryItemValue(QStringLiteral("host"), QUrl::FullyDecoded);
    if (url.host().isEmpty() && host.isEmpty())
        return QStringLiteral("в адресе базы нет сервера: postgresql://USER@HOST/DATABASE или ?host=/папка/сокета");
    if (url.path().size() < 2)
        return QStringLiteral("в адресе базы нет имени базы: postgresql://USER@HOST/DATABASE");
    return QString();
}

bool PlantDatabase::open(const QString &text, const QString &station, QString *error, Access access)
{
    m_reached = false;
    const QUrl url(text, QUrl::StrictMode);
    const QString socketFolder = QUrlQuery(url).queryItemValue(QStringLiteral("host"), QUrl::FullyDecoded);
    const QString host = socketFolder.isEmpty() ? url.host() : socketFolder;
    m_name = QStringLiteral("%1:%2%3").arg(host).arg(url.port(5432)).arg(url.path());
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QPSQL"))) {
        *error = QStringLiteral("нет драйвера PostgreSQL для Qt (пакет libqt6sql6-psql или libqt5sql5-psql)");
        return false;
    }
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), m_connection);
    db.setHostName(host);
    db.setPort(url.port(5432));
    db.setUserName(url.userName(QUrl::FullyDecoded));
    db.setPassword(url.password(QUrl::FullyDecoded));
    db.setDatabaseName(url.path(QUrl::FullyDecoded).mid(1));
    // Who holds a link lock is told by this name.
    // A value in libpq's connection string is quoted, with its backslashes and quotes escaped,
    // so that any station name reaches the server as typed (Qt turns ';' into a blank).
    QString name = QStringLiteral("vorlex-flash ") + station;
    name.replace(QLatin1Char('\\'), QStringLiteral("\\\\")).replace(QLatin1Char('\''), QStringLiteral("\\'"));
    db.setConnectOptions(QStringLiteral("connect_timeout=%1;application_name='%2'").arg(ConnectTimeoutSeconds).arg(name));
    if (!db.open()) {
        *error = driverText(db.lastError());
        return false;
    }
    QSqlQuery query(db);
    // One station creates the schema; the others wait for it here.
    const auto fail = [&](const QString &why) {
        *error = why;
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        db.close();
        return false;
    };
    if (!db.transaction() || !query.exec(QStringLiteral("SELECT pg_advisory_xact_lock(%1)").arg(lockKey(QStringLiteral("schema")))))
        return fail(driverText(query.lastError()));
    if (!query.exec(QStringLiteral("SELECT to_regclass('vorlex_schema') IS NOT NULL AND to_regclass('attempts') IS NOT NULL")) || !query.next())
        return fail(driverText(query.lastError()));
    m_reached = true;
    if (!query.value(0).toBool() && access == Access::ReadOnly)
        return fail(QStringLiteral("в базе %1 нет таблиц журнала vorlex-flash: это не база завода, или в неё ещё ничего не записано").arg(m_name));
    if (!query.value(0).toBool()) {
        const QStringList steps{
            QStringLiteral("CREATE TABLE vorlex_schema (version INTEGER NOT NULL)"),
            QStringLiteral("INSERT INTO vorlex_schema VALUES (%1)").arg(SchemaVersion),
            QStringLiteral("CREATE TABLE attempts (station TEXT NOT NULL, ledger TEXT NOT NULL, row_id BIGINT NOT NULL, batch TEXT NOT NULL, "
                           "label TEXT NOT NULL, operator TEXT NOT NULL, program_version TEXT NOT NULL, link TEXT NOT NULL, "
                           "device INTEGER NOT NULL, attempt INTEGER NOT NULL, outcome TEXT NOT NULL, status INTEGER, message TEXT NOT NULL, "
                           "bytes_acknowledged BIGINT NOT NULL, retransmissions INTEGER NOT NULL, started_at TEXT NOT NULL, "
                           "ended_at TEXT NOT NULL, image_path TEXT NOT NULL, image_size BIGINT NOT NULL, image_sha256 TEXT NOT NULL, "
                           "previous_hash TEXT NOT NULL, row_hash TEXT NOT NULL, copied_at TIMESTAMPTZ NOT NULL DEFAULT now(), "
                           "PRIMARY KEY (station, ledger, row_id))"),
            QStringLiteral("CREATE INDEX attempts_started ON attempts (started_at)"),
            QStringLiteral("CREATE INDEX attempts_device ON attempts (device, started_at)"),
            QStringLiteral("CREATE INDEX attempts_batch ON attempts (batch)"),
        };
        for (const QString &step : steps)
            if (!query.exec(step))
                return fail(driverText(query.lastError()));
    }
    if (!query.exec(QStringLiteral("SELECT max(version) FROM vorlex_schema")) || !query.next())
        return fail(driverText(query.lastError()));
    const int version = query.value(0).toInt();
    query.finish();
    if (version != SchemaVersion)
        return fail(QStringLiteral("схема базы завода версии %1, а эта программа работает с версией %2").arg(version).arg(SchemaVersion));
    // The two rows of an attempt (its start and its end), added in place to a database made
    // before them; older stations' rows read as ends.
    if (access == Access::Write
        && !query.exec(QStringLiteral("ALTER TABLE attempts ADD COLUMN IF NOT EXISTS kind TEXT NOT NULL DEFAULT 'end', "
                                      "ADD COLUMN IF NOT EXISTS start_row BIGINT")))
        return fail(driverText(query.lastError()));
    if (!query.exec(QStringLiteral("SELECT count(*) FROM information_schema.columns WHERE table_name = 'attempts' AND column_name = 'start_row'"))
        || !query.next())
        return fail(driverText(query.lastError()));
    m_startRows = query.value(0).toInt() > 0;
    query.finish();
    if (!db.commit())
        return fail(driverText(db.lastError()));
    m_open = true;
    return true;
}

void PlantDatabase::close()
{
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    if (db.isValid())
        db.close();
    m_open = false;
}

bool PlantDatabase::copyFrom(Ledger &ledger, int *copied, QString *error)
{
    *copied = 0;
    QSqlDatabase db = QSqlDatabase::database(m_connection);
    // PostgreSQL takes a null QString as NULL; its text columns hold text, empty or not.
    const auto text = [](const QString &value) { return value.isNull() ? QVariant(QStringLiteral("")) : QVariant(value); };
    for (;;) {
        QList<LedgerRow> rows;
        if (!ledger.uncopied(m_name, RowsPerCopy, &rows, error))
            return false;
        if (rows.isEmpty())
            return true;
        if (!db.transaction()) {
            *error = driverText(db.lastError());
            return false;
        }
        QSqlQuery insert(db);
        // A row copied before (a copy retried after a lost answer) is left as it is.
        insert.prepare(QStringLiteral("INSERT INTO attempts (%1, kind, start_row) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) "
                                      "ON CONFLICT (station, ledger, row_id) DO NOTHING").arg(QLatin1String(Columns)));
        for (const LedgerRow &row : qAsConst(rows)) {
            for (const QVariant &value : {text(row.station), QVariant(ledger.id()), QVariant(row.id), text(row.batch), text(row.label),
                                          text(row.operatorName), text(row.programVersion), text(row.link), QVariant(row.device),
                                          QVariant(row.attempt), text(row.outcome), row.status, text(row.message),
                                          QVariant(row.bytesAcknowledged), QVariant(row.retransmissions), text(utc(row.start)),
                                          text(utc(row.end)), text(row.imagePath), QVariant(row.imageSize), text(row.imageSha256),
                                          text(row.previousHash), text(row.rowHash), text(row.kind),
                                          row.startRow > 0 ? QVariant(row.startRow) : QVariant()})
                insert.addBindValue(value);
            if (!insert.exec()) {
                *error = driverText(insert.lastError());
                db.rollback();
                return false;
            }
            *copied += insert.numRowsAffected() > 0 ? 1 : 0;
        }
        if (!db.commit()) {
            *error = driverText(db.lastError());
            return false;
        }
        // Committed there first: if this step is lost, the next copy finds the rows present.
        if (!ledger.markCopied(m_name, rows.constLast().id, error))
            return false;
    }
}

bool PlantDatabase::history(const LedgerFilter &filter, QList<LedgerRow> *rows, QString *error)
{
    QVariantList values;
    // One line per attempt, as in the ledger: its end row, or its start row while no end names it.
    const QString extra = m_startRows ? QStringLiteral(" AND (kind = 'end' OR NOT EXISTS (SELECT 1 FROM attempts e WHERE e.station = attempts.station "
                                                       "AND e.ledger = attempts.ledger AND e.start_row = attempts.row_id))")
                                      : QString();
    const QString columns = QStringLiteral("row_id, batch, label, station, operator, program_version, link, device, attempt, outcome, status, "
                                           "message, bytes_acknowledged, retransmissions, started_at, ended_at, image_path, image_size, image_sha256, "
                                           "previous_hash, row_hash%1")
                                .arg(m_startRows ? QStringLiteral(", kind, start_row") : QString());
    return selectLedgerRows(QSqlDatabase::database(m_connection), historyQuery(columns, filter, extra, QStringLiteral("started_at, station, row_id"), &values),
                            values, rows, error);
}

bool PlantDatabase::tryLockLink(const QString &linkKey, QString *holder)
{
    QSqlDatabase db = QSqlDatabase::database(m_connection);
    const qint64 key = lockKey(linkKey);
    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT pg_try_advisory_lock(?)"));
    query.addBindValue(key);
    if (!query.exec() || !query.next()) {
        // The plant database gone: the station's own lock still stands.
        return true;
    }
    if (query.value(0).toBool())
        return true;
    // A bigint key is held as two halves, high in classid and low in objid.
    QSqlQuery who(db);
    who.prepare(QStringLiteral("SELECT a.application_name, a.client_addr FROM pg_locks l JOIN pg_stat_activity a ON a.pid = l.pid "
                               "WHERE l.locktype = 'advisory' AND l.classid = ? AND l.objid = ? AND l.granted LIMIT 1"));
    who.addBindValue(qint64(quint32(quint64(key) >> 32)));
    who.addBindValue(qint64(quint32(quint64(key))));
    if (who.exec() && who.next())
        *holder = QStringLiteral("%1 (%2)").arg(who.value(0).toString(), who.value(1).isNull() ? QStringLiteral("local") : who.value(1).toString());
    else
        *holder = QStringLiteral("другая станция");
    return false;
}

void PlantDatabase::unlockLink(const QString &linkKey)
{
    QSqlQuery query(QSqlDatabase::database(m_connection));
    query.prepare(QStringLiteral("SELECT pg_advisory_unlock(?)"));
    query.addBindValue(lockKey(linkKey));
    query.exec();
}
