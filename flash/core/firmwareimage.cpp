#include "firmwareimage.h"

#include "cappedread.h"
#include "imageformat.h"
#include "textescape.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

bool loadFirmwareImage(const QString &path, FirmwareImage *image, QString *error)
{
    if (path.isEmpty()) {
        *error = QStringLiteral("не задан файл с прошивкой");
        return false;
    }
    // The name as typed may hold an escape sequence: shown escaped.
    const QString shown = quotedForMessage(path, PathInMessage);
    const QFileInfo info(path);
    if (!info.exists()) {
        *error = info.isSymLink() ? QStringLiteral("ссылка %1 не ведёт к файлу: она оборвана или замкнута в кольцо").arg(shown)
                                  : QStringLiteral("нет такого файла: %1").arg(shown);
        return false;
    }
    if (info.isDir()) {
        *error = QStringLiteral("%1 - это папка, а не файл прошивки").arg(shown);
        return false;
    }
    // A FIFO or a device would be read for ever, or give other bytes each time.
    if (!info.isFile()) {
        *error = QStringLiteral("%1 - не обычный файл (устройство, канал или сокет), а прошивка берётся из обычного файла").arg(shown);
        return false;
    }
    if (info.size() > MaxImageBytes) {
        *error = QStringLiteral("файл %1 размером %2 байт больше %3 байт: это не прошивка прибора").arg(shown).arg(info.size()).arg(MaxImageBytes);
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("файл %1 не читается: %2").arg(shown, file.errorString());
        return false;
    }
    image->bytes = readAtMost(file, MaxImageBytes + 1);
    if (file.error() != QFileDevice::NoError) {
        *error = QStringLiteral("файл %1 не читается: %2").arg(shown, file.errorString());
        return false;
    }
    if (image->bytes.isEmpty()) {
        *error = QStringLiteral("файл %1 пуст").arg(shown);
        return false;
    }
    if (image->bytes.size() > MaxImageBytes) {
        *error = QStringLiteral("файл %1 вырос во время чтения больше %2 байт").arg(shown).arg(MaxImageBytes);
        return false;
    }
    const ForeignImageFormat format = foreignImageFormat(image->bytes.left(4096));
    if (!format.name.isEmpty()) {
        *error = foreignImageAdvice(format, shown, quotedForMessage(rawImageName(path), PathInMessage));
        return false;
    }
    image->path = path;
    image->absolutePath = info.absoluteFilePath();
    image->sha256 = QString::fromLatin1(QCryptographicHash::hash(image->bytes, QCryptographicHash::Sha256).toHex());
    return true;
}
