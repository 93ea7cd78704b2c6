#include "serialports.h"

#include "textescape.h"

#include <QFileInfo>
#include <QSerialPortInfo>

namespace {
QString devicePath(const QString &name)
{
    return name.startsWith(QLatin1Char('/')) ? name : QStringLiteral("/dev/") + name;
}
} // namespace

bool serialPortPresent(const QString &name, QStringList *listed)
{
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &port : ports) {
        if (port.portName() == name || port.systemLocation() == name)
            return true;
        if (listed)
            *listed << quotedForMessage(port.portName());
    }
    return QFileInfo::exists(devicePath(name));
}

QString checkSerialPort(const QString &name)
{
    QStringList names;
    if (serialPortPresent(name, &names))
        return QString();
    return QStringLiteral("COM порт %1 не найден. %2").arg(quotedForMessage(name),
        names.isEmpty() ? QStringLiteral("В системе нет COM портов.") : QStringLiteral("Есть: ") + names.join(QStringLiteral(", ")));
}

QString portPermissionHint(const QString &name)
{
#ifdef Q_OS_LINUX
    // The worker only knows that the port did not open. The most common reason on Linux has a
    // remedy the operator can apply at once.
    const QFileInfo port(devicePath(name));
    if (port.exists() && !(port.isReadable() && port.isWritable()))
        return QStringLiteral("нет прав на порт %1. Откройте доступ: добавьте пользователя в группу dialout "
                              "(sudo usermod -aG dialout $USER), затем выйдите из системы и войдите заново.")
            .arg(quotedForMessage(port.filePath(), PathInMessage));
#else
    Q_UNUSED(name)
#endif
    return QString();
}
