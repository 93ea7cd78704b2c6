// vorlex-flash: updates devices from the command line, for production lines and service
// teams, with the same worker, status codes and messages as the window.

#include "commandline.h"
#include "console.h"
#include "consoleview.h"
#include "firmwareimage.h"
#include "plantdatabase.h"
#include "recordcommands.h"
#include "recorder.h"
#include "platform.h"
#include "portlist.h"
#include "reportwriter.h"
#include "scheduler.h"
#include "transcript.h"
#include "textescape.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QLibraryInfo>
#include <QLocale>
#include <QSysInfo>
#include <QTranslator>
#include <QUuid>

#include <cstdio>
#include <cstdlib>

namespace {

int usageError(const QString &message)
{
    standardError() << QStringLiteral("vorlex-flash: ") << message << Qt::endl
                    << QStringLiteral("vorlex-flash --help: как пользоваться") << Qt::endl;
    return BadInput;
}

// Qt's own texts (usage, "Unknown option" and the like) in Russian, as Qt ships them.
void loadQtTranslation(QCoreApplication &app)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
#else
    const QString folder = QLibraryInfo::location(QLibraryInfo::TranslationsPath);
#endif
    auto *translator = new QTranslator(&app);
    if (translator->load(QLocale(QLocale::Russian, QLocale::Russia), QStringLiteral("qtbase"), QStringLiteral("_"), folder))
        QCoreApplication::installTranslator(translator);
}

// A batch's id: when it began, and enough randomness to tell two begun the same second apart.
QString newBatchId()
{
    return QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-HHmmss-"))
         + QUuid::createUuid().toString(QUuid::WithoutBraces).left(8);
}

// Standard output written to its last byte, or the exit code says it was not: a history sent
// into a file on a full disk is as incomplete as a report would be. A signal's code stands.
int withOutputChecked(int code)
{
    const int failure = standardOutputFailure();
    if (failure == 0)
        return code;
    standardError() << QStringLiteral("vorlex-flash: стандартный вывод записан не целиком: ") << platform::writeFailure(failure) << Qt::endl;
    return withOutputFailure(code);
}

// The records keep a device's last attempt as it ended, or, for a device never started, why.
Recorder::Attempt recordedAttempt(const DeviceRecord &device)
{
    Recorder::Attempt attempt;
    attempt.link = device.link;
    attempt.device = device.device;
    if (device.outcome == DeviceRecord::Outcome::NotStarted) {
        attempt.outcome = outcomeName(device.outcome);
        attempt.message = device.message;
        return attempt;
    }
    const DeviceRecord::Attempt &last = device.attempts.constLast();
    attempt.number = int(device.attempts.size());
    attempt.outcome = outcomeName(last.outcome);
    attempt.status = last.run.lastStatus != 0 ? QVariant(last.run.lastStatus) : QVariant();
    attempt.message = last.message;
    attempt.bytesAcknowledged = last.run.bytesAcknowledged;
    attempt.retransmissions = last.run.retransmissions;
    attempt.start = last.run.start;
    attempt.end = last.run.end;
    return attempt;
}

} // namespace

