#ifndef RECORDER_H
#define RECORDER_H

#include "ledger.h"
#include "plantlink.h"

#include "platform.h"

#include <QDateTime>
#include <QHash>
#include <QObject>
#include <QVariant>

// Writes each attempt into the station's ledger as it starts and as it ends, and has the
// ledger's rows copied on to the plant database when there is one. The ledger is the source of
// truth: a plant database that is away is warned about once and caught up later; a row the
// ledger could not take is a record lost, which the exit code says.
class Recorder : public QObject
{
    Q_OBJECT
public:
    // The image every row of the batch names, as it was read before any link opened.
    struct Image
    {
        QString path;      // absolute
        qint64 size = 0;
        QString sha256;    // lower-case hex
    };
    struct Batch
    {
        QString id;
        QString label;
        QString station;
        QString operatorName;
        Image image;
    };
    // An attempt as the records keep it; the batch says what became of it.
    struct Attempt
    {
        QString link;
        int device = 0;
        int number = 0;            // the attempt's, from 1
        QString outcome;           // as the report names it: "updated", "failed", ...
        QVariant status;           // the last status code, null when there was none
        QString message;           // as the operator read it
        qint64 bytesAcknowledged = 0;
        int retransmissions = 0;
        QDateTime start;           // UTC
        QDateTime end;             // UTC
    };

    explicit Recorder(QObject *parent = nullptr);

    // Before any link opens: the ledger must open (false, *error says why); the plant database
    // is reached in the background, and may be away: the batch goes on without it.
    bool open(const QString &ledgerFile, const QString &plantUrl, const Batch &batch, QString *error);
    PlantLink *plant() { return m_plant; }
    bool recordsLost() const { return m_lost; }
    // The ledger's id and head, for the report and the transcript; false without a ledger.
    bool ledgerHead(QString *id, LedgerHead *head);

    // Before an attempt's address frame goes out: its start row. False (with *error) when the
    // ledger does not take it: the attempt must not start, and the records are lost (exit 4).
    bool recordStart(const QString &link, int device, int attempt, QString *error);
    // The last attempt of the device, as it ended: its end row.
    void record(const Attempt &attempt);
    // A device the batch never started, with its outcome and the reason, as a row of its own
    // (attempt 0, now); its number, status, counts and times are not read.
    void recordNotStarted(const Attempt &device);
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
    LedgerRow batchRow(const QString &link, int device) const;
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
