#include "writerliveness.h"

platform::Liveness writerLiveness(const LedgerRow &start)
{
    if (start.pid == 0)
        return platform::formerBatchLiveness(start.batch);
    return platform::processLiveness({start.machine, start.boot, start.pid, start.processStart});
}
