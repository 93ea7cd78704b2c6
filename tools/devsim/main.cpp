// vorlex-devsim: stands in for the measuring device (and, over TCP, for the cabinet in front of it), so
// that an update can be rehearsed and tested without hardware.

#include "console.h"
#include "device.h"
#include "devicelist.h"
#include "links.h"
#include "station.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>

#include <memory>
#include <vector>

namespace {

constexpr int ExitComplete = 0;
constexpr int ExitIncomplete = 1;
constexpr int ExitUsage = 2;

void print(const QString &line)
{
    standardOutput() << QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz")) << QStringLiteral("  ") << line << Qt::endl;
}

int fail(const QString &message)
{
    standardError() << QStringLiteral("vorlex-devsim: ") << message << Qt::endl;
    return ExitUsage;
}

bool readInt(const QCommandLineParser &parser, const QString &name, int low, int high, int *value, QString *error)
{
    if (!parser.isSet(name))
        return true;
    bool ok = false;
    const QString text = parser.value(name);
    const int parsed = text.startsWith(QLatin1String("0x")) ? text.mid(2).toInt(&ok, 16) : text.toInt(&ok, 10);
    if (!ok || parsed < low || parsed > high) {
        *error = QStringLiteral("--%1 wants a number from %2 to %3, not \"%4\"").arg(name).arg(low).arg(high).arg(text);
        return false;
    }
    *value = parsed;
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vorlex-devsim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Device emulator for the firmware programmer.\n"
        "Plays a measuring device behind a serial line or behind the cabinet's TCP port: it takes the\n"
        "device-address frame, answers the probe byte 0x64 with the start request 0x43 and receives the\n"
        "image as XMODEM-CRC blocks of 128 bytes. Exit code 0 only when a whole image arrived and the\n"
        "end of transmission was acknowledged; 1 otherwise; 2 for a bad command line.\n\n"
        "Examples:\n"
        "  vorlex-devsim --pty --device 2 --out image.bin        then open the printed /dev/pts/N in the programmer\n"
        "  vorlex-devsim --tcp 4040 --device 2 --out image.bin   then point the programmer at 127.0.0.1, port 4040"));
    parser.addHelpOption();
    parser.addVersionOption();
    const QList<QCommandLineOption> options{
        {QStringLiteral("pty"), QStringLiteral("Create a pseudo-terminal pair and print the path to open.")},
        {QStringLiteral("serial"), QStringLiteral("Use an existing serial port."), QStringLiteral("name")},
        {QStringLiteral("tcp"), QStringLiteral("Listen on 127.0.0.1:<port> as the cabinet (0 picks a free port); given again, another cabinet with a bus of its own."), QStringLiteral("port")},
        {QStringLiteral("device"), QStringLiteral("Device numbers to answer to, as a bus of devices does: 2, 2,3,7 or 2-9 (default 2)."), QStringLiteral("list")},
        {QStringLiteral("out"), QStringLiteral("Write the received image, fill bytes included, to <file>; {device} in the name stands for the device number, {cabinet} for the cabinet's port (the serial line's name), {session} for the update's number on this link, from 1."), QStringLiteral("file")},
        {QStringLiteral("keep-running"), QStringLiteral("Serve one update after another (TCP: one per connection) until stopped.")},
        {QStringLiteral("plain"), QStringLiteral("A plain XMODEM-CRC receiver: no address frame, no probe; sends 'C' until the first block.")},
        {QStringLiteral("baud"), QStringLiteral("Pace both directions at <b> baud, 10 bits a byte (serial line speed for --serial; default 19200 there)."), QStringLiteral("b")},
        {QStringLiteral("pace"), QStringLiteral("With --serial: hold bytes back for the line's time as well, for a virtual UART that ignores its speed.")},
        {QStringLiteral("start-after"), QStringLiteral("Answer only the <k>-th probe and those after it."), QStringLiteral("k")},
        {QStringLiteral("wrong-start"), QStringLiteral("Answer the first probe with this single byte (e.g. 0x15)."), QStringLiteral("byte")},
        {QStringLiteral("double-start"), QStringLiteral("Answer the first probe with two start requests (43 43).")},
        {QStringLiteral("nak-block"), QStringLiteral("NAK the <n>-th block of the image (see --nak-count)."), QStringLiteral("n")},
        {QStringLiteral("nak-count"), QStringLiteral("How often --nak-block NAKs: default 1, 0 = every time."), QStringLiteral("k")},
        {QStringLiteral("silent-from"), QStringLiteral("Stop answering from the <n>-th block on."), QStringLiteral("n")},
        {QStringLiteral("cancel-at"), QStringLiteral("Answer the <n>-th block with the cancel byte 0x18 and give up."), QStringLiteral("n")},
        {QStringLiteral("drop-after"), QStringLiteral("Hang up the link right after acknowledging the <n>-th block."), QStringLiteral("n")},
        {QStringLiteral("drop-sessions"), QStringLiteral("With --drop-after: hang up in the first <k> updates only, then serve normally."), QStringLiteral("k")},
        {QStringLiteral("hang-up-after"), QStringLiteral("Hang up the link <ms> milliseconds after the address frame, whatever is under way."), QStringLiteral("ms")},
        {QStringLiteral("eot-nak"), QStringLiteral("NAK the end of transmission <k> times before the ACK."), QStringLiteral("k")},
        {QStringLiteral("noise"), QStringLiteral("Chatter: send a noise byte every <ms> milliseconds, all the time."), QStringLiteral("ms")},
        {QStringLiteral("noise-for"), QStringLiteral("With --noise: chatter only for the first <ms> milliseconds."), QStringLiteral("ms")},
        {QStringLiteral("drop-connections"), QStringLiteral("TCP: close the first <k> connections at once, as a cabinet that is not ready."), QStringLiteral("k")},
        {QStringLiteral("verbose"), QStringLiteral("Print every block as it is stored.")},
    };
    parser.addOptions(options);
    // process() would exit with 1 on a bad command line, which here means an incomplete image.
    if (!parser.parse(app.arguments()))
        return fail(parser.errorText());
    if (parser.isSet(QStringLiteral("help")) || parser.optionNames().contains(QStringLiteral("help-all"))) {
        standardOutput() << parser.helpText() << Qt::flush;
        return ExitComplete;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        standardOutput() << QStringLiteral("vorlex-devsim %1\n").arg(QStringLiteral(VORLEX_VERSION)) << Qt::flush;
        return ExitComplete;
    }

    DeviceOptions device;
    QString error;
    int baud = 0;
    int wrongStart = -1;
    int dropConnections = 0;
    QList<int> addresses;
    if (parser.isSet(QStringLiteral("device")) && !parseDeviceList(parser.value(QStringLiteral("device")), &addresses))
        return fail(QStringLiteral("--device wants numbers from 0 to 255 such as 2, 2,3,7 or 2-9, not \"%1\"").arg(parser.value(QStringLiteral("device"))));
    if (!addresses.isEmpty())
        device.addresses = QSet<int>(addresses.cbegin(), addresses.cend());
    const bool ok = readInt(parser, QStringLiteral("baud"), 1, 4000000, &baud, &error)
        && readInt(parser, QStringLiteral("start-after"), 1, 1000000, &device.startAfterProbes, &error)
        && readInt(parser, QStringLiteral("wrong-start"), 0, 255, &wrongStart, &error)
        && readInt(parser, QStringLiteral("nak-block"), 1, 1 << 30, &device.nakBlock, &error)
        && readInt(parser, QStringLiteral("nak-count"), 0, 1 << 30, &device.nakCount, &error)
        && readInt(parser, QStringLiteral("silent-from"), 1, 1 << 30, &device.silentFromBlock, &error)
        && readInt(parser, QStringLiteral("cancel-at"), 1, 1 << 30, &device.cancelAtBlock, &error)
        && readInt(parser, QStringLiteral("drop-after"), 1, 1 << 30, &device.dropAfterBlock, &error)
        && readInt(parser, QStringLiteral("drop-sessions"), 1, 1 << 30, &device.dropSessions, &error)
        && readInt(parser, QStringLiteral("hang-up-after"), 1, 1 << 30, &device.hangUpAfterMs, &error)
        && readInt(parser, QStringLiteral("eot-nak"), 0, 1 << 30, &device.eotNaks, &error)
        && readInt(parser, QStringLiteral("noise"), 1, 60000, &device.noiseEveryMs, &error)
        && readInt(parser, QStringLiteral("noise-for"), 1, 1 << 30, &device.noiseForMs, &error)
        && readInt(parser, QStringLiteral("drop-connections"), 0, 1 << 30, &dropConnections, &error);
    if (!ok)
        return fail(error);
    device.plain = parser.isSet(QStringLiteral("plain"));
    device.wrongStartByte = wrongStart;
    device.doubleStart = parser.isSet(QStringLiteral("double-start"));
    device.verbose = parser.isSet(QStringLiteral("verbose"));

    // Each --tcp is a cabinet of its own, with its own bus of the same device numbers.
    QList<quint16> tcpPorts;
    for (const QString &text : parser.values(QStringLiteral("tcp"))) {
        bool portOk = false;
        const int port = text.toInt(&portOk, 10);
        if (!portOk || port < 0 || port > 65535)
            return fail(QStringLiteral("--tcp wants a number from 0 to 65535, not \"%1\"").arg(text));
        tcpPorts << quint16(port);
    }
    const int links = int(parser.isSet(QStringLiteral("pty"))) + int(parser.isSet(QStringLiteral("serial"))) + int(!tcpPorts.isEmpty());
    if (links != 1)
        return fail(QStringLiteral("choose one kind of link: --pty, --serial NAME or --tcp PORT, the last as often as you like (see --help)"));

    Station::Settings settings;
    settings.device = device;
    settings.outFile = parser.value(QStringLiteral("out"));
    settings.keepRunning = parser.isSet(QStringLiteral("keep-running"));
    settings.baud = baud;
    std::vector<std::unique_ptr<Station>> stations;
    if (parser.isSet(QStringLiteral("pty"))) {
        auto pty = std::make_unique<PtyLink>();
        if (!pty->open(&error))
            return fail(QStringLiteral("cannot create a pseudo-terminal: ") + error);
        settings.hangUpEndsLink = true;
        settings.sessionEndsAtEot = true;
        stations.push_back(std::make_unique<Station>(std::move(pty), settings));
    } else if (parser.isSet(QStringLiteral("serial"))) {
        auto serial = std::make_unique<SerialLink>(parser.value(QStringLiteral("serial")), baud > 0 ? baud : 19200);
        if (!serial->open(&error))
            return fail(QStringLiteral("cannot open %1: %2").arg(parser.value(QStringLiteral("serial")), error));
        // A real line paces itself; a virtual machine's UART does not.
        settings.baud = parser.isSet(QStringLiteral("pace")) ? (baud > 0 ? baud : 19200) : 0;
        settings.sessionEndsAtEot = true;
        stations.push_back(std::make_unique<Station>(std::move(serial), settings));
    } else {
        for (const quint16 port : tcpPorts) {
            auto tcp = std::make_unique<TcpLink>(port, dropConnections);
            if (!tcp->open(&error))
                return fail(QStringLiteral("cannot listen on 127.0.0.1:%1: %2").arg(port).arg(error));
            stations.push_back(std::make_unique<Station>(std::move(tcp), settings));
        }
    }

    // Several cabinets share the output: each line names its cabinet.
    int running = int(stations.size());
    bool allComplete = true;
    for (const auto &station : stations) {
        Station *s = station.get();
        QObject::connect(s, &Station::line, &app, [s, several = stations.size() > 1](const QString &text) {
            print(several ? QStringLiteral("[%1] %2").arg(s->where(), text) : text);
        });
        QObject::connect(s, &Station::done, &app, [&](bool complete) {
            allComplete = allComplete && complete;
            if (--running == 0)
                QCoreApplication::exit(allComplete ? ExitComplete : ExitIncomplete);
        });
    }
    for (const auto &station : stations)
        station->start();
    return app.exec();
}
