#ifndef CAPPEDREAD_H
#define CAPPEDREAD_H

#include <QByteArray>
#include <QIODevice>

// Up to cap bytes of the device, read as they come: a cap far above what a file usually holds
// costs nothing for a small file (QIODevice::read(cap) would reserve it whole first). Stops at the
// end or at an error, which the device then reports.
QByteArray readAtMost(QIODevice &device, qint64 cap);

#endif // CAPPEDREAD_H
