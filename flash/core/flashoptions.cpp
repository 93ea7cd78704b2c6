#include "flashoptions.h"

#include "platform.h"
#include "xmodem.h"
#include "textescape.h"

#include <QHostAddress>
#include <QNetworkInterface>
#include <QRegularExpression>

#include <algorithm>

bool parseEthTarget(const QString &text, QString *address, QString *port, QString *error)
{
    QString host = text;
    if (text.startsWith(QLatin1Char('['))) {
        const int close = text.indexOf(QLatin1Char(']'));
        host = text.mid(1, close - 1);
        const QString rest = close < 0 ? QString() : text.mid(close + 1);
        if (close < 0 || (!rest.isEmpty() && !rest.startsWith(QLatin1Char(':')))) {
            *error = QStringLiteral("адрес \"%1\" не понят: ожидается [IPv6-адрес]:порт").arg(quotedForMessage(text));
            return false;
        }
        if (!rest.isEmpty())
            *port = rest.mid(1);
    } else if (text.count(QLatin1Char(':')) == 1) {
        host = text.section(QLatin1Char(':'), 0, 0);
        *port = text.section(QLatin1Char(':'), 1);
    }
    QHostAddress parsed(host);
    if (parsed.isNull()) {
        *error = QStringLiteral("неверный IP адрес шкафа: \"%1\"").arg(quotedForMessage(host));
        return false;
    }
    // Qt reads IPv4 as inet_aton does: 127.0.0.010 is octal (.8), 127.1 is 127.0.0.1. A plan
    // means what it shows, or is refused.
    static const QRegularExpression dotted(QStringLiteral("^(25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])(\\.(25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])){3}$"));
    const QString v4 = host.section(QLatin1Char(':'), -1);
    if ((!host.contains(QLatin1Char(':')) || v4.contains(QLatin1Char('.'))) && !dotted.match(v4).hasMatch()) {
        *error = QStringLiteral("IP адрес шкафа \"%1\" записан неоднозначно: ожидаются четыре десятичных числа от 0 до 255 без ведущих нулей")
                     .arg(quotedForMessage(host));
        return false;
    }
    // An interface's name or number after the %, nothing that could be read as a path.
    static const QRegularExpression scope(QStringLiteral("^[A-Za-z0-9_.-]+$"));
    if (host.contains(QLatin1Char('%')) && !scope.match(host.section(QLatin1Char('%'), 1)).hasMatch()) {
        *error = QStringLiteral("неверная зона IPv6-адреса шкафа: \"%1\", ожидается имя или номер сетевого интерфейса").arg(quotedForMessage(host));
        return false;
    }
    // One interface under one name: %1 and %lo are one cabinet, one queue, one lock.
    if (!parsed.scopeId().isEmpty()) {
        bool numeric = false;
        const int index = parsed.scopeId().toInt(&numeric);
        const QString name = numeric ? QNetworkInterface::interfaceNameFromIndex(index)
                                     : QNetworkInterface::interfaceIndexFromName(parsed.scopeId()) > 0 ? parsed.scopeId() : QString();
        if (name.isEmpty()) {
            *error = QStringLiteral("в адресе шкафа \"%1\" нет такого сетевого интерфейса: %2").arg(quotedForMessage(host), quotedForMessage(parsed.scopeId()));
            return false;
        }
        parsed.setScopeId(name);
    }
    // Any address reaches this machine under another name than its own: not one cabinet's.
    if (parsed == QHostAddress::AnyIPv4 || parsed == QHostAddress::AnyIPv6) {
        *error = QStringLiteral("адрес шкафа \"%1\" - не адрес одного шкафа (любой адрес); укажите адрес шкафа").arg(quotedForMessage(host));
        return false;
    }
    bool mapped = false;
    const quint32 v4Address = parsed.toIPv4Address(&mapped);
    // ::ffff:127.0.0.1 is 127.0.0.1: one cabinet, one queue, one lock.
    *address = mapped ? QHostAddress(v4Address).toString() : parsed.toString();
    bool ok = false;
    const int number = port->toInt(&ok, 10);
    if (!ok || number < 1 || number > 65535) {
        *error = QStringLiteral("неверный порт шкафа: \"%1\", допустимы номера от 1 до 65535").arg(quotedForMessage(*port));
        return false;
    }
    return true;
}

QString LinkPlan::name() const
{
    if (kind == RunSettings::Link::Serial)
        return serialPort;
    const QString host = address.contains(QLatin1Char(':')) ? QLatin1Char('[') + address + QLatin1Char(']') : address;
    return host + QLatin1Char(':') + port;
}

