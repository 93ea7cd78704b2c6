#include "reportwriter.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace {

QJsonValue utc(const QDateTime &time)
{
    return time.isValid() ? QJsonValue(time.toUTC().toString(Qt::ISODateWithMs)) : QJsonValue();
}

QJsonObject deviceObject(const DeviceRecord &record)
{
    const RunResult &run = record.run;
    const bool timed = record.started && run.start.isValid() && run.end.isValid();
    return QJsonObject{
        {QStringLiteral("link"), record.link},
        {QStringLiteral("device"), record.device},
        {QStringLiteral("outcome"), outcomeName(record.outcome)},
        {QStringLiteral("message"), record.started ? QJsonValue(record.message) : QJsonValue()},
        {QStringLiteral("status"), record.started && run.lastStatus != 0 ? QJsonValue(run.lastStatus) : QJsonValue()},
        {QStringLiteral("attempts"), run.attempts},
        {QStringLiteral("bytesAcknowledged"), double(run.bytesAcknowledged)},
        {QStringLiteral("retransmissions"), run.retransmissions},
        {QStringLiteral("start"), record.started ? utc(run.start) : QJsonValue()},
        {QStringLiteral("end"), record.started ? utc(run.end) : QJsonValue()},
        {QStringLiteral("durationSeconds"), timed ? QJsonValue(run.start.msecsTo(run.end) / 1000.0) : QJsonValue()},
    };
}

} // namespace

QString checkReportPlace(const QString &path)
{
    const QFileInfo place(path);
    if (place.isDir())
        return QStringLiteral("отчёт %1: это папка, а отчёту нужно имя файла").arg(path);
    const QFileInfo folder(place.absolutePath());
    if (!folder.isDir())
        return QStringLiteral("отчёт %1: нет папки %2").arg(path, folder.filePath());
    if (place.exists() ? !place.isWritable() : !folder.isWritable())
        return QStringLiteral("отчёт %1: нет прав на запись").arg(path);
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
    const QJsonObject document{
        {QStringLiteral("program"), QCoreApplication::applicationName()},
        {QStringLiteral("version"), QCoreApplication::applicationVersion()},
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
    };
    const QByteArray json = QJsonDocument(document).toJson();

    // A regular file is replaced whole or not at all; a device or a pipe is written directly.
    const QFileInfo place(path);
    if (!place.exists() || place.isFile()) {
        QSaveFile file(path);
        if (file.open(QIODevice::WriteOnly) && file.write(json) == json.size() && file.commit())
            return true;
        *error = file.errorString();
        return false;
    }
    QFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(json) == json.size() && file.flush()) {
        file.close();
        if (file.error() == QFileDevice::NoError)
            return true;
    }
    *error = file.errorString();
    return false;
}
