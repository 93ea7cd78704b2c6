#include "runlauncher.h"

#include "xmodem.h"

#include <QMetaMethod>
#include <QThread>

namespace {
constexpr unsigned long ThreadEndWaitMs = 5000;
}

RunLauncher::RunLauncher(QObject *parent)
    : QObject(parent)
{
    qRegisterMetaType<RunResult>();
}

RunLauncher::~RunLauncher()
{
    abandon();
    if (m_thread)
        m_thread->wait(ThreadEndWaitMs);
}

void RunLauncher::start(const RunSettings &settings)
{
    auto *worker = new Xmodem;
    worker->setFileName(settings.file);
    if (!settings.image.isNull())
        worker->setImage(settings.image);
    worker->setDevNumber(uint8_t(settings.device));
    auto entry = &Xmodem::connectDevice;
    if (settings.link == RunSettings::Link::Serial) {
        worker->setPortName(settings.serialPort);
    } else {
        worker->setIP(settings.address);
        worker->setEthPort(settings.port);
        entry = &Xmodem::connectEthDevice;
    }
    auto *thread = new QThread;
    worker->moveToThread(thread);
    connect(thread, &QThread::started, worker, entry);
    connect(this, &RunLauncher::stopRequested, worker, &Xmodem::stopHandshake, Qt::QueuedConnection);
    connect(this, &RunLauncher::abandonRequested, worker, &Xmodem::abandon, Qt::QueuedConnection);
    connect(worker, &Xmodem::status_dev, this, &RunLauncher::status, Qt::DirectConnection);
    connect(worker, &Xmodem::start_transmit, this, &RunLauncher::probe, Qt::DirectConnection);
    connect(worker, &Xmodem::progress, this, &RunLauncher::progress, Qt::DirectConnection);
    // Only a receiver that wants the lines makes the worker format them.
    if (isSignalConnected(QMetaMethod::fromSignal(&RunLauncher::trace)))
        connect(worker->runEvents(), &RunEvents::trace, this, &RunLauncher::trace, Qt::DirectConnection);
    connect(worker->runEvents(), &RunEvents::result, this, &RunLauncher::result, Qt::DirectConnection);
    connect(worker, &Xmodem::finished, thread, &QThread::quit);
    connect(worker, &Xmodem::finished, worker, &QObject::deleteLater);
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    connect(worker, &Xmodem::finished, this, &RunLauncher::onWorkerFinished, Qt::QueuedConnection);
    m_thread = thread;
    m_running = true;
    thread->start();
}

void RunLauncher::stopHandshake()
{
    if (m_running)
        emit stopRequested();
}

void RunLauncher::abandon()
{
    if (!m_running)
        return;
    emit abandonRequested();
    // Also for the waits that dispatch nothing, such as a serial port's blocking ones.
    if (m_thread)
        m_thread->requestInterruption();
}

void RunLauncher::onWorkerFinished()
{
    if (m_thread)
        m_thread->wait(ThreadEndWaitMs);
    m_running = false;
    emit ended();
}
