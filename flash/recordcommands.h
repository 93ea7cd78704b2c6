#ifndef RECORDCOMMANDS_H
#define RECORDCOMMANDS_H

#include "commandline.h"

// --history, --verify-records and --sync-records: they read the records and open no link.
// Returns the exit code.
int runRecordsCommand(const CommandLine &command);

#endif // RECORDCOMMANDS_H
