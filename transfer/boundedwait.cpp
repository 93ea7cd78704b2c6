#include "boundedwait.h"

BoundedWait::BoundedWait()
{
    QObject::connect(&m_timer, &QTimer::timeout, &m_loop, &QEventLoop::quit);
}

void BoundedWait::wait(int ms)
{
    m_timer.setInterval(ms);
    m_timer.start();
    m_loop.exec();
    m_timer.stop();
}
