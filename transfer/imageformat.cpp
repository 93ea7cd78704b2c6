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

QString rawImageName(const QString &path)
{
    const QFileInfo input(path);
    const QString folder = input.path() == QLatin1String(".") && !path.startsWith(QLatin1String("./")) ? QString() : input.path() + QLatin1Char('/');
    for (int n = 1;; ++n) {
        const QString name = folder + input.completeBaseName() + (n == 1 ? QStringLiteral("-raw.bin") : QStringLiteral("-raw-%1.bin").arg(n));
        // A dangling link counts as taken: objcopy would write through it.
        if (!QFileInfo::exists(name) && !QFileInfo(name).isSymLink())
            return name;
    }
}

QString shellWord(const QString &word)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_./+,:=@%-]+$"));
    if (plain.match(word).hasMatch() && !word.startsWith(QLatin1Char('-')))
        return word;
    // A leading - would be taken for an option: ./ keeps it a file name.
    const QString safe = word.startsWith(QLatin1Char('-')) ? QStringLiteral("./") + word : word;
    return QLatin1Char('\'') + QString(safe).replace(QLatin1Char('\''), QStringLiteral("'\\''")) + QLatin1Char('\'');
}

QString foreignImageAdvice(const ForeignImageFormat &format, const QString &shownInput, const QString &shownOutput)
{
    const QString input = format.objcopyInput.isEmpty() ? QString() : QStringLiteral("-I %1 ").arg(format.objcopyInput);
    return QStringLiteral("файл %1 в формате %2, а прибору нужен двоичный образ (.bin). "
                          "Сделайте его, например: objcopy %3-O binary %4 %5")
        .arg(shownInput, format.name, input, shellWord(shownInput), shellWord(shownOutput));
}
