#include "plantsql.h"

#include "textescape.h"

#include <QCryptographicHash>
#include <QSqlError>
#include <QtEndian>

QString plantErrorText(const QSqlError &error)
{
    // The server may echo what a client sent it (a role's name): escaped as any foreign text.
    return quotedForMessage((error.databaseText().isEmpty() ? error.driverText() : error.databaseText()).simplified(), 400);
}

qint64 plantLockKey(const QString &linkKey)
{
    const QByteArray hash = QCryptographicHash::hash("vorlex-flash link " + linkKey.toUtf8(), QCryptographicHash::Sha256);
    return qFromBigEndian<qint64>(hash.constData());
}

QString placeholders(const QStringList &values)
{
    QStringList marks;
    for (int i = 0; i < values.size(); ++i)
        marks << QStringLiteral("?");
    return marks.join(QStringLiteral(", "));
}
