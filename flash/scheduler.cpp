#include "scheduler.h"

#include "linklock.h"
#include "plantlink.h"
#include "platform.h"
#include "statusmessages.h"
#include "xmodem.h"
#include "textescape.h"

#include <QFileInfo>
#include <QSerialPortInfo>

namespace {
// A cabinet takes one connection at a time: give it a moment to see the last one closed.
constexpr int NextConnectionDelayMs = 300;
// Before an attempt again: a cabinet or a device that has just failed gets a moment to recover.
constexpr int RetryPauseMs = 1000;
// How often a retry looks whether a vanished serial port is back.
constexpr int PortPollMs = 200;

// Listed by the system, or a path that exists (a pseudo-terminal is not listed).
bool serialPortPresent(const QString &name)
{
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &port : ports)
        if (port.portName() == name || port.systemLocation() == name)
            return true;
    return QFileInfo::exists(name.startsWith(QLatin1Char('/')) ? name : QStringLiteral("/dev/") + name);
}

// Codes the checks before any link opens already rule out; another attempt would only repeat them.
bool badInput(int status)
{
    return status == ERROR_NO_INTERFACE || status == ERROR_BAD_FILE_NAME || status == ERROR_BAD_FILE_SIZE
        || status == ERROR_BAD_IP_ADDRESS || status == ERROR_BAD_ETH_PORT;
}
} // namespace

QString outcomeName(DeviceRecord::Outcome outcome)
{
    switch (outcome) {
    case DeviceRecord::Outcome::Updated: return QStringLiteral("updated");
    case DeviceRecord::Outcome::Failed: return QStringLiteral("failed");
    case DeviceRecord::Outcome::NoAnswer: return QStringLiteral("no answer");
    case DeviceRecord::Outcome::Interrupted: return QStringLiteral("interrupted");
    case DeviceRecord::Outcome::NotStarted: break;
    }
    return QStringLiteral("not started");
}

QString outcomeText(DeviceRecord::Outcome outcome)
{
    switch (outcome) {
    case DeviceRecord::Outcome::Updated: return QStringLiteral("обновлён");
    case DeviceRecord::Outcome::Failed: return QStringLiteral("ошибка");
    case DeviceRecord::Outcome::NoAnswer: return QStringLiteral("нет ответа");
    case DeviceRecord::Outcome::Interrupted: return QStringLiteral("прерван");
    case DeviceRecord::Outcome::NotStarted: break;
    }
    return QStringLiteral("не начат");
}

LinkQueue::LinkQueue(const LinkPlan &plan, int firstOrder, Scheduler *scheduler)
    : QObject(scheduler)
    , m_scheduler(scheduler)
    , m_plan(plan)
    , m_name(plan.name())
    , m_shownName(quotedForMessage(m_name, PathInMessage))
    , m_firstOrder(firstOrder)
{
    m_answerTimer.setSingleShot(true);
    m_answerTimer.setInterval(scheduler->options().answerTimeoutSeconds * 1000);
    // Only the handshake is stopped: a device that answered just now is updated all the same.
    connect(&m_answerTimer, &QTimer::timeout, this, [this] {
        m_noAnswerStopped = true;
        emit m_scheduler->note(QStringLiteral("[%1] device %2: no answer within %3 s: stopping the handshake")
                                   .arg(m_shownName).arg(device()).arg(m_scheduler->options().answerTimeoutSeconds));
        m_launcher.stopHandshake();
    });
    connect(&m_launcher, &RunLauncher::progress, this, [this](int totalRead, qint64 size) {
        m_read.store(totalRead, std::memory_order_relaxed);
        m_size.store(size, std::memory_order_relaxed);
    }, Qt::DirectConnection);
    connect(&m_launcher, &RunLauncher::probe, this, [this] {
        ++m_probes;
        emit probed(device(), m_probes);
    }, Qt::QueuedConnection);
    connect(&m_launcher, &RunLauncher::status, this, &LinkQueue::onStatus, Qt::QueuedConnection);
    connect(&m_launcher, &RunLauncher::result, this, [this](const RunResult &result) {
        m_result = result;
        m_haveResult = true;
    }, Qt::QueuedConnection);
    connect(&m_launcher, &RunLauncher::ended, this, &LinkQueue::onEnded);
    m_retryTimer.setSingleShot(true);
    connect(&m_retryTimer, &QTimer::timeout, this, &LinkQueue::retryWhenReady);
}

