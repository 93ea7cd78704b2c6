#include "consoleview.h"

#include "console.h"
#include "scheduler.h"
#include "texttable.h"
#include "xmodem.h"

namespace {

constexpr int ProgressEveryMs = 200;

QString clock(qint64 seconds)
{
    return QStringLiteral("%1:%2").arg(seconds / 60, 2, 10, QLatin1Char('0')).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

ConsoleView::ConsoleView(Scheduler *scheduler, bool quiet, int columns, QObject *parent)
    : QObject(parent)
    , m_scheduler(scheduler)
    , m_quiet(quiet)
    , m_columns(columns)
{
    int index = 0;
    for (const auto &queue : scheduler->queues()) {
        attach(index++, queue.get());
        m_live << QString();
        m_shownRead << -1;
        m_shownDecile << -1;
    }
    connect(scheduler, &Scheduler::warning, this, &ConsoleView::warn);
    m_progressTimer.setInterval(ProgressEveryMs);
    connect(&m_progressTimer, &QTimer::timeout, this, &ConsoleView::showProgress);
    if (!quiet)
        m_progressTimer.start();
}

void ConsoleView::attach(int index, LinkQueue *queue)
{
    connect(queue, &LinkQueue::probed, this, [this, index](int device, int probe) {
        const QString text = QStringLiteral("Попытка соединения %1").arg(probe);
        // On a terminal the attempts share the link's live line; elsewhere each gets its line.
        show(index, device, text, m_columns > 0 ? Line::Live : Line::Event);
    });
    connect(queue, &LinkQueue::statusShown, this, [this, index](int device, int status, const QString &message) {
        // The outcome line says it, and a stop is told by the outcome in the operator's words.
        if (status != STATUS_FILE_SENT && status != STATUS_STOPPED)
            show(index, device, message, Line::Event);
    });
    connect(queue, &LinkQueue::transferBegins, this, [this, index] {
        m_shownRead[index] = -1;
        m_shownDecile[index] = -1;
    });
    connect(queue, &LinkQueue::attemptFailed, this, [this, index](int device, const QString &message, int pauseMs) {
        show(index, device, QStringLiteral("не удалось: %1; ещё попытка через %2 с").arg(message).arg(pauseMs / 1000.0), Line::Event);
    });
    connect(queue, &LinkQueue::linkBusy, this, &ConsoleView::warn);
    connect(queue, &LinkQueue::deviceOver, this, [this, index](const DeviceRecord &record) {
        const bool updated = record.outcome == DeviceRecord::Outcome::Updated;
        show(index, record.device, (updated ? QStringLiteral("обновлён: ") : QStringLiteral("НЕ обновлён: ")) + record.message, Line::Outcome);
    });
}

void ConsoleView::showProgress()
{
    int index = 0;
    for (const auto &queue : m_scheduler->queues()) {
        const int i = index++;
        const LinkQueue::Progress progress = queue->progress();
        if (progress.size <= 0 || progress.read == m_shownRead.at(i))
            continue;
        m_shownRead[i] = progress.read;
        const int percent = int(double(progress.read) / double(progress.size) * 100);
        const qint64 blocks = (progress.read + XMODEM_PAYLOAD_SIZE - 1) / XMODEM_PAYLOAD_SIZE;
        const qint64 totalBlocks = (progress.size + XMODEM_PAYLOAD_SIZE - 1) / XMODEM_PAYLOAD_SIZE;
        const double rate = blocks / (qMax<qint64>(progress.elapsedMs, 1) / 1000.0);
        const qint64 left = rate > 0 ? qint64((totalBlocks - blocks) / rate) : 0;
        if (m_columns > 0) {
            const int filled = percent / 5;
            const QString bar = QString(filled, QLatin1Char('#')) + QString(20 - filled, QLatin1Char('-'));
            show(i, queue->device(), QStringLiteral("[%1] %2%  %3/%4 байт  %5 бл/с  осталось %6")
                     .arg(bar).arg(percent, 3).arg(progress.read).arg(progress.size).arg(rate, 0, 'f', 1).arg(clock(left)), Line::Live);
        } else if (percent / 10 != m_shownDecile.at(i)) {
            m_shownDecile[i] = percent / 10;
            show(i, queue->device(), QStringLiteral("%1%  %2/%3 байт  %4 бл/с").arg(percent).arg(progress.read).arg(progress.size).arg(rate, 0, 'f', 1), Line::Event);
        }
    }
}

void ConsoleView::show(int index, int device, const QString &text, Line kind)
{
    if (m_quiet && kind != Line::Outcome)
        return;
    const QString line = QStringLiteral("[%1] %2: %3").arg(m_scheduler->queues().at(size_t(index))->name(), deviceLabel(index, device), text);
    if (m_columns <= 0) {
        standardOutput() << line << Qt::endl;
        return;
    }
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

// "Прибор 2", and once a device is tried again, which attempt this is.
QString ConsoleView::deviceLabel(int index, int device) const
{
    const LinkQueue *queue = m_scheduler->queues().at(size_t(index)).get();
    if (queue->attempt() < 2)
        return QStringLiteral("Прибор %1").arg(device);
    return QStringLiteral("Прибор %1, попытка %2 из %3").arg(device).arg(queue->attempt()).arg(queue->maxAttempts());
}

// A live line longer than the terminal would wrap, and the redraw would leave its tail behind.
QString ConsoleView::fitted(const QString &line) const
{
    if (line.size() < m_columns)
        return line;
    return line.left(qMax(m_columns - 2, 0)) + QStringLiteral("…");
}

// Rewrites the live lines in place: up to the first, then each on a cleared line.
void ConsoleView::redraw()
{
    if (m_columns <= 0)
        return;
    QString screen;
    if (m_drawn > 0)
        screen += QStringLiteral("\033[%1A").arg(m_drawn);
    int drawn = 0;
    for (const QString &line : qAsConst(m_live)) {
        if (line.isEmpty())
            continue;
        screen += QStringLiteral("\r\033[K") + fitted(line) + QLatin1Char('\n');
        ++drawn;
    }
    if (drawn < m_drawn)
        screen += QStringLiteral("\r\033[J");
    m_drawn = drawn;
    standardOutput() << screen << Qt::flush;
}

void ConsoleView::setColumns(int columns)
{
    if (m_columns <= 0)
        return;
    // The old lines may have wrapped at the new width: clear from the top of what was drawn.
    QString screen;
    if (m_drawn > 0)
        screen += QStringLiteral("\033[%1A").arg(m_drawn);
    standardOutput() << screen << QStringLiteral("\r\033[J") << Qt::flush;
    m_drawn = 0;
    m_columns = qMax(columns, 1);
    redraw();
}

void ConsoleView::warn(const QString &text)
{
    // Above the live lines, so that the next redraw does not write over it.
    if (m_columns > 0 && m_drawn > 0) {
        standardOutput() << QStringLiteral("\033[%1A\r\033[J").arg(m_drawn) << Qt::flush;
        m_drawn = 0;
    }
    // One line, whatever the driver's text had in it; on a terminal no wider than it.
    const QString line = QStringLiteral("vorlex-flash: ") + text.simplified();
    standardError() << (m_columns > 0 ? fitted(line) : line) << Qt::endl;
    redraw();
}

void ConsoleView::finish(const QList<DeviceRecord> &records)
{
    m_progressTimer.stop();
    for (QString &line : m_live)
        line.clear();
    redraw();
    if (m_quiet || records.size() < 2)
        return;
    int updated = 0;
    for (const DeviceRecord &record : records)
        updated += record.outcome == DeviceRecord::Outcome::Updated ? 1 : 0;
    standardOutput() << QStringLiteral("Итог: обновлено %1 из %2").arg(updated).arg(records.size()) << Qt::endl;
    printSummary(records);
}

void ConsoleView::printSummary(const QList<DeviceRecord> &records)
{
    QList<QStringList> rows{{QStringLiteral("связь"), QStringLiteral("прибор"), QStringLiteral("итог"), QStringLiteral("попыток"),
                             QStringLiteral("время, с"), QStringLiteral("повторов")}};
    for (const DeviceRecord &record : records) {
        const bool timed = record.started && !record.attempts.isEmpty();
        int retransmissions = 0;
        for (const DeviceRecord::Attempt &attempt : record.attempts)
            retransmissions += attempt.run.retransmissions;
        const qint64 ms = timed ? record.attempts.constFirst().run.start.msecsTo(record.attempts.constLast().run.end) : 0;
        rows << QStringList{record.link, QString::number(record.device), outcomeText(record.outcome), QString::number(record.attempts.size()),
                            timed ? QString::number(ms / 1000.0, 'f', 1) : QStringLiteral("-"), QString::number(retransmissions)};
    }
    standardOutput() << textTable(rows) << Qt::flush;
}
