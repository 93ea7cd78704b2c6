#include "retrypolicy.h"

#include "xmodem.h"

namespace retry {

bool isBadInput(int status)
{
    return status == ERROR_NO_INTERFACE || status == ERROR_BAD_FILE_NAME || status == ERROR_BAD_FILE_SIZE
        || status == ERROR_BAD_IP_ADDRESS || status == ERROR_BAD_ETH_PORT;
}

// A device that failed part-way is still in its receiver mode and takes the image anew.
bool mayRetry(DeviceRecord::Outcome outcome, int lastStatus, int attempt, int maxAttempts, bool batchHolding)
{
    const bool failed = outcome == DeviceRecord::Outcome::Failed || outcome == DeviceRecord::Outcome::NoAnswer;
    return failed && !isBadInput(lastStatus) && attempt < maxAttempts && !batchHolding;
}

} // namespace retry
