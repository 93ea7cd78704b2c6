#include "portlist.h"

#include "console.h"
#include "textescape.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSerialPortInfo>

namespace {

QString usbId(bool known, quint16 id)
{
    return known ? QStringLiteral("%1").arg(id, 4, 16, QLatin1Char('0')) : QString();
}

} // namespace

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
    // A USB adapter's strings are whoever made or programmed it: shown escaped, as a name is.
    const auto field = [](const QString &value) { return value.isEmpty() ? QStringLiteral("-") : quotedForMessage(value, PathInMessage); };
    standardOutput() << QStringLiteral("порт\tпуть\tописание\tпроизводитель\tсерийный номер\tUSB VID:PID") << Qt::endl;
    for (const QSerialPortInfo &port : ports) {
        const QString ids = port.hasVendorIdentifier() && port.hasProductIdentifier()
            ? usbId(true, port.vendorIdentifier()) + QLatin1Char(':') + usbId(true, port.productIdentifier())
            : QString();
        standardOutput() << QStringList{field(port.portName()), field(port.systemLocation()), field(port.description()), field(port.manufacturer()),
                                        field(port.serialNumber()), field(ids)}
                                .join(QLatin1Char('\t'))
                         << Qt::endl;
    }
}

