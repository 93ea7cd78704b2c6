#include "plantlink.h"

#include "ledger.h"
#include "plantdatabase.h"
#include "textescape.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QSet>
#include <QThread>

#include <atomic>
#include <utility>

namespace {
// A server that refused a connection is tried again no sooner than this, so that a batch
// without its plant database does not pay for a connection attempt at every device.
constexpr int ReconnectAfterMs = 10000;
// How long a worker with nothing to do is given to end at the process's end.
constexpr int QuitWaitMs = 200;

std::atomic<bool> s_abandoned{false};
} // namespace

// Lives in PlantLink's thread, with the connection that thread owns and a ledger connection of
// its own.
class PlantWorker : public QObject
{
    Q_OBJECT
public:
    void open(const QString &url, const QString &station, const QString &ledgerFile)
    {
        m_url = url;
        m_station = station;
        m_ledgerFile = ledgerFile;
        QString why;
        if (!ledgerFile.isEmpty() && !m_ledger.open(ledgerFile, &why)) {
            // The batch's own ledger opened a moment ago: this is rare, and it only costs the copy.
            m_ledgerFile.clear();
            emit note(QStringLiteral("plant copy: ledger not opened: %1").arg(why));
        }
        connect();
        copyRows();
    }

    void copy()
    {
        copyRows();
        emit copied(m_copyFailure);
    }

    void copyRows()
    {
        if (m_ledgerFile.isEmpty() || !connect())
            return;
        PlantCopy result;
        QString why;
        const bool copied = m_db.copyFrom(m_ledger, &result, &why);
        for (const QString &restore : qAsConst(result.restores)) {
            emit warning(QStringLiteral("журнал %1: %2").arg(quotedForMessage(m_ledgerFile, PathInMessage), restore));
            emit note(QStringLiteral("ledger restored from a backup: %1").arg(restore));
        }
        if (copied) {
            m_copyFailure.clear();
            if (result.copied > 0)
                emit note(QStringLiteral("plant database: %1 rows copied").arg(result.copied));
            return;
        }
        if (lost(why))
            return;
        // A row the plant database holds otherwise fails every copy alike: said once.
        if (std::exchange(m_copyFailure, why) == why)
            return;
        emit warning(QStringLiteral("база завода %1: строки не скопированы; они остаются в журнале станции: %2").arg(m_db.name(), quotedForMessage(why, 1000)));
        emit note(QStringLiteral("plant copy failed: %1").arg(quotedForMessage(why, 1000)));
    }

    void lock(const QString &key, quint64 id)
    {
        const auto answer = [&](PlantLink::Verdict verdict, const QString &holder) { emit lockAnswer(id, int(verdict), holder); };
        // A connection found fallen (a server restarted) is made anew once: its locks fell with
        // it, so the lock is taken anew, and another station may have it by now.
        for (int tries = 0; tries < 2; ++tries) {
            if (!connect())
                return answer(PlantLink::Verdict::Away, QString());
            // Held already in this session: asked only whether the session still stands.
            if (m_held.contains(key) && m_db.alive())
                return answer(PlantLink::Verdict::Locked, QString());
            QString holder;
            switch (m_held.contains(key) ? PlantDatabase::LockResult::Failed : m_db.tryLockLink(key, &holder)) {
            case PlantDatabase::LockResult::Locked:
                m_held.insert(key);
                return answer(PlantLink::Verdict::Locked, QString());
            case PlantDatabase::LockResult::Held:
                return answer(PlantLink::Verdict::Held, holder);
            case PlantDatabase::LockResult::Failed:
                if (!lost(holder.isEmpty() ? QStringLiteral("соединение с базой завода прервалось") : holder))
                    return answer(PlantLink::Verdict::Away, QString());
            }
        }
        answer(PlantLink::Verdict::Away, QString());
    }

    void unlock(const QString &key)
    {
        if (m_held.remove(key) && m_db.isOpen())
            m_db.unlockLink(key);
    }

    void finishCopy(quint64 id)
    {
        copy();
        emit finished(id);
    }

signals:
    void copied(const QString &failure);
    void reachable(bool up, bool refused, const QString &name, const QString &why);
    void lockAnswer(quint64 id, int verdict, const QString &holder);
    void finished(quint64 id);
    void warning(const QString &text);
    void note(const QString &line);

private:
    // Open, or opened now: a server that went away is tried again after a while.
    bool connect()
    {
        if (m_db.isOpen())
            return true;
        // A refusal stands for the batch: asked again, the server would say the same.
        if (m_refused || (m_tried.isValid() && m_tried.elapsed() < ReconnectAfterMs))
            return false;
        m_tried.start();
        QString why;
        const bool up = m_db.open(m_url, m_station, &why);
        m_refused = !up && m_db.refused();
        emit reachable(up, m_refused, m_db.name(), why);
        return up;
    }

