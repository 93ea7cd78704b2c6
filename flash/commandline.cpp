#include "commandline.h"

#include "fileclash.h"
#include "plantdatabase.h"
#include "reportwriter.h"
#include "rerunplan.h"
#include "serialports.h"
#include "textescape.h"

#include <QCommandLineParser>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

namespace {

CommandLine refused(const QString &why)
{
    CommandLine command;
    command.text = why;
    return command;
}

QString description()
{
    return QStringLiteral(
        "Обновляет прошивку приборов Ворлекс из командной строки.\n\n"
        "  vorlex-flash --serial PORT --device N FILE\n"
        "  vorlex-flash --eth ADDRESS[:PORT] --device N FILE     (порт шкафа по умолчанию 4040)\n"
        "  vorlex-flash --plan PLAN FILE\n"
        "  vorlex-flash --rerun-failed REPORT FILE                (заново приборы, не обновлённые по отчёту)\n"
        "  vorlex-flash --list-ports [--json]\n"
        "  vorlex-flash --history [ФИЛЬТРЫ] [--csv | --json]      (журнал попыток станции)\n"
        "  vorlex-flash --verify-records [--plant-db URL] [REPORT...]  (проверка журнала: цепочка, отчёты, база завода)\n"
        "  vorlex-flash --sync-records --plant-db URL             (неотправленные строки - в базу завода)\n"
        "  vorlex-flash --acknowledge-restore [--operator NAME]   (восстановление журнала из копии разобрано)\n\n"
        "Несколько приборов: --device 2,3,7 или --device 2-9 обновляет их по очереди.\n"
        "Приборы одной связи обновляются по очереди, разные связи плана - параллельно.\n"
        "Файл прошивки читается один раз, до начала работы: все приборы получают одни и те же байты.\n"
        "Прибор, который не удалось обновить, пробуется заново с новым соединением (--retries).\n"
        "Одну связь ведёт только один vorlex-flash: связь, занятую другим, он не открывает.\n"
        "Блокировки шкафов - файлы в /run/lock (в Windows - %ProgramData%\\vorlex-flash\\locks);\n"
        "переменная VORLEX_FLASH_LOCK_DIR задаёт другую папку (только вместе для всех vorlex-flash).\n"
        "Каждая попытка записывается в журнал станции (SQLite), строки сцеплены хешами;\n"
        "с --plant-db строки копируются и в базу завода (PostgreSQL), а связь блокируется для всех станций.\n"
        "База завода в конце партии: copied (всё скопировано), away (недоступна: строки ждут в журнале)\n"
        "или refused (отказала: пароль, чужая база, схема новее, роль только для чтения); это и причина -\n"
        "в поле plant отчёта --report, код завершения от этого не меняется.\n\n"
        "Коды завершения:\n"
        "  0    все приборы обновлены\n"
        "  1    хотя бы один прибор не обновлён (потеря связи, нет ответа, отказ)\n"
        "  2    неверная командная строка или входные данные (нет файла, файл не двоичный,\n"
        "       недопустимый размер, номер прибора не от 0 до 255 или повторён, неверный адрес\n"
        "       или порт, нет папки для отчёта); ничего не открывалось\n"
        "  3    вывод записан не целиком (отчёт --report, протокол --log или стандартный вывод\n"
        "       любой команды: диск полон, предел размера файла); итог по приборам - на экране\n"
        "  4    строка журнала (--records) не записана; итог по приборам - на экране\n"
        "  130  прервано (Ctrl-C)\n"
        "  143  прервано сигналом SIGTERM (129: SIGHUP, закрыт терминал)\n\n"
        "Ctrl-C останавливает поиск приборов и не начинает новых; начатая запись прошивки\n"
        "продолжается, так как прерванная запись оставляет прибор с неполной прошивкой:\n"
        "её прерывает второе Ctrl-C. SIGTERM и SIGHUP прерывают сразу, как второе Ctrl-C:\n"
        "связь закрывается, протокол дописывается.");
}

QString readPlan(const QString &path, QList<LinkPlan> *links)
{
    QFile file(path);
    const QString shown = quotedForMessage(path, PathInMessage);
    // A pipe is fine (a plan made on the fly); an endless one is cut off by the cap below.
    if (QFileInfo(path).isDir())
        return QStringLiteral("план %1 - это папка, а не файл").arg(shown);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return QStringLiteral("план %1 не открывается: %2").arg(shown, file.errorString());
    // Never more than the cap: the file may grow while it is read.
    const QByteArray text = file.read(MaxPlanBytes + 1);
    if (text.size() > MaxPlanBytes)
        return QStringLiteral("план %1 больше %2 байт: это не план связей").arg(shown).arg(MaxPlanBytes);
    QString error;
    if (!parsePlan(QString::fromUtf8(text), path, links, &error))
        return error;
    if (links->isEmpty())
        return QStringLiteral("%1: в плане нет ни одной связи").arg(shown);
    return QString();
}

// A name that goes into the records and onto screens: no control or formatting characters,
// which could rewrite a terminal's lines or reorder what a reader sees.
QString checkRecordName(const QString &option, const QString &value)
{
    for (const QChar c : value) {
        if (isUnprintable(c))
            return QStringLiteral("--%1: \"%2\" содержит управляющий символ U+%3; допустим только печатный текст")
                .arg(option, quotedForMessage(value)).arg(c.unicode(), 4, 16, QLatin1Char('0'));
    }
    return QString();
}

// "2026-12-07" as that whole day in UTC (until: through its end), or a time in ISO 8601
// ("2026-12-07T18:19:15Z", "...+03:00", "...15.250Z"), UTC unless it names its offset.
bool parseHistoryTime(const QString &text, bool until, QDateTime *time)
{
    // Only the day itself: Qt would read the day off the front of a longer text and drop the time.
    static const QRegularExpression dayOnly(QStringLiteral("^\\d{4}-\\d{2}-\\d{2}$"));
    if (dayOnly.match(text).hasMatch()) {
        const QDate day = QDate::fromString(text, Qt::ISODate);
        if (!day.isValid())
            return false;
        *time = QDateTime(until ? day.addDays(1) : day, QTime(0, 0), Qt::UTC);
        return true;
    }
    QDateTime moment = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!moment.isValid())
        return false;
    if (moment.timeSpec() == Qt::LocalTime)
        moment.setTimeSpec(Qt::UTC);
    *time = moment.toUTC();
    return true;
}

