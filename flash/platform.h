#ifndef PLATFORM_H
#define PLATFORM_H

#include <QObject>
#include <QString>

// What the flasher needs from the operating system beyond Qt: signals (on Windows the console's
// Ctrl-C, close, logoff and shutdown events), whether standard output is a terminal and its size,
// the operator's login name, file identities and kernel locks. For POSIX systems and Windows.
namespace platform {

// Before anything is written: on Windows, the console takes UTF-8.
void prepareConsole();

bool standardOutputIsTerminal();
// Columns and rows of the terminal on standard output; 0 when unknown.
struct TerminalSize
{
    int columns = 0;
    int rows = 0;
};
TerminalSize terminalSize();
QString loginName();

// What a path resolves to, through symlinks: the device and the file on it where the file
// exists, its absolute canonical place where only its folder does. Two paths with one identity
// are one file.
QString fileIdentity(const QString &path);

// The folder every user's flasher locks its cabinets in, whatever TMPDIR says; made for all
// users when missing (unless create is false: a reader makes nothing). Empty when no such
// folder can be had (*error says why).
QString sharedLockFolder(QString *error, bool create = true);

// An exclusive lock on a file, held by the kernel for as long as the file stays open here and
// gone with the process, however it ends. Two locks of one file collide, in one process too.
class FileLock
{
public:
    enum class Result { Locked, Held, Unusable };
    FileLock() = default;
    ~FileLock();
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;

    // create: a lock file that is made when missing, readable and writable for every user.
    // Held: *detail names the holder as it wrote itself into the file (or the file's owner);
    // Unusable: *detail says why the file cannot be locked.
    Result lock(const QString &path, bool create, QString *detail);
    // After locking: who holds it, for another flasher's refusal message.
    void describeHolder(const QString &text);
    void unlock();

private:
#ifdef Q_OS_WIN
    void *m_handle = nullptr;
#else
    int m_fd = -1;
#endif
};

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
