#include "flashoptions.h"

#include "xmodem.h"

#include <QFileInfo>
#include <QHostAddress>
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
            *error = QStringLiteral("адрес \"%1\" не понят: ожидается [IPv6-адрес]:порт").arg(text);
            return false;
        }
        if (!rest.isEmpty())
            *port = rest.mid(1);
    } else if (text.count(QLatin1Char(':')) == 1) {
        host = text.section(QLatin1Char(':'), 0, 0);
        *port = text.section(QLatin1Char(':'), 1);
    }
    if (QHostAddress(host).isNull()) {
        *error = QStringLiteral("неверный IP адрес шкафа: \"%1\"").arg(host);
        return false;
    }
    bool ok = false;
    const int number = port->toInt(&ok, 10);
    if (!ok || number < 1 || number > 65535) {
        *error = QStringLiteral("неверный порт шкафа: \"%1\", допустимы номера от 1 до 65535").arg(*port);
        return false;
    }
    *address = host;
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
    for (int i = 0; i < lines.size(); ++i) {
        const QString line = lines.at(i).section(QLatin1Char('#'), 0, 0).trimmed();
        if (line.isEmpty())
            continue;
        const auto refuse = [&](const QString &why) {
            *error = QStringLiteral("%1:%2: %3").arg(fileName).arg(i + 1).arg(why);
            return false;
        };
        const QStringList words = line.split(QRegularExpression(QStringLiteral("\\s+")));
        if (words.size() != 3)
            return refuse(QStringLiteral("ожидается \"eth ADDRESS[:PORT] DEVICES\" или \"serial PORT DEVICES\", а не \"%1\"").arg(line));
        LinkPlan plan;
        if (words.at(0) == QLatin1String("serial")) {
            plan.serialPort = words.at(1);
        } else if (words.at(0) == QLatin1String("eth")) {
            plan.kind = RunSettings::Link::Ethernet;
            QString why;
            if (!parseEthTarget(words.at(1), &plan.address, &plan.port, &why))
                return refuse(why);
        } else {
            return refuse(QStringLiteral("связь \"%1\" не известна: eth или serial").arg(words.at(0)));
        }
        if (!parseDeviceList(words.at(2), &plan.devices))
            return refuse(QStringLiteral("неверные номера приборов \"%1\": допустимы целые числа от 0 до 255, списком (2,3,7) или диапазоном (2-9)").arg(words.at(2)));
        links->append(plan);
    }
    return true;
}

QList<LinkPlan> joinSameLinks(const QList<LinkPlan> &links)
{
    QList<LinkPlan> joined;
    for (const LinkPlan &plan : links) {
        auto same = std::find_if(joined.begin(), joined.end(), [&](const LinkPlan &other) { return other.key() == plan.key(); });
        if (same == joined.end())
            joined.append(plan);
        else
            same->devices += plan.devices;
    }
    return joined;
}

QString checkOptions(const FlashOptions &options)
{
    const QFileInfo file(options.file);
    if (options.file.isEmpty())
        return QStringLiteral("не задан файл с прошивкой");
    if (!file.exists() || !file.isFile())
        return QStringLiteral("нет такого файла: %1").arg(options.file);
    if (!file.isReadable())
        return QStringLiteral("файл не читается: %1").arg(options.file);
    if (options.links.isEmpty())
        return QStringLiteral("не задано ни одной связи");
    for (const LinkPlan &link : options.links) {
        if (link.devices.isEmpty())
            return QStringLiteral("не заданы номера приборов (--device)");
        if (link.kind == RunSettings::Link::Ethernet) {
            if (file.size() == 0)
                return QStringLiteral("файл %1 пуст").arg(options.file);
            continue;
        }
        if (link.serialPort.isEmpty())
            return QStringLiteral("не задан COM порт");
        if (file.size() < Xmodem::MinSerialFileSize || file.size() > Xmodem::MaxSerialFileSize)
            return QStringLiteral("размер файла %1 байт: по COM порту передаются файлы от %2 до %3 байт")
                .arg(file.size())
                .arg(Xmodem::MinSerialFileSize)
                .arg(Xmodem::MaxSerialFileSize);
    }
    return QString();
}
