#ifndef IMAGEFORMAT_H
#define IMAGEFORMAT_H

#include <QByteArray>
#include <QString>

// The device stores the bytes it receives as they are: an image must be raw. A build also
// produces Intel HEX, S-record and ELF files, which a slip can pick instead.
struct ForeignImageFormat
{
    QString name;         // empty: none recognised
    QString objcopyInput; // objcopy's -I for it, empty when objcopy tells by itself
};

// Looks at the first bytes of a file.
ForeignImageFormat foreignImageFormat(const QByteArray &head);

// What the operator is told: the file's format and how to make a raw image of it.
QString foreignImageAdvice(const ForeignImageFormat &format, const QString &path);

#endif // IMAGEFORMAT_H
