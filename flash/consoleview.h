#ifndef CONSOLEVIEW_H
#define CONSOLEVIEW_H

#include "devicerecord.h"

#include <QList>
#include <QObject>
#include <QStringList>
#include <QTimer>

class LinkQueue;
class Scheduler;

// What the operator sees. On a terminal: one live line per link, redrawn in place and cut to
// the terminal's width, below the lines that stay; warnings go above the live lines. Into a
// pipe: plain lines only, each naming its link and device.
class ConsoleView : public QObject
{
    Q_OBJECT
public:
    // columns: the terminal's width, 0 for a pipe.
    ConsoleView(Scheduler *scheduler, bool quiet, int columns, QObject *parent = nullptr);

    // The terminal was resized: the live lines are drawn again to the new width.
    void setColumns(int columns);
    void warn(const QString &text);
    // The live lines go; the summary table follows for a batch of several devices.
    void finish(const QList<DeviceRecord> &records);

private:
    enum class Line { Live, Event, Outcome };
    void attach(int index, LinkQueue *queue);
    void show(int index, int device, const QString &text, Line kind);
    QString deviceLabel(int index, int device) const;
    void showProgress();
    void redraw();
    QString fitted(const QString &line) const;
    void printSummary(const QList<DeviceRecord> &records);

    Scheduler *m_scheduler;
    bool m_quiet;
    int m_columns;
    QTimer m_progressTimer;
    QStringList m_live;
    QList<qint64> m_shownRead;
    QList<int> m_shownDecile;
    int m_drawn = 0;
};

#endif // CONSOLEVIEW_H
