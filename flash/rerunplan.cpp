#include "rerunplan.h"

#include "cappedread.h"
#include "textescape.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace {
// A report of a whole plant is far below this.
constexpr qint64 MaxReportBytes = 64 * 1024 * 1024;
} // namespace

QString readRerunPlan(const QString &reportPath, QList<LinkPlan> *links, QString *sha256, QString *batch)
{
    QFile file(reportPath);
    const QString shown = quotedForMessage(reportPath, PathInMessage);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("отчёт %1 не открывается: %2").arg(shown, file.errorString());
    const QByteArray text = readAtMost(file, MaxReportBytes + 1);
    if (file.error() != QFileDevice::NoError)
        return QStringLiteral("отчёт %1 не читается: %2").arg(shown, file.errorString());
    const QString notOurs = QStringLiteral("%1 - не отчёт vorlex-flash --report").arg(shown);
    QJsonParseError error{};
    const QJsonObject report = QJsonDocument::fromJson(text, &error).object();
    static const QRegularExpression hash(QStringLiteral("^[0-9a-f]{64}$"));
    *sha256 = report[QLatin1String("image")][QLatin1String("sha256")].toString();
    *batch = report[QLatin1String("batch")].toString();
    if (text.size() > MaxReportBytes || error.error != QJsonParseError::NoError || report[QLatin1String("program")] != QLatin1String("vorlex-flash")
        || !report[QLatin1String("devices")].isArray() || !hash.match(*sha256).hasMatch())
        return notOurs;

    QList<LinkPlan> failed;
    const QJsonArray devices = report[QLatin1String("devices")].toArray();
    for (const QJsonValue &entry : devices) {
        if (entry[QLatin1String("outcome")].toString() == QLatin1String("updated"))
            continue;
        LinkPlan plan;
        const QString link = entry[QLatin1String("link")].toString();
        const int device = entry[QLatin1String("device")].toInt(-1);
        // The report names a cabinet as ADDRESS:PORT and a serial port by its name.
        QString why;
        if (parseEthTarget(link, &plan.address, &plan.port, &why))
            plan.kind = RunSettings::Link::Ethernet;
        else
            plan.serialPort = link;
        if (link.isEmpty() || device < 0 || device > 255)
            return notOurs;
        plan.devices << device;
        plan.origins << QStringLiteral("%1 (%2)").arg(shown).arg(device);
        failed << plan;
    }
    if (failed.isEmpty())
        return QStringLiteral("в отчёте %1 все приборы обновлены: заново обновлять нечего").arg(shown);
    *links = failed;
    return QString();
}
