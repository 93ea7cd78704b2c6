#include "recordcommands.h"

#include "console.h"
#include "historyview.h"
#include "ledger.h"
#include "plantdatabase.h"
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
            standardError() << QStringLiteral("vorlex-flash: база завода: ") << error << Qt::endl;
            return plant.reached() ? BadInput : SomeFailed;
        }
        if (!plant.history(command.filter, &rows, &error)) {
            standardError() << QStringLiteral("vorlex-flash: база завода: ") << error << Qt::endl;
            return SomeFailed;
        }
    } else {
        Ledger ledger;
        if (!ledger.open(command.options.recordsFile, &error, Ledger::Access::ReadOnly) || !ledger.history(command.filter, &rows, &error))
            return refuse(QStringLiteral("журнал %1: %2").arg(command.options.recordsFile, error));
        // An attempt without its end: under way while its flasher lives, unfinished once it is gone.
        for (LedgerRow &row : rows)
            if (row.kind == QLatin1String("start") && !Recorder::batchAlive(row.batch))
                row.outcome = QStringLiteral("unfinished");
    }
    standardOutput() << formatHistory(rows, command.format) << Qt::flush;
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
    const bool sync = command.action == CommandLine::Action::SyncRecords;
    // Verifying reads; only a sync writes (which rows the plant has).
    if (!ledger.open(file, &error, sync ? Ledger::Access::Write : Ledger::Access::ReadOnly))
        return refuse(QStringLiteral("журнал %1: %2").arg(file, error));
    if (sync) {
        PlantDatabase plant;
        int copied = 0;
        if (!plant.open(command.options.plantDb, command.options.station, &error) || !plant.copyFrom(ledger, &copied, &error)) {
            standardError() << QStringLiteral("vorlex-flash: база завода: ") << error << Qt::endl;
            return SomeFailed;
        }
        standardOutput() << QStringLiteral("журнал %1: отправлено в базу завода строк: %2").arg(file).arg(copied) << Qt::endl;
        return AllUpdated;
    }
    qint64 rows = 0;
    QString problem;
    if (!ledger.verify(&rows, &problem, &error)) {
        if (!error.isEmpty())
            return refuse(QStringLiteral("журнал %1: %2").arg(file, error));
        standardOutput() << QStringLiteral("журнал %1: цепочка нарушена: %2").arg(file, problem) << Qt::endl;
        return SomeFailed;
    }
    // The heads the reports saw: a ledger cut back, or rewritten with its own head, no longer
    // holds them.
    for (const QString &path : command.reports) {
        QFile reportFile(path);
        if (!reportFile.open(QIODevice::ReadOnly))
            return refuse(QStringLiteral("отчёт %1 не открывается: %2").arg(path, reportFile.errorString()));
        const QJsonObject seen = QJsonDocument::fromJson(reportFile.read(MaxReportBytes)).object()[QLatin1String("ledger")].toObject();
        if (seen.isEmpty())
            return refuse(QStringLiteral("отчёт %1 не называет журнал (нет поля ledger: партия шла без журнала, или это не отчёт)").arg(path));
        if (seen[QLatin1String("id")].toString() != ledger.id())
            return refuse(QStringLiteral("отчёт %1 - о другом журнале (%2), а у %3 id %4")
                              .arg(path, seen[QLatin1String("id")].toString(), file, ledger.id()));
        const LedgerHead head{qint64(seen[QLatin1String("rows")].toDouble()), qint64(seen[QLatin1String("lastRow")].toDouble()),
                              seen[QLatin1String("hash")].toString()};
        if (!ledger.holds(head, &problem, &error)) {
            if (!error.isEmpty())
                return refuse(QStringLiteral("журнал %1: %2").arg(file, error));
            standardOutput() << QStringLiteral("журнал %1: не держит конец цепочки, который видел отчёт %2: %3").arg(file, path, problem) << Qt::endl;
            return SomeFailed;
        }
    }
    standardOutput() << QStringLiteral("журнал %1: цепочка цела, строк: %2").arg(file).arg(rows);
    if (!command.reports.isEmpty())
        standardOutput() << QStringLiteral("; сходится с отчётами: %1").arg(command.reports.size());
    standardOutput() << Qt::endl;
    return AllUpdated;
}
