#ifndef RUNLAUNCHER_H
#define RUNLAUNCHER_H

#include "runresult.h"
#include "runsettings.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

class QThread;

// Starts one update run in a thread of its own, set up as the window sets up its runs: setters
// first, then the move, then the thread; worker and thread delete themselves when the run ends.
// The launcher never holds the worker, which dies in its own thread: stopHandshake() and
// abandon() reach it queued, and the worker decides there what they mean now. status(),
// probe(), progress(), trace() and result() are emitted in the worker's thread as things
// happen, so a receiver picks by its connection: queued for display, direct for a transcript
// in event order or a counter that must not wake this thread for every block.
class RunLauncher : public QObject
{
    Q_OBJECT
public:
    explicit RunLauncher(QObject *parent = nullptr);
    // Abandons a run still under way and waits a bounded time for its thread.
    ~RunLauncher() override;

    void start(const RunSettings &settings);
    bool running() const { return m_running; }
    // The handshake ends; a transfer that has begun goes on.
    void stopHandshake();
    // The run ends wherever it is, transfer included, and closes its link.
    void abandon();

signals:
    void status(int code);
    void probe();
    void progress(int totalRead, qint64 size);
    void trace(const QString &line);
    // The worker's result, once per run, before ended().
    void result(const RunResult &result);
    // In the launcher's thread, once the run's thread has ended.
    void ended();
    void stopRequested();
    void abandonRequested();

private:
    void onWorkerFinished();

    QPointer<QThread> m_thread;
    bool m_running = false;
};

#endif // RUNLAUNCHER_H