LinkQueue::~LinkQueue() = default;

int LinkQueue::maxAttempts() const
{
    return 1 + m_scheduler->options().retries;
}

bool LinkQueue::startNext()
{
    if (m_scheduler->holding() || m_next >= m_plan.devices.size())
        return false;
    if (!m_lock) {
        m_lock = std::make_unique<LinkLock>(m_plan);
        QString why;
        if (!m_lock->tryLock(&why)) {
            m_notStartedWhy = QStringLiteral("связь %1 %2").arg(m_shownName, why);
            emit m_scheduler->note(QStringLiteral("[%1] link not locked (%2): its devices are not started").arg(m_shownName, why));
            emit linkBusy(m_notStartedWhy);
            m_lock.reset();
            return false;
        }
    } else if (QString why; !m_lock->stillHeld(&why)) {
        // Another flasher may hold the link by the file that now has the lock's name.
        m_notStartedWhy = QStringLiteral("связь %1 больше не заблокирована: %2").arg(m_shownName, why);
        emit m_scheduler->note(QStringLiteral("[%1] link lock lost (%2): no further device starts").arg(m_shownName, why));
        emit linkBusy(m_notStartedWhy);
        return false;
    }
    PlantLink *plant = m_scheduler->plant();
    if (!plant) {
        beginDevice();
        return true;
    }
    // Asked before every device: a server that restarted has dropped the lock, and another
    // station may have taken the link meanwhile.
    m_waitingForPlant = true;
    plant->lockLink(m_plan.key(), this, [this](PlantLink::Verdict verdict, const QString &holder) {
        if (!std::exchange(m_waitingForPlant, false))
            return;
        if (verdict == PlantLink::Verdict::Held) {
            m_notStartedWhy = QStringLiteral("связь %1 занята по базе завода: её ведёт %2").arg(m_shownName, holder);
            emit m_scheduler->note(QStringLiteral("[%1] link held by station %2 in the plant database: no further device starts").arg(m_shownName, holder));
            emit linkBusy(m_notStartedWhy);
            endQueue();
        } else if (m_scheduler->holding()) {
            endQueue();
        } else {
            beginDevice();
        }
    });
    return true;
}

void LinkQueue::endQueue()
{
    m_lock.reset();
    if (m_scheduler->plant())
        m_scheduler->plant()->unlockLink(m_plan.key());
    emit queueOver();
}

void LinkQueue::beginDevice()
{
    const int number = m_plan.devices.at(m_next);
    m_record = DeviceRecord();
    m_record.link = m_name;
    m_record.device = number;
    m_record.order = m_firstOrder + m_next;
    m_record.started = true;
    ++m_next;
    m_device.storeRelaxed(number);
    m_attempt = 0;
    startAttempt();
}

void LinkQueue::startAttempt()
{
    ++m_attempt;
    const int number = m_record.device;
    m_read = 0;
    m_size = 0;
    m_result = RunResult();
    m_haveResult = m_transferring = m_operatorStopped = m_noAnswerStopped = false;
    m_probes = 0;
    m_message.clear();
    // On record before the address frame goes out, or not started at all.
    QString why;
    if (!m_scheduler->attemptMayStart(m_name, number, m_attempt, &why)) {
        emit m_scheduler->note(QStringLiteral("[%1] device %2: attempt %3 not started: its start could not be recorded: %4")
                                   .arg(m_shownName).arg(number).arg(m_attempt).arg(why));
        const QString notStarted = QStringLiteral("попытка %1 не начата: её начало не записано в журнал (%2)").arg(m_attempt).arg(why);
        if (m_attempt == 1) {
            m_record.started = false;
            m_record.outcome = DeviceRecord::Outcome::NotStarted;
            m_record.message = QStringLiteral("не начат: ") + notStarted;
        } else {
            m_record.message += QStringLiteral("; ") + notStarted;
        }
        --m_attempt;
        finishDevice();
        return;
    }
    emit m_scheduler->note(QStringLiteral("[%1] device %2: run starts (attempt %3 of %4)").arg(m_shownName).arg(number).arg(m_attempt).arg(maxAttempts()));

    RunSettings settings;
    settings.link = m_plan.kind;
    settings.serialPort = m_plan.serialPort;
    settings.address = m_plan.address;
    settings.port = m_plan.port;
    settings.file = m_scheduler->image().path;
    settings.image = m_scheduler->image().bytes;
    settings.device = number;
    m_answerTimer.start();
    m_launcher.start(settings);
}

