#ifndef WRITERLIVENESS_H
#define WRITERLIVENESS_H

#include "platform.h"
#include "recordchain.h"

// Whether the flasher that wrote an attempt's start row still runs, from what the row records
// of it; a row of an earlier version by its batch's lock, as that version kept it. The writer
// closes the attempts of the dead with it, and the history tells under way from unfinished.
platform::Liveness writerLiveness(const LedgerRow &start);

#endif // WRITERLIVENESS_H
