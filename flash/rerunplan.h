#ifndef RERUNPLAN_H
#define RERUNPLAN_H

#include "flashoptions.h"

#include <QList>
#include <QString>

// --rerun-failed: the devices a report of ours says were not updated, on the links where they
// were, in the report's (the plan's) order, and the SHA-256 of the image it names. An empty
// result means *links and *sha256 are set.
// *batch: the batch the report tells of, empty for a report older than batch ids.
QString readRerunPlan(const QString &reportPath, QList<LinkPlan> *links, QString *sha256, QString *batch);

#endif // RERUNPLAN_H