// A device waiting for another attempt has no run to stop: the attempt is called off at once.
void LinkQueue::stopHandshake()
{
    // The next device waits for the plant database: it does not start.
    if (std::exchange(m_waitingForPlant, false)) {
        QTimer::singleShot(0, this, &LinkQueue::endQueue);
        return;
    }
    if (m_retryTimer.isActive()) {
        m_retryTimer.stop();
        emit m_scheduler->note(QStringLiteral("[%1] device %2: no further attempt").arg(m_shownName).arg(device()));
        // The last attempt failed, and the device is left as the stop found it: interrupted.
        m_record.outcome = DeviceRecord::Outcome::Interrupted;
        m_record.message = QStringLiteral("остановлено %1 перед попыткой %2 из %3; попытка %4: %5")
                               .arg(m_scheduler->stoppedBy()).arg(m_attempt + 1).arg(maxAttempts()).arg(m_attempt).arg(m_record.message);
        finishDevice();
        return;
    }
    if (!active())
        return;
    m_operatorStopped = true;
    m_launcher.stopHandshake();
}

void LinkQueue::abandon()
{
    if (!active()) {
        stopHandshake();
        return;
    }
    m_operatorStopped = true;
    m_launcher.abandon();
}

void LinkQueue::onStatus(int status)
{
    if (status == STATUS_DEVICE_CONNECTED) {
        m_answerTimer.stop();
        m_transferring = true;
        m_transferClock.start();
        emit transferBegins(device());
    } else if (status == ERROR_LINK_LOST || status == ERROR_SEND_FAILED || status == STATUS_FILE_SENT) {
        m_transferring = false;
    }
    m_message = presentStatus(status, m_message, m_plan.serialPort, m_probes).message;
    emit statusShown(device(), status, m_message);
}

LinkQueue::Progress LinkQueue::progress() const
{
    if (!transferring())
        return {};
    return {m_read.load(std::memory_order_relaxed), m_size.load(std::memory_order_relaxed), m_transferClock.elapsed()};
}

QList<DeviceRecord> LinkQueue::remaining() const
{
    QList<DeviceRecord> records;
    for (int i = m_next; i < m_plan.devices.size(); ++i) {
        DeviceRecord record;
        record.link = m_name;
        record.device = m_plan.devices.at(i);
        record.order = m_firstOrder + i;
        record.message = m_notStartedWhy.isEmpty() ? m_scheduler->holdReason() : m_notStartedWhy;
        records << record;
    }
    return records;
}