QString LinkPlan::key() const
{
    if (kind == RunSettings::Link::Serial)
        return QStringLiteral("serial ") + (serialPort.startsWith(QLatin1Char('/')) ? serialPort : QStringLiteral("/dev/") + serialPort);
    return QStringLiteral("eth [%1]:%2").arg(QHostAddress(address).toString()).arg(port.toInt());
}

bool parsePlan(const QString &text, const QString &fileName, QList<LinkPlan> *links, QString *error)
{
    const QStringList lines = text.split(QLatin1Char('\n'));
    // Every message and every origin names the file as it may be shown.
    const QString shown = quotedForMessage(fileName, PathInMessage);
    for (int i = 0; i < lines.size(); ++i) {
        const auto refuse = [&](const QString &why) {
            *error = QStringLiteral("%1:%2: %3").arg(shown).arg(i + 1).arg(why);
            return false;
        };
        if (lines.at(i).size() > MaxPlanLineLength)
            return refuse(QStringLiteral("строка длиннее %1 знаков").arg(MaxPlanLineLength));
        const QString line = lines.at(i).section(QLatin1Char('#'), 0, 0).trimmed();
        if (line.isEmpty())
            continue;
        const QStringList words = line.split(QRegularExpression(QStringLiteral("\\s+")));
        if (words.size() != 3)
            return refuse(QStringLiteral("ожидается \"eth ADDRESS[:PORT] DEVICES\" или \"serial PORT DEVICES\", а не \"%1\"").arg(quotedForMessage(line)));
        LinkPlan plan;
        if (words.at(0) == QLatin1String("serial")) {
            plan.serialPort = words.at(1);
        } else if (words.at(0) == QLatin1String("eth")) {
            plan.kind = RunSettings::Link::Ethernet;
            QString why;
            if (!parseEthTarget(words.at(1), &plan.address, &plan.port, &why))
                return refuse(why);
        } else {
            return refuse(QStringLiteral("связь \"%1\" не известна: eth или serial").arg(quotedForMessage(words.at(0))));
        }
        if (!parseDeviceList(words.at(2), &plan.devices))
            return refuse(QStringLiteral("неверные номера приборов \"%1\": допустимы целые числа от 0 до 255, списком (2,3,7) или диапазоном (2-9)").arg(quotedForMessage(words.at(2))));
        for (int n = 0; n < plan.devices.size(); ++n)
            plan.origins << QStringLiteral("%1:%2").arg(shown).arg(i + 1);
        links->append(plan);
    }
    return true;
}

bool joinSameLinks(const QList<LinkPlan> &links, QList<LinkPlan> *joined, QString *error)
{
    joined->clear();
    for (const LinkPlan &plan : links) {
        // A serial port by its device, whatever path names it; a cabinet by its address and port.
        const auto identity = [](const LinkPlan &link) {
            return link.kind == RunSettings::Link::Serial ? platform::serialPortIdentity(link.serialPort) : link.key();
        };
        auto same = std::find_if(joined->begin(), joined->end(), [&](const LinkPlan &other) { return identity(other) == identity(plan); });
        if (same == joined->end()) {
            joined->append(LinkPlan(plan));
            same = joined->end() - 1;
            same->devices.clear();
            same->origins.clear();
        }
        for (int i = 0; i < plan.devices.size(); ++i) {
            const int device = plan.devices.at(i);
            const QString origin = plan.origins.value(i, QStringLiteral("--device"));
            const int earlier = int(same->devices.indexOf(device));
            if (earlier >= 0) {
                const QString first = same->origins.at(earlier);
                *error = first == origin
                    ? QStringLiteral("%1: прибор %2 на связи %3 указан дважды").arg(origin).arg(device).arg(quotedForMessage(same->name(), PathInMessage))
                    : QStringLiteral("прибор %1 на связи %2 указан дважды: %3 и %4").arg(device).arg(quotedForMessage(same->name(), PathInMessage), first, origin);
                return false;
            }
            same->devices << device;
            same->origins << origin;
        }
    }
    return true;
}

QString checkLinks(const FlashOptions &options, qint64 imageSize)
{
    if (options.links.isEmpty())
        return QStringLiteral("не задано ни одной связи");
    for (const LinkPlan &link : options.links) {
        if (link.devices.isEmpty())
            return QStringLiteral("не заданы номера приборов (--device)");
        if (link.kind == RunSettings::Link::Ethernet)
            continue;
        if (link.serialPort.isEmpty())
            return QStringLiteral("не задан COM порт");
        if (imageSize < Xmodem::MinSerialFileSize || imageSize > Xmodem::MaxSerialFileSize)
            return QStringLiteral("размер файла %1 байт: по COM порту передаются файлы от %2 до %3 байт")
                .arg(imageSize)
                .arg(Xmodem::MinSerialFileSize)
                .arg(Xmodem::MaxSerialFileSize);
    }
    return QString();
}
