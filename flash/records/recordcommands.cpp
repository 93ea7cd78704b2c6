#include "recordcommands.h"

#include "console.h"
#include "flashoptions.h"
#include "historyview.h"
#include "ledger.h"
#include "plantdatabase.h"
#include "platform.h"
#include "recorder.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

// A report is a few kilobytes a device; this is far beyond any plant's.
constexpr qint64 MaxReportBytes = 64 * 1024 * 1024;

int refuse(const QString &message)
{
    standardError() << QStringLiteral("vorlex-flash: ") << message << Qt::endl;
    return BadInput;
}

int showHistory(const CommandLine &command)
{
    QList<LedgerRow> rows;
    QString error;
    // With a plant database, every station's rows; otherwise this station's own. A source that
    // is not a ledger is bad input (2); one that cannot be reached or read, 1.
    if (!command.options.plantDb.isEmpty()) {
        PlantDatabase plant;
        if (!plant.open(command.options.plantDb, command.options.station, &error, PlantDatabase::Access::ReadOnly)) {
            standardError() << QStringLiteral("vorlex-flash: база завода: ") << quotedForMessage(error, 1000) << Qt::endl;
            return plant.reached() ? BadInput : SomeFailed;
        }
        if (!plant.history(command.filter, &rows, &error)) {
            standardError() << QStringLiteral("vorlex-flash: база завода: ") << quotedForMessage(error, 1000) << Qt::endl;
            return SomeFailed;
        }
    } else {
        Ledger ledger;
        if (!ledger.open(command.options.recordsFile, &error, Ledger::Access::ReadOnly) || !ledger.history(command.filter, &rows, &error))
            return refuse(QStringLiteral("журнал %1: %2").arg(quotedForMessage(command.options.recordsFile, PathInMessage), error));
        // An attempt without its end: under way while its flasher lives, unfinished once it is gone.
        for (LedgerRow &row : rows)
            if (row.kind == QLatin1String("start") && Recorder::writerLiveness(row) == platform::Liveness::Dead)
                row.outcome = QStringLiteral("unfinished");
    }
    standardOutput() << formatHistory(rows, command.format) << Qt::flush;
    return AllUpdated;
}

// Restores of the ledger on record: each named, and whether an engineer has acknowledged it.
// True when every one has been.
bool sayRestores(Ledger &ledger, const QString &file, QString *error, bool *ok)
{
    QList<LedgerRestore> restores;
    if (!ledger.restores(&restores, error))
        return false;
    *ok = true;
    for (const LedgerRestore &restore : qAsConst(restores)) {
        const QString what = QStringLiteral("журнал %1: восстановлен из копии (найдено %2): строки %3-%4 с id %5 есть только в базе завода, "
                                            "дальше журнал пишет под id %6")
                                 .arg(file, restore.found.toString(Qt::ISODate)).arg(restore.keptRow + 1).arg(restore.plantRow).arg(restore.before, restore.after);
        if (restore.acknowledged.isValid()) {
            standardOutput() << what << QStringLiteral("; подтверждено: %1, %2").arg(quotedForMessage(restore.acknowledgedBy), restore.acknowledged.toString(Qt::ISODate)) << Qt::endl;
        } else {
            standardOutput() << what << QStringLiteral("; не подтверждено: разберитесь и подтвердите (vorlex-flash --acknowledge-restore)") << Qt::endl;
            *ok = false;
        }
    }
    return true;
}

int acknowledgeRestores(const CommandLine &command, Ledger &ledger)
{
    int count = 0;
    QString error;
    const QString file = quotedForMessage(command.options.recordsFile, PathInMessage);
    const QString engineer = command.options.operatorName.isEmpty() ? platform::loginName() : command.options.operatorName;
    if (!ledger.acknowledgeRestores(engineer, &count, &error))
        return refuse(QStringLiteral("журнал %1: %2").arg(file, error));
    standardOutput() << QStringLiteral("журнал %1: подтверждено восстановлений из копии: %2 (%3)").arg(file).arg(count).arg(engineer)
                     << Qt::endl;
    return AllUpdated;
}

} // namespace

