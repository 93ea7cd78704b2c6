#ifndef RUNLOG_H
#define RUNLOG_H

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QSignalSpy>
#include <QStringList>

#include "xmodem.h"

// Everything one worker run reported. The spies keep each signal's arguments; events keeps
// the order across all signals ("probe", "status 1", "progress 128/4096", "output ...",
// "finished"), each with the milliseconds since the log was made.
class RunLog : public QObject
{
    Q_OBJECT
public:
    explicit RunLog(Xmodem *worker);

    QList<int> statuses() const;
    QList<qint64> progressValues() const;
    int probes() const { return m_probes.count(); }
    QStringList outputs() const;
    QStringList events() const { return m_events; }
    // Milliseconds at which the first event with this text happened, or -1.
    qint64 timeOf(const QString &event) const;
    // Milliseconds at which each event with this text happened.
    QList<qint64> timesOf(const QString &event) const;
    // finished() came exactly once and nothing followed it.
    bool endedCleanly() const;
    // Queues a stop() for the worker when the event happens for the given time, as the
    // window's stop button would: it arrives at the worker's next wait. With "abandon", the
    // worker's abandon() instead.
    void stopAt(const QString &event, int occurrence = 1, const char *verb = "stop");
    // The run's result, once it has been emitted.
    const RunResult &result() const { return m_result; }

    QSignalSpy m_status;
    QSignalSpy m_progress;
    QSignalSpy m_probes;
    QSignalSpy m_output;
    QSignalSpy m_finished;

private:
    void add(const QString &event);

    Xmodem *m_worker;
    QString m_stopEvent;
    const char *m_stopVerb = "stop";
    RunResult m_result;
    int m_stopOccurrence = 0;
    QElapsedTimer m_clock;
    QStringList m_events;
    QList<qint64> m_times;
};

#endif // RUNLOG_H
