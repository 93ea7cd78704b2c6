#ifndef RETRYPOLICY_H
#define RETRYPOLICY_H

#include "devicerecord.h"

// When a device that failed gets another attempt, and the pauses around attempts.
namespace retry {

// Before an attempt again: a cabinet or a device that has just failed gets a moment to recover.
constexpr int PauseMs = 1000;
// How often a retry looks whether a vanished serial port is back.
constexpr int PortPollMs = 200;
// A cabinet takes one connection at a time: give it a moment to see the last one closed.
constexpr int NextConnectionDelayMs = 300;

// Codes the checks before any link opens already rule out; another attempt would only repeat them.
bool isBadInput(int status);

// Every failure of the link or the device gets another attempt from the start, up to
// maxAttempts, unless the batch holds (stopped, or a failure without --keep-going).
bool mayRetry(DeviceRecord::Outcome outcome, int lastStatus, int attempt, int maxAttempts, bool batchHolding);

} // namespace retry

#endif // RETRYPOLICY_H
