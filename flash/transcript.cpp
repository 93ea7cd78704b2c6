#include "transcript.h"

#include "platform.h"
#include "scheduler.h"
#include "statusmessages.h"

#include <QDateTime>

#include <cerrno>
#include <memory>

Transcript::Transcript(QObject *parent)
    : QObject(parent)
{
}

bool Transcript::open(const QString &path, QString *error)
{
    m_file.setFileName(path);
    // Unbuffered: a line is on the disk whole, or known not to be.
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        *error = m_file.errorString();
        return false;
    }
    m_whole = m_file.size();
    return true;
}

void Transcript::line(const QString &text)
{
    // Opened before any run starts and never closed while one goes on.
    if (!m_file.isOpen())
        return;
    QMutexLocker lock(&m_mutex);
    // After a failed write the file ends with its last whole line; nothing is pieced on later.
    if (m_failed)
        return;
    const QString stamp = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
    const QByteArray bytes = stamp.toUtf8() + ' ' + text.toUtf8() + '\n';
    errno = 0;
    if (m_file.write(bytes) == bytes.size()) {
        m_whole += bytes.size();
        return;
    }
    const int cause = errno;
    m_failed = true;
    const QString why = cause != 0 ? platform::writeFailure(cause) : m_file.errorString();
    // The part of the line that did go out is taken back; where the file cannot be cut (a pipe,
    // a device), the failure gets a line of its own if anything still goes through: its own
    // result does not matter, the transcript has failed already and the exit code says so.
    if (!m_file.resize(m_whole))
        m_file.write(QStringLiteral("\n%1 transcript ends here: a line could not be written (%2)\n").arg(stamp, why).toUtf8());
    emit writeFailed(why);
}

bool Transcript::failed() const
{
    QMutexLocker lock(&m_mutex);
    return m_failed;
}

void Transcript::attach(LinkQueue *queue)
{
    if (!m_file.isOpen())
        return;
    // Touched only in the worker's thread, and a queue runs one worker at a time. One run's:
    // its probes are counted as the screen and the report count them, from 1 in each attempt.
    struct RunState
    {
        int device = -1;
        int probes = 0;
        QString shown;
    };
    auto state = std::make_shared<RunState>();
    const auto current = [queue, state]() -> RunState & {
        if (state->device != queue->device())
            *state = RunState{queue->device(), 0, QString()};
        return *state;
    };
    const auto prefix = [queue] { return QStringLiteral("[%1] device %2: ").arg(queue->shownName()).arg(queue->device()); };
    RunLauncher &launcher = queue->launcher();
    connect(&launcher, &RunLauncher::probe, this, [this, current, prefix] {
        line(prefix() + QStringLiteral("probe %1").arg(++current().probes));
    }, Qt::DirectConnection);
    connect(&launcher, &RunLauncher::status, this, [this, current, prefix, port = queue->plan().serialPort](int status) {
        RunState &run = current();
        run.shown = presentStatus(status, run.shown, port, run.probes).message;
        line(prefix() + QStringLiteral("status %1: %2").arg(status).arg(run.shown));
    }, Qt::DirectConnection);
    connect(&launcher, &RunLauncher::trace, this, [this, prefix](const QString &text) {
        line(prefix() + QStringLiteral("debug: ") + text);
    }, Qt::DirectConnection);
    // The result ends the run: the next one, a retry of the same device too, counts from 1.
    connect(&launcher, &RunLauncher::result, this, [state] { *state = RunState(); }, Qt::DirectConnection);
}