int main(int argc, char *argv[])
{
    platform::prepareConsole();
    // The worker's debug lines reach the transcript through its trace signal; the debug log
    // itself stays off, where formatting them costs nothing, and no debug line reaches stderr
    // unless QT_LOGGING_RULES asks for it (its rules come after these and win).
    const QByteArray rules = qgetenv("QT_LOGGING_RULES");
    qputenv("QT_LOGGING_RULES", rules.isEmpty() ? QByteArray("*.debug=false") : "*.debug=false;" + rules);
    // Qt's own event dispatcher makes fewer system calls per block than GLib's, and a
    // command-line tool has no desktop main loop to share.
    if (qEnvironmentVariableIsEmpty("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vorlex-flash"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VORLEX_VERSION));
    loadQtTranslation(app);

    const CommandLine command = parseCommandLine(app.arguments());
    switch (command.action) {
    case CommandLine::Action::Refused:
        return usageError(command.text);
    case CommandLine::Action::Help:
        // showHelp() would encode the Russian text in the locale's codec under Qt 5.
        standardOutput() << command.text;
        return withOutputChecked(AllUpdated);
    case CommandLine::Action::ListPorts:
        listPorts(command.json);
        return withOutputChecked(AllUpdated);
    case CommandLine::Action::History:
    case CommandLine::Action::VerifyRecords:
    case CommandLine::Action::SyncRecords:
    case CommandLine::Action::AcknowledgeRestore:
        return withOutputChecked(runRecordsCommand(command));
    case CommandLine::Action::Run:
        break;
    }
    FlashOptions options = command.options;

    FirmwareImage image;
    QString error;
    if (!loadFirmwareImage(options.file, &image, &error))
        return usageError(error);
    if (!options.expectedSha256.isEmpty() && options.expectedSha256 != image.sha256)
        return usageError(QStringLiteral("SHA-256 файла %1: %2, а ожидался %3").arg(quotedForMessage(options.file, PathInMessage), image.sha256, options.expectedSha256));
    if (!options.rerunReport.isEmpty() && options.rerunSha256 != image.sha256)
        return usageError(QStringLiteral("файл %1 (SHA-256 %2) - не тот образ, что в отчёте %3 (SHA-256 %4)")
                              .arg(quotedForMessage(options.file, PathInMessage), image.sha256, quotedForMessage(options.rerunReport, PathInMessage), options.rerunSha256));
    const QString problem = checkLinks(options, image.bytes.size());
    if (!problem.isEmpty())
        return usageError(problem);

    Transcript transcript;
    if (!options.logFile.isEmpty() && !transcript.open(options.logFile, &error))
        return usageError(QStringLiteral("протокол %1 не открывается: %2").arg(quotedForMessage(options.logFile, PathInMessage), error));

    platform::SignalWatcher watcher;
    if (!watcher.install())
        return usageError(QStringLiteral("не удалось подготовить обработку Ctrl-C"));

    BatchReport report;
    report.station = options.station.isEmpty() ? QSysInfo::machineHostName() : options.station;
    report.operatorName = options.operatorName.isEmpty() ? platform::loginName() : options.operatorName;
    // The ledger is checked before any link opens; the plant database may be away.
    Recorder recorder;
    QObject::connect(&recorder, &Recorder::warning, &recorder, [](const QString &text) {
        standardError() << QStringLiteral("vorlex-flash: ") << text << Qt::endl;
    });
    report.batch = newBatchId();
    report.label = options.label;
    report.rerunOf = options.rerunBatch;
    if (!recorder.open(options.recordsFile, options.plantDb, {report.batch, options.label, report.station, report.operatorName, {image.absolutePath, image.bytes.size(), image.sha256}}, &error))
        return usageError(error);
    // The command line as the report keeps it: a password in a database URL is not written down.
    for (const QString &argument : app.arguments())
        report.commandLine << PlantDatabase::masked(argument);
    report.image = image;
    report.start = QDateTime::currentDateTimeUtc();

    Scheduler scheduler(options, image);
    const platform::TerminalSize terminal = platform::standardOutputIsTerminal() ? platform::terminalSize() : platform::TerminalSize{};
    ConsoleView view(&scheduler, options.quiet, platform::standardOutputIsTerminal() ? qMax(terminal.columns, 20) : 0, terminal.rows);
    QObject::connect(&scheduler, &Scheduler::note, &transcript, &Transcript::line, Qt::DirectConnection);
    for (const auto &queue : scheduler.queues())
        transcript.attach(queue.get());
    // Each attempt goes into the ledger as it ends: a crash loses at most the one under way.
    QObject::disconnect(&recorder, &Recorder::warning, nullptr, nullptr);
    QObject::connect(&recorder, &Recorder::warning, &view, &ConsoleView::warn);
    QObject::connect(&recorder, &Recorder::note, &transcript, &Transcript::line);
    QObject::connect(&transcript, &Transcript::writeFailed, &view, [&view, &options](const QString &why) {
        view.warn(QStringLiteral("протокол %1 неполон: строка не записалась (%2); работа продолжается, протокол больше не пишется")
                      .arg(quotedForMessage(options.logFile, PathInMessage), why));
    }, Qt::QueuedConnection);
    // The transcript says which batch its lines belong to, as the report and the ledger name it.
    // One pass of arg() each, so that a % in a label stays as typed.
    transcript.line(QStringLiteral("batch %1 starts: label \"%2\", station %3, operator %4, %5 %6")
                        .arg(report.batch, options.label, report.station, report.operatorName, QCoreApplication::applicationName(),
                             QCoreApplication::applicationVersion())
                    + QStringLiteral(", image %1 (%2 bytes, SHA-256 %3)%4")
                          .arg(quotedForMessage(image.absolutePath, PathInMessage), QString::number(image.bytes.size()), image.sha256,
                               options.rerunBatch.isEmpty() ? QString() : QStringLiteral(", re-running batch ") + options.rerunBatch));
    scheduler.setPlant(recorder.plant());
    scheduler.setAttemptGate([&recorder](const QString &link, int device, int attempt, QString *why) {
        return recorder.recordStart(link, device, attempt, why);
    });
    for (const auto &queue : scheduler.queues())
        QObject::connect(queue.get(), &LinkQueue::attemptOver, &recorder, [&recorder](const DeviceRecord &record) { recorder.record(recordedAttempt(record)); });
    // The first signal, whenever it comes: one after the last device, while the last rows go to
    // the plant database, decides the exit code as any other does.
    int stopSignal = 0;
    QObject::connect(&watcher, &platform::SignalWatcher::signalled, &scheduler, [&scheduler, &recorder, &stopSignal](int signalNumber) {
        if (stopSignal == 0)
            stopSignal = signalNumber;
        // The batch may be over and waiting for the plant database: it waits no longer.
        recorder.cutShort();
        if (signalNumber == platform::SignalWatcher::Interrupt)
            scheduler.interrupt();
        else
            scheduler.terminate(signalNumber);
    });
    QObject::connect(&watcher, &platform::SignalWatcher::resized, &view, [&view] {
        const platform::TerminalSize size = platform::terminalSize();
        view.setSize(size.columns, size.rows);
    });

    QObject::connect(&scheduler, &Scheduler::finished, &app, [&](const QList<DeviceRecord> &records) {
        view.finish(records);
        BatchEnd end;
        end.allUpdated = true;
        for (const DeviceRecord &record : records)
            end.allUpdated = end.allUpdated && record.outcome == DeviceRecord::Outcome::Updated;
        end.interrupted = scheduler.interrupted();
        end.signalNumber = scheduler.signalNumber();
        for (const DeviceRecord &record : records)
            if (record.outcome == DeviceRecord::Outcome::NotStarted)
                recorder.recordNotStarted(recordedAttempt(record));
        recorder.finish(scheduler.interrupted() || stopSignal != 0, [&, records, end]() mutable {
            const bool stopped = scheduler.interrupted() || stopSignal != 0;
            if (!scheduler.interrupted() && stopSignal != 0) {
                end.lateSignal = stopSignal;
                transcript.line(QStringLiteral("signal %1 after the last device: the last plant copy not awaited").arg(stopSignal));
            }
            if (recorder.ledgerHead(&report.ledgerId, &report.ledgerHead))
                transcript.line(QStringLiteral("ledger %1 ends at row %2 of %3 rows, hash %4")
                                    .arg(report.ledgerId).arg(report.ledgerHead.lastRow).arg(report.ledgerHead.rows).arg(report.ledgerHead.hash));
            end.recordsLost = recorder.recordsLost();
            end.outputFailed = transcript.failed();
            int code = batchExitCode(end);
            if (!options.reportFile.isEmpty()) {
                report.end = QDateTime::currentDateTimeUtc();
                report.interrupted = stopped;
                report.devices = records;
                // The report states the code it would end with; a failed write changes only the
                // process's own exit code.
                report.exitCode = code;
                if (recorder.plant()) {
                    const PlantLink::Outcome plant = recorder.plant()->outcome();
                    report.plantState = plant.state;
                    report.plantCause = plant.cause;
                }
                // The path is looked at again as it now resolves: made a link to the image or the
                // ledger during the batch, it would have the report written over them.
                QString why = findBatchFileClash(options, QStringLiteral("--report"));
                if (!why.isEmpty() || !writeReport(options.reportFile, report, &why)) {
                    view.warn(QStringLiteral("отчёт %1 не записан: %2").arg(quotedForMessage(options.reportFile, PathInMessage), why));
                    transcript.line(QStringLiteral("report %1 not written: %2").arg(quotedForMessage(options.reportFile, PathInMessage), why));
                    end.outputFailed = true;
                    code = batchExitCode(end);
                }
            }
            QCoreApplication::exit(code);
        });
    }, Qt::QueuedConnection);
    scheduler.start();
    const int code = withOutputChecked(app.exec());
    // A thread still held by a frozen plant server would be torn down under Qt's global
    // destructors: with every output written, the process ends without them.
    recorder.closePlant();
    if (PlantLink::abandoned()) {
        standardOutput().flush();
        standardError().flush();
        std::fflush(nullptr);
        std::_Exit(code);
    }
    return code;
}
