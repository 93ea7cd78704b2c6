#ifndef RUNLAUNCHER_H
#define RUNLAUNCHER_H

#include <QObject>
#include <QPointer>
#include <QString>

class QThread;

// What one run needs: the link, the image and the device.
struct RunSettings
{
    enum class Link { Serial, Ethernet };
    Link link = Link::Serial;
    QString serialPort;
    QString address;
    QString port;
    QString file;
    int device = 0;
};

// Starts one update run in a thread of its own, set up as the window sets up its runs: setters
// first, then the move, then the thread; worker and thread delete themselves when the run ends.
// The launcher never holds the worker, which dies in its own thread: abandon() reaches it
// queued. status(), probe() and progress() are emitted in the worker's thread as things
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
    // The run ends wherever it is, transfer included, and closes its link.
    void abandon();

signals:
    void status(int code);
    void probe();
    void progress(int totalRead, qint64 size);
    // In the launcher's thread, just before the run's thread starts: what runs in it belongs
    // to this run.
    void threadStarting(QThread *thread);
    // In the launcher's thread, once the run's thread has ended.
    void ended();
    void stopRequested();

private:
    void onWorkerFinished();

    QPointer<QThread> m_thread;
    bool m_running = false;
};

#endif // RUNLAUNCHER_H
