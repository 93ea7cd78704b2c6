#include "recordchain.h"

#include "textescape.h"

#include <QCryptographicHash>
#include <QStringList>

#include <limits>

const QString NoPreviousRow(64, QLatin1Char('0'));

namespace {

QString utc(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODateWithMs);
}

QString sha256(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

// The rules of the rows of schemas 1 to 4: every field but the row's number, its identity and
// the hashes, joined by a separator that the fields themselves might hold.
QString firstHash(const LedgerRow &row, const QString &previous)
{
    QStringList fields{previous, row.batch, row.label, row.station, row.operatorName, row.programVersion, row.link,
                       QString::number(row.device), QString::number(row.attempt), row.outcome,
                       row.status.isNull() ? QString() : QString::number(row.status.toInt()), row.message,
                       QString::number(row.bytesAcknowledged), QString::number(row.retransmissions), utc(row.start),
                       utc(row.end), row.imagePath, QString::number(row.imageSize), row.imageSha256};
    // A row whole at the end, as schema 1 wrote it, hashes as it always did; the two rows of an
    // attempt also hash what they are and which start an end belongs to.
    if (row.kind != QLatin1String("end") || row.startRow != 0 || row.pid != 0)
        fields << row.kind << QString::number(row.startRow);
    // From schema 4 on, the flasher that wrote it: whether its attempt still runs rests on this.
    if (row.pid != 0)
        fields << row.machine << row.boot << QString::number(row.pid) << row.processStart;
    return sha256(fields.join(QChar(0x1f)).toUtf8());
}

} // namespace

QString rowHash(const LedgerRow &row, const QString &previous)
{
    if (row.hashVersion <= 1)
        return firstHash(row, previous);
    const QStringList fields{QString::number(row.hashVersion), previous, row.ledgerId, QString::number(row.id), row.station, row.batch,
                             row.label, row.operatorName, row.programVersion, row.link, QString::number(row.device),
                             QString::number(row.attempt), row.outcome, row.status.isNull() ? QString() : QString::number(row.status.toInt()),
                             row.message, QString::number(row.bytesAcknowledged), QString::number(row.retransmissions),
                             row.start.isValid() ? utc(row.start) : QString(), row.end.isValid() ? utc(row.end) : QString(), row.imagePath,
                             QString::number(row.imageSize), row.imageSha256, row.kind, QString::number(row.startRow), row.machine,
                             row.boot, QString::number(row.pid), row.processStart, row.detail};
    QByteArray content;
    for (const QString &field : fields) {
        const QByteArray bytes = field.toUtf8();
        content += QByteArray::number(bytes.size()) + ':' + bytes;
    }
    return sha256(content);
}

QString RestoreFacts::detail() const
{
    return QStringLiteral("%1 %2 %3 %4 %5").arg(before, after).arg(fork).arg(plantRow).arg(ledgerRow);
}

bool RestoreFacts::parse(const QString &detail, RestoreFacts *facts)
{
    const QStringList parts = detail.split(QLatin1Char(' '));
    if (parts.size() != 5)
        return false;
    bool ok[3] = {};
    *facts = {parts.at(0), parts.at(1), parts.at(2).toLongLong(&ok[0]), parts.at(3).toLongLong(&ok[1]), parts.at(4).toLongLong(&ok[2])};
    return ok[0] && ok[1] && ok[2] && !facts->before.isEmpty() && !facts->after.isEmpty();
}

ChainWalk::ChainWalk(const QHash<QString, QPair<QString, qint64>> &forks)
    : m_forks(forks)
{
}

QString ChainWalk::predecessor(const LedgerRow &row) const
{
    const auto mine = m_seen.constFind(row.ledgerId);
    if (mine != m_seen.cend() && !mine->isEmpty())
        return mine->constLast().second;
    if (row.hashVersion >= 2) {
        // The station's first row under this identity: its last one before the fork.
        QString identity = row.ledgerId;
        qint64 bound = std::numeric_limits<qint64>::max();
        for (int depth = 0; depth < 1000 && m_forks.contains(identity); ++depth) {
            const QPair<QString, qint64> fork = m_forks.value(identity);
            bound = qMin(bound, fork.second);
            identity = fork.first;
            const QList<QPair<qint64, QString>> rows = m_seen.value(identity);
            for (auto it = rows.crbegin(); it != rows.crend(); ++it)
                if (it->first <= bound)
                    return it->second;
        }
        return NoPreviousRow;
    }
    // As these rows were written: the station's row before, under whichever identity; where
    // two identities hold that number (a plant database after a restore), the later one.
    QString best = NoPreviousRow;
    qint64 bestId = 0;
    for (const QString &identity : m_identityOrder) {
        const QList<QPair<qint64, QString>> rows = m_seen.value(identity);
        for (auto it = rows.crbegin(); it != rows.crend(); ++it) {
            if (it->first < row.id) {
                if (it->first >= bestId) {
                    bestId = it->first;
                    best = it->second;
                }
                break;
            }
        }
    }
    return best;
}

ChainWalk::Fault ChainWalk::next(const LedgerRow &row)
{
    if (row.station != m_station || m_identityOrder.isEmpty()) {
        m_station = row.station;
        m_seen.clear();
        m_identityOrder.clear();
    }
    const QString previous = predecessor(row);
    if (!m_seen.contains(row.ledgerId))
        m_identityOrder << row.ledgerId;
    // Walked on from the row as it is, so that one fault is named once, not at every row after it.
    m_seen[row.ledgerId].append({row.id, row.rowHash});
    if (row.previousHash != previous)
        return Fault::Unlinked;
    if (rowHash(row, previous) != row.rowHash)
        return Fault::Changed;
    return Fault::None;
}

QString ChainWalk::describe(Fault fault, const LedgerRow &row, const QString &where)
{
    const QString which = QStringLiteral("(станция %1, id журнала %2)%3")
                              .arg(quotedForMessage(row.station), quotedForMessage(row.ledgerId), where.isEmpty() ? QString() : QLatin1Char(' ') + where);
    return fault == Fault::Unlinked ? QStringLiteral("перед строкой %1 %2 строка удалена или вставлена").arg(row.id).arg(which)
                                    : QStringLiteral("строка %1 %2 изменена: её хеш не из её содержимого").arg(row.id).arg(which);
}
