#include "recorder.h"

#include "textescape.h"
#include "writerliveness.h"

#include <QCoreApplication>
#include <QDir>

Recorder::Recorder(QObject *parent)
    : QObject(parent)
{
}

bool Recorder::open(const QString &ledgerFile, const QString &plantUrl, const Batch &batch, QString *error)
{
    m_batch = batch;
    m_ledgerFile = ledgerFile;
    m_process = platform::currentProcess();
    if (!ledgerFile.isEmpty()) {
        if (!m_ledger.open(ledgerFile, error)) {
            *error = QStringLiteral("журнал %1: %2").arg(quotedForMessage(ledgerFile, PathInMessage), *error);
            return false;
        }
        m_enabled = true;
        closeDeadAttempts();
    }
    // Without a ledger there is nothing to copy, but the plant's link locks still hold.
    if (plantUrl.isEmpty())
        return true;
    m_plant = new PlantLink(this);
    connect(m_plant, &PlantLink::warning, this, &Recorder::warning);
    connect(m_plant, &PlantLink::note, this, &Recorder::note);
    if (!m_enabled)
        emit warning(QStringLiteral("--records none: без журнала в базу завода ничего не копируется; блокировки связей в ней действуют"));
    // Whatever earlier runs could not send goes first.
    m_plant->start(plantUrl, batch.station, m_enabled ? ledgerFile : QString());
    return true;
}

bool Recorder::ledgerHead(QString *id, LedgerHead *head)
{
    QString why;
    if (!m_enabled || !m_ledger.head(head, &why))
        return false;
    *id = head->id;
    return true;
}

void Recorder::closeDeadAttempts()
{
    QList<LedgerRow> open;
    QString why;
    if (!m_ledger.openAttempts(&open, &why)) {
        emit warning(QStringLiteral("журнал %1: незаконченные попытки не прочитаны: %2").arg(quotedForMessage(m_ledgerFile, PathInMessage), why));
        return;
    }
    for (LedgerRow row : qAsConst(open)) {
        // Only an attempt whose flasher is surely gone: one that cannot be seen stays open.
        if (writerLiveness(row) != platform::Liveness::Dead)
            continue;
        const LedgerRow start = row;
        // The attempt's own batch, station and image; written by this flasher.
        row.startRow = row.id;
        row.kind = QStringLiteral("end");
        row.outcome = QStringLiteral("unfinished");
        row.status = QVariant();
        row.message = QStringLiteral("vorlex-flash партии %1 закончил работу или потерял журнал, не записав конец этой попытки; её итог может "
                                     "быть в отчёте или протоколе той партии; записано %2 партией %3")
                          .arg(row.batch, QDateTime::currentDateTimeUtc().toString(Qt::ISODate), m_batch.id);
        row.end = QDateTime::currentDateTimeUtc();
        row.machine = m_process.machine;
        row.boot = m_process.boot;
        row.pid = m_process.pid;
        row.processStart = m_process.started;
        bool closed = false;
        if (!m_ledger.closeAttempt(row, &closed, &why)) {
            emit warning(QStringLiteral("журнал %1: конец незаконченной попытки %2 прибора %3 на связи %4 не записан: %5")
                             .arg(quotedForMessage(m_ledgerFile, PathInMessage)).arg(start.attempt).arg(start.device).arg(quotedForMessage(start.link), why));
            m_lost = true;
            return;
        }
        // Another flasher starting with this one closed it first, and said so.
        if (!closed)
            continue;
        // Nothing is said of why: a crash, a stop, a ledger that stopped taking rows look alike here.
        emit warning(QStringLiteral("журнал %1: попытка %2 прибора %3 на связи %4 (партия %5, начата %6) не закончена: vorlex-flash той "
                                    "партии закончил работу или потерял журнал, не записав её конец; её итог может быть в отчёте или "
                                    "протоколе той партии")
                         .arg(quotedForMessage(m_ledgerFile, PathInMessage))
                         .arg(start.attempt)
                         .arg(start.device)
                         .arg(quotedForMessage(start.link), quotedForMessage(start.batch), start.start.toString(Qt::ISODate)));
        if (m_plant)
            m_plant->copy();
    }
}