    // After a failed query: true when the connection is gone (its locks are gone with it).
    bool lost(const QString &why)
    {
        if (m_db.alive())
            return false;
        m_db.close();
        m_held.clear();
        // Up a moment ago: tried again at the next question.
        m_tried.invalidate();
        emit reachable(false, false, m_db.name(), why);
        return true;
    }

    PlantDatabase m_db;
    Ledger m_ledger;
    QString m_url;
    QString m_station;
    QString m_ledgerFile;
    QSet<QString> m_held;
    QElapsedTimer m_tried;
    bool m_refused = false;
    QString m_copyFailure; // the last copy's failure, once said
};

PlantLink::PlantLink(QObject *parent)
    : QObject(parent)
{
    m_finishDeadline.setSingleShot(true);
    QObject::connect(&m_finishDeadline, &QTimer::timeout, this, [this] {
        // A stopped batch waits briefly and says nothing of a server that may just be slow.
        if (m_finishDeadline.interval() >= DeadlineMs)
            silent(QStringLiteral("последние строки партии"));
        else
            emit note(QStringLiteral("plant copy not awaited: the batch was stopped; its rows stay in the ledger"));
        cutShort();
    });
}

PlantLink::~PlantLink()
{
    if (!m_thread)
        return;
    m_thread->quit();
    if (m_thread->wait(QuitWaitMs)) {
        delete m_thread;
        return;
    }
    // Held by a server that answers nothing: the thread and its objects are left as they are.
    s_abandoned = true;
}

bool PlantLink::abandoned()
{
    return s_abandoned;
}

void PlantLink::start(const QString &url, const QString &station, const QString &ledgerFile)
{
    m_started = true;
    m_withoutLedger = ledgerFile.isEmpty();
    m_thread = new QThread;
    m_worker = new PlantWorker;
    m_worker->moveToThread(m_thread);
    // Deleted in its own thread, where its database connections live.
    PlantWorker *worker = m_worker;
    QObject::connect(m_thread, &QThread::finished, worker, [worker] { delete worker; }, Qt::DirectConnection);
    QObject::connect(m_worker, &PlantWorker::warning, this, &PlantLink::warning);
    QObject::connect(m_worker, &PlantWorker::note, this, &PlantLink::note);
    // Any answer at all: a server that was silent is not any more.
    QObject::connect(m_worker, &PlantWorker::lockAnswer, this, &PlantLink::heard);
    QObject::connect(m_worker, &PlantWorker::copied, this, [this](const QString &failure) {
        m_copyQueued = false;
        m_copyFailure = failure;
        heard();
    });
    QObject::connect(m_worker, &PlantWorker::reachable, this, [this](bool up, bool refused, const QString &name, const QString &why) {
        m_name = name;
        if (up) {
            m_unreachable = false;
            heard();
            return;
        }
        m_unreachable = true;
        m_cause = why;
        if (refused) {
            // The cause first, on a line of its own: a terminal cuts a warning to its width.
            m_refused = true;
            m_away = true;
            emit warning(QStringLiteral("база завода %1 отказала: %2").arg(m_name, why));
            emit warning(QStringLiteral("база завода %1: строки туда не копируются, пока это не исправлено, и остаются в журнале станции "
                                        "(потом --sync-records); связи идут под блокировкой только этой станции")
                             .arg(m_name));
            emit note(QStringLiteral("plant database refused: %1").arg(why));
            return;
        }
        if (m_away)
            return;
        m_away = true;
        emit warning(QStringLiteral("база завода %1 недоступна; связи идут под блокировкой только этой станции (станция с другой папкой "
                                    "блокировок может взять ту же связь); строки остаются в журнале станции и уйдут туда позже или по "
                                    "--sync-records: %2")
                         .arg(m_name, why));
        emit note(QStringLiteral("plant database unavailable: %1").arg(why));
    });
    QObject::connect(m_worker, &PlantWorker::finished, this, [this] {
        heard();
        m_lastCopyPending = false;
        cutShort();
    });
    m_thread->start();
    QMetaObject::invokeMethod(m_worker, [worker, url, station, ledgerFile] { worker->open(url, station, ledgerFile); }, Qt::QueuedConnection);
}

