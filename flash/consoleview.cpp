#include "consoleview.h"

#include "console.h"
#include "scheduler.h"
#include "statusmessages.h"
#include "textescape.h"
#include "texttable.h"
#include "xmodem.h"

namespace {

constexpr int ProgressEveryMs = 200;

// Erases the cursor's line and the count - 1 below it, and comes back. Line by line rather than
// with "erase to the end of the screen", which tmux, at the screen's top, turns into a copy of
// the screen in its scrollback.
QString eraseLines(int count)
{
    if (count <= 0)
        return QString();
    QString text;
    for (int i = 0; i < count; ++i)
        text += i + 1 < count ? QStringLiteral("\033[2K\033[B") : QStringLiteral("\033[2K");
    if (count > 1)
        text += QStringLiteral("\033[%1A").arg(count - 1);
    return text + QLatin1Char('\r');
}

QString clock(qint64 seconds)
{
    return QStringLiteral("%1:%2").arg(seconds / 60, 2, 10, QLatin1Char('0')).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

ConsoleView::ConsoleView(Scheduler *scheduler, bool quiet, int columns, int rows, QObject *parent)
    : QObject(parent)
    , m_scheduler(scheduler)
    , m_quiet(quiet)
    , m_columns(columns)
    , m_rows(rows)
{
    int index = 0;
    for (const auto &queue : scheduler->queues()) {
        attach(index++, queue.get());
        m_live << QString();
        m_state << LinkState::Waiting;
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
    connect(queue, &LinkQueue::probed, this, [this, index, port = queue->plan().serialPort](int device, int probe) {
        m_state[index] = LinkState::Running;
        // The probes of the attempt under way, as the window counts them in its run.
        const QString text = presentStatus(STATUS_CONNECTING, QString(), port, probe).message;
        // On a terminal the attempts share the link's live line; elsewhere each gets its line.
        show(index, device, text, m_columns > 0 ? Line::Live : Line::Event);
    });
    connect(queue, &LinkQueue::statusShown, this, [this, index](int device, int status, const QString &message) {
        m_state[index] = LinkState::Running;
        // What ends an attempt is said once, by the attempt's end line, which carries the
        // message; the steps on the way are the link's live line on a terminal.
        if (status > 0 && status != STATUS_FILE_SENT)
            show(index, device, message, m_columns > 0 ? Line::Live : Line::Event);
        else if (status == ERROR_WRONG_ANSWER)
            show(index, device, message, Line::Live);
    });
    connect(queue, &LinkQueue::queueOver, this, [this, index] {
        m_state[index] = LinkState::Done;
        m_live[index].clear();
        redraw();
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
    bool changed = false;
    int index = 0;
    for (const auto &queue : m_scheduler->queues()) {
        const int i = index++;
        const LinkQueue::Progress progress = queue->progress();
        if (progress.size <= 0 || progress.read == m_shownRead.at(i))
            continue;
        m_shownRead[i] = progress.read;
        m_state[i] = LinkState::Running;
        const int percent = int(double(progress.read) / double(progress.size) * 100);
        if (m_columns > 0) {
            m_live[i] = progressLine(i, *queue, progress);
            changed = true;
        } else if (percent / 10 != m_shownDecile.at(i)) {
            m_shownDecile[i] = percent / 10;
            const double rate = double(progress.read) / XMODEM_PAYLOAD_SIZE / (qMax<qint64>(progress.elapsedMs, 1) / 1000.0);
            show(i, queue->device(), QStringLiteral("%1%  %2/%3 байт  %4 бл/с").arg(percent).arg(progress.read).arg(progress.size).arg(rate, 0, 'f', 1), Line::Event);
        }
    }
    if (changed)
        redraw();
}

// "[link] Прибор 2: [####------] 45%  2048/4096 байт  14.1 бл/с  осталось 00:03", made to fit:
// the bar shrinks first, then the bytes and the rate go; the device, the percent and the time
// left stay.
QString ConsoleView::progressLine(int index, const LinkQueue &queue, const LinkQueue::Progress &progress) const
{
    const int percent = int(double(progress.read) / double(progress.size) * 100);
    const qint64 blocks = (progress.read + XMODEM_PAYLOAD_SIZE - 1) / XMODEM_PAYLOAD_SIZE;
    const qint64 totalBlocks = (progress.size + XMODEM_PAYLOAD_SIZE - 1) / XMODEM_PAYLOAD_SIZE;
    const double rate = blocks / (qMax<qint64>(progress.elapsedMs, 1) / 1000.0);
    const qint64 left = rate > 0 ? qint64((totalBlocks - blocks) / rate) : 0;
    const QString head = QStringLiteral("[%1] %2: ").arg(queue.shownName(), deviceLabel(index, queue.device()));
    const QString bytes = QStringLiteral("  %1/%2 байт").arg(progress.read).arg(progress.size);
    const QString speed = QStringLiteral("  %1 бл/с").arg(rate, 0, 'f', 1);
    const QString tail = QStringLiteral("%1%").arg(percent, 3);
    const QString timeLeft = QStringLiteral("  осталось %1").arg(clock(left));
    const auto line = [&](int barWidth, bool withBytes, bool withSpeed) {
        QString bar;
        if (barWidth > 0) {
            const int filled = percent * barWidth / 100;
            bar = QLatin1Char('[') + QString(filled, QLatin1Char('#')) + QString(barWidth - filled, QLatin1Char('-')) + QStringLiteral("] ");
        }
        return head + bar + tail + (withBytes ? bytes : QString()) + (withSpeed ? speed : QString()) + timeLeft;
    };
    constexpr int FullBar = 20;
    constexpr int ShortestBar = 5;
    const int room = m_columns - 1;
    for (const bool withBytes : {true, false}) {
        for (const bool withSpeed : {true, false}) {
            if (!withSpeed && withBytes)
                continue; // the bytes go before the rate
            const int spare = room - line(0, withBytes, withSpeed).size();
            if (spare >= ShortestBar + 3)
                return line(qMin(FullBar, spare - 3), withBytes, withSpeed);
        }
    }
    return line(0, false, false);
}

void ConsoleView::show(int index, int device, const QString &text, Line kind)
{
    if (m_quiet && kind != Line::Outcome)
        return;
    const QString line = QStringLiteral("[%1] %2: %3").arg(m_scheduler->queues().at(size_t(index))->shownName(), deviceLabel(index, device), text);
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
    clearLiveArea();
    standardOutput() << line << QLatin1Char('\n');
    redraw();
}

// Up to the first live line, and everything from there down cleared.
void ConsoleView::clearLiveArea()
{
    if (m_columns <= 0 || m_drawn == 0)
        return;
    standardOutput() << QStringLiteral("\033[%1A").arg(m_drawn) << eraseLines(m_drawn);
    m_drawn = 0;
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

// Rewrites the live area in place: up to its first line, then each on a cleared line. It never
// grows beyond the terminal's height, where moving up would stop at the top and every redraw
// would leave a copy behind in the scrollback.
void ConsoleView::redraw()
{
    if (m_columns <= 0 || m_over)
        return;
    // The cursor's own line stays free, and one more for the line of the rest.
    const int capacity = m_rows > 0 ? qMax(m_rows - 2, 1) : int(m_live.size());
    QStringList lines;
    int hiddenRunning = 0;
    int waiting = 0;
    int done = 0;
    const bool crowded = m_live.size() > capacity;
    for (int i = 0; i < m_live.size(); ++i) {
        if (m_state.at(i) == LinkState::Waiting)
            ++waiting;
        else if (m_state.at(i) == LinkState::Done)
            ++done;
        else if (!m_live.at(i).isEmpty() && (!crowded || lines.size() < capacity - 1))
            lines << fitted(m_live.at(i));
        else
            ++hiddenRunning;
    }
    if (crowded) {
        QStringList parts;
        if (hiddenRunning > 0)
            parts << QStringLiteral("%1 идут").arg(hiddenRunning);
        if (waiting > 0)
            parts << QStringLiteral("%1 ждут").arg(waiting);
        if (done > 0)
            parts << QStringLiteral("%1 готовы").arg(done);
        if (!parts.isEmpty())
            lines << fitted(QStringLiteral("ещё %1: %2").arg(hiddenRunning + waiting + done).arg(parts.join(QStringLiteral(", "))));
    }
    QString screen;
    if (m_drawn > 0)
        screen += QStringLiteral("\033[%1A").arg(m_drawn);
    for (const QString &line : qAsConst(lines))
        screen += QStringLiteral("\r\033[K") + line + QLatin1Char('\n');
    screen += eraseLines(m_drawn - int(lines.size()));
    m_drawn = int(lines.size());
    standardOutput() << screen << Qt::flush;
}

void ConsoleView::setSize(int columns, int rows)
{
    if (m_columns <= 0)
        return;
    // The old lines may have wrapped at the new width: clear from the top of what was drawn.
    clearLiveArea();
    m_columns = qMax(columns, 1);
    m_rows = rows;
    redraw();
}

void ConsoleView::warn(const QString &text)
{
    // Above the live lines, so that the next redraw does not write over it.
    clearLiveArea();
    standardOutput() << Qt::flush;
    // One line, whatever the driver's text had in it; on a terminal no wider than it.
    const QString line = QStringLiteral("vorlex-flash: ") + text.simplified();
    standardError() << (m_columns > 0 ? fitted(line) : line) << Qt::endl;
    redraw();
}

void ConsoleView::finish(const QList<DeviceRecord> &records)
{
    m_progressTimer.stop();
    // Nothing of the live area is left behind, the line of the rest included.
    clearLiveArea();
    m_over = true;
    standardOutput() << Qt::flush;
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
        rows << QStringList{quotedForMessage(record.link, PathInMessage), QString::number(record.device), outcomeText(record.outcome), QString::number(record.attempts.size()),
                            timed ? QString::number(ms / 1000.0, 'f', 1) : QStringLiteral("-"), QString::number(retransmissions)};
    }
    standardOutput() << textTable(rows) << Qt::flush;
}
