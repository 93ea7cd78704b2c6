#ifndef RECORDCHAIN_H
#define RECORDCHAIN_H

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QPair>
#include <QString>
#include <QVariant>

// One row of a station's records, as the ledger keeps it and the plant database copies it: an
// attempt's start or end, or a restore of the ledger and its acknowledgement.
struct LedgerRow
{
    qint64 id = 0;
    QString batch;
    QString label;
    QString station;
    QString operatorName;
    QString programVersion;
    QString link;
    int device = 0;
    int attempt = 0;
    QString outcome;          // as the report names it: "updated", "failed", ...
    QVariant status;          // the last status code, null when there was none
    QString message;
    qint64 bytesAcknowledged = 0;
    int retransmissions = 0;
    QDateTime start;          // UTC
    QDateTime end;            // UTC
    QString imagePath;
    qint64 imageSize = 0;
    QString imageSha256;
    QString previousHash;     // as read back
    QString rowHash;
    // An attempt is two rows: "start", written before the address frame goes out, and "end",
    // naming its start row. A ledger's older rows, written whole at the end, are "end" rows
    // without one. "restore" and "acknowledgement" rows are no attempts: a restore found, and
    // an engineer's word on it (its start row is the restore's row).
    QString kind = QStringLiteral("end");
    qint64 startRow = 0;
    // The ledger identity the row was written under: the plant database keys rows by it.
    QString ledgerId;
    // The flasher that wrote the row (schema 4): its machine, boot, process id and start, which
    // tell an attempt under way from one whose flasher is gone. Older rows have none (pid 0).
    QString machine;
    QString boot;
    qint64 pid = 0;
    QString processStart;
    // Which rules the row's hash was made by: 1 for rows of schemas before 5, which keep theirs.
    int hashVersion = CurrentHashVersion;
    // A restore row's facts, as "before after fork plant-row ledger-row": empty for attempts.
    QString detail;

    static constexpr int CurrentHashVersion = 2;
    bool isAttempt() const { return kind == QLatin1String("start") || kind == QLatin1String("end"); }
};

// The previous hash of a station's first row.
extern const QString NoPreviousRow;

// The SHA-256 of a row's content and its predecessor's hash, by the rules of its hash version.
// From version 2 on every field that states something is in it, the row's number and ledger
// identity too, each field with its length so that none can borrow from the next.
QString rowHash(const LedgerRow &row, const QString &previous);

// A restore as its row states it: the identity before, the one after, the last row both the
// ledger and the plant database held alike (the fork), the last row of before the plant held,
// and the last the ledger held when the restore was found.
struct RestoreFacts
{
    QString before;
    QString after;
    qint64 fork = 0;
    qint64 plantRow = 0;
    qint64 ledgerRow = 0;
    QString detail() const;
    static bool parse(const QString &detail, RestoreFacts *facts);
};

// The chain's rules, for the ledger and the plant database alike. Rows are given station by
// station, each station's in the order of their numbers; every row's hash is computed anew from
// its content, and its previous hash must be its predecessor's: within one identity the
// station's row before it, and a station's first row under an identity its last row at or
// before the fork that identity began with. Rows of hash version 1 follow the rule they were
// written by: the station's row before them, whatever its identity.
class ChainWalk
{
public:
    // forks: each identity that a restore began, with where it forked from.
    explicit ChainWalk(const QHash<QString, QPair<QString, qint64>> &forks = {});

    enum class Fault { None, Changed, Unlinked };
    // The next row: None when it holds; Changed when its hash is not its content's; Unlinked
    // when its previous hash is not its predecessor's (a row removed or inserted before it).
    Fault next(const LedgerRow &row);
    // The fault as a sentence about the row, for "where": "в журнале", "в базе завода".
    static QString describe(Fault fault, const LedgerRow &row, const QString &where);

private:
    QString predecessor(const LedgerRow &row) const;

    QHash<QString, QPair<QString, qint64>> m_forks;
    QString m_station;
    // This station's rows so far, by identity: number and hash, in order.
    QHash<QString, QList<QPair<qint64, QString>>> m_seen;
    QList<QString> m_identityOrder; // as first seen, for ties between identities
};

#endif // RECORDCHAIN_H
