#include "scheduler.h"

#include "platform.h"
#include "textescape.h"

#include <algorithm>

Scheduler::Scheduler(const FlashOptions &options, const FirmwareImage &image, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_image(image)
{
    qRegisterMetaType<QList<DeviceRecord>>();
    int order = 0;
    for (const LinkPlan &plan : m_options.links) {
        m_queues.push_back(std::make_unique<LinkQueue>(plan, order, this));
        order += int(plan.devices.size());
        LinkQueue *queue = m_queues.back().get();
        connect(queue, &LinkQueue::deviceOver, this, &Scheduler::onDeviceOver);
        connect(queue, &LinkQueue::queueOver, this, &Scheduler::onQueueOver);
        // A device that answered just as the operator stopped: its transfer goes on.
        connect(queue, &LinkQueue::transferBegins, this, [this, queue](int device) {
            if (m_interrupts == 1)
                warnAboutTransfers({QStringLiteral("%1 прибор %2").arg(queue->shownName()).arg(device)});
        });
    }
}

Scheduler::~Scheduler()
{
    for (const auto &queue : m_queues)
        queue->abandon();
    m_queues.clear();
}

int Scheduler::deviceCount() const
{
    int devices = 0;
    for (const LinkPlan &plan : m_options.links)
        devices += int(plan.devices.size());
    return devices;
}

void Scheduler::start()
{
    QStringList names;
    for (const LinkPlan &plan : m_options.links)
        names << quotedForMessage(plan.name(), PathInMessage);
    emit note(QStringLiteral("batch: file %1, %2 bytes, SHA-256 %3, devices %4, links %5")
                  .arg(quotedForMessage(m_image.path, PathInMessage)).arg(m_image.bytes.size()).arg(m_image.sha256).arg(deviceCount()).arg(names.join(QStringLiteral(", "))));
    startQueues();
    if (m_activeQueues == 0)
        finish();
}

// Links start up to --jobs at a time; a link whose queue is over makes room for the next.
void Scheduler::startQueues()
{
    const int cap = m_options.jobs > 0 ? m_options.jobs : int(m_queues.size());
    while (m_activeQueues < cap && m_nextQueue < int(m_queues.size()) && !holding()) {
        if (m_queues.at(m_nextQueue++)->startNext())
            ++m_activeQueues;
    }
}

void Scheduler::onDeviceOver(const DeviceRecord &record)
{
    m_records << record;
    if (record.outcome != DeviceRecord::Outcome::Updated)
        ++m_failed;
}

void Scheduler::onQueueOver()
{
    --m_activeQueues;
    startQueues();
    if (m_activeQueues == 0)
        finish();
}

void Scheduler::finish()
{
    if (m_finished)
        return;
    m_finished = true;
    for (const auto &queue : m_queues)
        m_records << queue->remaining();
    std::sort(m_records.begin(), m_records.end(), [](const DeviceRecord &a, const DeviceRecord &b) { return a.order < b.order; });
    int updated = 0;
    for (const DeviceRecord &record : qAsConst(m_records))
        updated += record.outcome == DeviceRecord::Outcome::Updated ? 1 : 0;
    emit note(QStringLiteral("batch over: %1 updated, %2 not updated%3")
                  .arg(updated).arg(m_records.size() - updated).arg(interrupted() ? QStringLiteral(", interrupted") : QString()));
    emit finished(m_records);
}

void Scheduler::warnAboutTransfers(const QStringList &under)
{
    emit warning(QStringLiteral("идёт запись прошивки (%1). Прерванная запись оставит прибор с неполной прошивкой. "
                                "Нажмите Ctrl-C ещё раз, чтобы всё же прервать.")
                     .arg(under.join(QStringLiteral(", "))));
}

void Scheduler::interrupt()
{
    if (m_finished)
        return;
    ++m_interrupts;
    if (m_interrupts == 1) {
        // Each worker decides for itself: probing ends, a transfer that has begun goes on.
        emit note(QStringLiteral("Ctrl-C: handshakes stop, transfers under way go on"));
        QStringList under;
        for (const auto &queue : m_queues) {
            if (queue->transferring())
                under << QStringLiteral("%1 прибор %2").arg(queue->shownName()).arg(queue->device());
            queue->stopHandshake();
        }
        if (!under.isEmpty())
            warnAboutTransfers(under);
    } else {
        emit note(QStringLiteral("Ctrl-C again: abandoning every run"));
        for (const auto &queue : m_queues)
            queue->abandon();
    }
    if (m_activeQueues == 0)
        finish();
}

bool Scheduler::attemptMayStart(const QString &link, int device, int attempt, QString *why)
{
    if (!m_attemptGate || m_attemptGate(link, device, attempt, why))
        return true;
    // Nothing more starts without its record.
    m_recordsFailed = true;
    return false;
}

QString Scheduler::holdReason() const
{
    if (interrupted())
        return QStringLiteral("не начат: партия остановлена %1").arg(stoppedBy());
    if (m_recordsFailed)
        return QStringLiteral("не начат: журнал не принял начало попытки");
    if (m_failed > 0 && !m_options.keepGoing)
        return QStringLiteral("не начат: партия остановилась после неудачи (без --keep-going)");
    return QStringLiteral("не начат");
}

QString Scheduler::stoppedBy() const
{
    if (m_signal == platform::SignalWatcher::Terminate)
        return QStringLiteral("сигналом SIGTERM (остановка системой)");
    if (m_signal == platform::SignalWatcher::Hangup)
        return QStringLiteral("сигналом SIGHUP (закрыт терминал)");
    return QStringLiteral("оператором");
}

void Scheduler::terminate(int signalNumber)
{
    if (m_finished)
        return;
    m_signal = signalNumber;
    emit note(QStringLiteral("signal %1: abandoning every run").arg(signalNumber));
    for (const auto &queue : m_queues)
        queue->abandon();
    if (m_activeQueues == 0)
        finish();
}
