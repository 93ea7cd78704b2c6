#include "planfile.h"

#include "cappedread.h"
#include "textescape.h"

#include <QFile>
#include <QFileInfo>

QString readPlan(const QString &path, QList<LinkPlan> *links)
{
    QFile file(path);
    const QString shown = quotedForMessage(path, PathInMessage);
    // A pipe is fine (a plan made on the fly); an endless one is cut off by the cap below.
    if (QFileInfo(path).isDir())
        return QStringLiteral("план %1 - это папка, а не файл").arg(shown);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return QStringLiteral("план %1 не открывается: %2").arg(shown, file.errorString());
    // Never more than the cap: the file may grow while it is read.
    const QByteArray text = readAtMost(file, MaxPlanBytes + 1);
    // A plan cut short by a read error would run part of the batch as if it were the whole.
    if (file.error() != QFileDevice::NoError)
        return QStringLiteral("план %1 не читается: %2").arg(shown, file.errorString());
    if (text.size() > MaxPlanBytes)
        return QStringLiteral("план %1 больше %2 байт: это не план связей").arg(shown).arg(MaxPlanBytes);
    QString error;
    if (!parsePlan(QString::fromUtf8(text), path, links, &error))
        return error;
    if (links->isEmpty())
        return QStringLiteral("%1: в плане нет ни одной связи").arg(shown);
    return QString();
}
