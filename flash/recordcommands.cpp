#include "recordcommands.h"

#include "cappedread.h"
#include "console.h"
#include "historyview.h"
#include "ledger.h"
#include "plantdatabase.h"
#include "platform.h"
#include "textescape.h"
#include "writerliveness.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSysInfo>
#include <QThread>

#include <algorithm>

namespace {

// A report is a few kilobytes a device; this is far beyond any plant's.
constexpr qint64 MaxReportBytes = 64 * 1024 * 1024;

// An immutable read that a writer overlapped is made again, this many times at most.
constexpr int ReadTries = 5;

// What a command says, held until its read is known to hold.
struct Said
{
    QString out;
    QString err;
    void line(const QString &text) { out += text + QLatin1Char('\n'); }
    void warn(const QString &text) { err += QStringLiteral("vorlex-flash: ") + text + QLatin1Char('\n'); }
};

int refuse(Said &said, const QString &message)
{
    said.warn(message);
    return BadInput;
}

QString shown(const QString &file)
{
    return quotedForMessage(file, 200);
}

// A ledger that cannot be opened: bad input, unless it is being written, which is for later.
int refuseLedger(Said &said, const Ledger &ledger, const QString &file, const QString &error)
{
    said.warn(QStringLiteral("журнал %1: %2").arg(shown(file), error));
    return ledger.beingWritten() ? SomeFailed : BadInput;
}

int showHistory(const CommandLine &command, Ledger &ledger, Said &said)
{
    QList<LedgerRow> rows;
    QString error;
    // With a plant database, every station's rows; otherwise this station's own. A source that
    // is not a ledger is bad input (2); one that cannot be reached or read, 1.
    if (!command.options.plantDb.isEmpty()) {
        PlantDatabase plant;
        if (!plant.open(command.options.plantDb, command.options.station, &error, PlantDatabase::Access::ReadOnly)) {
            said.warn(QStringLiteral("база завода: ") + quotedForMessage(error, 1000));
            return plant.reached() ? BadInput : SomeFailed;
        }
        if (!plant.history(command.filter, &rows, &error)) {
            said.warn(QStringLiteral("база завода: ") + quotedForMessage(error, 1000));
            return SomeFailed;
        }
    } else {
        if (!ledger.open(command.options.recordsFile, &error, Ledger::Access::ReadOnly))
            return refuseLedger(said, ledger, command.options.recordsFile, error);
        if (!ledger.history(command.filter, &rows, &error))
            return refuse(said, QStringLiteral("журнал %1: %2").arg(shown(command.options.recordsFile), error));
        // An attempt without its end: under way while its flasher lives, unfinished once it is gone.
        for (LedgerRow &row : rows)
            if (row.kind == QLatin1String("start") && writerLiveness(row) == platform::Liveness::Dead)
                row.outcome = QStringLiteral("unfinished");
    }
    // These two the query could only narrow down: which it is, the liveness above decides.
    const QString &outcome = command.filter.outcome;
    if (outcome == QLatin1String("unfinished") || outcome == QLatin1String("in progress"))
        rows.erase(std::remove_if(rows.begin(), rows.end(), [&](const LedgerRow &row) { return row.outcome != outcome; }), rows.end());
    said.out += formatHistory(rows, command.format);
    return AllUpdated;
}

// Restores of the ledger on record: each named, and whether an engineer has acknowledged it.
// True when every one has been.
bool sayRestores(Ledger &ledger, const QString &file, Said &said, QString *error, bool *ok)
{
    QList<LedgerRestore> restores;
    if (!ledger.restores(&restores, error))
        return false;
    *ok = true;
    for (const LedgerRestore &restore : qAsConst(restores)) {
        const QString what = QStringLiteral("журнал %1: восстановлен из копии (найдено %2): строки %3-%4 с id %5 есть только в базе завода, "
                                            "дальше журнал пишет под id %6")
                                 .arg(shown(file), restore.found.toString(Qt::ISODate)).arg(restore.keptRow + 1).arg(restore.plantRow)
                                 .arg(shown(restore.before), shown(restore.after));
        if (restore.acknowledged.isValid()) {
            said.line(what + QStringLiteral("; подтверждено: %1, %2").arg(shown(restore.acknowledgedBy), restore.acknowledged.toString(Qt::ISODate)));
        } else {
            said.line(what + QStringLiteral("; не подтверждено: разберитесь и подтвердите (vorlex-flash --acknowledge-restore)"));
            *ok = false;
        }
    }
    return true;
}

int acknowledgeRestores(const CommandLine &command, Ledger &ledger, Said &said)
{
    int count = 0;
    QString error;
    const QString file = quotedForMessage(command.options.recordsFile, PathInMessage);
    const QString engineer = command.options.operatorName.isEmpty() ? platform::loginName() : command.options.operatorName;
    const platform::ProcessIdentity process = platform::currentProcess();
    LedgerRow writer;
    writer.station = QSysInfo::machineHostName();
    writer.operatorName = engineer;
    writer.programVersion = QCoreApplication::applicationVersion();
    writer.machine = process.machine;
    writer.boot = process.boot;
    writer.pid = process.pid;
    writer.processStart = process.started;
    if (!ledger.acknowledgeRestores(writer, &count, &error))
        return refuse(said, QStringLiteral("журнал %1: %2").arg(shown(file), error));
    said.line(QStringLiteral("журнал %1: подтверждено восстановлений из копии: %2 (%3)").arg(shown(file)).arg(count).arg(shown(engineer)));
    return AllUpdated;
}

int syncRecords(const CommandLine &command, Ledger &ledger, Said &said)
{
    const QString &file = command.options.recordsFile;
    QString error;
    PlantDatabase plant;
    PlantCopy copy;
    const bool opened = plant.open(command.options.plantDb, command.options.station, &error);
    const bool copied = opened && plant.copyFrom(ledger, &copy, &error);
    for (const QString &restore : qAsConst(copy.restores))
        said.warn(QStringLiteral("журнал %1: %2").arg(shown(file), restore));
    if (!copied) {
        said.warn(QStringLiteral("база завода: ") + quotedForMessage(error, 1000));
        return SomeFailed;
    }
    said.line(QStringLiteral("журнал %1: отправлено в базу завода строк: %2").arg(shown(file)).arg(copy.copied));
    return AllUpdated;
}

int verifyRecords(const CommandLine &command, Ledger &ledger, Said &said)
{
    QString error;
    const QString &file = command.options.recordsFile;
    if (!ledger.open(file, &error, Ledger::Access::ReadOnly))
        return refuseLedger(said, ledger, file, error);
    qint64 rows = 0;
    QString problem;
    if (!ledger.verify(&rows, &problem, &error)) {
        if (!error.isEmpty())
            return refuse(said, QStringLiteral("журнал %1: %2").arg(shown(file), error));
        said.line(QStringLiteral("журнал %1: цепочка нарушена: %2").arg(shown(file), quotedForMessage(problem, 1000)));
        return SomeFailed;
    }
    QStringList identities;
    if (!ledger.identities(&identities, &error))
        return refuse(said, QStringLiteral("журнал %1: %2").arg(shown(file), error));
    // The heads the reports saw: a ledger cut back, or rewritten with its own head, no longer
    // holds them.
    for (const QString &report : command.reports) {
        QFile reportFile(report);
        const QString path = quotedForMessage(report, PathInMessage);
        // A report is a file of its own: a pipe would be waited on for ever, and a huge one is none.
        const QFileInfo place(report);
        if (place.exists() && (!place.isFile() || place.size() > MaxReportBytes))
            return refuse(said, QStringLiteral("%1 - не отчёт: %2").arg(path, place.isFile() ? QStringLiteral("больше 64 МиБ") : QStringLiteral("не обычный файл")));
        if (!reportFile.open(QIODevice::ReadOnly))
            return refuse(said, QStringLiteral("отчёт %1 не открывается: %2").arg(path, reportFile.errorString()));
        const QByteArray text = readAtMost(reportFile, MaxReportBytes);
        if (reportFile.error() != QFileDevice::NoError)
            return refuse(said, QStringLiteral("отчёт %1 не читается: %2").arg(path, reportFile.errorString()));
        const QJsonObject whole = QJsonDocument::fromJson(text).object();
        const QJsonObject seen = whole[QLatin1String("ledger")].toObject();
        if (seen.isEmpty())
            return refuse(said, QStringLiteral("отчёт %1 не называет журнал (нет поля ledger: партия шла без журнала, или это не отчёт)").arg(path));
        // A report names where the chain ended; one that names nothing anchors nothing.
        static const QRegularExpression sha256(QStringLiteral("^[0-9a-f]{64}$"));
        const QString seenHash = seen[QLatin1String("hash")].toString();
        if (!seen.contains(QLatin1String("rows")) || !seen.contains(QLatin1String("lastRow"))
            || !(sha256.match(seenHash).hasMatch() || (seenHash.isEmpty() && seen[QLatin1String("lastRow")].toDouble() == 0)))
            return refuse(said, QStringLiteral("отчёт %1 не называет конец цепочки журнала (rows, lastRow, hash): это не отчёт vorlex-flash").arg(path));
        // A report of a batch before a restore names the ledger's former identity, which its
        // rows still carry; one whose identity the ledger no longer knows, but whose batch it
        // holds, is of this ledger's former content.
        const QString seenId = seen[QLatin1String("id")].toString();
        if (!identities.contains(seenId)) {
            bool ours = false;
            const QString batch = whole[QLatin1String("batch")].toString();
            if (!batch.isEmpty() && !ledger.hasBatch(batch, &ours, &error))
                return refuse(said, QStringLiteral("журнал %1: %2").arg(shown(file), error));
            if (!ours)
                return refuse(said, QStringLiteral("отчёт %1 - о другом журнале (%2), а у %3 id %4")
                                        .arg(path, shown(seenId), shown(file), shown(identities.constLast())));
            said.line(QStringLiteral("журнал %1: не держит конец цепочки, который видел отчёт %2: у журнала больше нет id %3, "
                                     "под которым шла партия %4 этого отчёта (журнал переписан)")
                          .arg(shown(file), path, shown(seenId), shown(batch)));
            return SomeFailed;
        }
        LedgerHead head{QString(), qint64(seen[QLatin1String("rows")].toDouble()), qint64(seen[QLatin1String("lastRow")].toDouble()),
                        seen[QLatin1String("hash")].toString(), {}};
        for (const QJsonValue &chain : seen[QLatin1String("chains")].toArray())
            head.chains.append({chain[QLatin1String("station")].toString(), chain[QLatin1String("ledger")].toString(),
                                qint64(chain[QLatin1String("rows")].toDouble()), qint64(chain[QLatin1String("lastRow")].toDouble()),
                                chain[QLatin1String("hash")].toString()});
        if (!ledger.holds(head, &problem, &error)) {
            if (!error.isEmpty())
                return refuse(said, QStringLiteral("журнал %1: %2").arg(shown(file), error));
            said.line(QStringLiteral("журнал %1: не держит конец цепочки, который видел отчёт %2: %3").arg(shown(file), path, quotedForMessage(problem, 1000)));
            return SomeFailed;
        }
    }
    bool acknowledged = true;
    if (!sayRestores(ledger, file, said, &error, &acknowledged))
        return refuse(said, QStringLiteral("журнал %1: %2").arg(shown(file), error));
    int code = acknowledged ? AllUpdated : SomeFailed;
    PlantComparison comparison;
    if (!command.options.plantDb.isEmpty()) {
        // Rows forged by whoever holds the station's file are caught here, against the copy the
        // station cannot rewrite.
        PlantDatabase plant;
        if (!plant.open(command.options.plantDb, command.options.station, &error, PlantDatabase::Access::ReadOnly)
            || !plant.compare(ledger, &comparison, &error)) {
            said.warn(QStringLiteral("база завода: ") + quotedForMessage(error, 1000));
            return plant.reached() && !plant.isOpen() ? BadInput : SomeFailed;
        }
        for (const QString &named : qAsConst(comparison.named))
            said.line(QStringLiteral("журнал %1: не сходится с базой завода: %2").arg(shown(file), quotedForMessage(named, 1000)));
        if (comparison.problems > comparison.named.size())
            said.line(QStringLiteral("журнал %1: и ещё расхождений с базой завода: %2").arg(shown(file)).arg(comparison.problems - comparison.named.size()));
        if (comparison.problems > 0)
            code = SomeFailed;
    }
    QString verdict = QStringLiteral("журнал %1: цепочка цела, строк: %2").arg(shown(file)).arg(rows);
    if (!command.reports.isEmpty())
        verdict += QStringLiteral("; сходится с отчётами: %1").arg(command.reports.size());
    if (!command.options.plantDb.isEmpty())
        verdict += QStringLiteral("; с базой завода: совпало строк %1, ещё не скопировано %2, расхождений %3, "
                                  "только в базе завода после восстановления из копии %4, только в журнале после восстановления %5")
                       .arg(comparison.compared).arg(comparison.notCopied).arg(comparison.problems).arg(comparison.lostInRestores)
                       .arg(comparison.writtenBeforeFound);
    said.line(verdict);
    return code;
}

void say(const Said &said)
{
    standardOutput() << said.out << Qt::flush;
    standardError() << said.err << Qt::flush;
}

} // namespace

