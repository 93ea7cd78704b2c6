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
class Xmodem;

// Updates the devices of one command one after another, each a complete run of the same
// Xmodem worker the window uses, in a thread of its own. Reports on standard output and, with
// --log, appends a transcript.
class Batch : public QObject
{
    Q_OBJECT
public:
    enum ExitCode { AllUpdated = 0, SomeFailed = 1, BadInput = 2, Interrupted = 130 };

    Batch(const FlashOptions &options, bool terminal, QObject *parent = nullptr);
    ~Batch() override;

    bool openLog(QString *error);
    void start();
    // Ctrl-C: a probing run stops at once; a transfer asks for a second Ctrl-C first.
    void interrupt();
    // A timestamped transcript line; any thread may write one (the worker's debug lines).
    void log(const QString &line);

signals:
    void done(int exitCode);

private:
    void startNext();
    void onStatus(int status);
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

    // The current run. The device number is also read by the worker's thread, for its debug lines.
    int m_device = -1;
    QAtomicInt m_logDevice{-1};
    QPointer<Xmodem> m_worker;
    QPointer<QThread> m_thread;
    QTimer m_answerTimer;
    QElapsedTimer m_transferClock;
    bool m_transferring = false;
    bool m_succeeded = false;
    bool m_noAnswer = false;
    bool m_warnedOnce = false;
    int m_attempts = 0;
    int m_lastDecile = -1;
    QString m_message;
};

#endif // BATCH_H
