#ifndef DEVICELIST_H
#define DEVICELIST_H

#include <QList>
#include <QString>

// Device numbers as the programs take them: "2", "2,3,7", "2-9" or a mix, in the order given;
// every number 0 to 255. False (and an empty list) for anything else.
bool parseDeviceList(const QString &text, QList<int> *devices);

#endif // DEVICELIST_H
