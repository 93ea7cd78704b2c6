#ifndef SCHEDULER_H
#define SCHEDULER_H

#include "devicerecord.h"
#include "firmwareimage.h"
#include "flashoptions.h"
#include "linkqueue.h"

#include <QObject>

#include <functional>
#include <memory>
#include <vector>

class PlantLink;

// Every link of the plan, in parallel up to --jobs; decides what starts and what stops.
class Scheduler : public QObject
{
    Q_OBJECT
public:
    Scheduler(const FlashOptions &options, const FirmwareImage &image, QObject *parent = nullptr);
    ~Scheduler() override;

    const FlashOptions &options() const { return m_options; }
    const FirmwareImage &image() const { return m_image; }
    const std::vector<std::unique_ptr<LinkQueue>> &queues() const { return m_queues; }
    // With a plant database, links are locked there too.
    void setPlant(PlantLink *plant) { m_plant = plant; }
    PlantLink *plant() const { return m_plant; }
    int deviceCount() const;

    void start();
    // Ctrl-C: the first stops every handshake and starts nothing new, transfers go on; the
    // second abandons them.
    void interrupt();
    // SIGTERM or SIGHUP: every run ends at once, as after a second Ctrl-C.
    void terminate(int signalNumber);

    // Asked before each attempt, which starts only if it answers true (*why: why not).
    using AttemptGate = std::function<bool(const QString &link, int device, int attempt, QString *why)>;
    void setAttemptGate(AttemptGate gate) { m_attemptGate = std::move(gate); }
    bool attemptMayStart(const QString &link, int device, int attempt, QString *why);

    // No new device may start: interrupted, a failure without --keep-going, or an attempt whose
    // start the ledger did not take.
    bool holding() const { return m_interrupts > 0 || m_signal != 0 || m_recordsFailed || (m_failed > 0 && !m_options.keepGoing); }
    bool interrupted() const { return m_interrupts > 0 || m_signal != 0; }
    int signalNumber() const { return m_signal; }
    // Who stopped the batch, as a device's message says it: "оператором", "сигналом SIGTERM ...".
    QString stoppedBy() const;
    // Why a device that never started did not, for its record.
    QString holdReason() const;

signals:
    // An event of the batch for the transcript.
    void note(const QString &line);
    // Something the operator must read now.
    void warning(const QString &text);
    // Every device, in plan order.
    void finished(const QList<DeviceRecord> &records);

private:
    void startQueues();
    void onDeviceOver(const DeviceRecord &record);
    void onQueueOver();
    void warnAboutTransfers(const QStringList &under);
    void finish();

    FlashOptions m_options;
    FirmwareImage m_image;
    PlantLink *m_plant = nullptr;
    std::vector<std::unique_ptr<LinkQueue>> m_queues;
    int m_nextQueue = 0;
    int m_activeQueues = 0;
    QList<DeviceRecord> m_records;
    int m_failed = 0;
    int m_interrupts = 0;
    int m_signal = 0;
    bool m_finished = false;
    bool m_recordsFailed = false;
    AttemptGate m_attemptGate;
};

#endif // SCHEDULER_H
