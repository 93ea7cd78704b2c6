#ifndef BOUNDEDWAIT_H
#define BOUNDEDWAIT_H

#include <QEventLoop>
#include <QTimer>

// The worker's one way of waiting: a local timer and event loop, ended by the timer or by
// the first early-end signal. While it waits, the thread dispatches its events, so queued
// calls such as stop() and the link's own notifications reach the worker here.
class BoundedWait
{
public:
    BoundedWait();

    template <typename Sender, typename Signal>
    QMetaObject::Connection endOn(const Sender *sender, Signal signal)
    {
        return QObject::connect(sender, signal, &m_loop, &QEventLoop::quit);
    }

    // Waits up to ms milliseconds, measured from this call.
    void wait(int ms);

private:
    QTimer m_timer;
    QEventLoop m_loop;
};

#endif // BOUNDEDWAIT_H
