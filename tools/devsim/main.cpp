// vorlex-devsim: stands in for the measuring device (and, over TCP, for the cabinet in front of it), so
// that an update can be rehearsed and tested without hardware.

#include "console.h"
#include "device.h"
#include "links.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>

namespace {

constexpr int ExitComplete = 0;
constexpr int ExitIncomplete = 1;
constexpr int ExitUsage = 2;
// After the last ACK the programmer closes its end; wait that long for it before leaving anyway.
constexpr int LingerMs = 5000;

void print(const QString &line)
{
    standardOutput() << QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz")) << QStringLiteral("  ") << line << Qt::endl;
}

int fail(const QString &message)
{
    standardError() << QStringLiteral("vorlex-devsim: ") << message << Qt::endl;
    return ExitUsage;
}

// "2", "2,3,7", "2-9" or any mix of them, each number 0 to 255.
bool readDevices(const QString &text, QSet<int> *devices)
{
    devices->clear();
    for (const QString &part : text.split(QLatin1Char(','))) {
        const QStringList ends = part.split(QLatin1Char('-'));
        bool okLow = false, okHigh = false;
        const int low = ends.value(0).toInt(&okLow);
        const int high = ends.size() == 2 ? ends.value(1).toInt(&okHigh) : low;
        if (!okLow || (ends.size() == 2 && !okHigh) || ends.size() > 2 || low < 0 || high > 255 || low > high)
            return false;
        for (int n = low; n <= high; ++n)
            devices->insert(n);
    }
    return !devices->isEmpty();
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
    const QList<QCommandLineOption> options{
        {QStringLiteral("pty"), QStringLiteral("Create a pseudo-terminal pair and print the path to open.")},
        {QStringLiteral("serial"), QStringLiteral("Use an existing serial port."), QStringLiteral("name")},
        {QStringLiteral("tcp"), QStringLiteral("Listen on 127.0.0.1:<port> as the cabinet (0 picks a free port)."), QStringLiteral("port")},
        {QStringLiteral("device"), QStringLiteral("Device numbers to answer to, as a bus of devices does: 2, 2,3,7 or 2-9 (default 2)."), QStringLiteral("list")},
        {QStringLiteral("out"), QStringLiteral("Write the received image, fill bytes included, to <file>; {device} in the name stands for the device number."), QStringLiteral("file")},
        {QStringLiteral("keep-running"), QStringLiteral("Serve one update after another (TCP: one per connection) until stopped.")},
        {QStringLiteral("plain"), QStringLiteral("A plain XMODEM-CRC receiver: no address frame, no probe; sends 'C' until the first block.")},
        {QStringLiteral("baud"), QStringLiteral("Pace both directions at <b> baud, 10 bits a byte (serial line speed for --serial; default 19200 there)."), QStringLiteral("b")},
        {QStringLiteral("start-after"), QStringLiteral("Answer only the <k>-th probe and those after it."), QStringLiteral("k")},
        {QStringLiteral("wrong-start"), QStringLiteral("Answer the first probe with this single byte (e.g. 0x15)."), QStringLiteral("byte")},
        {QStringLiteral("double-start"), QStringLiteral("Answer the first probe with two start requests (43 43).")},
        {QStringLiteral("nak-block"), QStringLiteral("NAK the <n>-th block of the image (see --nak-count)."), QStringLiteral("n")},
        {QStringLiteral("nak-count"), QStringLiteral("How often --nak-block NAKs: default 1, 0 = every time."), QStringLiteral("k")},
        {QStringLiteral("silent-from"), QStringLiteral("Stop answering from the <n>-th block on."), QStringLiteral("n")},
        {QStringLiteral("cancel-at"), QStringLiteral("Answer the <n>-th block with the cancel byte 0x18 and give up."), QStringLiteral("n")},
        {QStringLiteral("drop-after"), QStringLiteral("Hang up the link right after acknowledging the <n>-th block."), QStringLiteral("n")},
        {QStringLiteral("hang-up-after"), QStringLiteral("Hang up the link <ms> milliseconds after the address frame, whatever is under way."), QStringLiteral("ms")},
        {QStringLiteral("eot-nak"), QStringLiteral("NAK the end of transmission <k> times before the ACK."), QStringLiteral("k")},
        {QStringLiteral("noise"), QStringLiteral("Chatter: send a noise byte every <ms> milliseconds, all the time."), QStringLiteral("ms")},
        {QStringLiteral("noise-for"), QStringLiteral("With --noise: chatter only for the first <ms> milliseconds."), QStringLiteral("ms")},
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

    DeviceOptions device;
    QString error;
    int baud = 0;
    int tcpPort = -1;
    int wrongStart = -1;
    if (parser.isSet(QStringLiteral("device")) && !readDevices(parser.value(QStringLiteral("device")), &device.addresses))
        return fail(QStringLiteral("--device wants numbers from 0 to 255 such as 2, 2,3,7 or 2-9, not \"%1\"").arg(parser.value(QStringLiteral("device"))));
    const bool ok = readInt(parser, QStringLiteral("baud"), 1, 4000000, &baud, &error)
        && readInt(parser, QStringLiteral("tcp"), 0, 65535, &tcpPort, &error)
        && readInt(parser, QStringLiteral("start-after"), 1, 1000000, &device.startAfterProbes, &error)
        && readInt(parser, QStringLiteral("wrong-start"), 0, 255, &wrongStart, &error)
        && readInt(parser, QStringLiteral("nak-block"), 1, 1 << 30, &device.nakBlock, &error)
        && readInt(parser, QStringLiteral("nak-count"), 0, 1 << 30, &device.nakCount, &error)
        && readInt(parser, QStringLiteral("silent-from"), 1, 1 << 30, &device.silentFromBlock, &error)
        && readInt(parser, QStringLiteral("cancel-at"), 1, 1 << 30, &device.cancelAtBlock, &error)
        && readInt(parser, QStringLiteral("drop-after"), 1, 1 << 30, &device.dropAfterBlock, &error)
        && readInt(parser, QStringLiteral("hang-up-after"), 1, 1 << 30, &device.hangUpAfterMs, &error)
        && readInt(parser, QStringLiteral("eot-nak"), 0, 1 << 30, &device.eotNaks, &error)
        && readInt(parser, QStringLiteral("noise"), 1, 60000, &device.noiseEveryMs, &error)
        && readInt(parser, QStringLiteral("noise-for"), 1, 1 << 30, &device.noiseForMs, &error);
    if (!ok)
        return fail(error);
    device.plain = parser.isSet(QStringLiteral("plain"));
    device.wrongStartByte = wrongStart;
    device.doubleStart = parser.isSet(QStringLiteral("double-start"));
    device.verbose = parser.isSet(QStringLiteral("verbose"));

    const int links = int(parser.isSet(QStringLiteral("pty"))) + int(parser.isSet(QStringLiteral("serial"))) + int(tcpPort >= 0);
    if (links != 1)
        return fail(QStringLiteral("choose exactly one link: --pty, --serial NAME or --tcp PORT (see --help)"));

    std::unique_ptr<Link> link;
    if (parser.isSet(QStringLiteral("pty"))) {
        auto pty = std::make_unique<PtyLink>();
        if (!pty->open(&error))
            return fail(QStringLiteral("cannot create a pseudo-terminal: ") + error);
        link = std::move(pty);
    } else if (parser.isSet(QStringLiteral("serial"))) {
        auto serial = std::make_unique<SerialLink>(parser.value(QStringLiteral("serial")), baud > 0 ? baud : 19200);
        if (!serial->open(&error))
            return fail(QStringLiteral("cannot open %1: %2").arg(parser.value(QStringLiteral("serial")), error));
        baud = 0; // a real line paces itself
        link = std::move(serial);
    } else {
        auto tcp = std::make_unique<TcpLink>(quint16(tcpPort));
        if (!tcp->open(&error))
            return fail(QStringLiteral("cannot listen on 127.0.0.1:%1: %2").arg(tcpPort).arg(error));
        link = std::move(tcp);
    }

    LinePacer pacer(baud);
    QObject::connect(link.get(), &Link::received, &pacer, &LinePacer::fromProgrammer);
    QObject::connect(&pacer, &LinePacer::deliverToLink, link.get(), &Link::write);

    // One session is one update: from the programmer opening the link to it closing it.
    const bool keepRunning = parser.isSet(QStringLiteral("keep-running"));
    const QString outFile = parser.value(QStringLiteral("out"));
    std::unique_ptr<Device> emulated;
    bool sessionOver = false;
    QTimer linger;
    linger.setSingleShot(true);
    linger.setInterval(LingerMs);

    std::function<void()> startSession;
    const auto endSession = [&](bool linkGone) {
        if (sessionOver)
            return;
        sessionOver = true;
        linger.stop();
        if (!outFile.isEmpty() && (emulated->address() >= 0 || device.plain)) {
            QString name = outFile;
            name.replace(QLatin1String("{device}"), device.plain ? QStringLiteral("plain") : QString::number(emulated->address()));
            QFile file(name);
            if (!file.open(QIODevice::WriteOnly) || file.write(emulated->image()) != emulated->image().size())
                print(QStringLiteral("cannot write %1: %2").arg(name, file.errorString()));
        }
        print(QStringLiteral("summary: ") + emulated->summary());
        if (keepRunning && !linkGone)
            startSession();
        else
            QCoreApplication::exit(emulated->complete() ? ExitComplete : ExitIncomplete);
    };
    startSession = [&] {
        emulated = std::make_unique<Device>(device);
        sessionOver = false;
        QObject::connect(emulated.get(), &Device::transmit, &pacer, &LinePacer::toProgrammer);
        QObject::connect(emulated.get(), &Device::note, &app, [](const QString &line) { print(line); });
        QObject::connect(emulated.get(), &Device::completed, &linger, [&] { linger.start(); });
        QObject::connect(emulated.get(), &Device::hangUpRequested, &app, [&] {
            link->hangUp();
            // A pseudo-terminal is gone once hung up; the cabinet listens on for the next connection.
            endSession(parser.isSet(QStringLiteral("pty")));
        });
    };
    QObject::connect(&pacer, &LinePacer::deliverToDevice, &app, [&](const QByteArray &bytes) {
        if (!sessionOver)
            emulated->receive(bytes);
    });
    QObject::connect(&linger, &QTimer::timeout, &app, [&] { endSession(false); });
    QObject::connect(link.get(), &Link::peerClosed, &app, [&] {
        print(QStringLiteral("the programmer closed the link"));
        endSession(false);
    });
    startSession();

    const QStringList numbers = [&] {
        QList<int> sorted = device.addresses.values();
        std::sort(sorted.begin(), sorted.end());
        QStringList list;
        for (int n : sorted)
            list << QString::number(n);
        return list;
    }();
    print(QStringLiteral("%1 ready, link ready at %2")
              .arg(device.plain ? QStringLiteral("plain XMODEM-CRC receiver") : QStringLiteral("device ") + numbers.join(QLatin1Char(',')))
              .arg(link->where()));
    return app.exec();
}
