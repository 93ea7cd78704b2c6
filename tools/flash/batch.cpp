#include "batch.h"

#include "console.h"
#include "statusmessages.h"
#include "xmodem.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QSaveFile>
#include <QThread>

namespace {

constexpr int ProgressEveryMs = 200;
constexpr int NextConnectionDelayMs = 300;

QString clock(qint64 seconds)
{
    return QStringLiteral("%1:%2").arg(seconds / 60, 2, 10, QLatin1Char('0')).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

QString outcomeName(DeviceResult::Outcome outcome)
{
    switch (outcome) {
    case DeviceResult::Outcome::Updated: return QStringLiteral("updated");
    case DeviceResult::Outcome::Failed: return QStringLiteral("failed");
    case DeviceResult::Outcome::NoAnswer: return QStringLiteral("no answer");
    case DeviceResult::Outcome::Interrupted: return QStringLiteral("interrupted");
    case DeviceResult::Outcome::NotStarted: break;
    }
    return QStringLiteral("not started");
}

QString outcomeText(DeviceResult::Outcome outcome)
{
    switch (outcome) {
    case DeviceResult::Outcome::Updated: return QStringLiteral("обновлён");
    case DeviceResult::Outcome::Failed: return QStringLiteral("ошибка");
    case DeviceResult::Outcome::NoAnswer: return QStringLiteral("нет ответа");
    case DeviceResult::Outcome::Interrupted: return QStringLiteral("прерван");
    case DeviceResult::Outcome::NotStarted: break;
    }
    return QStringLiteral("не начат");
}

QMutex logMutex;
// Which link a worker thread belongs to, for the lines written in it.
QMutex threadsMutex;
QHash<QThread *, LinkRun *> runThreads;

} // namespace

LinkRun::LinkRun(const LinkPlan &plan, Batch *batch)
    : m_batch(batch)
    , m_plan(plan)
    , m_name(plan.name())
    , m_devices(plan.devices)
{
    m_answerTimer.setSingleShot(true);
    m_answerTimer.setInterval(batch->options().answerTimeoutSeconds * 1000);
    connect(&m_answerTimer, &QTimer::timeout, this, [this] {
        m_noAnswer = true;
        m_batch->log(QStringLiteral("[%1] device %2: no answer within %3 s: giving up").arg(m_name).arg(device()).arg(m_batch->options().answerTimeoutSeconds));
        m_launcher.abandon();
    });

    // The transcript takes the worker's reports where they happen, in its thread, so that they
    // keep their order with its debug lines; the display takes them queued.
    const QString port = plan.serialPort;
    connect(&m_launcher, &RunLauncher::probe, this, [this] {
        m_batch->log(QStringLiteral("[%1] device %2: attempt %3").arg(m_name).arg(device()).arg(m_logAttempts.fetchAndAddRelaxed(1) + 1));
    }, Qt::DirectConnection);
    connect(&m_launcher, &RunLauncher::status, this, [this, port, shown = QString()](int status) mutable {
        shown = presentStatus(status, shown, port, m_logAttempts.loadRelaxed()).message;
        m_batch->log(QStringLiteral("[%1] device %2: status %3: %4").arg(m_name).arg(device()).arg(status).arg(shown));
    }, Qt::DirectConnection);
    connect(&m_launcher, &RunLauncher::progress, this, [this](int totalRead, qint64 size) {
        m_read.store(totalRead, std::memory_order_relaxed);
        m_size.store(size, std::memory_order_relaxed);
    }, Qt::DirectConnection);
    connect(&m_launcher, &RunLauncher::threadStarting, this, [this](QThread *thread) { m_batch->registerThread(thread, this); });
    connect(&m_launcher, &RunLauncher::status, this, &LinkRun::onStatus, Qt::QueuedConnection);
    connect(&m_launcher, &RunLauncher::probe, this, &LinkRun::onProbe, Qt::QueuedConnection);
    connect(&m_launcher, &RunLauncher::ended, this, &LinkRun::onEnded);
}

bool LinkRun::startNext()
{
    if (m_batch->holding() || m_next >= m_devices.size())
        return false;
    const int number = m_devices.at(m_next++);
    m_device.storeRelaxed(number);
    m_logAttempts.storeRelaxed(0);
    m_retransmissions.storeRelaxed(0);
    m_read = 0;
    m_size = 0;
    m_transferring = m_succeeded = m_noAnswer = m_abandoned = false;
    m_attempts = 0;
    m_lastDecile = -1;
    m_shownRead = -1;
    m_message.clear();
    m_result = DeviceResult();
    m_result.link = m_name;
    m_result.device = number;
    m_result.start = QDateTime::currentDateTime();
    m_batch->log(QStringLiteral("[%1] device %2: run starts").arg(m_name).arg(number));

    RunSettings settings;
    settings.link = m_plan.kind;
    settings.serialPort = m_plan.serialPort;
    settings.address = m_plan.address;
    settings.port = m_plan.port;
    settings.file = m_batch->options().file;
    settings.device = number;
    m_answerTimer.start();
    m_launcher.start(settings);
    return true;
}

void LinkRun::stopProbing()
{
    if (!active() || m_transferring)
        return;
    m_abandoned = true;
    m_launcher.abandon();
}

void LinkRun::abandon()
{
    if (!active())
        return;
    m_abandoned = true;
    m_launcher.abandon();
}

void LinkRun::onProbe()
{
    ++m_attempts;
    present(STATUS_CONNECTING);
}

void LinkRun::onStatus(int status)
{
    if (status == STATUS_DEVICE_CONNECTED) {
        m_answerTimer.stop();
        m_transferring = true;
        m_transferClock.start();
    } else if (status == STATUS_FILE_SENT) {
        m_succeeded = true;
    } else if (status == ERROR_LINK_LOST || status == ERROR_SEND_FAILED) {
        m_transferring = false;
    }
    m_result.lastStatus = status;
    present(status);
}

void LinkRun::present(int status)
{
    const StatusPresentation shown = presentStatus(status, m_message, m_plan.serialPort, m_attempts);
    m_message = shown.message;
    // On a terminal the attempts share the link's live line; elsewhere every code gets its line.
    if (status == STATUS_CONNECTING && m_batch->terminal())
        m_batch->show(this, device(), shown.message, Batch::Line::Live);
    else if (status != STATUS_FILE_SENT)
        m_batch->show(this, device(), shown.message, Batch::Line::Event);
}

void LinkRun::showProgress()
{
    const qint64 totalRead = m_read.load(std::memory_order_relaxed);
    const qint64 size = m_size.load(std::memory_order_relaxed);
    if (!transferring() || size <= 0 || totalRead == m_shownRead || m_batch->options().quiet)
        return;
    m_shownRead = totalRead;
    const int percent = int(double(totalRead) / double(size) * 100);
    const qint64 blocks = (totalRead + XMODEM_PAYLOAD_SIZE - 1) / XMODEM_PAYLOAD_SIZE;
    const qint64 totalBlocks = (size + XMODEM_PAYLOAD_SIZE - 1) / XMODEM_PAYLOAD_SIZE;
    const double seconds = qMax<qint64>(m_transferClock.elapsed(), 1) / 1000.0;
    const double rate = blocks / seconds;
    const qint64 left = rate > 0 ? qint64((totalBlocks - blocks) / rate) : 0;
    if (m_batch->terminal()) {
        const int filled = percent / 5;
        const QString bar = QString(filled, QLatin1Char('#')) + QString(20 - filled, QLatin1Char('-'));
        m_batch->show(this, device(), QStringLiteral("[%1] %2%  %3/%4 байт  %5 бл/с  осталось %6")
                          .arg(bar).arg(percent, 3).arg(totalRead).arg(size).arg(rate, 0, 'f', 1).arg(clock(left)), Batch::Line::Live);
    } else if (percent / 10 != m_lastDecile) {
        m_lastDecile = percent / 10;
        m_batch->show(this, device(), QStringLiteral("%1%  %2/%3 байт  %4 бл/с").arg(percent).arg(totalRead).arg(size).arg(rate, 0, 'f', 1), Batch::Line::Event);
    }
}

void LinkRun::onEnded()
{
    m_answerTimer.stop();
    m_transferring = false;
    m_result.end = QDateTime::currentDateTime();
    m_result.bytesSent = m_succeeded ? m_size.load() : m_read.load();
    m_result.retransmissions = m_retransmissions.loadRelaxed();
    m_result.message = m_message;
    QString outcome;
    if (m_succeeded) {
        m_result.outcome = DeviceResult::Outcome::Updated;
        outcome = QStringLiteral("обновлён: ") + m_message;
    } else {
        m_result.outcome = m_noAnswer ? DeviceResult::Outcome::NoAnswer
                         : m_abandoned ? DeviceResult::Outcome::Interrupted
                                       : DeviceResult::Outcome::Failed;
        if (m_noAnswer)
            m_result.message = QStringLiteral("прибор не ответил за %1 с").arg(m_batch->options().answerTimeoutSeconds);
        outcome = QStringLiteral("НЕ обновлён: ") + m_result.message;
    }
    m_batch->log(QStringLiteral("[%1] device %2: run over: %3").arg(m_name).arg(device()).arg(outcome));
    m_batch->show(this, device(), outcome, Batch::Line::Outcome);
    if (!m_succeeded && m_result.lastStatus == ERROR_PORT_NOT_OPENING && m_plan.kind == RunSettings::Link::Serial)
        explainPortRefusal();
    const DeviceResult result = m_result;
    m_device.storeRelaxed(-1);
    emit deviceOver(result);
    // A cabinet takes one connection at a time: give it a moment to see the last one closed.
    const bool nextOnCabinet = m_plan.kind == RunSettings::Link::Ethernet && m_next < m_devices.size();
    QTimer::singleShot(nextOnCabinet ? NextConnectionDelayMs : 0, this, [this] {
        if (!startNext())
            emit queueOver();
    });
}

// The worker only knows that the port did not open. The most common reason on Linux has a
// remedy the operator can apply at once: say it.
void LinkRun::explainPortRefusal()
{
#ifdef Q_OS_LINUX
    // A bare name such as ttyUSB0 lives in /dev, as QSerialPort takes it.
    const QString name = m_plan.serialPort;
    const QFileInfo port(name.startsWith(QLatin1Char('/')) ? name : QStringLiteral("/dev/") + name);
    if (!port.exists() || (port.isReadable() && port.isWritable()))
        return;
    const QString hint = QStringLiteral("нет прав на порт %1. Откройте доступ: добавьте пользователя в группу dialout "
                                        "(sudo usermod -aG dialout $USER), затем выйдите из системы и войдите заново.")
                             .arg(port.filePath());
    m_batch->log(QStringLiteral("[%1] device %2: port refused: %3").arg(m_name).arg(device()).arg(hint));
    m_batch->warn(QStringLiteral("прибор %1: ").arg(device()) + hint);
#endif
}

Batch::Batch(const FlashOptions &options, bool terminal, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_terminal(terminal)
{
    for (const LinkPlan &plan : m_options.links) {
        m_links.push_back(std::make_unique<LinkRun>(plan, this));
        LinkRun *link = m_links.back().get();
        connect(link, &LinkRun::deviceOver, this, &Batch::onDeviceOver);
        connect(link, &LinkRun::queueOver, this, &Batch::onQueueOver);
        m_live << QString();
    }
    m_progressTimer.setInterval(ProgressEveryMs);
    connect(&m_progressTimer, &QTimer::timeout, this, [this] {
        for (const auto &link : m_links)
            link->showProgress();
    });
}

Batch::~Batch()
{
    for (const auto &link : m_links)
        link->abandon();
    m_links.clear();
}

bool Batch::openLog(QString *error)
{
    if (m_options.logFile.isEmpty())
        return true;
    m_log.setFileName(m_options.logFile);
    if (!m_log.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) {
        *error = m_log.errorString();
        return false;
    }
    return true;
}

void Batch::log(const QString &line)
{
    // Opened before any run starts and never closed while one goes on.
    if (!m_log.isOpen())
        return;
    QMutexLocker lock(&logMutex);
    m_log.write(QDateTime::currentDateTime().toString(Qt::ISODateWithMs).toUtf8() + ' ' + line.toUtf8() + '\n');
    m_log.flush();
}

void Batch::workerMessage(const QString &category, const QString &message)
{
    LinkRun *link = nullptr;
    {
        QMutexLocker lock(&threadsMutex);
        link = runThreads.value(QThread::currentThread());
    }
    if (link && category == QLatin1String("vorlex.resend"))
        link->countRetransmission();
    if (!m_log.isOpen())
        return;
    log(link ? QStringLiteral("[%1] device %2: debug: %3").arg(link->name()).arg(link->device()).arg(message) : QStringLiteral("debug: ") + message);
}

void Batch::registerThread(QThread *thread, LinkRun *link)
{
    QMutexLocker lock(&threadsMutex);
    runThreads.insert(thread, link);
    connect(thread, &QThread::finished, this, [thread] {
        QMutexLocker lock(&threadsMutex);
        runThreads.remove(thread);
    }, Qt::DirectConnection);
}

void Batch::start()
{
    m_started = QDateTime::currentDateTime();
    QStringList names;
    int devices = 0;
    for (const LinkPlan &plan : m_options.links) {
        names << plan.name();
        devices += plan.devices.size();
    }
    log(QStringLiteral("batch: file %1, devices %2, links %3").arg(m_options.file).arg(devices).arg(names.join(QStringLiteral(", "))));
    m_progressTimer.start();
    startLinks();
    if (m_activeLinks == 0)
        finish();
}

// Links start up to --jobs at a time; a link whose queue is over makes room for the next.
void Batch::startLinks()
{
    const int cap = m_options.jobs > 0 ? m_options.jobs : int(m_links.size());
    while (m_activeLinks < cap && m_nextLink < int(m_links.size()) && !holding()) {
        if (m_links.at(m_nextLink++)->startNext())
            ++m_activeLinks;
    }
}

void Batch::onDeviceOver(const DeviceResult &result)
{
    m_results << result;
    if (result.outcome == DeviceResult::Outcome::Updated)
        ++m_updated;
    else
        ++m_failed;
}

void Batch::onQueueOver()
{
    --m_activeLinks;
    startLinks();
    if (m_activeLinks == 0)
        finish();
}

void Batch::finish()
{
    if (m_finished)
        return;
    m_finished = true;
    m_progressTimer.stop();
    for (QString &line : m_live)
        line.clear();
    redraw();
    for (const auto &link : m_links) {
        for (int device : link->remaining()) {
            DeviceResult result;
            result.link = link->name();
            result.device = device;
            m_results << result;
        }
    }
    const int total = int(m_results.size());
    const bool someNotUpdated = m_updated < total;
    const int code = m_interrupted ? m_interruptCode : someNotUpdated ? SomeFailed : AllUpdated;
    if (!m_options.quiet && total > 1) {
        standardOutput() << QStringLiteral("Итог: обновлено %1 из %2").arg(m_updated).arg(total) << Qt::endl;
        printSummary();
    }
    if (!m_options.reportFile.isEmpty() && !writeReport(code))
        warn(QStringLiteral("отчёт %1 не записан").arg(m_options.reportFile));
    log(QStringLiteral("batch over: %1 updated, %2 failed%3").arg(m_updated).arg(m_failed).arg(m_interrupted ? QStringLiteral(", interrupted") : QString()));
    emit done(code);
}

void Batch::interrupt()
{
    if (m_finished)
        return;
    bool anyTransfer = false;
    for (const auto &link : m_links)
        anyTransfer = anyTransfer || link->transferring();
    if (anyTransfer && !m_warned) {
        m_warned = true;
        m_interrupted = true;
        log(QStringLiteral("Ctrl-C during a transfer: probing links stop, asking once more for the transfers"));
        QStringList under;
        for (const auto &link : m_links) {
            if (link->transferring())
                under << QStringLiteral("%1 прибор %2").arg(link->name()).arg(link->device());
            link->stopProbing();
        }
        warn(QStringLiteral("идёт запись прошивки (%1). Прерванная запись оставит прибор с неполной прошивкой. "
                            "Нажмите Ctrl-C ещё раз, чтобы всё же прервать.")
                 .arg(under.join(QStringLiteral(", "))));
        return;
    }
    m_interrupted = true;
    log(anyTransfer ? QStringLiteral("Ctrl-C again: abandoning the transfers") : QStringLiteral("Ctrl-C: stopping"));
    for (const auto &link : m_links)
        link->abandon();
    if (m_activeLinks == 0)
        finish();
}

void Batch::terminate(int signalNumber)
{
    if (m_finished)
        return;
    m_interrupted = true;
    m_interruptCode = KilledBase + signalNumber;
    log(QStringLiteral("signal %1: abandoning every run").arg(signalNumber));
    for (const auto &link : m_links)
        link->abandon();
    if (m_activeLinks == 0)
        finish();
}

void Batch::show(LinkRun *link, int device, const QString &text, Line kind)
{
    if (m_options.quiet && kind != Line::Outcome)
        return;
    const QString line = QStringLiteral("[%1] Прибор %2: %3").arg(link->name()).arg(device).arg(text);
    if (!m_terminal) {
        standardOutput() << line << Qt::endl;
        return;
    }
    const int index = int(std::find_if(m_links.begin(), m_links.end(), [&](const auto &l) { return l.get() == link; }) - m_links.begin());
    if (kind == Line::Live) {
        m_live[index] = line;
        redraw();
        return;
    }
    // A line for good goes above the live ones, which are drawn again below it.
    m_live[index].clear();
    QString screen;
    if (m_drawn > 0)
        screen += QStringLiteral("\033[%1A").arg(m_drawn);
    screen += QStringLiteral("\r\033[J") + line + QLatin1Char('\n');
    standardOutput() << screen;
    m_drawn = 0;
    redraw();
}

// Rewrites the live lines in place: up to the first, then each on a cleared line.
void Batch::redraw()
{
    if (!m_terminal)
        return;
    QString screen;
    if (m_drawn > 0)
        screen += QStringLiteral("\033[%1A").arg(m_drawn);
    int drawn = 0;
    for (const QString &line : qAsConst(m_live)) {
        if (line.isEmpty())
            continue;
        screen += QStringLiteral("\r\033[K") + line + QLatin1Char('\n');
        ++drawn;
    }
    if (drawn < m_drawn)
        screen += QStringLiteral("\r\033[J");
    m_drawn = drawn;
    standardOutput() << screen << Qt::flush;
}

void Batch::warn(const QString &text)
{
    standardError() << QStringLiteral("vorlex-flash: ") << text << Qt::endl;
}

void Batch::printSummary()
{
    QList<QStringList> rows{{QStringLiteral("связь"), QStringLiteral("прибор"), QStringLiteral("итог"), QStringLiteral("время, с"), QStringLiteral("повторов")}};
    for (const DeviceResult &result : qAsConst(m_results)) {
        const bool started = result.start.isValid() && result.end.isValid();
        rows << QStringList{result.link, QString::number(result.device), outcomeText(result.outcome),
                            started ? QString::number(result.start.msecsTo(result.end) / 1000.0, 'f', 1) : QStringLiteral("-"),
                            QString::number(result.retransmissions)};
    }
    QVector<int> widths(rows.constFirst().size(), 0);
    for (const QStringList &row : rows)
        for (int i = 0; i < row.size(); ++i)
            widths[i] = qMax(widths.at(i), int(row.at(i).size()));
    for (const QStringList &row : rows) {
        QString line;
        for (int i = 0; i < row.size(); ++i)
            line += (i ? QStringLiteral("  ") : QString()) + row.at(i).leftJustified(widths.at(i));
        standardOutput() << line.trimmed() << Qt::endl;
    }
}

bool Batch::writeReport(int exitCode)
{
    QFile image(m_options.file);
    QCryptographicHash sha(QCryptographicHash::Sha256);
    if (image.open(QIODevice::ReadOnly))
        sha.addData(&image);
    QJsonArray devices;
    for (const DeviceResult &result : qAsConst(m_results)) {
        const bool started = result.start.isValid();
        devices.append(QJsonObject{
            {QStringLiteral("link"), result.link},
            {QStringLiteral("device"), result.device},
            {QStringLiteral("outcome"), outcomeName(result.outcome)},
            {QStringLiteral("status"), started ? QJsonValue(result.lastStatus) : QJsonValue()},
            {QStringLiteral("message"), started ? QJsonValue(result.message) : QJsonValue()},
            {QStringLiteral("bytesSent"), double(result.bytesSent)},
            {QStringLiteral("retransmissions"), result.retransmissions},
            {QStringLiteral("start"), started ? QJsonValue(result.start.toString(Qt::ISODateWithMs)) : QJsonValue()},
            {QStringLiteral("end"), result.end.isValid() ? QJsonValue(result.end.toString(Qt::ISODateWithMs)) : QJsonValue()},
            {QStringLiteral("durationSeconds"), started && result.end.isValid() ? QJsonValue(result.start.msecsTo(result.end) / 1000.0) : QJsonValue()},
        });
    }
    const QJsonObject report{
        {QStringLiteral("image"), QJsonObject{{QStringLiteral("path"), QFileInfo(m_options.file).absoluteFilePath()},
                                              {QStringLiteral("size"), double(QFileInfo(m_options.file).size())},
                                              {QStringLiteral("sha256"), QString::fromLatin1(sha.result().toHex())}}},
        {QStringLiteral("start"), m_started.toString(Qt::ISODateWithMs)},
        {QStringLiteral("end"), QDateTime::currentDateTime().toString(Qt::ISODateWithMs)},
        {QStringLiteral("interrupted"), m_interrupted},
        {QStringLiteral("exitCode"), exitCode},
        {QStringLiteral("devices"), devices},
    };
    QSaveFile file(m_options.reportFile);
    return file.open(QIODevice::WriteOnly) && file.write(QJsonDocument(report).toJson()) >= 0 && file.commit();
}
