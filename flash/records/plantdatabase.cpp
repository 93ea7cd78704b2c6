#include "plantdatabase.h"

#include "plantsql.h"
#include "sqlrows.h"
#include "textescape.h"

#include <QLibrary>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>
#include <QUrlQuery>
#include <QUuid>

namespace {

constexpr int ConnectTimeoutSeconds = 3;

// libpq prints a server's notices to standard error as they come, and a trigger of the plant's
// may raise any text, control characters too. The flasher asks nothing a notice answers: they
// are dropped, through libpq's own call, from the library the Qt driver has loaded.
using NoticeProcessor = void (*)(void *, const char *);
using SetNoticeProcessor = NoticeProcessor (*)(void *, NoticeProcessor, void *);

void dropNotice(void *, const char *) {}

bool dropNotices(const QSqlDatabase &db)
{
    static const SetNoticeProcessor set = [] {
        // Never unloaded (a QLibrary unloads only when told): the driver uses it to the end.
        static QLibrary versioned(QStringLiteral("pq"), 5);
        static QLibrary plain(QStringLiteral("libpq"));
        const auto resolved = reinterpret_cast<SetNoticeProcessor>(versioned.resolve("PQsetNoticeProcessor"));
        return resolved ? resolved : reinterpret_cast<SetNoticeProcessor>(plain.resolve("PQsetNoticeProcessor"));
    }();
    // PGconn names struct pg_conn; Qt's metatype may be given either name.
    const QVariant handle = db.driver()->handle();
    if (!set || !handle.isValid() || (qstrcmp(handle.typeName(), "PGconn*") != 0 && qstrcmp(handle.typeName(), "pg_conn*") != 0))
        return false;
    set(*static_cast<void *const *>(handle.constData()), &dropNotice, nullptr);
    return true;
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

bool PlantDatabase::open(const QString &text, const QString &station, QString *error, Access access)
{
    m_reached = false;
    m_station = station;
    const QUrl url(text, QUrl::StrictMode);
    const QString socketFolder = QUrlQuery(url).queryItemValue(QStringLiteral("host"), QUrl::FullyDecoded);
    const QString host = socketFolder.isEmpty() ? url.host() : socketFolder;
    // Said in every message of the plant: a socket folder may be named anyhow.
    m_name = quotedForMessage(QStringLiteral("%1:%2%3").arg(host).arg(url.port(5432)).arg(url.path()), PathInMessage);
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QPSQL"))) {
        *error = QStringLiteral("нет драйвера PostgreSQL для Qt (пакет libqt6sql6-psql или libqt5sql5-psql)");
        return false;
    }
    // Opened again after a connection was lost: the same connection, anew.
    QSqlDatabase db = QSqlDatabase::contains(m_connection) ? QSqlDatabase::database(m_connection, false)
                                                           : QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), m_connection);
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
    // Over TCP, a peer gone without a word (a cable, a crashed host) is noticed by keepalives;
    // a server that is there and answers nothing is the caller's deadline to catch.
    // A lock that someone holds (any role may take an advisory lock) is waited for no longer
    // than a connection is: past that the statement fails, and the holder is named.
    db.setConnectOptions(QStringLiteral("connect_timeout=%1;keepalives=1;keepalives_idle=10;keepalives_interval=5;keepalives_count=3;application_name='%2';"
                                        "options='-c lock_timeout=%3 -c client_min_messages=error'")
                             .arg(ConnectTimeoutSeconds)
                             .arg(name)
                             .arg(LockWaitMs));
    m_refused = false;
    if (!db.open()) {
        *error = plantErrorText(db.lastError());
        // The server answered, and asking again will not change its answer.
        static const QRegularExpression refusal(QStringLiteral("authentication failed|no pg_hba\\.conf entry|does not exist|no password supplied|"
                                                               "не прошёл проверку подлинности|не существует|нет записи"));
        m_refused = refusal.match(*error).hasMatch();
        return false;
    }
    // Asked for no notices above; a function of the plant's may ask for them all the same.
    if (!dropNotices(db)) {
        db.close();
        *error = QStringLiteral("сообщения сервера нельзя отключить: функция PQsetNoticeProcessor библиотеки libpq не найдена");
        return false;
    }
    return prepareSchema(db, access, error);
}

void PlantDatabase::close()
{
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    if (db.isValid())
        db.close();
    m_open = false;
}

bool PlantDatabase::lastRow(const QString &identity, qint64 *row, QString *hash, QString *error)
{
    QSqlQuery query(QSqlDatabase::database(m_connection));
    if (!query.prepare(QStringLiteral("SELECT row_id, row_hash FROM attempts WHERE ledger = ? ORDER BY row_id DESC LIMIT 1"))) {
        *error = plantErrorText(query.lastError());
        return false;
    }
    query.addBindValue(identity);
    if (!query.exec()) {
        *error = plantErrorText(query.lastError());
        return false;
    }
    const bool any = query.next();
    *row = any ? query.value(0).toLongLong() : 0;
    *hash = any ? query.value(1).toString() : QString();
    return true;
}

bool PlantDatabase::hashes(const QString &identity, qint64 from, qint64 to, QHash<qint64, QPair<QString, QString>> *rows, QString *error)
{
    QSqlQuery query(QSqlDatabase::database(m_connection));
    query.setForwardOnly(true);
    if (!query.prepare(QStringLiteral("SELECT row_id, row_hash, station FROM attempts WHERE ledger = ? AND row_id BETWEEN ? AND ?"))) {
        *error = plantErrorText(query.lastError());
        return false;
    }
    query.addBindValue(identity);
    query.addBindValue(from);
    query.addBindValue(to);
    if (!query.exec()) {
        *error = plantErrorText(query.lastError());
        return false;
    }
    while (query.next())
        rows->insert(query.value(0).toLongLong(), {query.value(1).toString(), query.value(2).toString()});
    return true;
}

bool PlantDatabase::history(const LedgerFilter &filter, QList<LedgerRow> *rows, QString *error)
{
    QVariantList values;
    // One line per attempt, as in the ledger: its end row, or its start row while no end names it.
    const QString extra = m_startRows ? QStringLiteral(" AND ") + oneLinePerAttempt(SqlDialect::Postgres, QStringLiteral("attempts")) : QString();
    const QString columns = QStringLiteral("row_id, batch, label, station, operator, program_version, link, device, attempt, outcome, status, "
                                           "message, bytes_acknowledged, retransmissions, started_at, ended_at, image_path, image_size, image_sha256, "
                                           "previous_hash, row_hash%1")
                                .arg(m_startRows ? QStringLiteral(", kind, start_row") : QString());
    return selectLedgerRows(QSqlDatabase::database(m_connection), historyQuery(columns, filter, extra, QStringLiteral("started_at, station, row_id"), &values),
                            values, rows, error);
}

bool PlantDatabase::alive()
{
    const QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    if (!m_open || !db.isOpen())
        return false;
    QSqlQuery query(db);
    return query.exec(QStringLiteral("SELECT 1")) && query.next();
}

