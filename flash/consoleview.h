#ifndef CONSOLEVIEW_H
#define CONSOLEVIEW_H

#include "devicerecord.h"
#include "scheduler.h"

#include <QList>
#include <QObject>
#include <QStringList>
#include <QTimer>

// What the operator sees. On a terminal: a live area of one line per running link, redrawn in
// place and cut to the terminal's width, below the lines that stay (each device's outcome, once;
// warnings). When the links outnumber the terminal's rows, the area shows the first running
// links that fit and one line for the rest, so that it never scrolls. Into a pipe: plain lines
// only, each naming its link and device.
class ConsoleView : public QObject
{
    Q_OBJECT
public:
    // columns: the terminal's width, 0 for a pipe; rows: its height, 0 when unknown.
    ConsoleView(Scheduler *scheduler, bool quiet, int columns, int rows, QObject *parent = nullptr);

    // The terminal was resized: the live lines are drawn again to the new size.
    void setSize(int columns, int rows);
    void warn(const QString &text);
    // The live lines go; the summary table follows for a batch of several devices.
    void finish(const QList<DeviceRecord> &records);

private:
    enum class Line { Live, Event, Outcome };
    enum class LinkState { Waiting, Running, Done };
    void attach(int index, LinkQueue *queue);
    void show(int index, int device, const QString &text, Line kind);
    QString deviceLabel(int index, int device) const;
    void showProgress();
    void redraw();
    QString fitted(const QString &line) const;
    QString progressLine(int index, const LinkQueue &queue, const LinkQueue::Progress &progress) const;
    void clearLiveArea();
    void printSummary(const QList<DeviceRecord> &records);

    Scheduler *m_scheduler;
    bool m_quiet;
    int m_columns;
    int m_rows;
    QTimer m_progressTimer;
    QStringList m_live;
    QList<LinkState> m_state;
    QList<qint64> m_shownRead;
    QList<int> m_shownDecile;
    int m_drawn = 0;
    bool m_over = false;
};

#endif // CONSOLEVIEW_H
