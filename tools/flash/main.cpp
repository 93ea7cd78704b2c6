// vorlex-flash: updates devices from the command line, for production lines and service
// teams, with the same worker, status codes and messages as the window.

#include "batch.h"
#include "console.h"
#include "flashoptions.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSerialPortInfo>
#include <QSocketNotifier>

#include <algorithm>
#include <csignal>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

// Only the signal's number crosses over to the event loop, which does the rest.
void onSignal(int signalNumber)
{
    const char byte = char(signalNumber);
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
}

Batch *transcript = nullptr;

// The worker's debug lines belong in the transcript, not on the operator's screen.
void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (transcript)
        transcript->workerMessage(QString::fromLatin1(context.category ? context.category : "default"), message);
    if (type != QtDebugMsg && type != QtInfoMsg)
        standardError() << message << Qt::endl;
}

int usageError(const QString &message)
{
    standardError() << QStringLiteral("vorlex-flash: ") << message << Qt::endl
                    << QStringLiteral("vorlex-flash --help: как пользоваться") << Qt::endl;
    return Batch::BadInput;
}

QString usbId(bool known, quint16 id)
{
    return known ? QStringLiteral("%1").arg(id, 4, 16, QLatin1Char('0')) : QString();
}

// Enough to tell two identical adapters apart: their serial numbers, or where they are plugged in.
void listPorts(bool json)
{
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    if (json) {
        QJsonArray list;
        for (const QSerialPortInfo &port : ports) {
            const auto text = [](const QString &value) { return value.isEmpty() ? QJsonValue() : QJsonValue(value); };
            list.append(QJsonObject{
                {QStringLiteral("name"), port.portName()},
                {QStringLiteral("location"), port.systemLocation()},
                {QStringLiteral("description"), text(port.description())},
                {QStringLiteral("manufacturer"), text(port.manufacturer())},
                {QStringLiteral("serialNumber"), text(port.serialNumber())},
                {QStringLiteral("vendorId"), text(usbId(port.hasVendorIdentifier(), port.vendorIdentifier()))},
                {QStringLiteral("productId"), text(usbId(port.hasProductIdentifier(), port.productIdentifier()))},
            });
        }
        standardOutput() << QString::fromUtf8(QJsonDocument(list).toJson(QJsonDocument::Indented)) << Qt::flush;
        return;
    }
    if (ports.isEmpty()) {
        standardOutput() << QStringLiteral("COM порты не найдены") << Qt::endl;
        return;
    }
    const auto field = [](const QString &value) { return value.isEmpty() ? QStringLiteral("-") : value; };
    standardOutput() << QStringLiteral("порт\tпуть\tописание\tпроизводитель\tсерийный номер\tUSB VID:PID") << Qt::endl;
    for (const QSerialPortInfo &port : ports) {
        const QString ids = port.hasVendorIdentifier() && port.hasProductIdentifier()
            ? usbId(true, port.vendorIdentifier()) + QLatin1Char(':') + usbId(true, port.productIdentifier())
            : QString();
        standardOutput() << QStringList{port.portName(), port.systemLocation(), field(port.description()), field(port.manufacturer()),
                                        field(port.serialNumber()), field(ids)}
                                .join(QLatin1Char('\t'))
                         << Qt::endl;
    }
}

} // namespace