void PlantLink::copy()
{
    // One copy waiting is enough: it takes every row there is when it runs.
    if (!m_started || m_copyQueued)
        return;
    m_copyQueued = true;
    PlantWorker *worker = m_worker;
    QMetaObject::invokeMethod(m_worker, [worker] { worker->copy(); }, Qt::QueuedConnection);
}

void PlantLink::lockLink(const QString &key, QObject *context, std::function<void(Verdict, const QString &)> done)
{
    if (!asks()) {
        QTimer::singleShot(0, context, [done] { done(Verdict::Away, QString()); });
        return;
    }
    const quint64 id = ++m_asked;
    auto *deadline = new QTimer(this);
    deadline->setSingleShot(true);
    QPointer<QObject> guard(context);
    auto answer = std::make_shared<QMetaObject::Connection>();
    // Whichever comes first, the answer or the deadline, answers; the other is ignored.
    const auto settle = [this, deadline, answer, guard, done](Verdict verdict, const QString &holder) {
        QObject::disconnect(*answer);
        deadline->stop();
        deadline->deleteLater();
        if (guard)
            done(verdict, holder);
    };
    *answer = QObject::connect(m_worker, &PlantWorker::lockAnswer, this, [this, id, settle](quint64 answered, int verdict, const QString &holder) {
        if (answered != id)
            return;
        settle(Verdict(verdict), holder);
    });
    QObject::connect(deadline, &QTimer::timeout, this, [this, settle] {
        silent(QStringLiteral("вопрос о блокировке связи"));
        settle(Verdict::Away, QString());
    });
    deadline->start(DeadlineMs);
    PlantWorker *worker = m_worker;
    QMetaObject::invokeMethod(m_worker, [worker, key, id] { worker->lock(key, id); }, Qt::QueuedConnection);
}

void PlantLink::unlockLink(const QString &key)
{
    if (!m_started)
        return;
    PlantWorker *worker = m_worker;
    QMetaObject::invokeMethod(m_worker, [worker, key] { worker->unlock(key); }, Qt::QueuedConnection);
}

void PlantLink::finish(int waitMs, std::function<void()> done)
{
    m_finished = std::move(done);
    // A server already silent is not waited for again.
    if (!m_started || m_silent) {
        cutShort();
        return;
    }
    m_finishDeadline.start(waitMs);
    m_lastCopyPending = true;
    PlantWorker *worker = m_worker;
    QMetaObject::invokeMethod(m_worker, [worker] { worker->finishCopy(0); }, Qt::QueuedConnection);
}

void PlantLink::cutShort()
{
    m_finishDeadline.stop();
    if (auto done = std::exchange(m_finished, nullptr))
        done();
}

void PlantLink::heard()
{
    m_silent = false;
    if (!m_away || m_unreachable)
        return;
    m_away = false;
    emit warning(QStringLiteral("база завода %1 снова отвечает: каждая связь перед следующим прибором снова блокируется в ней").arg(m_name));
    emit note(QStringLiteral("plant database answers again"));
}

PlantLink::Outcome PlantLink::outcome() const
{
    if (m_refused)
        return {QStringLiteral("refused"), m_cause};
    if (m_away)
        return {QStringLiteral("away"), m_cause};
    if (!m_copyFailure.isEmpty())
        return {QStringLiteral("away"), m_copyFailure};
    // Stopped before the last rows were known to be there: they may not be.
    if (m_lastCopyPending)
        return {QStringLiteral("away"), QStringLiteral("последнее копирование не дождались: партию остановили; строки остаются в журнале станции")};
    return {QStringLiteral("copied"), m_withoutLedger ? QStringLiteral("без журнала (--records none) строки не копируются") : QString()};
}

void PlantLink::silent(const QString &what)
{
    m_silent = true;
    if (m_away)
        return;
    m_cause = QStringLiteral("не ответила за %1 с (%2)").arg(DeadlineMs / 1000).arg(what);
    m_away = true;
    emit warning(QStringLiteral("база завода %1 не ответила за %2 с (%3). Связи идут под блокировкой только этой станции: станция с другой "
                                "папкой блокировок может взять ту же связь. Строки остаются в журнале станции и уйдут туда позже")
                     .arg(m_name).arg(DeadlineMs / 1000).arg(what));
    emit note(QStringLiteral("plant database silent past the deadline: %1").arg(what));
}

#include "plantlink.moc"