int runRecordsCommand(const CommandLine &command)
{
    const QString &file = command.options.recordsFile;
    if (command.action == CommandLine::Action::History || command.action == CommandLine::Action::VerifyRecords) {
        // A read is shown only once it is known to hold: an immutable read that a writer
        // overlapped may have seen pages of two moments, which would look like damage.
        for (int attempt = 1;; ++attempt) {
            Said said;
            Ledger ledger;
            const int code = command.action == CommandLine::Action::History ? showHistory(command, ledger, said) : verifyRecords(command, ledger, said);
            // A -wal alone is also what a writer shows for a moment as it opens the ledger.
            if (ledger.readUnchanged() && (!ledger.beingWritten() || attempt == ReadTries)) {
                say(said);
                return code;
            }
            if (attempt == ReadTries) {
                standardError() << QStringLiteral("vorlex-flash: журнал %1 пишется: он менялся, пока читался, %2 раза подряд; повторите, когда партия кончится")
                                       .arg(shown(file)).arg(ReadTries)
                                << Qt::endl;
                return SomeFailed;
            }
            // A writer's checkpoint takes milliseconds: the next try comes after it, not during.
            QThread::msleep(20 * attempt);
        }
    }
    Said said;
    // A sync and an acknowledgement write, but into a ledger there is: one they made would be
    // empty, in a place a typing mistake chose.
    if (!QFileInfo(file).isFile()) {
        refuse(said, QStringLiteral("журнал %1: %2").arg(shown(file), QFileInfo::exists(file) ? QStringLiteral("не обычный файл")
                                                                                                 : QStringLiteral("нет такого файла; журнал ведёт vorlex-flash, когда обновляет приборы (--records)")));
        say(said);
        return BadInput;
    }
    Ledger ledger;
    QString error;
    int code = BadInput;
    if (!ledger.open(file, &error, Ledger::Access::Write))
        refuse(said, QStringLiteral("журнал %1: %2").arg(shown(file), error));
    else
        code = command.action == CommandLine::Action::AcknowledgeRestore ? acknowledgeRestores(command, ledger, said) : syncRecords(command, ledger, said);
    say(said);
    return code;
}
