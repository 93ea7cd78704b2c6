#include "historyview.h"

#include "texttable.h"
#include "textescape.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <limits>

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

// The text columns a person or a program typed (label, station, operator, link, message, image
// path, batch): in a spreadsheet a leading =, +, -, @ (or a tab or CR) would start a formula, so
// such a field gets a leading apostrophe, as spreadsheet-safe exports do. Numbers are left alone.
const QList<int> TypedColumns{3, 4, 5, 6, 7, 12, 15};

QString spreadsheetSafe(const QString &field)
{
    static const QString starters = QStringLiteral("=+-@\t\r");
    return !field.isEmpty() && starters.contains(field.at(0)) ? QLatin1Char('\'') + field : field;
}

// For the table on a terminal: what cannot be printed is shown as an escape, never sent.
QString printable(const QString &field)
{
    return quotedForMessage(field, std::numeric_limits<int>::max());
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
            const QStringList values = fields(row);
            for (int i = 0; i < values.size(); ++i)
                quoted << csvField(TypedColumns.contains(i) ? spreadsheetSafe(values.at(i)) : values.at(i));
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
        table << QStringList{row.start.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")), printable(row.station), printable(row.batch),
                             printable(row.label), printable(row.link), QString::number(row.device), QString::number(row.attempt),
                             printable(row.outcome), QString::number(row.bytesAcknowledged), row.imageSha256.left(12)};
    return textTable(table);
}
