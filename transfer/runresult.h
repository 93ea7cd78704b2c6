#ifndef RUNRESULT_H
#define RUNRESULT_H

#include <QDateTime>
#include <QMetaType>
#include <QString>

// What one update run came to, as the worker saw it: emitted once, just before finished().
// Codes and figures only: whoever shows the run makes its text from them (runMessage()).
struct RunResult
{
    enum class Outcome {
        Updated,   // the end of transmission was acknowledged
        Failed,    // a check, the link or the device failed the run
        Stopped,   // stop() ended the handshake before the device answered
        Abandoned, // abandon() or the thread's interruption ended the run wherever it was
    };
    Outcome outcome = Outcome::Failed;
    int lastStatus = 0;        // the last status_dev code, 0 when there was none
    int previousStatus = 0;    // the code before it (the one code -10 extends), 0 when none
    QString portName;          // the serial port the port codes name; empty on Ethernet
    bool answered = false;     // the device asked for the image: the transfer began
    qint64 imageSize = 0;      // bytes of the image this run was to send
    qint64 bytesAcknowledged = 0; // image bytes (fill excluded) in blocks the device acknowledged
    int retransmissions = 0;   // blocks and ends of transmission sent again after a NAK
    int probes = 0;            // probe bytes sent before the device asked for data
    QDateTime start;           // UTC
    QDateTime end;             // UTC
};

Q_DECLARE_METATYPE(RunResult)

#endif // RUNRESULT_H
