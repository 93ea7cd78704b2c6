#ifndef BATCH_H
#define BATCH_H

#include "flashoptions.h"
#include "runlauncher.h"

#include <QAtomicInt>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QTimer>

#include <atomic>
#include <memory>
#include <vector>

class Batch;
class QThread;

// What became of one device of the batch.
struct DeviceResult
{
    enum class Outcome { NotStarted, Updated, Failed, NoAnswer, Interrupted };
    QString link;
    int device = 0;
    Outcome outcome = Outcome::NotStarted;
    int lastStatus = 0;
    QString message;
    qint64 bytesSent = 0;
    int retransmissions = 0;
    QDateTime start;
    QDateTime end;
};

// One link's queue: its devices share the line, so they are updated one after another, each
// a complete run of the same Xmodem worker the window uses, in a thread of its own.
class LinkRun : public QObject
{
    Q_OBJECT
public:
    LinkRun(const LinkPlan &plan, Batch *batch);

    const QString &name() const { return m_name; }
    bool active() const { return m_launcher.running(); }
    bool transferring() const { return active() && m_transferring; }
    // Starts the next device; false when there is none, or none may start.
    bool startNext();
    // Ctrl-C: a run that is probing stops at once; a transfer goes on.
    void stopProbing();
    // The run ends now, transfer or not.
    void abandon();
    // The device under way, for lines written in the worker's thread.
    int device() const { return m_device.loadRelaxed(); }
    void countRetransmission() { m_retransmissions.fetchAndAddRelaxed(1); }
    // Called on the batch's own timer: the newest progress, without a wake-up for every block.
    void showProgress();
    // The devices of the queue that never started.
    QList<int> remaining() const { return m_devices.mid(m_next); }

signals:
    void deviceOver(const DeviceResult &result);
    void queueOver();

private:
    void onStatus(int status);
    void onProbe();
    void onEnded();
    void present(int status);
    void explainPortRefusal();

    Batch *m_batch;
    LinkPlan m_plan;
    QString m_name;
    QList<int> m_devices;
    int m_next = 0;
    RunLauncher m_launcher;
    QTimer m_answerTimer;

    // The device under way.
    QAtomicInt m_device{-1};
    QAtomicInt m_logAttempts{0};
    QAtomicInt m_retransmissions{0};
    std::atomic<qint64> m_read{0};
    std::atomic<qint64> m_size{0};
    DeviceResult m_result;
    QElapsedTimer m_transferClock;
    bool m_transferring = false;
    bool m_succeeded = false;
    bool m_noAnswer = false;
    bool m_abandoned = false;
    int m_attempts = 0;
    int m_lastDecile = -1;
    qint64 m_shownRead = -1;
    QString m_message;
};

// The whole command: every link of the plan, in parallel up to --jobs, with one display,
// one transcript and one report.
class Batch : public QObject
{
    Q_OBJECT
public:
    enum ExitCode { AllUpdated = 0, SomeFailed = 1, BadInput = 2, Interrupted = 130, KilledBase = 128 };

    Batch(const FlashOptions &options, bool terminal, QObject *parent = nullptr);
    ~Batch() override;

    bool openLog(QString *error);
    void start();
    // Ctrl-C: probing links stop at once; transfers ask for a second Ctrl-C first.
    void interrupt();
    // SIGTERM or SIGHUP: every run ends at once, as after a second Ctrl-C; exit code 128 + signal.
    void terminate(int signalNumber);
    // A timestamped transcript line; any thread may write one.
    void log(const QString &line);
    // A debug line of the worker, from its thread.
    void workerMessage(const QString &category, const QString &message);

    const FlashOptions &options() const { return m_options; }
    bool terminal() const { return m_terminal; }
    // No new device may start: interrupted, or a failure without --keep-going.
    bool holding() const { return m_interrupted || (m_failed > 0 && !m_options.keepGoing); }
    void registerThread(QThread *thread, LinkRun *link);
    // Live: the link's line on a terminal, written over; Event: a line of its own; Outcome: the
    // device's result, the only kind --quiet prints.
    enum class Line { Live, Event, Outcome };
    void show(LinkRun *link, int device, const QString &text, Line kind);
    void warn(const QString &text);

signals:
    void done(int exitCode);

private:
    void startLinks();
    void onDeviceOver(const DeviceResult &result);
    void onQueueOver();
    void finish();
    void redraw();
    void printSummary();
    bool writeReport(int exitCode);

    FlashOptions m_options;
    bool m_terminal;
    QFile m_log;
    std::vector<std::unique_ptr<LinkRun>> m_links;
    int m_nextLink = 0;
    int m_activeLinks = 0;
    QList<DeviceResult> m_results;
    int m_updated = 0;
    int m_failed = 0;
    bool m_interrupted = false;
    bool m_warned = false;
    bool m_finished = false;
    int m_interruptCode = Interrupted;
    QDateTime m_started;
    QTimer m_progressTimer;
    // Live lines on a terminal, one per link, redrawn in place below the finished lines.
    QStringList m_live;
    int m_drawn = 0;
};

#endif // BATCH_H
