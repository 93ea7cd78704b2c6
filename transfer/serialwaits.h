#ifndef SERIALWAITS_H
#define SERIALWAITS_H

class BoundedWait;
class QSerialPort;

// How the worker waits on a serial port, per system. Qt's Unix port is a descriptor that may be
// polled at any time. Qt's Windows port keeps one queue of I/O completions for its blocking waits
// (waitForReadyRead(), waitForBytesWritten()) and its event-loop notification: a blocking wait
// that takes a completion queued for the event loop leaves the loop without its readyRead(), and
// one that follows a batch the loop took dequeues from an empty queue and corrupts the port. So on
// Windows the worker waits on a port only through its event loop.
namespace serialwaits {

// Bytes the port holds for reading now, looked for without blocking. Bytes found are read by the
// caller; a look that finds nothing leaves no error behind.
bool inputHeld(QSerialPort *port);

// Hands what was written to the port to the system now, rather than when the event loop gets
// round to it, waiting at most ms milliseconds where the system's port allows it.
void pushWritten(QSerialPort *port, int ms);

// Waits up to ms milliseconds for the port's first answer or error. wait ends early on the port's
// readyRead() and errorOccurred(), which its owner has connected.
void awaitAnswer(QSerialPort *port, int ms, BoundedWait &wait);

} // namespace serialwaits

#endif // SERIALWAITS_H
