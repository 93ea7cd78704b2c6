#ifndef RECORDSARGUMENTS_H
#define RECORDSARGUMENTS_H

#include "commandline.h"

#include <QCommandLineParser>

// A name that goes into the records and onto screens: empty when it is printable text, else why not.
QString checkRecordName(const QString &option, const QString &value);

// --history, --verify-records, --sync-records and --acknowledge-restore: they read the records
// and open no link. command holds what the common options already set.
CommandLine parseRecordsCommand(const QCommandLineParser &parser, CommandLine command);

#endif // RECORDSARGUMENTS_H
