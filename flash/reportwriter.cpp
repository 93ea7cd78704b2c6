#include "reportwriter.h"

#include "platform.h"
#include "textescape.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <cerrno>

namespace {

QJsonValue utc(const QDateTime &time)
{
    return time.isValid() ? QJsonValue(time.toUTC().toString(Qt::ISODateWithMs)) : QJsonValue();
}

// One attempt's figures, as the worker gave them.
QJsonObject attemptObject(DeviceRecord::Outcome outcome, const QString &message, const RunResult &run)
{
    return QJsonObject{
        {QStringLiteral("outcome"), outcomeName(outcome)},
        {QStringLiteral("message"), message},
        {QStringLiteral("status"), run.lastStatus != 0 ? QJsonValue(run.lastStatus) : QJsonValue()},
        {QStringLiteral("probes"), run.probes},
        {QStringLiteral("bytesAcknowledged"), double(run.bytesAcknowledged)},
        {QStringLiteral("retransmissions"), run.retransmissions},
        {QStringLiteral("start"), utc(run.start)},
        {QStringLiteral("end"), utc(run.end)},
    };
}

// The device's final outcome is its last attempt's; every attempt follows under "attempts".
QJsonObject deviceObject(const DeviceRecord &record)
{
    QJsonObject device{{QStringLiteral("link"), record.link}, {QStringLiteral("device"), record.device},
                       {QStringLiteral("outcome"), outcomeName(record.outcome)},
                       {QStringLiteral("message"), record.message.isEmpty() ? QJsonValue() : QJsonValue(record.message)}};
    if (record.attempts.isEmpty())
        return device;
    const QJsonObject last = attemptObject(record.outcome, record.message, record.run);
    for (auto it = last.begin(); it != last.end(); ++it)
        device.insert(it.key(), it.value());
    QJsonArray attempts;
    for (const DeviceRecord::Attempt &attempt : record.attempts)
        attempts.append(attemptObject(attempt.outcome, attempt.message, attempt.run));
    // The device's figure counts every attempt, as the summary table does; each attempt's own
    // figure is under "attempts".
    int retransmissions = 0;
    for (const DeviceRecord::Attempt &attempt : record.attempts)
        retransmissions += attempt.run.retransmissions;
    device.insert(QStringLiteral("retransmissions"), retransmissions);
    const QDateTime start = record.attempts.constFirst().run.start;
    device.insert(QStringLiteral("start"), utc(start));
    device.insert(QStringLiteral("durationSeconds"), start.msecsTo(record.run.end) / 1000.0);
    device.insert(QStringLiteral("attempts"), attempts);
    return device;
}

// A write the system refused, by its errno where there is one: the file device's own text for
// a write cut off by a size limit is "Unknown error".
bool failed(const QFileDevice &file, int cause, QString *error)
{
    *error = cause != 0 ? platform::writeFailure(cause) : file.errorString();
    return false;
}

} // namespace

QString checkReportPlace(const QString &path)
{
    const QFileInfo place(path);
    const QString shown = quotedForMessage(path, PathInMessage);
    if (place.isDir())
        return QStringLiteral("отчёт %1: это папка, а отчёту нужно имя файла").arg(shown);
    const QFileInfo folder(place.absolutePath());
    if (!folder.isDir())
        return QStringLiteral("отчёт %1: нет папки %2").arg(shown, quotedForMessage(folder.filePath(), PathInMessage));
    if (place.exists() ? !place.isWritable() : !folder.isWritable())
        return QStringLiteral("отчёт %1: нет прав на запись").arg(shown);
    return QString();
}

bool writeReport(const QString &path, const BatchReport &report, QString *error)
{
    QJsonArray devices;
    for (const DeviceRecord &record : report.devices)
        devices.append(deviceObject(record));
    QJsonArray commandLine;
    for (const QString &argument : report.commandLine)
        commandLine.append(argument);
    QJsonObject document{
        {QStringLiteral("program"), QCoreApplication::applicationName()},
        {QStringLiteral("version"), QCoreApplication::applicationVersion()},
        {QStringLiteral("batch"), report.batch},
        {QStringLiteral("label"), report.label},
        {QStringLiteral("rerunOf"), report.rerunOf.isEmpty() ? QJsonValue() : QJsonValue(report.rerunOf)},
        {QStringLiteral("station"), report.station},
        {QStringLiteral("operator"), report.operatorName},
        {QStringLiteral("commandLine"), commandLine},
        {QStringLiteral("image"), QJsonObject{{QStringLiteral("path"), report.image.absolutePath},
                                              {QStringLiteral("size"), double(report.image.bytes.size())},
                                              {QStringLiteral("sha256"), report.image.sha256}}},
        {QStringLiteral("start"), utc(report.start)},
        {QStringLiteral("end"), utc(report.end)},
        {QStringLiteral("interrupted"), report.interrupted},
        {QStringLiteral("exitCode"), report.exitCode},
        {QStringLiteral("devices"), devices},
        // An anchor for the ledger outside it: --verify-records REPORT checks the chain still holds it.
        {QStringLiteral("ledger"), report.ledgerId.isEmpty() ? QJsonValue()
                                   : QJsonObject{{QStringLiteral("id"), report.ledgerId}, {QStringLiteral("rows"), double(report.ledgerHead.rows)},
                                                 {QStringLiteral("lastRow"), double(report.ledgerHead.lastRow)},
                                                 {QStringLiteral("hash"), report.ledgerHead.hash}}},
        // For a tracking system: a plant database that refused the station is not merely away.
        {QStringLiteral("plant"), report.plantState.isEmpty() ? QJsonValue()
                                  : QJsonObject{{QStringLiteral("state"), report.plantState}, {QStringLiteral("cause"), report.plantCause}}},
    };
    if (!report.ledgerId.isEmpty()) {
        // Every chain of the ledger, each station's under each identity: rows of another
        // station rewritten behind this batch's last row are found as well.
        QJsonArray chains;
        for (const LedgerHead::Chain &chain : report.ledgerHead.chains)
            chains.append(QJsonObject{{QStringLiteral("station"), chain.station}, {QStringLiteral("ledger"), chain.identity},
                                      {QStringLiteral("rows"), double(chain.rows)}, {QStringLiteral("lastRow"), double(chain.lastRow)},
                                      {QStringLiteral("hash"), chain.hash}});
        QJsonObject ledger = document[QLatin1String("ledger")].toObject();
        ledger.insert(QStringLiteral("chains"), chains);
        document.insert(QStringLiteral("ledger"), ledger);
    }
    const QByteArray json = QJsonDocument(document).toJson();

    // A regular file is replaced whole or not at all; a device or a pipe is written directly.
    const QFileInfo place(path);
    if (!place.exists() || place.isFile()) {
        QSaveFile file(path);
        // Unbuffered, so that a short write shows here: a buffered one that the disk cut short
        // at its flush can still be committed, as a truncated report.
        if (file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
            errno = 0;
            if (file.write(json) != json.size())
                return failed(file, errno, error);
            if (file.commit())
                return true;
        }
        return failed(file, errno, error);
    }
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        errno = 0;
        if (file.write(json) != json.size())
            return failed(file, errno, error);
        file.close();
        if (file.error() == QFileDevice::NoError)
            return true;
    }
    return failed(file, errno, error);
}
