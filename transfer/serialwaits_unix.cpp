#include "serialwaits.h"

#include "boundedwait.h"

#include <QSerialPort>
#include <QSignalBlocker>

namespace serialwaits {

bool inputHeld(QSerialPort *port)
{
    if (port->bytesAvailable() > 0)
        return true;
    // Debian's Qt can lose a port's read notification after a zero-byte read, so readyRead() may
    // never come for bytes the kernel already holds: poll the descriptor itself. Any signal it
    // emits would end the caller's wait, which is not this look's business.
    const QSignalBlocker quiet(port);
    const bool arrived = port->waitForReadyRead(0) && port->bytesAvailable() > 0;
    if (port->error() == QSerialPort::TimeoutError)
        port->clearError();
    return arrived;
}

void pushWritten(QSerialPort *port, int ms)
{
    port->waitForBytesWritten(ms);
}

void awaitAnswer(QSerialPort *port, int ms, BoundedWait &)
{
    port->waitForReadyRead(ms);
}

} // namespace serialwaits