// --history and --verify-records: they read the ledger and open no link.
CommandLine parseRecordsCommand(const QCommandLineParser &parser, CommandLine command)
{
    const bool history = parser.isSet(QStringLiteral("history"));
    const bool sync = parser.isSet(QStringLiteral("sync-records"));
    const bool acknowledge = parser.isSet(QStringLiteral("acknowledge-restore"));
    const QString verb = history ? QStringLiteral("history") : sync ? QStringLiteral("sync-records")
                       : acknowledge ? QStringLiteral("acknowledge-restore") : QStringLiteral("verify-records");
    const QStringList allowed = history ? QStringList{QStringLiteral("history"), QStringLiteral("records"), QStringLiteral("plant-db"), QStringLiteral("since"),
                                                      QStringLiteral("until"), QStringLiteral("device"), QStringLiteral("link"), QStringLiteral("label"),
                                                      QStringLiteral("outcome"), QStringLiteral("batch"), QStringLiteral("csv"), QStringLiteral("json"),
                                                      QStringLiteral("latest")}
                        : acknowledge ? QStringList{verb, QStringLiteral("records"), QStringLiteral("operator")}
                                      : QStringList{verb, QStringLiteral("records"), QStringLiteral("plant-db"), QStringLiteral("station")};
    for (const QString &name : parser.optionNames())
        if (!allowed.contains(name))
            return refused(QStringLiteral("--%1 не вместе с --%2").arg(name, verb));
    const bool verify = !history && !sync && !acknowledge;
    if (!parser.positionalArguments().isEmpty() && !verify)
        return refused(QStringLiteral("--%1 не берёт файл прошивки").arg(verb));
    command.reports = parser.positionalArguments();
    if (command.options.recordsFile.isEmpty() && !(history && !command.options.plantDb.isEmpty()))
        return refused(QStringLiteral("--records none: журнала нет"));
    if (sync && command.options.plantDb.isEmpty())
        return refused(QStringLiteral("--sync-records: не задана база завода (--plant-db URL или VORLEX_PLANT_DB)"));
    command.options.station = parser.value(QStringLiteral("station"));
    command.options.operatorName = parser.value(QStringLiteral("operator"));
    for (const char *name : {"station", "label", "operator"}) {
        const QString problem = checkRecordName(QLatin1String(name), parser.value(QLatin1String(name)));
        if (!problem.isEmpty())
            return refused(problem);
    }
    command.action = history       ? CommandLine::Action::History
                   : sync          ? CommandLine::Action::SyncRecords
                   : acknowledge   ? CommandLine::Action::AcknowledgeRestore
                                   : CommandLine::Action::VerifyRecords;
    if (!history)
        return command;
    LedgerFilter &filter = command.filter;
    const auto value = [&](const char *name) { return parser.value(QLatin1String(name)); };
    if (parser.isSet(QStringLiteral("since")) && !parseHistoryTime(value("since"), false, &filter.since))
        return refused(QStringLiteral("--since: \"%1\" - не дата (ГГГГ-ММ-ДД) и не время ISO 8601").arg(quotedForMessage(value("since"))));
    if (parser.isSet(QStringLiteral("until")) && !parseHistoryTime(value("until"), true, &filter.until))
        return refused(QStringLiteral("--until: \"%1\" - не дата (ГГГГ-ММ-ДД) и не время ISO 8601").arg(quotedForMessage(value("until"))));
    if (filter.since.isValid() && filter.until.isValid() && filter.since >= filter.until)
        return refused(QStringLiteral("--since %1 не раньше --until %2: такой промежуток пуст").arg(quotedForMessage(value("since")), quotedForMessage(value("until"))));
    if (parser.isSet(QStringLiteral("device"))) {
        bool ok = false;
        filter.device = value("device").toInt(&ok);
        if (!ok || filter.device < 0 || filter.device > 255)
            return refused(QStringLiteral("--device: \"%1\" - не номер прибора от 0 до 255").arg(quotedForMessage(value("device"))));
    }
    static const QStringList outcomes{QStringLiteral("updated"), QStringLiteral("failed"), QStringLiteral("no answer"), QStringLiteral("interrupted"),
                                      QStringLiteral("not started"), QStringLiteral("unfinished"),
                                      QStringLiteral("in progress"), QStringLiteral("not-updated")};
    filter.outcome = value("outcome");
    if (parser.isSet(QStringLiteral("outcome")) && !outcomes.contains(filter.outcome))
        return refused(QStringLiteral("--outcome: \"%1\" - не итог; допустимы %2").arg(quotedForMessage(filter.outcome), outcomes.join(QStringLiteral(", "))));
    filter.latest = parser.isSet(QStringLiteral("latest"));
    filter.link = value("link");
    filter.label = value("label");
    filter.batch = value("batch");
    if (parser.isSet(QStringLiteral("csv")) && parser.isSet(QStringLiteral("json")))
        return refused(QStringLiteral("--csv или --json, не оба"));
    command.format = parser.isSet(QStringLiteral("csv")) ? HistoryFormat::Csv : parser.isSet(QStringLiteral("json")) ? HistoryFormat::Json : HistoryFormat::Table;
    return command;
}

} // namespace

CommandLine parseCommandLine(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(description());
    parser.addHelpOption();
    parser.addVersionOption();
    const QList<QCommandLineOption> valued{
        {QStringLiteral("serial"), QStringLiteral("COM порт прибора (19200 бод, 8N1)."), QStringLiteral("port")},
        {QStringLiteral("eth"), QStringLiteral("Адрес шкафа: ADDRESS или ADDRESS:PORT, [IPv6]:PORT."), QStringLiteral("address")},
        {QStringLiteral("device"), QStringLiteral("Номера приборов: N, N,M,... или A-B (0..255), каждый один раз; с --history - один номер."), QStringLiteral("list")},
        {QStringLiteral("plan"), QStringLiteral("План связей: строка на связь, \"eth ADDRESS[:PORT] DEVICES\" или \"serial PORT DEVICES\"; связи обновляются параллельно."), QStringLiteral("file")},
        {QStringLiteral("jobs"), QStringLiteral("Сколько связей обновлять одновременно (по умолчанию все)."), QStringLiteral("n")},
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
        return refused(QStringLiteral("--jobs: целое число связей, не меньше 1"));
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
