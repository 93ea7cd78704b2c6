#ifndef EXITCODES_H
#define EXITCODES_H

// vorlex-flash's exit codes, as --help, the manual page and the README give them.
enum ExitCode {
    AllUpdated = 0,
    SomeFailed = 1,
    BadInput = 2,
    OutputNotWritten = 3, // the report, the transcript or standard output
    RecordsLost = 4,
    KilledBase = 128, // + the signal's number
    Interrupted = 130,
};

// How a batch ended, as far as its exit code goes.
struct BatchEnd
{
    bool allUpdated = false;
    bool interrupted = false; // Ctrl-C during the batch
    int signalNumber = 0;     // SIGTERM or SIGHUP during the batch
    int lateSignal = 0;       // the first signal after the last device, while the records were finished
    bool recordsLost = false; // a ledger row not written
    bool outputFailed = false;
};

// Precedence: a signal or an interrupt (it says what ended the batch), then an output not
// written whole, then a lost ledger row, then a device not updated.
int batchExitCode(const BatchEnd &end);

// Any command's code once standard output could not be written to its last byte: a signal's
// or an interrupt's code stands.
int withOutputFailure(int code);

#endif // EXITCODES_H