void LinkQueue::onEnded()
{
    m_answerTimer.stop();
    m_transferring = false;
    // The worker's own account of the run; only why it was stopped is the batch's to add.
    DeviceRecord::Attempt attempt;
    attempt.run = m_result;
    using Outcome = RunResult::Outcome;
    const bool stopped = m_haveResult && (m_result.outcome == Outcome::Stopped || m_result.outcome == Outcome::Abandoned);
    if (m_haveResult && m_result.outcome == Outcome::Updated) {
        attempt.outcome = DeviceRecord::Outcome::Updated;
        attempt.message = runMessage(m_result);
    } else if (stopped && m_operatorStopped) {
        attempt.outcome = DeviceRecord::Outcome::Interrupted;
        attempt.message = m_result.answered ? QStringLiteral("запись прервана %1: прошивка в приборе неполная").arg(m_scheduler->stoppedBy())
                                            : QStringLiteral("остановлено %1").arg(m_scheduler->stoppedBy());
    } else if (stopped && m_noAnswerStopped) {
        attempt.outcome = DeviceRecord::Outcome::NoAnswer;
        attempt.message = QStringLiteral("прибор не ответил за %1 с").arg(m_scheduler->options().answerTimeoutSeconds);
    } else {
        attempt.outcome = DeviceRecord::Outcome::Failed;
        attempt.message = m_haveResult ? runMessage(m_result) : QStringLiteral("прогон закончился без итога");
    }
    if (attempt.outcome == DeviceRecord::Outcome::Failed && m_plan.kind == RunSettings::Link::Serial && !serialPortPresent(m_plan.serialPort))
        attempt.message += QStringLiteral("; порт %1 пропал из системы (адаптер отключён?)").arg(quotedForMessage(m_plan.serialPort));
    if (attempt.outcome == DeviceRecord::Outcome::Failed && m_result.lastStatus == ERROR_PORT_NOT_OPENING
        && m_plan.kind == RunSettings::Link::Serial && platform::serialPortHeldElsewhere(m_plan.serialPort))
        attempt.message += QStringLiteral("; порт %1 занят другой программой (Windows открывает COM-порт только для одной): закройте её и повторите")
                               .arg(quotedForMessage(m_plan.serialPort));
#ifdef Q_OS_LINUX
    // The worker only knows that the port did not open. The most common reason on Linux has a
    // remedy the operator can apply at once: say it.
    if (attempt.outcome == DeviceRecord::Outcome::Failed && m_result.lastStatus == ERROR_PORT_NOT_OPENING
        && m_plan.kind == RunSettings::Link::Serial) {
        const QString name = m_plan.serialPort;
        const QFileInfo port(name.startsWith(QLatin1Char('/')) ? name : QStringLiteral("/dev/") + name);
        if (port.exists() && !(port.isReadable() && port.isWritable())) {
            const QString hint = QStringLiteral("нет прав на порт %1. Откройте доступ: добавьте пользователя в группу dialout "
                                                "(sudo usermod -aG dialout $USER), затем выйдите из системы и войдите заново.")
                                     .arg(quotedForMessage(port.filePath(), PathInMessage));
            emit m_scheduler->note(QStringLiteral("[%1] device %2: port refused: %3").arg(m_shownName).arg(device()).arg(hint));
            emit m_scheduler->warning(QStringLiteral("прибор %1: ").arg(device()) + hint);
        }
    }
#endif
    m_record.attempts << attempt;
    m_record.run = attempt.run;
    m_record.outcome = attempt.outcome;
    m_record.message = attempt.message;
    emit m_scheduler->note(QStringLiteral("[%1] device %2: attempt %3 over: %4: %5")
                               .arg(m_shownName).arg(device()).arg(m_attempt).arg(outcomeName(attempt.outcome), attempt.message));
    emit attemptOver(m_record);
    if (mayRetry(attempt)) {
        emit attemptFailed(device(), attempt.message, RetryPauseMs);
        m_portDeadline = QDeadlineTimer(RetryPauseMs + m_scheduler->options().answerTimeoutSeconds * 1000);
        m_retryTimer.start(RetryPauseMs);
        return;
    }
    finishDevice();
}

// Every failure of the link or the device gets another attempt from the start: a device that
// failed part-way is still in its receiver mode and takes the image anew.
bool LinkQueue::mayRetry(const DeviceRecord::Attempt &attempt) const
{
    const bool failed = attempt.outcome == DeviceRecord::Outcome::Failed || attempt.outcome == DeviceRecord::Outcome::NoAnswer;
    return failed && !badInput(attempt.run.lastStatus) && m_attempt < maxAttempts() && !m_scheduler->holding();
}

// A serial port that went away (an adapter pulled out) is waited for, up to the answer timeout.
void LinkQueue::retryWhenReady()
{
    if (m_plan.kind == RunSettings::Link::Serial && !serialPortPresent(m_plan.serialPort) && !m_portDeadline.hasExpired()) {
        m_retryTimer.start(PortPollMs);
        return;
    }
    startAttempt();
}

void LinkQueue::finishDevice()
{
    emit m_scheduler->note(QStringLiteral("[%1] device %2: run over: %3: %4")
                               .arg(m_shownName).arg(device()).arg(outcomeName(m_record.outcome), m_record.message));
    m_device.storeRelaxed(-1);
    emit deviceOver(m_record);
    const bool nextOnCabinet = m_plan.kind == RunSettings::Link::Ethernet && m_next < m_plan.devices.size();
    QTimer::singleShot(nextOnCabinet ? NextConnectionDelayMs : 0, this, [this] {
        if (!startNext())
            endQueue();
    });
}

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
