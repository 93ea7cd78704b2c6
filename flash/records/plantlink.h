#ifndef PLANTLINK_H
#define PLANTLINK_H

#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

class QThread;
class PlantWorker;

// The plant database as the batch sees it: every query runs in a thread of its own, so that a
// server that answers nothing never holds the thread that handles signals and starts devices.
// Each question has a deadline of its own here; a server that misses it is silent, and the batch
// goes on without it until it answers again. Every change of that is said once.
class PlantLink : public QObject
{
    Q_OBJECT
public:
    // How long a question waits for the server: past it the server is taken as silent.
    static constexpr int DeadlineMs = 5000;

    explicit PlantLink(QObject *parent = nullptr);
    // Never waits for a thread held by the server: one still busy is left to the process's end
    // (see abandoned()).
    ~PlantLink() override;

    // Connects, and copies what the ledger has that the plant database lacks.
    void start(const QString &url, const QString &station, const QString &ledgerFile);
    // The ledger has new rows.
    void copy();

    enum class Verdict { Locked, Held, Away };
    // The link for this station only, across the plant; answered once through done, at the
    // latest by the deadline (Away: the station's own lock is all there is).
    void lockLink(const QString &key, QObject *context, std::function<void(Verdict, const QString &holder)> done);
    // Whether lockLink asks the server now; otherwise it answers Away at once.
    bool asks() const { return m_started && !m_away; }
    void unlockLink(const QString &key);

    // The last copy, then done; at once when cut short (a signal), after waitMs at the latest.
    void finish(int waitMs, std::function<void()> done);
    void cutShort();

    // Whether a thread of this kind was left running at the process's end: then the process
    // must end without running the destructors of Qt's global objects, which that thread uses.
    static bool abandoned();

    // What became of the plant database in this batch, for the report: copied (everything there,
    // or nothing to copy), away (unreachable or silent; the rows wait in the ledger) or refused
    // (the server said no), with the cause.
    struct Outcome
    {
        QString state;
        QString cause;
    };
    Outcome outcome() const;

signals:
    void warning(const QString &text);
    void note(const QString &line);

private:
    // The worker answered something: a silent server is back.
    void heard();
    void silent(const QString &what);

    QThread *m_thread = nullptr;
    PlantWorker *m_worker = nullptr;
    QString m_name;
    bool m_started = false;
    bool m_away = false;       // unreachable or silent: said once, until it answers again
    bool m_unreachable = false;
    bool m_silent = false;     // a question passed its deadline, and nothing has answered since
    bool m_copyQueued = false;
    bool m_lastCopyPending = false; // the batch's last copy asked for and not answered
    bool m_refused = false;    // the server refused: said once, never asked again
    bool m_withoutLedger = false;
    QString m_cause;           // why it was last away or refused
    QString m_copyFailure;     // why the last copy failed; empty when it did not
    quint64 m_asked = 0;       // numbers the questions, so a late answer is known as late
    std::function<void()> m_finished;
    QTimer m_finishDeadline;
};

#endif // PLANTLINK_H
