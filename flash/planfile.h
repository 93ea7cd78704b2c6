#ifndef PLANFILE_H
#define PLANFILE_H

#include "flashoptions.h"

#include <QList>
#include <QString>

// Reads a plan file (or a pipe), never more than a plan can be, and adds its links to *links.
// Empty when it holds at least one link; otherwise why it cannot be used.
QString readPlan(const QString &path, QList<LinkPlan> *links);

#endif // PLANFILE_H
