#include "devicelist.h"

#include <QStringList>

bool parseDeviceList(const QString &text, QList<int> *devices)
{
    devices->clear();
    if (text.isEmpty())
        return false;
    for (const QString &part : text.split(QLatin1Char(','))) {
        const QStringList ends = part.split(QLatin1Char('-'));
        bool okLow = false;
        bool okHigh = false;
        const int low = ends.value(0).toInt(&okLow, 10);
        const int high = ends.size() == 2 ? ends.value(1).toInt(&okHigh, 10) : low;
        if (ends.size() == 1)
            okHigh = okLow;
        if (!okLow || !okHigh || ends.size() > 2 || low < 0 || high > 255 || low > high) {
            devices->clear();
            return false;
        }
        for (int n = low; n <= high; ++n)
            devices->append(n);
    }
    return true;
}
