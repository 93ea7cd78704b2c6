#ifndef PLATFORM_H
#define PLATFORM_H

#include <QObject>
#include <QString>

// What the flasher needs from the operating system beyond Qt: signals, whether standard output
// is a terminal and how wide it is, the operator's login name. POSIX systems have it all;
// elsewhere the flasher runs without signals and with plain lines.
namespace platform {

bool standardOutputIsTerminal();
// Columns of the terminal on standard output; 0 when unknown.
int terminalColumns();
QString loginName();

// SIGINT, SIGTERM and SIGHUP, and the terminal being resized, as signals in the event loop.
class SignalWatcher : public QObject
{
    Q_OBJECT
public:
    explicit SignalWatcher(QObject *parent = nullptr);
    ~SignalWatcher() override;
    // False when the signals could not be routed.
    bool install();

    static constexpr int Interrupt = 2;  // SIGINT
    static constexpr int Hangup = 1;     // SIGHUP
    static constexpr int Terminate = 15; // SIGTERM

signals:
    void signalled(int signalNumber);
    void resized();
};

} // namespace platform

#endif // PLATFORM_H
