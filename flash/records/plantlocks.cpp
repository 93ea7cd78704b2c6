#include "plantdatabase.h"

#include "plantsql.h"
#include "textescape.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

QString PlantDatabase::holderOf(qint64 key)
{
    // A bigint key is held as two halves, high in classid and low in objid.
    QSqlQuery who(QSqlDatabase::database(m_connection));
    // Named by what the server knows of the session: its role and where it connects from. The
    // station's name is the session's own word (any role may set it), and is said as such.
    who.prepare(QStringLiteral("SELECT a.usename, host(a.client_addr), a.application_name FROM pg_locks l JOIN pg_stat_activity a ON a.pid = l.pid "
                               "WHERE l.locktype = 'advisory' AND l.classid = ? AND l.objid = ? AND l.objsubid = 1 AND l.granted "
                               "AND l.database = (SELECT oid FROM pg_database WHERE datname = current_database()) LIMIT 1"));
    who.addBindValue(qint64(quint32(quint64(key) >> 32)));
    who.addBindValue(qint64(quint32(quint64(key))));
    if (!who.exec() || !who.next())
        return QString();
    const QString role = who.value(0).isNull() ? QStringLiteral("?") : quotedForMessage(who.value(0).toString());
    // The address is shown only to the session's own role and to pg_read_all_stats.
    const QString from = !who.value(1).isNull() ? QStringLiteral("с адреса %1").arg(quotedForMessage(who.value(1).toString()))
                                                : QStringLiteral("адрес не виден этой роли или подключение местное");
    const QString name = quotedForMessage(who.value(2).toString());
    return QStringLiteral("роль %1, %2%3").arg(role, from, name.isEmpty() ? QString() : QStringLiteral(", называет себя \"%1\"").arg(name));
}

PlantDatabase::LockResult PlantDatabase::tryLockLink(const QString &linkKey, QString *holder)
{
    QSqlDatabase db = QSqlDatabase::database(m_connection);
    const qint64 key = plantLockKey(linkKey);
    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT pg_try_advisory_lock(?)"));
    query.addBindValue(key);
    if (!query.exec() || !query.next()) {
        *holder = plantErrorText(query.lastError());
        return LockResult::Failed;
    }
    if (query.value(0).toBool())
        return LockResult::Locked;
    *holder = holderOf(key);
    if (holder->isEmpty())
        *holder = QStringLiteral("другая станция");
    return LockResult::Held;
}

void PlantDatabase::unlockLink(const QString &linkKey)
{
    QSqlQuery query(QSqlDatabase::database(m_connection));
    query.prepare(QStringLiteral("SELECT pg_advisory_unlock(?)"));
    query.addBindValue(plantLockKey(linkKey));
    // Its answer is not needed: false says this session did not hold the lock (it fell with a
    // former connection), and a statement that fails has lost the connection, and every lock of
    // it with it; the next question of the worker finds that out (alive()) and connects anew.
    query.exec();
}
