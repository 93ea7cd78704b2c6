#include "exitcodes.h"

int batchExitCode(const BatchEnd &end)
{
    if (end.signalNumber != 0)
        return KilledBase + end.signalNumber;
    if (end.interrupted)
        return Interrupted;
    if (end.lateSignal != 0)
        return KilledBase + end.lateSignal;
    if (end.outputFailed)
        return OutputNotWritten;
    if (end.recordsLost)
        return RecordsLost;
    return end.allUpdated ? AllUpdated : SomeFailed;
}

int withOutputFailure(int code)
{
    return code >= KilledBase ? code : OutputNotWritten;
}
