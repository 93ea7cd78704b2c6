#include "linkqueue.h"

#include "linklock.h"
#include "plantlink.h"
#include "platform.h"
#include "retrypolicy.h"
#include "scheduler.h"
#include "serialports.h"
#include "statusmessages.h"
#include "textescape.h"
#include "xmodem.h"

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
    if (plant->asks())
        emit m_scheduler->note(QStringLiteral("[%1] device %2: waits for the plant database's word on the link's lock").arg(m_shownName).arg(m_plan.devices.at(m_next)));
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
    if (attempt.outcome == DeviceRecord::Outcome::Failed && m_result.lastStatus == ERROR_PORT_NOT_OPENING && m_plan.kind == RunSettings::Link::Serial) {
        if (const QString hint = portPermissionHint(m_plan.serialPort); !hint.isEmpty()) {
            emit m_scheduler->note(QStringLiteral("[%1] device %2: port refused: %3").arg(m_shownName).arg(device()).arg(hint));
            emit m_scheduler->warning(QStringLiteral("прибор %1: ").arg(device()) + hint);
        }
    }
    m_record.attempts << attempt;
    m_record.run = attempt.run;
    m_record.outcome = attempt.outcome;
    m_record.message = attempt.message;
    emit m_scheduler->note(QStringLiteral("[%1] device %2: attempt %3 over: %4: %5")
                               .arg(m_shownName).arg(device()).arg(m_attempt).arg(outcomeName(attempt.outcome), attempt.message));
    emit attemptOver(m_record);
    if (retry::mayRetry(attempt.outcome, attempt.run.lastStatus, m_attempt, maxAttempts(), m_scheduler->holding())) {
        emit attemptFailed(device(), attempt.message, retry::PauseMs);
        m_portDeadline = QDeadlineTimer(retry::PauseMs + m_scheduler->options().answerTimeoutSeconds * 1000);
        m_retryTimer.start(retry::PauseMs);
        return;
    }
    finishDevice();
}


// A serial port that went away (an adapter pulled out) is waited for, up to the answer timeout.
void LinkQueue::retryWhenReady()
{
    if (m_plan.kind == RunSettings::Link::Serial && !serialPortPresent(m_plan.serialPort) && !m_portDeadline.hasExpired()) {
        m_retryTimer.start(retry::PortPollMs);
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
    QTimer::singleShot(nextOnCabinet ? retry::NextConnectionDelayMs : 0, this, [this] {
        if (!startNext())
            endQueue();
    });
}
