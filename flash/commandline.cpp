#include "commandline.h"

#include "fileclash.h"
#include "helptext.h"
#include "planfile.h"
#include "recordsarguments.h"
#include "plantdatabase.h"
#include "reportwriter.h"
#include "rerunplan.h"
#include "serialports.h"
#include "textescape.h"

#include <QCommandLineParser>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

CommandLine refused(const QString &why)
{
    CommandLine command;
    command.text = why;
    return command;
}

CommandLine parseCommandLine(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(helpDescription());
    parser.addHelpOption();
    parser.addVersionOption();
    const QList<QCommandLineOption> valued{
        {QStringLiteral("serial"), QStringLiteral("COM порт прибора (19200 бод, 8N1)."), QStringLiteral("port")},
        {QStringLiteral("eth"), QStringLiteral("Адрес шкафа: ADDRESS или ADDRESS:PORT, [IPv6]:PORT."), QStringLiteral("address")},
        {QStringLiteral("device"), QStringLiteral("Номера приборов: N, N,M,... или A-B (0..255), каждый один раз; с --history - один номер."), QStringLiteral("list")},
        {QStringLiteral("plan"), QStringLiteral("План связей: строка на связь, \"eth ADDRESS[:PORT] DEVICES\" или \"serial PORT DEVICES\"; связи обновляются параллельно."), QStringLiteral("file")},
        {QStringLiteral("jobs"), QStringLiteral("Сколько связей обновлять одновременно, от 1 до 100000 (по умолчанию все)."), QStringLiteral("n")},
        {QStringLiteral("report"), QStringLiteral("Записать отчёт JSON по каждому прибору в файл, когда работа закончится."), QStringLiteral("file")},
        {QStringLiteral("log"), QStringLiteral("Дописывать протокол (с отметками времени UTC) в файл."), QStringLiteral("file")},
        {QStringLiteral("answer-timeout"), QStringLiteral("Сколько секунд ждать ответа прибора (по умолчанию 30)."), QStringLiteral("seconds")},
        {QStringLiteral("expect-sha256"), QStringLiteral("Отказаться от файла прошивки, если его SHA-256 не такой."), QStringLiteral("hex")},
        {QStringLiteral("retries"), QStringLiteral("Сколько раз ещё пробовать прибор, который не удалось обновить, от 0 до 10 (по умолчанию 2)."), QStringLiteral("n")},
        {QStringLiteral("records"), QStringLiteral("Журнал попыток станции (SQLite); none - без журнала в этот раз. По умолчанию в папке данных пользователя."), QStringLiteral("file")},
        {QStringLiteral("label"), QStringLiteral("Метка партии в журнале, например номер заказа; с --history - отбор по ней."), QStringLiteral("text")},
        {QStringLiteral("station"), QStringLiteral("Имя станции в журнале (по умолчанию имя компьютера)."), QStringLiteral("name")},
        {QStringLiteral("operator"), QStringLiteral("Имя оператора в журнале и отчёте (по умолчанию имя пользователя в системе)."), QStringLiteral("name")},
        {QStringLiteral("plant-db"), QStringLiteral("База завода: postgresql://USER@HOST[:PORT]/DATABASE (или переменная VORLEX_PLANT_DB); с --history - журнал всех станций."), QStringLiteral("url")},
        {QStringLiteral("since"), QStringLiteral("С --history: попытки с этого дня (ГГГГ-ММ-ДД) или времени (ISO 8601, UTC)."), QStringLiteral("date")},
        {QStringLiteral("until"), QStringLiteral("С --history: попытки по этот день включительно или до этого времени."), QStringLiteral("date")},
        {QStringLiteral("link"), QStringLiteral("С --history: только эта связь, как её называет отчёт (127.0.0.1:4040, /dev/ttyUSB0)."), QStringLiteral("link")},
        {QStringLiteral("outcome"), QStringLiteral("С --history: только этот итог (updated, failed, no answer, interrupted, not started, unfinished, in progress - как их показывает история; not-updated - все, кроме updated)."), QStringLiteral("outcome")},
        {QStringLiteral("batch"), QStringLiteral("С --history: только эта партия."), QStringLiteral("id")},
        {QStringLiteral("rerun-failed"), QStringLiteral("Обновить заново приборы, которые по отчёту --report не обновлены, на тех же связях; файл прошивки - тот же."), QStringLiteral("report")},
    };
    parser.addOptions(valued);
    parser.addOptions({
        {QStringLiteral("keep-going"), QStringLiteral("Продолжать после прибора, который не удалось обновить.")},
        {QStringLiteral("quiet"), QStringLiteral("Печатать только итог по каждому прибору, без итоговой таблицы.")},
        {QStringLiteral("list-ports"), QStringLiteral("Показать COM порты системы (описание, производитель, серийный номер, USB VID:PID) и выйти.")},
        {QStringLiteral("json"), QStringLiteral("С --list-ports или --history: то же в виде JSON, для скриптов.")},
        {QStringLiteral("history"), QStringLiteral("Показать журнал попыток станции, старые сверху, и выйти. Журнал только читается: хватает права на чтение файла и папки.")},
        {QStringLiteral("csv"), QStringLiteral("С --history: в виде CSV с заголовком.")},
        {QStringLiteral("latest"), QStringLiteral("С --history: только последняя попытка каждого прибора (связь и номер).")},
        {QStringLiteral("sync-records"), QStringLiteral("Отправить в базу завода (--plant-db) строки журнала, которые туда ещё не попали, и выйти.")},
        {QStringLiteral("verify-records"), QStringLiteral("Проверить цепочку хешей журнала (и что он держит концы цепочки из данных отчётов --report; с --plant-db - что он сходится с базой завода строка в строку) и выйти: 0 - цел, 1 - названо, что не так.")},
        {QStringLiteral("acknowledge-restore"), QStringLiteral("Записать в журнал, что его восстановление из копии разобрано (кем: --operator), и выйти.")},
    });
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("Файл прошивки: двоичный образ (.bin)."));
    if (!parser.parse(arguments))
        return refused(parser.errorText());

    CommandLine command;
    if (parser.isSet(QStringLiteral("help")) || parser.optionNames().contains(QStringLiteral("help-all"))) {
        command.action = CommandLine::Action::Help;
        command.text = parser.helpText();
        return command;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        command.action = CommandLine::Action::Help;
        command.text = QStringLiteral("vorlex-flash %1\n").arg(QStringLiteral(VORLEX_VERSION));
        return command;
    }
    // The last of two values would win without a word: the operator meant one of them.
    for (const QCommandLineOption &option : valued) {
        const QString name = option.names().constFirst();
        if (parser.values(name).size() > 1)
            return refused(QStringLiteral("--%1 указан %2 раза: укажите один").arg(name).arg(parser.values(name).size()));
    }
    if (parser.isSet(QStringLiteral("list-ports"))) {
        const QStringList others = parser.optionNames().filter(QRegularExpression(QStringLiteral("^(?!list-ports$|json$)")));
        if (!others.isEmpty() || !parser.positionalArguments().isEmpty())
            return refused(QStringLiteral("--list-ports только сам по себе (и с --json)"));
        command.action = CommandLine::Action::ListPorts;
        command.json = parser.isSet(QStringLiteral("json"));
        return command;
    }
    command.options.recordsFile = parser.isSet(QStringLiteral("records")) ? parser.value(QStringLiteral("records")) : Ledger::defaultPath();
    if (command.options.recordsFile == QLatin1String("none"))
        command.options.recordsFile.clear();
    const QStringList historyOnly{QStringLiteral("since"), QStringLiteral("until"), QStringLiteral("link"), QStringLiteral("outcome"),
                                  QStringLiteral("batch"), QStringLiteral("csv"), QStringLiteral("latest")};
    command.options.plantDb = parser.isSet(QStringLiteral("plant-db")) ? parser.value(QStringLiteral("plant-db")) : qEnvironmentVariable("VORLEX_PLANT_DB");
    if (!command.options.plantDb.isEmpty()) {
        const QString problem = PlantDatabase::checkUrl(command.options.plantDb);
        if (!problem.isEmpty())
            return refused(problem);
    }
    if (parser.isSet(QStringLiteral("history")) || parser.isSet(QStringLiteral("verify-records")) || parser.isSet(QStringLiteral("sync-records"))
        || parser.isSet(QStringLiteral("acknowledge-restore")))
        return parseRecordsCommand(parser, command);
    for (const QString &name : historyOnly)
        if (parser.isSet(name))
            return refused(QStringLiteral("--%1 только вместе с --history").arg(name));
    if (parser.isSet(QStringLiteral("json")))
        return refused(QStringLiteral("--json только вместе с --list-ports или --history"));

    FlashOptions &options = command.options;
    const bool serial = parser.isSet(QStringLiteral("serial"));
    const bool eth = parser.isSet(QStringLiteral("eth"));
    const bool plan = parser.isSet(QStringLiteral("plan"));
    const bool rerun = parser.isSet(QStringLiteral("rerun-failed"));
    if (rerun && (serial || eth || plan || parser.isSet(QStringLiteral("device"))))
        return refused(QStringLiteral("--rerun-failed берёт связи и приборы из отчёта: без --plan, --eth, --serial и --device"));
    if (int(serial) + int(eth) + int(plan) + int(rerun) != 1)
        return refused(QStringLiteral("укажите ровно одну связь: --serial PORT или --eth ADDRESS[:PORT], или план связей --plan FILE"));
    QList<LinkPlan> links;
    if (rerun) {
        options.rerunReport = parser.value(QStringLiteral("rerun-failed"));
        const QString problem = readRerunPlan(options.rerunReport, &links, &options.rerunSha256, &options.rerunBatch);
        if (!problem.isEmpty())
            return refused(problem);
    } else if (plan) {
        if (parser.isSet(QStringLiteral("device")))
            return refused(QStringLiteral("с --plan номера приборов задаёт план, а не --device"));
        options.planFile = parser.value(QStringLiteral("plan"));
        const QString problem = readPlan(options.planFile, &links);
        if (!problem.isEmpty())
            return refused(problem);
    } else {
        LinkPlan link;
        if (serial) {
            link.serialPort = parser.value(QStringLiteral("serial"));
        } else {
            link.kind = RunSettings::Link::Ethernet;
            QString error;
            if (!parseEthTarget(parser.value(QStringLiteral("eth")), &link.address, &link.port, &error))
                return refused(error);
        }
        if (!parser.isSet(QStringLiteral("device")))
            return refused(QStringLiteral("укажите номера приборов: --device N, --device 2,3,7 или --device 2-9"));
        if (!parseDeviceList(parser.value(QStringLiteral("device")), &link.devices))
            return refused(QStringLiteral("неверный номер прибора \"%1\": допустимы целые числа от 0 до 255, списком (2,3,7) или диапазоном (2-9)")
                               .arg(quotedForMessage(parser.value(QStringLiteral("device")))));
        links << link;
    }
    QString error;
    if (!joinSameLinks(links, &options.links, &error))
        return refused(error);
    for (const LinkPlan &link : qAsConst(options.links)) {
        if (link.kind != RunSettings::Link::Serial)
            continue;
        const QString problem = checkSerialPort(link.serialPort);
        if (!problem.isEmpty())
            return refused(problem);
    }
    const auto readCount = [&](const QString &name, int low, int high, int *value) {
        if (!parser.isSet(name))
            return true;
        bool ok = false;
        *value = parser.value(name).toInt(&ok);
        return ok && *value >= low && *value <= high;
    };
    if (!readCount(QStringLiteral("answer-timeout"), 1, 86400, &options.answerTimeoutSeconds))
        return refused(QStringLiteral("--answer-timeout: целое число секунд, от 1 до 86400"));
    if (!readCount(QStringLiteral("jobs"), 1, 100000, &options.jobs))
        return refused(QStringLiteral("--jobs: целое число связей, от 1 до 100000, а не \"%1\"").arg(quotedForMessage(parser.value(QStringLiteral("jobs")))));
    if (!readCount(QStringLiteral("retries"), 0, 10, &options.retries))
        return refused(QStringLiteral("--retries: целое число от 0 до 10, а не \"%1\"").arg(quotedForMessage(parser.value(QStringLiteral("retries")))));
    if (parser.isSet(QStringLiteral("expect-sha256"))) {
        options.expectedSha256 = parser.value(QStringLiteral("expect-sha256")).toLower();
        static const QRegularExpression sha256(QStringLiteral("^[0-9a-f]{64}$"));
        if (!sha256.match(options.expectedSha256).hasMatch())
            return refused(QStringLiteral("--expect-sha256: ожидаются 64 шестнадцатеричные цифры, а не \"%1\"")
                               .arg(quotedForMessage(parser.value(QStringLiteral("expect-sha256")))));
    }
    options.reportFile = parser.value(QStringLiteral("report"));
    if (!options.reportFile.isEmpty()) {
        const QString problem = checkReportPlace(options.reportFile);
        if (!problem.isEmpty())
            return refused(problem);
    }
    const QStringList files = parser.positionalArguments();
    if (files.size() != 1)
        return refused(QStringLiteral("укажите один файл прошивки"));
    options.file = files.constFirst();
    options.keepGoing = parser.isSet(QStringLiteral("keep-going"));
    options.quiet = parser.isSet(QStringLiteral("quiet"));
    options.logFile = parser.value(QStringLiteral("log"));
    options.label = parser.value(QStringLiteral("label"));
    options.station = parser.value(QStringLiteral("station"));
    options.operatorName = parser.value(QStringLiteral("operator"));
    for (const char *name : {"label", "station", "operator"}) {
        const QString problem = checkRecordName(QLatin1String(name), parser.value(QLatin1String(name)));
        if (!problem.isEmpty())
            return refused(problem);
    }
    const QString clash = findBatchFileClash(options);
    if (!clash.isEmpty())
        return refused(clash);
    command.action = CommandLine::Action::Run;
    return command;
}

QString findBatchFileClash(const FlashOptions &options, const QString &only)
{
    QList<NamedFile> outputs;
    QList<NamedFile> inputs{{QStringLiteral("файл прошивки"), options.file}, {QStringLiteral("--plan"), options.planFile},
                            {QStringLiteral("--rerun-failed"), options.rerunReport}};
    for (const NamedFile &output : {NamedFile{QStringLiteral("--report"), options.reportFile}, NamedFile{QStringLiteral("--log"), options.logFile},
                                    NamedFile{QStringLiteral("--records"), options.recordsFile}}) {
        if (output.path.isEmpty())
            continue;
        // The other outputs are, to the one checked, files it must not write over.
        if (only.isEmpty() || output.role == only)
            outputs << output;
        else
            inputs << output;
    }
    return findFileClash(outputs, inputs);
}