int main(int argc, char *argv[])
{
    // A transcript wants the worker's debug lines whatever logging rules the environment sets
    // (they outrank rules set in code); they reach the transcript only, never the screen.
    // Without one they stay off, where they cost nothing.
    const bool transcriptAsked = std::any_of(argv + 1, argv + argc, [](const char *argument) {
        return qstrcmp(argument, "--log") == 0 || qstrncmp(argument, "--log=", 6) == 0;
    });
    const QByteArray rules = qgetenv("QT_LOGGING_RULES");
    const QByteArray debugRule = transcriptAsked ? "default.debug=true" : "default.debug=false";
    qputenv("QT_LOGGING_RULES", rules.isEmpty() ? debugRule : rules + ';' + debugRule);
    // Qt's own event dispatcher makes fewer system calls per block than GLib's, and a
    // command-line tool has no desktop main loop to share.
    if (qEnvironmentVariableIsEmpty("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vorlex-flash"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Обновляет прошивку приборов Ворлекс из командной строки.\n\n"
        "  vorlex-flash --serial PORT --device N FILE\n"
        "  vorlex-flash --eth ADDRESS[:PORT] --device N FILE     (порт шкафа по умолчанию 4040)\n"
        "  vorlex-flash --plan PLAN FILE\n\n"
        "Несколько приборов: --device 2,3,7 или --device 2-9 обновляет их по очереди.\n"
        "Приборы одной связи обновляются по очереди, разные связи плана - параллельно.\n\n"
        "Коды завершения:\n"
        "  0    все приборы обновлены\n"
        "  1    хотя бы один прибор не обновлён (потеря связи, нет ответа, отказ)\n"
        "  2    неверная командная строка или входные данные (нет файла, недопустимый размер,\n"
        "       номер прибора не от 0 до 255, неверный адрес или порт); ничего не открывалось\n"
        "  130  прервано (Ctrl-C)\n"
        "  143  прервано сигналом SIGTERM (129: SIGHUP, закрыт терминал)\n\n"
        "Ctrl-C во время поиска прибора останавливает сразу; во время записи прошивки\n"
        "требуется второе Ctrl-C, так как прерванная запись оставляет прибор с неполной прошивкой.\n"
        "SIGTERM и SIGHUP прерывают сразу, как второе Ctrl-C: связь закрывается, протокол\n"
        "дописывается."));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("serial"), QStringLiteral("COM порт прибора (19200 бод, 8N1)."), QStringLiteral("port")},
        {QStringLiteral("eth"), QStringLiteral("Адрес шкафа: ADDRESS или ADDRESS:PORT, [IPv6]:PORT."), QStringLiteral("address")},
        {QStringLiteral("device"), QStringLiteral("Номера приборов: N, N,M,... или A-B (0..255)."), QStringLiteral("list")},
        {QStringLiteral("plan"), QStringLiteral("План связей: строка на связь, \"eth ADDRESS[:PORT] DEVICES\" или \"serial PORT DEVICES\"; связи обновляются параллельно."), QStringLiteral("file")},
        {QStringLiteral("jobs"), QStringLiteral("Сколько связей обновлять одновременно (по умолчанию все)."), QStringLiteral("n")},
        {QStringLiteral("report"), QStringLiteral("Записать отчёт JSON по каждому прибору в файл, когда работа закончится."), QStringLiteral("file")},
        {QStringLiteral("keep-going"), QStringLiteral("Продолжать после прибора, который не удалось обновить.")},
        {QStringLiteral("quiet"), QStringLiteral("Печатать только итог по каждому прибору.")},
        {QStringLiteral("log"), QStringLiteral("Дописывать протокол (с отметками времени) в файл."), QStringLiteral("file")},
        {QStringLiteral("answer-timeout"), QStringLiteral("Сколько секунд ждать ответа прибора (по умолчанию 30)."), QStringLiteral("seconds")},
        {QStringLiteral("list-ports"), QStringLiteral("Показать COM порты системы (описание, производитель, серийный номер, USB VID:PID) и выйти.")},
        {QStringLiteral("json"), QStringLiteral("С --list-ports: то же в виде JSON, для скриптов.")},
    });
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("Файл прошивки (.bin)."));
    if (!parser.parse(app.arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(QStringLiteral("help")) || parser.optionNames().contains(QStringLiteral("help-all"))) {
        // showHelp() would encode the Russian text in the locale's codec under Qt 5.
        standardOutput() << parser.helpText() << Qt::flush;
        return Batch::AllUpdated;
    }

    if (parser.isSet(QStringLiteral("list-ports"))) {
        listPorts(parser.isSet(QStringLiteral("json")));
        return Batch::AllUpdated;
    }
    if (parser.isSet(QStringLiteral("json")))
        return usageError(QStringLiteral("--json только вместе с --list-ports"));

    FlashOptions options;
    const bool serial = parser.isSet(QStringLiteral("serial"));
    const bool eth = parser.isSet(QStringLiteral("eth"));
    const bool plan = parser.isSet(QStringLiteral("plan"));
    if (int(serial) + int(eth) + int(plan) != 1)
        return usageError(QStringLiteral("укажите ровно одну связь: --serial PORT или --eth ADDRESS[:PORT], или план связей --plan FILE"));
    if (plan) {
        if (parser.isSet(QStringLiteral("device")))
            return usageError(QStringLiteral("с --plan номера приборов задаёт план, а не --device"));
        const QString planFile = parser.value(QStringLiteral("plan"));
        QFile file(planFile);
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
            return usageError(QStringLiteral("план %1 не открывается: %2").arg(planFile, file.errorString()));
        QString error;
        if (!parsePlan(QString::fromUtf8(file.readAll()), planFile, &options.links, &error))
            return usageError(error);
        if (options.links.isEmpty())
            return usageError(QStringLiteral("%1: в плане нет ни одной связи").arg(planFile));
    } else {
        LinkPlan link;
        if (serial) {
            link.serialPort = parser.value(QStringLiteral("serial"));
        } else {
            link.kind = RunSettings::Link::Ethernet;
            QString error;
            if (!parseEthTarget(parser.value(QStringLiteral("eth")), &link.address, &link.port, &error))
                return usageError(error);
        }
        if (!parser.isSet(QStringLiteral("device")))
            return usageError(QStringLiteral("укажите номера приборов: --device N, --device 2,3,7 или --device 2-9"));
        if (!parseDeviceList(parser.value(QStringLiteral("device")), &link.devices))
            return usageError(QStringLiteral("неверный номер прибора \"%1\": допустимы целые числа от 0 до 255, списком (2,3,7) или диапазоном (2-9)")
                                  .arg(parser.value(QStringLiteral("device"))));
        options.links << link;
    }
    options.links = joinSameLinks(options.links);
    if (parser.isSet(QStringLiteral("answer-timeout"))) {
        bool ok = false;
        options.answerTimeoutSeconds = parser.value(QStringLiteral("answer-timeout")).toInt(&ok);
        if (!ok || options.answerTimeoutSeconds < 1)
            return usageError(QStringLiteral("--answer-timeout: целое число секунд, не меньше 1"));
    }
    if (parser.isSet(QStringLiteral("jobs"))) {
        bool ok = false;
        options.jobs = parser.value(QStringLiteral("jobs")).toInt(&ok);
        if (!ok || options.jobs < 1)
            return usageError(QStringLiteral("--jobs: целое число связей, не меньше 1"));
    }
    options.reportFile = parser.value(QStringLiteral("report"));
    const QStringList files = parser.positionalArguments();
    if (files.size() != 1)
        return usageError(QStringLiteral("укажите один файл прошивки"));
    options.file = files.constFirst();
    options.keepGoing = parser.isSet(QStringLiteral("keep-going"));
    options.quiet = parser.isSet(QStringLiteral("quiet"));
    options.logFile = parser.value(QStringLiteral("log"));
    const QString problem = checkOptions(options);
    if (!problem.isEmpty())
        return usageError(problem);

    Batch batch(options, ::isatty(STDOUT_FILENO) == 1);
    QString error;
    if (!batch.openLog(&error))
        return usageError(QStringLiteral("протокол %1 не открывается: %2").arg(options.logFile, error));
    transcript = &batch;
    qInstallMessageHandler(messageHandler);

    if (::pipe(signalPipe) != 0)
        return usageError(QStringLiteral("не удалось подготовить обработку Ctrl-C"));
    QSocketNotifier interrupts(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&interrupts, &QSocketNotifier::activated, &batch, [&batch] {
        char byte = 0;
        if (::read(signalPipe[0], &byte, 1) != 1)
            return;
        if (byte == SIGINT)
            batch.interrupt();
        else
            batch.terminate(byte);
    });
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP})
        std::signal(signalNumber, onSignal);

    QObject::connect(&batch, &Batch::done, &app, &QCoreApplication::exit, Qt::QueuedConnection);
    batch.start();
    const int code = app.exec();
    qInstallMessageHandler(nullptr);
    transcript = nullptr;
    return code;
}
