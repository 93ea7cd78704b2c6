#ifndef BOUNDEDWAIT_H
#define BOUNDEDWAIT_H

#include <QEventLoop>
#include <QTimer>

#include <functional>

// The worker's one way of waiting: a local timer and event loop, ended by the timer, by the
// first early-end signal, or by the thread being asked to give up (or giveUp() turning true). While it waits, the thread
// dispatches its events, so queued calls such as stop() and the link's own notifications reach
// the worker here.
class BoundedWait
{
public:
    explicit BoundedWait(std::function<bool()> giveUp = {});

    template <typename Sender, typename Signal>
    QMetaObject::Connection endOn(const Sender *sender, Signal signal)
    {
        return QObject::connect(sender, signal, &m_loop, [this] { m_ended = true; });
    }

    // Ends the wait as well once ready() is true, looked at whenever the loop wakes: for an
    // answer whose notification the platform may never deliver.
    void endWhen(std::function<bool()> ready) { m_ready = std::move(ready); }

    // Waits up to ms milliseconds, measured from this call.
    void wait(int ms);

private:
    QTimer m_timer;
    // Wakes the loop now and then: an interruption request alone does not.
    QTimer m_watch;
    QEventLoop m_loop;
    std::function<bool()> m_giveUp;
    std::function<bool()> m_ready;
    bool m_ended = false;
};

#endif // BOUNDEDWAIT_H
