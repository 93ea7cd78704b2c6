#include "cappedread.h"

QByteArray readAtMost(QIODevice &device, qint64 cap)
{
    QByteArray bytes;
    char chunk[64 * 1024];
    while (bytes.size() < cap) {
        const qint64 got = device.read(chunk, qMin<qint64>(qint64(sizeof chunk), cap - bytes.size()));
        if (got <= 0)
            break;
        bytes.append(chunk, int(got));
    }
    return bytes;
}
