#ifndef DEVICERECORD_H
#define DEVICERECORD_H

#include "runresult.h"

#include <QList>
#include <QMetaType>
#include <QString>

// What became of one device of the batch: the worker's result of each attempt, and what the
// batch makes of it.
struct DeviceRecord
{
    enum class Outcome { NotStarted, Updated, Failed, NoAnswer, Interrupted };
    struct Attempt
    {
        Outcome outcome = Outcome::Failed;
        QString message;
        RunResult run;
    };
    QString link;
    int device = 0;
    int order = 0;          // place in the plan
    Outcome outcome = Outcome::NotStarted; // the last attempt's
    QString message;        // as the operator reads it
    bool started = false;
    RunResult run;          // the last attempt's, when started
    QList<Attempt> attempts;
};

Q_DECLARE_METATYPE(DeviceRecord)

// For reports and scripts: "updated", "failed", "no answer", "interrupted", "not started".
QString outcomeName(DeviceRecord::Outcome outcome);
// For the operator.
QString outcomeText(DeviceRecord::Outcome outcome);

#endif // DEVICERECORD_H
