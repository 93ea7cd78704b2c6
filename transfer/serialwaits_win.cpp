#include "serialwaits.h"

#include "boundedwait.h"

#include <QSerialPort>

namespace serialwaits {

// What the event loop has delivered is all the port holds for the worker: a blocking look would
// take a completion from the loop's queue (see the header).
bool inputHeld(QSerialPort *port)
{
    return port->bytesAvailable() > 0;
}

// flush() starts the write at once and does not wait; its completion reaches the event loop of
// the acknowledgement's wait, which follows.
void pushWritten(QSerialPort *port, int)
{
    port->flush();
}

void awaitAnswer(QSerialPort *, int ms, BoundedWait &wait)
{
    wait.wait(ms);
}

} // namespace serialwaits
