#ifndef RUNEVENTS_H
#define RUNEVENTS_H

#include "runresult.h"

#include <QMetaMethod>
#include <QObject>
#include <QString>

// What a worker tells besides its status codes: the run's result and its debug lines. A
// companion of its own, a child of the worker that moves with it, so that the worker's own
// method table keeps the window's and the thread's indexes.
class RunEvents : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    // Whether anyone listens to the trace, so that the worker formats lines only for a reader.
    bool traceWanted() const { return isSignalConnected(QMetaMethod::fromSignal(&RunEvents::trace)); }

signals:
    // The run's result, once, just before the worker's finished().
    void result(const RunResult &result);
    // Each debug line as it is written, for a transcript; formatted only while connected or
    // while the debug category is on.
    void trace(const QString &line);
};

#endif // RUNEVENTS_H
