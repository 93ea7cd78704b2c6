#include "plantstatuscodes.h"

#include "plantsql.h"
#include "statusmessages.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariantList>

bool fillStatusCodes(QSqlDatabase &db, QString *error)
{
    QSqlQuery query(db);
    query.prepare(QStringLiteral("INSERT INTO status_codes (code, message) VALUES (?, ?) ON CONFLICT (code) DO UPDATE SET message = excluded.message "
                                 "WHERE status_codes.message <> excluded.message"));
    QVariantList codes;
    QVariantList messages;
    for (const auto &entry : statusCodeMessages()) {
        codes << entry.first;
        messages << entry.second;
    }
    query.addBindValue(codes);
    query.addBindValue(messages);
    if (!query.execBatch()) {
        *error = plantErrorText(query.lastError());
        return false;
    }
    return true;
}
