#ifndef LEDGER_H
#define LEDGER_H

#include "historyquery.h"
#include "recordchain.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QVariant>

#include <functional>

class QSqlDatabase;

// Where a ledger's chain ended at some moment: how many rows it had, its last row and that row's
// hash. The ledger keeps its own; reports and transcripts keep the one at their batch's end.
struct LedgerHead
{
    QString id;       // the ledger's identity then
    qint64 rows = 0;
    qint64 lastRow = 0;
    QString hash;
    // Every chain of the ledger then, each station under each identity: a report that anchors
    // all of them leaves no station's rows to be rewritten behind it.
    struct Chain
    {
        QString station;
        QString identity;
        qint64 rows = 0;
        qint64 lastRow = 0;
        QString hash;
    };
    QList<Chain> chains;
};

// A ledger found restored from a backup: the plant database held rows of its identity beyond
// the last one the ledger still agreed with. Rows from then on are written under a new identity.
struct LedgerRestore
{
    qint64 row = 0;        // the restore's own row in the chain; 0 for one kept apart (schema 3, 4)
    QString before;        // the identity the lost rows carry in the plant database
    QString after;
    qint64 keptRow = 0;    // the last row the ledger and the plant database agreed on
    qint64 plantRow = 0;   // the last row of before the plant database held
    QDateTime found;
    QString acknowledgedBy; // empty until an engineer has looked into it
    QDateTime acknowledged;
    qint64 ledgerRow = 0;  // the last row of before the ledger held when it was found
};

// The station's ledger: every attempt of every batch, in a SQLite file that several flashers
// write at once (WAL, a busy timeout, one immediate transaction a row). Each row carries the
// SHA-256 of its content and of the previous row of its station, so that a row changed,
// removed or inserted afterwards breaks the chain.
class Ledger
{
public:
    static constexpr int SchemaVersion = 5;

    Ledger();
    ~Ledger();
    Ledger(const Ledger &) = delete;
    Ledger &operator=(const Ledger &) = delete;

    // Where a station keeps its ledger unless told otherwise: the user's data folder.
    static QString defaultPath();

    enum class Access { Write, ReadOnly };
    // Opens the ledger, for writing creating it or bringing an older one up to date; refuses a
    // file that is not a ledger, or one written by a newer program, untouched. Read only, it
    // creates nothing and changes nothing: a missing or empty file is refused as well.
    //
    // Read only, the folder is left as it was, and a user who may only read the file and its
    // folder can read it: without a -wal the file is read as immutable (SQLite makes no -shm),
    // which holds only if nobody wrote it meanwhile (readUnchanged); with a -wal and its -shm,
    // through them, as a writer's reader; with a -wal alone it is refused (beingWritten), since
    // SQLite would have to make the -shm.
    bool open(const QString &path, QString *error, Access access = Access::Write);
    // What was read holds: the file was not written while an immutable read went on. When not,
    // the read is to be made again.
    bool readUnchanged() const;
    // The ledger cannot be read now, for its writer's sake, not for any fault of its own.
    bool beingWritten() const { return m_beingWritten; }
    // *id, when given, gets the new row's id.
    bool append(LedgerRow row, QString *error, qint64 *id = nullptr);
    // Writes an end row for its start row unless one is there already (*closed says which).
    bool closeAttempt(LedgerRow end, bool *closed, QString *error);
    // Start rows that no end row names yet: attempts under way, or whose flasher died.
    bool openAttempts(QList<LedgerRow> *rows, QString *error);
    // Walks every station's chain and holds the end against the ledger's own head: true when
    // whole; otherwise *problem names the first row, or what is missing at the end.
    bool verify(qint64 *rows, QString *problem, QString *error);
    // The ledger's head as it keeps it.
    bool head(LedgerHead *head, QString *error);
    // The chain still holds a head seen earlier (by a report): its last row with its hash, and
    // as many rows up to it. False with *problem when not.
    bool holds(const LedgerHead &seen, QString *problem, QString *error);
    // Oldest first.
    bool history(const LedgerFilter &filter, QList<LedgerRow> *rows, QString *error);

    // This ledger's identity as it was opened, made when the ledger was created and made anew
    // when it is found restored: it tells its rows from any other's in a plant database.
    QString id() const { return m_id; }
    // Every identity the ledger's rows carry, the current one last, with those it had before.
    bool identities(QStringList *ids, QString *error);
    // The rows of one identity after the row after, oldest first, at most limit.
    bool rowsOf(const QString &identity, qint64 after, int limit, QList<LedgerRow> *rows, QString *error);
    // Row ids and hashes of one identity up to the row upTo, newest first, at most limit.
    bool hashesOf(const QString &identity, qint64 upTo, int limit, QList<QPair<qint64, QString>> *rows, QString *error);
    // The ledger was restored: all it writes from now on takes a new identity (*identity), and
    // the restore is a row of the chain, written as writer (station, operator, process), naming
    // the identity before and the fork. Nothing changes when another flasher has done so already
    // (*identity is then the one it made).
    bool startAfresh(const LedgerRow &writer, const QString &from, qint64 keptRow, qint64 plantRow, QString *identity, QString *error);
    bool restores(QList<LedgerRestore> *restores, QString *error);
    // Each identity a restore began, with the identity and the row it forked from.
    bool forks(QHash<QString, QPair<QString, qint64>> *forks, QString *error);
    // Every restore not yet acknowledged is, by writer's operator, now: a row of the chain each.
    bool acknowledgeRestores(const LedgerRow &writer, int *count, QString *error);
    // Whether any row belongs to that batch.
    bool hasBatch(const QString &batch, bool *found, QString *error);

private:
    // "VLXL": a SQLite file with this application id is a ledger of ours.
    static constexpr int ApplicationId = 0x564c584c;

    // Brings the schema from an older version to this one, inside the caller's transaction.
    bool upgrade(int from, QString *error);
    // The hash a new row of the station under that identity follows, by the chain's rules: its
    // last row there up to bound.
    bool predecessorHash(const QString &station, const QString &identity, qint64 bound, QString *hash, QString *error);
    // One write under the ledger's write lock, taken at once: whatever body reads and writes
    // belongs together, and nothing of it is kept when it fails.
    bool write(const std::function<bool(QSqlDatabase &, QString *)> &body, QString *error);
    // Inside the caller's write: gives the row its number, identity and hashes, and writes it.
    bool insertRow(LedgerRow *row, QString *error);
    // The columns to select: a ledger of schema 1, read as it is, has no start rows.
    QString columns() const;
    // The condition for the rows of one identity (a ledger before schema 3 has one).
    QString ofIdentity(const QString &identity, QVariantList *values) const;

    QString m_connection;
    QString m_path;
    QString m_stamp;          // the file as an immutable read began; empty for any other read
    bool m_beingWritten = false;
    QString m_id;
    int m_version = SchemaVersion;
};

#endif // LEDGER_H
