#ifndef LINKQUEUE_H
#define LINKQUEUE_H

#include "devicerecord.h"
#include "flashoptions.h"
#include "runlauncher.h"

#include <QAtomicInt>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <atomic>
#include <memory>

class LinkLock;
class Scheduler;

// One link's queue: its devices share the line, so they are updated one after another, each
// a complete run of the same Xmodem worker the window uses, in a thread of its own.
class LinkQueue : public QObject
{
    Q_OBJECT
public:
    LinkQueue(const LinkPlan &plan, int firstOrder, Scheduler *scheduler);
    ~LinkQueue() override;

    const QString &name() const { return m_name; }
    // The name as a screen or a note may show it: a port name is the user's text.
    const QString &shownName() const { return m_shownName; }
    const LinkPlan &plan() const { return m_plan; }
    bool active() const { return m_launcher.running(); }
    // As last reported: for what the operator is shown, never for a decision.
    bool transferring() const { return active() && m_transferring; }
    // The device under way, also for lines written in the worker's thread; -1 between runs.
    int device() const { return m_device.loadRelaxed(); }
    // The signals of the run under way, emitted in the worker's thread.
    RunLauncher &launcher() { return m_launcher; }

    // The attempt under way at the device, from 1, and how many it may have.
    int attempt() const { return m_attempt; }
    int maxAttempts() const;

    // Starts the next device; false when there is none, or none may start.
    bool startNext();
    // The operator stops: the handshake of the run under way ends, a transfer goes on.
    void stopHandshake();
    // The operator gives up: the run ends wherever it is.
    void abandon();

    struct Progress
    {
        qint64 read = 0;
        qint64 size = 0;
        qint64 elapsedMs = 0;
    };
    // The transfer under way, read without waking this thread for every block.
    Progress progress() const;
    // The devices of the queue that never started.
    QList<DeviceRecord> remaining() const;

signals:
    void probed(int device, int probe);
    void statusShown(int device, int status, const QString &message);
    void transferBegins(int device);
    // An attempt is over: the last of record.attempts.
    void attemptOver(const DeviceRecord &record);
    // An attempt failed and another follows after pauseMs.
    void attemptFailed(int device, const QString &message, int pauseMs);
    // Another flasher holds the link: none of its devices starts.
    void linkBusy(const QString &why);
    void deviceOver(const DeviceRecord &record);
    void queueOver();

private:
    void beginDevice();
    // No device of the queue starts any more: its locks go, and the scheduler hears of it.
    void endQueue();
    void startAttempt();
    void onStatus(int status);
    void onEnded();
    void retryWhenReady();
    void finishDevice();

    Scheduler *m_scheduler;
    LinkPlan m_plan;
    QString m_name;
    QString m_shownName;
    int m_firstOrder;
    int m_next = 0;
    RunLauncher m_launcher;
    QTimer m_answerTimer;
    QTimer m_retryTimer;
    QDeadlineTimer m_portDeadline;
    std::unique_ptr<LinkLock> m_lock;
    QString m_notStartedWhy;
    bool m_waitingForPlant = false; // the next device waits for the plant database's word on the link
    int m_attempt = 0;

    QAtomicInt m_device{-1};
    std::atomic<qint64> m_read{0};
    std::atomic<qint64> m_size{0};
    QElapsedTimer m_transferClock;
    DeviceRecord m_record;
    RunResult m_result;
    bool m_haveResult = false;
    bool m_transferring = false;
    bool m_operatorStopped = false;
    bool m_noAnswerStopped = false;
    int m_probes = 0;
    QString m_message;
};

#endif // LINKQUEUE_H
