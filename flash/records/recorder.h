#ifndef RECORDER_H
#define RECORDER_H

#include "devicerecord.h"
#include "firmwareimage.h"
#include "ledger.h"
#include "plantlink.h"

#include "platform.h"

#include <QHash>
#include <QObject>

// Writes each attempt into the station's ledger as it starts and as it ends, and has the
// ledger's rows copied on to the plant database when there is one. The ledger is the source of
// truth: a plant database that is away is warned about once and caught up later; a row the
// ledger could not take is a record lost, which the exit code says.
class Recorder : public QObject
{
    Q_OBJECT
public:
    struct Batch
    {
        QString id;
        QString label;
        QString station;
        QString operatorName;
        FirmwareImage image;
    };

    explicit Recorder(QObject *parent = nullptr);

    // Before any link opens: the ledger must open (false, *error says why); the plant database
    // is reached in the background, and may be away: the batch goes on without it.
    bool open(const QString &ledgerFile, const QString &plantUrl, const Batch &batch, QString *error);
    bool enabled() const { return m_enabled; }
    PlantLink *plant() { return m_plant; }
    bool recordsLost() const { return m_lost; }
    // The ledger's id and head, for the report and the transcript; false without a ledger.
    bool ledgerHead(QString *id, LedgerHead *head);

    // Before an attempt's address frame goes out: its start row. False (with *error) when the
    // ledger does not take it: the attempt must not start, and the records are lost (exit 4).
    bool recordStart(const QString &link, int device, int attempt, QString *error);
    // The last attempt of the device, as it ended: its end row.
    void record(const DeviceRecord &device);
    // A device the batch never started, with the reason, as a row of its own (attempt 0).
    void recordNotStarted(const DeviceRecord &device);
    // The batch is over: what the plant database has not got yet goes now, then done (at once
    // when cut short; a batch stopped by a signal or Ctrl-C waits for it only briefly).
    void finish(bool stopped, std::function<void()> done);
    void cutShort();
    // The plant database's thread is let go: after this, PlantLink::abandoned() tells whether the
    // process must end without Qt's global destructors.
    void closePlant();

signals:
    void warning(const QString &text);
    void note(const QString &line);

private:
    LedgerRow batchRow(const DeviceRecord &device) const;
    bool append(const LedgerRow &row, qint64 *id = nullptr);
    // Attempts whose flasher died before their end: each gets its end, said once.
    void closeDeadAttempts();

    Ledger m_ledger;
    PlantLink *m_plant = nullptr;
    Batch m_batch;
    QString m_ledgerFile;
    bool m_enabled = false;
    bool m_lost = false;
    platform::ProcessIdentity m_process;
    QHash<QString, qint64> m_startRows; // "link device" of an attempt under way: its start row
};

#endif // RECORDER_H
