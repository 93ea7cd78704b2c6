#include "recorder.h"

#include <QCoreApplication>

Recorder::Recorder(QObject *parent)
    : QObject(parent)
{
}

bool Recorder::open(const QString &ledgerFile, const QString &plantUrl, const Batch &batch, QString *error)
{
    m_batch = batch;
    m_ledgerFile = ledgerFile;
    if (!ledgerFile.isEmpty()) {
        if (!m_ledger.open(ledgerFile, error)) {
            *error = QStringLiteral("журнал %1: %2").arg(ledgerFile, *error);
            return false;
        }
        m_enabled = true;
    }
    // Without a ledger there is nothing to copy, but the plant's link locks still hold.
    if (plantUrl.isEmpty())
        return true;
    QString why;
    if (!m_plant.open(plantUrl, batch.station, &why)) {
        emit warning(QStringLiteral("база завода %1 недоступна; журнал станции пишется, строки уйдут туда при следующем запуске "
                                    "или по --sync-records: %2")
                         .arg(m_plant.name(), why));
        emit note(QStringLiteral("plant database unavailable: %1").arg(why));
        return true;
    }
    // Whatever earlier runs could not send goes first.
    copyToPlant();
    return true;
}

// What every row of the batch shares: who, where, what image, which device.
LedgerRow Recorder::batchRow(const DeviceRecord &device) const
{
    LedgerRow row;
    row.batch = m_batch.id;
    row.label = m_batch.label;
    row.station = m_batch.station;
    row.operatorName = m_batch.operatorName;
    row.programVersion = QCoreApplication::applicationVersion();
    row.link = device.link;
    row.device = device.device;
    row.imagePath = m_batch.image.absolutePath;
    row.imageSize = m_batch.image.bytes.size();
    row.imageSha256 = m_batch.image.sha256;
    return row;
}

void Recorder::recordNotStarted(const DeviceRecord &device)
{
    if (!m_enabled)
        return;
    LedgerRow row = batchRow(device);
    row.attempt = 0;
    row.outcome = outcomeName(DeviceRecord::Outcome::NotStarted);
    row.message = device.message;
    row.start = row.end = QDateTime::currentDateTimeUtc();
    append(row);
}

void Recorder::record(const DeviceRecord &device)
{
    if (!m_enabled)
        return;
    const DeviceRecord::Attempt &attempt = device.attempts.constLast();
    LedgerRow row = batchRow(device);
    row.attempt = int(device.attempts.size());
    row.outcome = outcomeName(attempt.outcome);
    row.status = attempt.run.lastStatus != 0 ? QVariant(attempt.run.lastStatus) : QVariant();
    row.message = attempt.message;
    row.bytesAcknowledged = attempt.run.bytesAcknowledged;
    row.retransmissions = attempt.run.retransmissions;
    row.start = attempt.run.start;
    row.end = attempt.run.end;
    append(row);
}

void Recorder::append(const LedgerRow &row)
{
    QString why;
    if (!m_ledger.append(row, &why)) {
        if (!m_lost)
            emit warning(QStringLiteral("журнал %1: попытка не записана, итог прибора от этого не меняется: %2").arg(m_ledgerFile, why));
        emit note(QStringLiteral("[%1] device %2: attempt %3 not recorded: %4").arg(row.link).arg(row.device).arg(row.attempt).arg(why));
        m_lost = true;
        return;
    }
    copyToPlant();
}

void Recorder::finish()
{
    copyToPlant();
}

// A plant database that fails is left alone for the rest of the batch: the rows wait in the
// ledger, and each further try would hold up the batch for a connection timeout.
void Recorder::copyToPlant()
{
    if (!m_plant.isOpen() || !m_enabled)
        return;
    int copied = 0;
    QString why;
    if (m_plant.copyFrom(m_ledger, &copied, &why))
        return;
    m_plant.close();
    emit warning(QStringLiteral("база завода %1 перестала отвечать; строки остаются в журнале станции и уйдут туда позже: %2").arg(m_plant.name(), why));
    emit note(QStringLiteral("plant database lost: %1").arg(why));
}
