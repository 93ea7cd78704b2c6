#ifndef FIRMWAREIMAGE_H
#define FIRMWAREIMAGE_H

#include <QByteArray>
#include <QString>

// The image of a batch, read once before any link opens: every device gets these bytes, and
// the report names their hash, whatever happens to the file meanwhile.
struct FirmwareImage
{
    QString path;         // as given
    QString absolutePath;
    QByteArray bytes;
    QString sha256;       // lower-case hex
};

// Larger than any image this device family takes; anything bigger is the wrong file.
constexpr qint64 MaxImageBytes = 16 * 1024 * 1024;

// Reads and checks the image: a regular, readable, non-empty file of raw bytes (not HEX,
// S-record or ELF). False with *error saying why it cannot be used.
bool loadFirmwareImage(const QString &path, FirmwareImage *image, QString *error);

#endif // FIRMWAREIMAGE_H
