#include "flashprocess.h"

#include "pgserver.h"

#include <QDir>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QUrl>
#include <QUrlQuery>

QProcessEnvironment flashEnvironment()
{
    static QTemporaryDir home;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_DATA_HOME"), home.filePath(QStringLiteral("data")));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral("config")));
    // Cabinet locks in a folder of the test's, never the system's.
    QDir().mkpath(home.filePath(QStringLiteral("locks")));
    environment.insert(QStringLiteral("VORLEX_FLASH_LOCK_DIR"), home.filePath(QStringLiteral("locks")));
    return environment;
}

Flash::Flash()
{
    process.setProcessEnvironment(flashEnvironment());
}

void Flash::start(const QStringList &arguments)
{
    process.start(QStringLiteral(FLASH_PATH), arguments);
}

int Flash::finish(int ms)
{
    if (!process.waitForFinished(ms))
        return -1;
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

QList<QStringList> parseCsv(const QString &text)
{
    QList<QStringList> rows{{}};
    QString field;
    bool quoted = false;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (quoted && c == QLatin1Char('"') && i + 1 < text.size() && text.at(i + 1) == QLatin1Char('"')) {
            field += text.at(++i);
        } else if (c == QLatin1Char('"')) {
            quoted = !quoted;
        } else if (!quoted && (c == QLatin1Char(',') || c == QLatin1Char('\n'))) {
            rows.last() << std::exchange(field, QString());
            if (c == QLatin1Char('\n'))
                rows << QStringList();
        } else if (quoted || c != QLatin1Char('\r')) {
            field += c;
        }
    }
    rows.removeLast();
    return rows;
}

QVariant plantSql(const PgServer &server, const QStringList &statements, const QString &database)
{
    QVariant value;
    {
        const QUrl url(server.url(database));
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), QStringLiteral("plant-admin"));
        db.setHostName(QUrlQuery(url).queryItemValue(QStringLiteral("host"), QUrl::FullyDecoded));
        db.setUserName(url.userName());
        db.setDatabaseName(url.path().mid(1));
        if (db.open()) {
            for (const QString &statement : statements) {
                QSqlQuery query(db);
                value = query.exec(statement) && query.next() ? query.value(0) : QVariant(query.lastError().text());
            }
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("plant-admin"));
    return value;
}
