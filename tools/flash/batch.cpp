#include "batch.h"

#include "console.h"
#include "statusmessages.h"
#include "xmodem.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QMutex>
#include <QThread>

namespace {

QTextStream &out()
{
    return standardOutput();
}

QTextStream &err()
{
    return standardError();
}

QString clock(qint64 seconds)
{
    return QStringLiteral("%1:%2").arg(seconds / 60, 2, 10, QLatin1Char('0')).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

QMutex logMutex;

} // namespace

Batch::Batch(const FlashOptions &options, bool terminal, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_terminal(terminal)
{
    m_answerTimer.setSingleShot(true);
    m_answerTimer.setInterval(m_options.answerTimeoutSeconds * 1000);
    connect(&m_answerTimer, &QTimer::timeout, this, &Batch::onAnswerTimeout);
}

Batch::~Batch()
{
    abandonRun();
    if (m_thread)
        m_thread->wait(5000);
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
    const int device = m_logDevice.loadRelaxed();
    const QString text = device >= 0 ? QStringLiteral("device %1: %2").arg(device).arg(line) : line;
    QMutexLocker lock(&logMutex);
    if (!m_log.isOpen())
        return;
    m_log.write(QDateTime::currentDateTime().toString(Qt::ISODateWithMs).toUtf8() + ' ' + text.toUtf8() + '\n');
    m_log.flush();
}

void Batch::start()
{
    log(QStringLiteral("batch: file %1, devices %2, link %3")
            .arg(m_options.file)
            .arg(m_options.devices.size())
            .arg(m_options.link == FlashOptions::Link::Serial ? m_options.serialPort
                                                              : m_options.address + QLatin1Char(':') + m_options.port));
    startNext();
}

void Batch::startNext()
{
    const bool stopHere = m_interrupted || (m_failed > 0 && !m_options.keepGoing);
    if (stopHere || m_next >= m_options.devices.size()) {
        if (!m_options.quiet && m_options.devices.size() > 1)
            out() << QStringLiteral("Итог: обновлено %1 из %2").arg(m_updated).arg(m_options.devices.size()) << Qt::endl;
        log(QStringLiteral("batch over: %1 updated, %2 failed%3").arg(m_updated).arg(m_failed).arg(m_interrupted ? QStringLiteral(", interrupted") : QString()));
        emit done(m_interrupted ? m_interruptCode : m_failed > 0 ? SomeFailed : AllUpdated);
        return;
    }

    m_device = m_options.devices.at(m_next++);
    m_logDevice.storeRelaxed(m_device);
    m_transferring = m_succeeded = m_noAnswer = m_warnedOnce = false;
    m_attempts = 0;
    m_lastStatus = 0;
    m_logAttempts.storeRelaxed(0);
    m_lastDecile = -1;
    m_message.clear();
    log(QStringLiteral("run starts"));

    // Set up exactly as the window does: setters first, then the move, then the thread.
    auto *worker = new Xmodem;
    worker->setFileName(m_options.file);
    worker->setDevNumber(uint8_t(m_device));
    auto entry = &Xmodem::connectDevice;
    if (m_options.link == FlashOptions::Link::Serial) {
        worker->setPortName(m_options.serialPort);
    } else {
        worker->setIP(m_options.address);
        worker->setEthPort(m_options.port);
        entry = &Xmodem::connectEthDevice;
    }
    auto *thread = new QThread;
    worker->moveToThread(thread);
    connect(thread, &QThread::started, worker, entry);
    connect(this, &Batch::stopRun, worker, &Xmodem::stop, Qt::QueuedConnection);
    // The transcript takes the worker's reports where they happen, in its thread, so that they
    // keep their order with its debug lines; the screen takes them queued, as the window does.
    const QString port = m_options.serialPort;
    connect(worker, &Xmodem::start_transmit, worker, [this] { log(QStringLiteral("attempt %1").arg(m_logAttempts.fetchAndAddRelaxed(1) + 1)); }, Qt::DirectConnection);
    connect(worker, &Xmodem::status_dev, worker, [this, port, shown = QString()](int status) mutable {
        shown = presentStatus(status, shown, port, m_logAttempts.loadRelaxed()).message;
        log(QStringLiteral("status %1: %2").arg(status).arg(shown));
    }, Qt::DirectConnection);
    connect(worker, &Xmodem::start_transmit, this, &Batch::onProbe);
    connect(worker, &Xmodem::finished, thread, &QThread::quit);
    connect(worker, &Xmodem::finished, worker, &QObject::deleteLater);
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    connect(worker, &Xmodem::status_dev, this, &Batch::onStatus);
    connect(worker, &Xmodem::progress, this, &Batch::onProgress);
    connect(worker, &Xmodem::finished, this, &Batch::onRunFinished);
    m_running = true;
    m_thread = thread;
    m_answerTimer.start();
    thread->start();
}

void Batch::onProbe()
{
    ++m_attempts;
    present(STATUS_CONNECTING);
}

void Batch::onStatus(int status)
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
    m_lastStatus = status;
    present(status);
}

// The worker only knows that the port did not open. The most common reason on Linux has a
// remedy the operator can apply at once: say it.
void Batch::explainPortRefusal()
{
#ifdef Q_OS_LINUX
    // A bare name such as ttyUSB0 lives in /dev, as QSerialPort takes it.
    const QString name = m_options.serialPort;
    const QFileInfo port(name.startsWith(QLatin1Char('/')) ? name : QStringLiteral("/dev/") + name);
    if (!port.exists() || (port.isReadable() && port.isWritable()))
        return;
    const QString hint = QStringLiteral("нет прав на порт %1. Откройте доступ: добавьте пользователя в группу dialout "
                                        "(sudo usermod -aG dialout $USER), затем выйдите из системы и войдите заново.")
                             .arg(port.filePath());
    log(QStringLiteral("port refused: ") + hint);
    err() << QStringLiteral("Прибор %1: ").arg(m_device) << hint << Qt::endl;
#endif
}

void Batch::present(int status)
{
    const StatusPresentation shown = presentStatus(status, m_message, m_options.serialPort, m_attempts);
    m_message = shown.message;
    // On a terminal the attempts share one live line; elsewhere every code gets its line.
    if (status == STATUS_CONNECTING && m_terminal)
        show(shown.message, false);
    else if (status != STATUS_FILE_SENT)
        show(shown.message, true);
}

void Batch::onProgress(int totalRead, qint64 size)
{
    if (size <= 0 || m_options.quiet)
        return;
    const int percent = int(double(totalRead) / double(size) * 100);
    const int blocks = (totalRead + XMODEM_PAYLOAD_SIZE - 1) / XMODEM_PAYLOAD_SIZE;
    const int totalBlocks = int((size + XMODEM_PAYLOAD_SIZE - 1) / XMODEM_PAYLOAD_SIZE);
    const double seconds = qMax<qint64>(m_transferClock.elapsed(), 1) / 1000.0;
    const double rate = blocks / seconds;
    const qint64 left = rate > 0 ? qint64((totalBlocks - blocks) / rate) : 0;
    if (m_terminal) {
        const int filled = percent / 5;
        const QString bar = QString(filled, QLatin1Char('#')) + QString(20 - filled, QLatin1Char('-'));
        show(QStringLiteral("[%1] %2%  %3/%4 байт  %5 бл/с  осталось %6")
                 .arg(bar)
                 .arg(percent, 3)
                 .arg(totalRead)
                 .arg(size)
                 .arg(rate, 0, 'f', 1)
                 .arg(clock(left)),
             false);
    } else if (percent / 10 != m_lastDecile) {
        m_lastDecile = percent / 10;
        show(QStringLiteral("%1%  %2/%3 байт  %4 бл/с").arg(percent).arg(totalRead).arg(size).arg(rate, 0, 'f', 1), true);
    }
}

void Batch::onRunFinished()
{
    m_answerTimer.stop();
    if (m_thread)
        m_thread->wait(5000);
    QString outcome;
    if (m_succeeded) {
        ++m_updated;
        outcome = QStringLiteral("обновлён: ") + m_message;
    } else {
        ++m_failed;
        const QString why = m_noAnswer ? QStringLiteral("прибор не ответил за %1 с").arg(m_options.answerTimeoutSeconds) : m_message;
        outcome = QStringLiteral("НЕ обновлён: ") + why;
    }
    log(QStringLiteral("run over: ") + outcome);
    if (m_terminal && !m_options.quiet)
        out() << QStringLiteral("\r\033[K");
    out() << QStringLiteral("Прибор %1: %2").arg(m_device).arg(outcome) << Qt::endl;
    if (!m_succeeded && m_lastStatus == ERROR_PORT_NOT_OPENING && m_options.link == FlashOptions::Link::Serial)
        explainPortRefusal();
    m_running = false;
    m_device = -1;
    m_logDevice.storeRelaxed(-1);
    startNext();
}

void Batch::onAnswerTimeout()
{
    m_noAnswer = true;
    log(QStringLiteral("no answer within %1 s: giving up").arg(m_options.answerTimeoutSeconds));
    abandonRun();
}

void Batch::interrupt()
{
    if (!m_running) {
        m_interrupted = true;
        emit done(Interrupted);
        return;
    }
    if (m_transferring && !m_warnedOnce) {
        m_warnedOnce = true;
        log(QStringLiteral("Ctrl-C during the transfer: asking once more"));
        if (m_terminal && !m_options.quiet)
            out() << QStringLiteral("\r\033[K") << Qt::flush;
        err() << QStringLiteral("Прибор %1: идёт запись прошивки. Прерванная запись оставит прибор с неполной прошивкой. "
                                "Нажмите Ctrl-C ещё раз, чтобы всё же прервать.")
                     .arg(m_device)
              << Qt::endl;
        return;
    }
    m_interrupted = true;
    log(m_transferring ? QStringLiteral("Ctrl-C again: abandoning the transfer") : QStringLiteral("Ctrl-C: stopping"));
    abandonRun();
}

void Batch::terminate(int signalNumber)
{
    m_interrupted = true;
    m_interruptCode = KilledBase + signalNumber;
    log(QStringLiteral("signal %1: %2").arg(signalNumber).arg(m_running ? QStringLiteral("abandoning the run") : QStringLiteral("stopping")));
    if (!m_running) {
        emit done(m_interruptCode);
        return;
    }
    abandonRun();
}

// Asks the run to end now: stop() for the handshake, an interruption for anything else. The
// worker closes its link and finishes.
void Batch::abandonRun()
{
    if (!m_running)
        return;
    emit stopRun();
    if (m_thread)
        m_thread->requestInterruption();
}

void Batch::show(const QString &text, bool final)
{
    if (m_options.quiet)
        return;
    const QString line = QStringLiteral("Прибор %1: %2").arg(m_device).arg(text);
    if (m_terminal)
        out() << QStringLiteral("\r\033[K") << line << (final ? QStringLiteral("\n") : QString()) << Qt::flush;
    else
        out() << line << Qt::endl;
}
