#ifndef FILECLASH_H
#define FILECLASH_H

#include <QList>
#include <QString>

// A file the command line names, and how a message names its role: "--report", "файл прошивки".
struct NamedFile
{
    QString role;
    QString path;
};

// Every output against every input and every other output, by the file each resolves to
// (through symlinks and other names of the same file): a transcript appended to the image or a
// report written over the plan would destroy what the batch relies on. Empty when no two meet;
// otherwise which two, and what to do.
QString findFileClash(const QList<NamedFile> &outputs, const QList<NamedFile> &inputs);

#endif // FILECLASH_H
