#include "historyview.h"

#include "texttable.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace {

const QStringList Names{QStringLiteral("id"), QStringLiteral("start"), QStringLiteral("end"), QStringLiteral("station"), QStringLiteral("operator"),
                        QStringLiteral("batch"), QStringLiteral("label"), QStringLiteral("link"), QStringLiteral("device"), QStringLiteral("attempt"),
                        QStringLiteral("outcome"), QStringLiteral("status"), QStringLiteral("message"), QStringLiteral("bytesAcknowledged"),
                        QStringLiteral("retransmissions"), QStringLiteral("imagePath"), QStringLiteral("imageSize"), QStringLiteral("imageSha256"),
                        QStringLiteral("programVersion")};

QStringList fields(const LedgerRow &row)
{
    return {QString::number(row.id), row.start.toString(Qt::ISODateWithMs), row.end.toString(Qt::ISODateWithMs), row.station,
            row.operatorName, row.batch, row.label, row.link, QString::number(row.device), QString::number(row.attempt), row.outcome,
            row.status.isNull() ? QString() : QString::number(row.status.toInt()), row.message, QString::number(row.bytesAcknowledged),
            QString::number(row.retransmissions), row.imagePath, QString::number(row.imageSize), row.imageSha256, row.programVersion};
}

QString csvField(const QString &field)
{
    const bool plain = std::none_of(field.cbegin(), field.cend(), [](QChar c) {
        return c == QLatin1Char(',') || c == QLatin1Char('"') || c == QLatin1Char('\n') || c == QLatin1Char('\r');
    });
    if (plain)
        return field;
    QString quoted = field;
    quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

} // namespace

QString formatHistory(const QList<LedgerRow> &rows, HistoryFormat format)
{
    QString out;
    if (format == HistoryFormat::Csv) {
        out += Names.join(QLatin1Char(',')) + QStringLiteral("\r\n");
        for (const LedgerRow &row : rows) {
            QStringList quoted;
            for (const QString &field : fields(row))
                quoted << csvField(field);
            out += quoted.join(QLatin1Char(',')) + QStringLiteral("\r\n");
        }
        return out;
    }
    if (format == HistoryFormat::Json) {
        QJsonArray array;
        for (const LedgerRow &row : rows) {
            const QStringList values = fields(row);
            QJsonObject object;
            for (int i = 0; i < Names.size(); ++i) {
                const bool number = Names.at(i) == QLatin1String("id") || Names.at(i) == QLatin1String("device") || Names.at(i) == QLatin1String("attempt")
                    || Names.at(i) == QLatin1String("bytesAcknowledged") || Names.at(i) == QLatin1String("retransmissions")
                    || Names.at(i) == QLatin1String("imageSize") || Names.at(i) == QLatin1String("status");
                object.insert(Names.at(i), values.at(i).isEmpty() && number ? QJsonValue()
                                          : number ? QJsonValue(values.at(i).toDouble()) : QJsonValue(values.at(i)));
            }
            array.append(object);
        }
        return QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Indented));
    }
    // For a person: what was done to which device, when and where, newest last.
    QList<QStringList> table{{QStringLiteral("время (UTC)"), QStringLiteral("станция"), QStringLiteral("партия"), QStringLiteral("метка"),
                              QStringLiteral("связь"), QStringLiteral("прибор"), QStringLiteral("попытка"), QStringLiteral("итог"),
                              QStringLiteral("байт"), QStringLiteral("SHA-256 образа")}};
    for (const LedgerRow &row : rows)
        table << QStringList{row.start.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")), row.station, row.batch, row.label, row.link,
                             QString::number(row.device), QString::number(row.attempt), row.outcome, QString::number(row.bytesAcknowledged),
                             row.imageSha256.left(12)};
    return textTable(table);
}
