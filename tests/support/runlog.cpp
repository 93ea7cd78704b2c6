#include "runlog.h"

RunLog::RunLog(Xmodem *worker)
    : m_status(worker, &Xmodem::status_dev)
    , m_progress(worker, &Xmodem::progress)
    , m_probes(worker, &Xmodem::start_transmit)
    , m_output(worker, &Xmodem::output)
    , m_finished(worker, &Xmodem::finished)
    , m_worker(worker)
{
    m_clock.start();
    connect(worker, &Xmodem::start_transmit, this, [this] { add(QStringLiteral("probe")); }, Qt::DirectConnection);
    connect(worker, &Xmodem::status_dev, this, [this](int code) { add(QStringLiteral("status %1").arg(code)); }, Qt::DirectConnection);
    connect(worker, &Xmodem::progress, this,
            [this](int read, qint64 size) { add(QStringLiteral("progress %1/%2").arg(read).arg(size)); }, Qt::DirectConnection);
    connect(worker, &Xmodem::output, this, [this](const QString &text) { add(QStringLiteral("output ") + text); }, Qt::DirectConnection);
    connect(worker->runEvents(), &RunEvents::result, this, [this](const RunResult &result) { m_result = result; }, Qt::DirectConnection);
    connect(worker, &Xmodem::finished, this, [this] { add(QStringLiteral("finished")); }, Qt::DirectConnection);
}

void RunLog::add(const QString &event)
{
    m_events << event;
    m_times << m_clock.elapsed();
    if (event == m_stopEvent && m_events.count(event) == m_stopOccurrence)
        QMetaObject::invokeMethod(m_worker, m_stopVerb, Qt::QueuedConnection);
}

void RunLog::stopAt(const QString &event, int occurrence, const char *verb)
{
    m_stopVerb = verb;
    m_stopEvent = event;
    m_stopOccurrence = occurrence;
}

QList<int> RunLog::statuses() const
{
    QList<int> codes;
    for (const QList<QVariant> &arguments : m_status)
        codes << arguments.at(0).toInt();
    return codes;
}

QList<qint64> RunLog::progressValues() const
{
    QList<qint64> values;
    for (const QList<QVariant> &arguments : m_progress)
        values << arguments.at(0).toLongLong();
    return values;
}

QStringList RunLog::outputs() const
{
    QStringList texts;
    for (const QList<QVariant> &arguments : m_output)
        texts << arguments.at(0).toString();
    return texts;
}

qint64 RunLog::timeOf(const QString &event) const
{
    const int index = m_events.indexOf(event);
    return index < 0 ? -1 : m_times.at(index);
}

QList<qint64> RunLog::timesOf(const QString &event) const
{
    QList<qint64> times;
    for (int i = 0; i < m_events.size(); ++i)
        if (m_events.at(i) == event)
            times << m_times.at(i);
    return times;
}

bool RunLog::endedCleanly() const
{
    return m_finished.count() == 1 && !m_events.isEmpty() && m_events.constLast() == QLatin1String("finished");
}