int runRecordsCommand(const CommandLine &command)
{
    if (command.action == CommandLine::Action::History)
        return showHistory(command);
    Ledger ledger;
    QString error;
    const QString &file = command.options.recordsFile;
    const QString shown = quotedForMessage(file, PathInMessage);
    const bool verify = command.action == CommandLine::Action::VerifyRecords;
    // Verifying reads; a sync writes (a restore it finds), and so does an acknowledgement.
    if (!ledger.open(file, &error, verify ? Ledger::Access::ReadOnly : Ledger::Access::Write))
        return refuse(QStringLiteral("журнал %1: %2").arg(shown, error));
    if (command.action == CommandLine::Action::AcknowledgeRestore)
        return acknowledgeRestores(command, ledger);
    if (!verify) {
        PlantDatabase plant;
        PlantCopy copy;
        const bool opened = plant.open(command.options.plantDb, command.options.station, &error);
        const bool copied = opened && plant.copyFrom(ledger, &copy, &error);
        for (const QString &restore : qAsConst(copy.restores))
            standardError() << QStringLiteral("vorlex-flash: журнал %1: %2").arg(shown, restore) << Qt::endl;
        if (!copied) {
            standardError() << QStringLiteral("vorlex-flash: база завода: ") << quotedForMessage(error, 1000) << Qt::endl;
            return SomeFailed;
        }
        standardOutput() << QStringLiteral("журнал %1: отправлено в базу завода строк: %2").arg(shown).arg(copy.copied) << Qt::endl;
        return AllUpdated;
    }
    qint64 rows = 0;
    QString problem;
    if (!ledger.verify(&rows, &problem, &error)) {
        if (!error.isEmpty())
            return refuse(QStringLiteral("журнал %1: %2").arg(shown, error));
        standardOutput() << QStringLiteral("журнал %1: цепочка нарушена: %2").arg(shown, quotedForMessage(problem, 1000)) << Qt::endl;
        return SomeFailed;
    }
    QStringList identities;
    if (!ledger.identities(&identities, &error))
        return refuse(QStringLiteral("журнал %1: %2").arg(shown, error));
    // The heads the reports saw: a ledger cut back, or rewritten with its own head, no longer
    // holds them.
    for (const QString &report : command.reports) {
        QFile reportFile(report);
        const QString path = quotedForMessage(report, PathInMessage);
        if (!reportFile.open(QIODevice::ReadOnly))
            return refuse(QStringLiteral("отчёт %1 не открывается: %2").arg(path, reportFile.errorString()));
        const QJsonObject seen = QJsonDocument::fromJson(reportFile.read(MaxReportBytes)).object()[QLatin1String("ledger")].toObject();
        if (seen.isEmpty())
            return refuse(QStringLiteral("отчёт %1 не называет журнал (нет поля ledger: партия шла без журнала, или это не отчёт)").arg(path));
        // A report of a batch before a restore names the ledger's former identity.
        if (!identities.contains(seen[QLatin1String("id")].toString()))
            return refuse(QStringLiteral("отчёт %1 - о другом журнале (%2), а у %3 id %4")
                              .arg(path, seen[QLatin1String("id")].toString(), file, identities.constLast()));
        const LedgerHead head{QString(), qint64(seen[QLatin1String("rows")].toDouble()), qint64(seen[QLatin1String("lastRow")].toDouble()),
                              seen[QLatin1String("hash")].toString()};
        if (!ledger.holds(head, &problem, &error)) {
            if (!error.isEmpty())
                return refuse(QStringLiteral("журнал %1: %2").arg(shown, error));
            standardOutput() << QStringLiteral("журнал %1: не держит конец цепочки, который видел отчёт %2: %3").arg(shown, path, quotedForMessage(problem, 1000)) << Qt::endl;
            return SomeFailed;
        }
    }
    bool acknowledged = true;
    if (!sayRestores(ledger, shown, &error, &acknowledged))
        return refuse(QStringLiteral("журнал %1: %2").arg(shown, error));
    int code = acknowledged ? AllUpdated : SomeFailed;
    PlantComparison comparison;
    if (!command.options.plantDb.isEmpty()) {
        // Rows forged by whoever holds the station's file are caught here, against the copy the
        // station cannot rewrite.
        PlantDatabase plant;
        if (!plant.open(command.options.plantDb, command.options.station, &error, PlantDatabase::Access::ReadOnly)
            || !plant.compare(ledger, &comparison, &error)) {
            standardError() << QStringLiteral("vorlex-flash: база завода: ") << quotedForMessage(error, 1000) << Qt::endl;
            return plant.reached() && !plant.isOpen() ? BadInput : SomeFailed;
        }
        for (const QString &named : qAsConst(comparison.named))
            standardOutput() << QStringLiteral("журнал %1: не сходится с базой завода: %2").arg(shown, quotedForMessage(named, 1000)) << Qt::endl;
        if (comparison.problems > comparison.named.size())
            standardOutput() << QStringLiteral("журнал %1: и ещё расхождений с базой завода: %2").arg(shown).arg(comparison.problems - comparison.named.size()) << Qt::endl;
        if (comparison.problems > 0)
            code = SomeFailed;
    }
    standardOutput() << QStringLiteral("журнал %1: цепочка цела, строк: %2").arg(shown).arg(rows);
    if (!command.reports.isEmpty())
        standardOutput() << QStringLiteral("; сходится с отчётами: %1").arg(command.reports.size());
    if (!command.options.plantDb.isEmpty())
        standardOutput() << QStringLiteral("; с базой завода: совпало строк %1, ещё не скопировано %2, расхождений %3, "
                                           "только в базе завода после восстановления из копии %4")
                                .arg(comparison.compared).arg(comparison.notCopied).arg(comparison.problems).arg(comparison.lostInRestores);
    standardOutput() << Qt::endl;
    return code;
}
