#ifndef BATCH_H
#define BATCH_H

#include "flashoptions.h"

#include <QAtomicInt>
#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QPointer>
#include <QTimer>

class QThread;

// Updates the devices of one command one after another, each a complete run of the same
// Xmodem worker the window uses, in a thread of its own. Reports on standard output and, with
// --log, appends a transcript.
class Batch : public QObject
{
    Q_OBJECT
public:
    enum ExitCode { AllUpdated = 0, SomeFailed = 1, BadInput = 2, Interrupted = 130, KilledBase = 128 };

    Batch(const FlashOptions &options, bool terminal, QObject *parent = nullptr);
    ~Batch() override;

    bool openLog(QString *error);
    void start();
    // Ctrl-C: a probing run stops at once; a transfer asks for a second Ctrl-C first.
    void interrupt();
    // SIGTERM or SIGHUP: the run ends at once, as after a second Ctrl-C; exit code 128 + signal.
    void terminate(int signalNumber);
    // A timestamped transcript line; any thread may write one (the worker's debug lines).
    void log(const QString &line);

signals:
    void done(int exitCode);
    // Reaches the current run's worker, queued, in its own thread.
    void stopRun();

private:
    void startNext();
    void onStatus(int status);
    void present(int status);
    void explainPortRefusal();
    void onProbe();
    void onProgress(int totalRead, qint64 size);
    void onRunFinished();
    void onAnswerTimeout();
    void abandonRun();
    void show(const QString &text, bool final);

    FlashOptions m_options;
    bool m_terminal;
    QFile m_log;
    int m_next = 0;
    int m_updated = 0;
    int m_failed = 0;
    bool m_interrupted = false;
    int m_interruptCode = Interrupted;

    // The current run. The worker deletes itself in its own thread, so this thread never holds
    // a pointer to it. The device number and the attempt count are also read by the worker's
    // thread, which writes its transcript lines as things happen.
    int m_device = -1;
    QAtomicInt m_logDevice{-1};
    QAtomicInt m_logAttempts{0};
    bool m_running = false;
    QPointer<QThread> m_thread;
    QTimer m_answerTimer;
    QElapsedTimer m_transferClock;
    bool m_transferring = false;
    bool m_succeeded = false;
    bool m_noAnswer = false;
    bool m_warnedOnce = false;
    int m_attempts = 0;
    int m_lastStatus = 0;
    int m_lastDecile = -1;
    QString m_message;
};

#endif // BATCH_H
