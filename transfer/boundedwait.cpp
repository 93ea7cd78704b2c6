#include "boundedwait.h"

#include <QThread>

namespace {
// How late an owner's interruption request may be seen by a wait that nothing else wakes.
constexpr int InterruptionCheckMs = 100;
} // namespace

BoundedWait::BoundedWait(std::function<bool()> giveUp)
    : m_giveUp(std::move(giveUp))
{
    m_timer.setSingleShot(true);
    QObject::connect(&m_timer, &QTimer::timeout, &m_loop, [this] { m_ended = true; });
    m_watch.setInterval(InterruptionCheckMs);
    QObject::connect(&m_watch, &QTimer::timeout, &m_loop, [] {});
}

// One pass of the loop at a time, each ending as soon as something has been dispatched: an
// exec() ended by quit() would cost two more system calls for every acknowledgement.
void BoundedWait::wait(int ms)
{
    m_ended = false;
    m_timer.start(ms);
    if (ms > InterruptionCheckMs)
        m_watch.start();
    QThread *thread = QThread::currentThread();
    while (!m_ended && !thread->isInterruptionRequested() && !(m_giveUp && m_giveUp()) && !(m_ready && m_ready()))
        m_loop.processEvents(QEventLoop::WaitForMoreEvents);
    m_timer.stop();
    m_watch.stop();
}
