#include "flashoptions.h"

#include "xmodem.h"

#include <QFileInfo>
#include <QHostAddress>

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

QString checkOptions(const FlashOptions &options)
{
    const QFileInfo file(options.file);
    if (options.file.isEmpty())
        return QStringLiteral("не задан файл с прошивкой");
    if (!file.exists() || !file.isFile())
        return QStringLiteral("нет такого файла: %1").arg(options.file);
    if (!file.isReadable())
        return QStringLiteral("файл не читается: %1").arg(options.file);
    if (options.link == FlashOptions::Link::Serial) {
        if (options.serialPort.isEmpty())
            return QStringLiteral("не задан COM порт");
        if (file.size() < Xmodem::MinSerialFileSize || file.size() > Xmodem::MaxSerialFileSize)
            return QStringLiteral("размер файла %1 байт: по COM порту передаются файлы от %2 до %3 байт")
                .arg(file.size())
                .arg(Xmodem::MinSerialFileSize)
                .arg(Xmodem::MaxSerialFileSize);
    }
    if (options.devices.isEmpty())
        return QStringLiteral("не заданы номера приборов (--device)");
    return QString();
}
