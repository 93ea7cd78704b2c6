#include "plantstatuscodes.h"

#include "plantsql.h"
#include "statusmessages.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariantList>

#include <limits>

bool fillStatusCodes(QSqlDatabase &db, QString *error)
{
    QSqlQuery query(db);
    query.prepare(QStringLiteral("INSERT INTO status_codes (code, message) VALUES (?, ?) ON CONFLICT (code) DO UPDATE SET message = excluded.message "
                                 "WHERE status_codes.message <> excluded.message"));
    QVariantList codes;
    QVariantList messages;
    // Every code the table has words of its own for: the codes are small numbers either side of
    // 0, and one the table does not know reads as the unknown code does.
    const QString unknown = presentStatus(std::numeric_limits<int>::min(), QString(), QStringLiteral("PORT"), 1).message;
    for (int code = -128; code <= 127; ++code) {
        QString message = presentStatus(code, QString(), QStringLiteral("PORT"), 1).message;
        if (message == unknown)
            continue;
        if (message.startsWith(QLatin1String(", ")))
            message = message.mid(2);
        codes << code;
        messages << message;
    }
    query.addBindValue(codes);
    query.addBindValue(messages);
    if (!query.execBatch()) {
        *error = plantErrorText(query.lastError());
        return false;
    }
    return true;
}
