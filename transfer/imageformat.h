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

// Where objcopy is told to write the raw image: beside the input, a name that is neither the
// input nor any file there yet (fw-raw.bin, then fw-raw-2.bin, ...), so that the advice destroys
// nothing when followed.
QString rawImageName(const QString &path);

// A word as a POSIX shell takes it literally: as it is when plain, otherwise in single quotes.
QString shellWord(const QString &word);

// What the operator is told: the file's format and how to make a raw image of it, the names as
// the caller shows them (escaped); the command's words are quoted for a shell.
QString foreignImageAdvice(const ForeignImageFormat &format, const QString &shownInput, const QString &shownOutput);

#endif // IMAGEFORMAT_H