bool Recorder::recordStart(const QString &link, int device, int attempt, QString *error)
{
    if (!m_enabled)
        return true;
    LedgerRow row = batchRow(link, device);
    row.kind = QStringLiteral("start");
    row.attempt = attempt;
    row.outcome = QStringLiteral("in progress");
    row.start = QDateTime::currentDateTimeUtc();
    qint64 id = 0;
    // Not copied to the plant database now: that would cost a round trip before every attempt;
    // it goes with the attempt's end.
    if (!m_ledger.append(row, error, &id)) {
        m_lost = true;
        emit note(QStringLiteral("[%1] device %2: start of attempt %3 not recorded: %4").arg(link).arg(device).arg(attempt).arg(*error));
        return false;
    }
    m_startRows.insert(QStringLiteral("%1 %2").arg(link).arg(device), id);
    return true;
}

// What every row of the batch shares: who, where, what image, which device.
LedgerRow Recorder::batchRow(const QString &link, int device) const
{
    LedgerRow row;
    row.batch = m_batch.id;
    row.label = m_batch.label;
    row.station = m_batch.station;
    row.operatorName = m_batch.operatorName;
    row.programVersion = QCoreApplication::applicationVersion();
    row.link = link;
    row.device = device;
    row.imagePath = m_batch.image.path;
    row.imageSize = m_batch.image.size;
    row.imageSha256 = m_batch.image.sha256;
    row.machine = m_process.machine;
    row.boot = m_process.boot;
    row.pid = m_process.pid;
    row.processStart = m_process.started;
    return row;
}

void Recorder::recordNotStarted(const Attempt &device)
{
    if (!m_enabled)
        return;
    LedgerRow row = batchRow(device.link, device.device);
    row.attempt = 0;
    row.outcome = device.outcome;
    row.message = device.message;
    row.start = row.end = QDateTime::currentDateTimeUtc();
    append(row);
}

void Recorder::record(const Attempt &attempt)
{
    if (!m_enabled)
        return;
    LedgerRow row = batchRow(attempt.link, attempt.device);
    row.startRow = m_startRows.take(QStringLiteral("%1 %2").arg(attempt.link).arg(attempt.device));
    row.attempt = attempt.number;
    row.outcome = attempt.outcome;
    row.status = attempt.status;
    row.message = attempt.message;
    row.bytesAcknowledged = attempt.bytesAcknowledged;
    row.retransmissions = attempt.retransmissions;
    row.start = attempt.start;
    row.end = attempt.end;
    append(row);
}

bool Recorder::append(const LedgerRow &row, qint64 *id)
{
    QString why;
    if (!m_ledger.append(row, &why, id)) {
        if (!m_lost)
            emit warning(QStringLiteral("журнал %1: попытка не записана, итог прибора от этого не меняется: %2").arg(quotedForMessage(m_ledgerFile, PathInMessage), why));
        emit note(QStringLiteral("[%1] device %2: attempt %3 not recorded: %4").arg(row.link).arg(row.device).arg(row.attempt).arg(why));
        m_lost = true;
        return false;
    }
    if (m_plant)
        m_plant->copy();
    return true;
}

void Recorder::finish(bool stopped, std::function<void()> done)
{
    // A stop is answered within a second, whatever the plant database does.
    constexpr int StoppedWaitMs = 500;
    if (m_plant)
        m_plant->finish(stopped ? StoppedWaitMs : PlantLink::DeadlineMs, std::move(done));
    else
        done();
}

void Recorder::cutShort()
{
    if (m_plant)
        m_plant->cutShort();
}

void Recorder::closePlant()
{
    delete m_plant;
    m_plant = nullptr;
}
