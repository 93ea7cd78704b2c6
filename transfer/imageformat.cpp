#include "imageformat.h"

#include <QFileInfo>
#include <QRegularExpression>

ForeignImageFormat foreignImageFormat(const QByteArray &head)
{
    if (head.startsWith("\x7f" "ELF"))
        return {QStringLiteral("ELF"), QString()};
    // Both text formats are whole lines of hexadecimal records; a raw image does not start
    // with ten or more hexadecimal digits and a line end.
    const QByteArray firstLine = head.left(head.indexOf('\n') < 0 ? head.size() : head.indexOf('\n')).trimmed();
    static const QRegularExpression hexRecord(QStringLiteral("^:[0-9A-Fa-f]{10,}$"));
    static const QRegularExpression sRecord(QStringLiteral("^S[0-9][0-9A-Fa-f]{8,}$"));
    const QString line = QString::fromLatin1(firstLine);
    if (hexRecord.match(line).hasMatch())
        return {QStringLiteral("Intel HEX"), QStringLiteral("ihex")};
    if (sRecord.match(line).hasMatch())
        return {QStringLiteral("S-record"), QStringLiteral("srec")};
    return {};
}

QString foreignImageAdvice(const ForeignImageFormat &format, const QString &path)
{
    const QString input = format.objcopyInput.isEmpty() ? QString() : QStringLiteral("-I %1 ").arg(format.objcopyInput);
    return QStringLiteral("файл %1 в формате %2, а прибору нужен двоичный образ (.bin). "
                          "Сделайте его, например: objcopy %3-O binary %1 %4.bin")
        .arg(path, format.name, input, QFileInfo(path).completeBaseName());
}
