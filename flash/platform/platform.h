#ifndef PLATFORM_H
#define PLATFORM_H

#include <QObject>
#include <QString>

// What the flasher needs from the operating system beyond Qt: signals (on Windows the console's
// Ctrl-C, close, logoff and shutdown events), whether standard output is a terminal and its size,
// the operator's login name, file identities, kernel locks and whether a process lives. For
// POSIX systems and Windows.
namespace platform {

// Before anything is written: on Windows, the console takes UTF-8; on POSIX systems a write
// beyond the file-size limit fails with EFBIG, to be said, instead of killing the process.
void prepareConsole();

// Why a write failed, errno as the operator reads it: "диск полон", "файл превысил предел
// размера", or the system's words.
QString writeFailure(int error);

// What changes when a file is written, as the system keeps it: its device, file, size and the
// times of its last change. Empty when the file cannot be looked at.
QString fileStamp(const QString &path);

bool standardOutputIsTerminal();
// Columns and rows of the terminal on standard output. Rows are 0 when unknown; columns that the
// terminal does not tell come from COLUMNS, else 80.
struct TerminalSize
{
    int columns = 0;
    int rows = 0;
};
TerminalSize terminalSize();
// What the system itself says, 0 for what it does not know; each system's file has its own.
TerminalSize reportedTerminalSize();
QString loginName();

// What a path resolves to, through symlinks: the device and the file on it where the file
// exists, its absolute canonical place where only its folder does. Two paths with one identity
// are one file.
QString fileIdentity(const QString &path);

// What names one serial port, whatever path or spelling a plan uses: on Linux the device
// itself (two paths to one node are one port), on Windows the port's name in upper case without
// the \\.\ prefix; a port that does not exist yet, by its path.
QString serialPortIdentity(const QString &port);
// A serial port that did not open is open in another program, as far as the system tells.
bool serialPortHeldElsewhere(const QString &port);

// The folder of the cabinets' lock files: /run/lock on Linux, made by the system for every user;
// %ProgramData%\vorlex-flash\locks on Windows, made by the setup program. VORLEX_FLASH_LOCK_DIR
// names another (the tests play a second station with it). It decides nothing but the locks.
QString lockFolder();

// An exclusive lock, held by the kernel for as long as the file stays open here and gone with
// the process, however it ends. Two locks of one file collide, in one process too. Nothing in
// the file is ever truncated, changed or followed through a link.
class FileLock
{
public:
    enum class Result { Locked, Held, Unusable };
    FileLock() = default;
    ~FileLock();
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;

    // A serial port, locked on the device through whatever path names it.
    Result lockDevice(const QString &path, QString *detail);
    // A lock file of that name in lockFolder(): the folder must be one no other user can have
    // made or can empty, the file a regular file of one link; it is made when missing. Held:
    // *detail names the holder as the kernel knows it; Unusable: what is wrong, and whose.
    Result lockFile(const QString &name, QString *detail);
    // Whether the lock is still on the file its path names: in a sticky folder the file's
    // owner may remove it, and another flasher then locks a new one. False: *why says what.
    bool stillNamed(QString *why) const;
    // Windows only, where no table names a lock's holder: this process writes who it is into
    // the file it made. Elsewhere the kernel names the holder and nothing is written.
    void describeHolder(const QString &text);
    void unlock();

private:
    QString m_path;
    bool m_device = false;
#ifdef Q_OS_WIN
    void *m_handle = nullptr;
#else
    int m_fd = -1;
    int m_folder = -1;
    QByteArray m_name;
#endif
};

// A process as an attempt's start row records it: the machine, its boot, the process id and
// when the process started, so that a process id used again later is not taken for it.
struct ProcessIdentity
{
    QString machine;
    QString boot;
    qint64 pid = 0;
    QString started;
};
ProcessIdentity currentProcess();



// Whether that process still runs. Unknown when this process cannot see it (another machine,
// another user's process hidden from this one): never taken for dead.
enum class Liveness { Alive, Dead, Unknown };
Liveness processLiveness(const ProcessIdentity &process);

// Whether a flasher of an earlier version still runs a batch: it held batch-BATCH.lock in its
// lock folder for as long as it did. Read only, links not followed; for rows that record no
// process. Unknown where the folder may have been another user's to empty.
Liveness formerBatchLiveness(const QString &batch);

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
