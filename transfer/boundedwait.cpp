#include "boundedwait.h"

#include <QThread>

BoundedWait::BoundedWait()
{
    m_timer.setSingleShot(true);
    QObject::connect(&m_timer, &QTimer::timeout, &m_loop, [this] { m_ended = true; });
}

// One pass of the loop at a time, each ending as soon as something has been dispatched: an
// exec() ended by quit() would cost two more system calls for every acknowledgement.
void BoundedWait::wait(int ms)
{
    m_ended = false;
    m_timer.start(ms);
    QThread *thread = QThread::currentThread();
    while (!m_ended && !thread->isInterruptionRequested())
        m_loop.processEvents(QEventLoop::WaitForMoreEvents);
    m_timer.stop();
}
