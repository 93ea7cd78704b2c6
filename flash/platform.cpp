#include "platform.h"

#ifdef Q_OS_UNIX
#include <QSocketNotifier>

#include <csignal>
#include <pwd.h>
#include <sys/ioctl.h>
#include <unistd.h>
#else
#include <QtGlobal>
#endif

namespace platform {

#ifdef Q_OS_UNIX

namespace {
int signalPipe[2] = {-1, -1};

// Only the signal's number crosses over to the event loop, which does the rest.
void onSignal(int signalNumber)
{
    const char byte = char(signalNumber);
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
}
} // namespace

static_assert(SIGINT == SignalWatcher::Interrupt && SIGHUP == SignalWatcher::Hangup && SIGTERM == SignalWatcher::Terminate,
              "signal numbers as the exit codes document them");

bool standardOutputIsTerminal()
{
    return ::isatty(STDOUT_FILENO) == 1;
}

int terminalColumns()
{
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0)
        return 0;
    return size.ws_col;
}

QString loginName()
{
    if (const passwd *user = ::getpwuid(::geteuid()))
        return QString::fromLocal8Bit(user->pw_name);
    return qEnvironmentVariable("USER");
}

SignalWatcher::SignalWatcher(QObject *parent)
    : QObject(parent)
{
}

SignalWatcher::~SignalWatcher()
{
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGWINCH})
        std::signal(signalNumber, SIG_DFL);
}

bool SignalWatcher::install()
{
    if (::pipe(signalPipe) != 0)
        return false;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        char byte = 0;
        if (::read(signalPipe[0], &byte, 1) != 1)
            return;
        if (byte == SIGWINCH)
            emit resized();
        else
            emit signalled(byte);
    });
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGWINCH})
        std::signal(signalNumber, onSignal);
    return true;
}

#else

bool standardOutputIsTerminal() { return false; }
int terminalColumns() { return 0; }
QString loginName() { return qEnvironmentVariable("USERNAME"); }
SignalWatcher::SignalWatcher(QObject *parent) : QObject(parent) {}
SignalWatcher::~SignalWatcher() = default;
bool SignalWatcher::install() { return true; }

#endif

} // namespace platform
