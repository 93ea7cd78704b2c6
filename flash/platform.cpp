#include "platform.h"

#ifdef Q_OS_UNIX
#include <QSocketNotifier>

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#elif defined(Q_OS_WIN)
#include <QDir>
#include <QFileInfo>
#include <QMetaObject>
#include <QTimer>

#include <cstdio>
#include <io.h>
#include <windows.h>
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

void prepareConsole() {}

bool standardOutputIsTerminal()
{
    return ::isatty(STDOUT_FILENO) == 1;
}

TerminalSize terminalSize()
{
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0)
        return {};
    return {size.ws_col, size.ws_row};
}

QString loginName()
{
    if (const passwd *user = ::getpwuid(::geteuid()))
        return QString::fromLocal8Bit(user->pw_name);
    return qEnvironmentVariable("USER");
}

QString fileIdentity(const QString &path)
{
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) == 0)
        return QStringLiteral("inode %1:%2").arg(quint64(info.st_dev)).arg(quint64(info.st_ino));
    const QFileInfo place(path);
    const QString folder = QFileInfo(place.absolutePath()).canonicalFilePath();
    return QStringLiteral("path ") + (folder.isEmpty() ? place.absoluteFilePath() : folder + QLatin1Char('/') + place.fileName());
}

namespace {

QString userName(uid_t uid)
{
    if (const passwd *user = ::getpwuid(uid))
        return QString::fromLocal8Bit(user->pw_name);
    return QString::number(uid);
}

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

// /run/lock is the system's folder for locks, shared by every user and emptied at boot; /tmp is
// the fallback, named here rather than taken from TMPDIR, which may differ from user to user.
QString sharedLockFolder(QString *error, bool create)
{
    QString why;
    QStringList folders{QStringLiteral("/run/lock/vorlex-flash"), QStringLiteral("/tmp/vorlex-flash")};
    // Set on purpose only: flashers that do not share the folder do not exclude each other.
    const QString chosen = qEnvironmentVariable("VORLEX_FLASH_LOCK_DIR");
    if (!chosen.isEmpty())
        folders = QStringList{chosen};
    for (const QString &folder : qAsConst(folders)) {
        const QByteArray name = QFile::encodeName(folder);
        struct stat existing {};
        if (!create && ::stat(name.constData(), &existing) == 0 && S_ISDIR(existing.st_mode))
            return folder;
        if (!create)
            continue;
        const mode_t mask = ::umask(0);
        const int made = ::mkdir(name.constData(), 01777);
        const int saved = errno;
        ::umask(mask);
        struct stat info {};
        if ((made == 0 || saved == EEXIST) && ::stat(name.constData(), &info) == 0 && S_ISDIR(info.st_mode))
            return folder;
        why = QStringLiteral("%1: %2").arg(folder, systemError(made == 0 ? ENOTDIR : saved));
    }
    *error = why;
    return QString();
}

FileLock::~FileLock()
{
    unlock();
}

FileLock::Result FileLock::lock(const QString &path, bool create, QString *detail)
{
    unlock();
    const QByteArray name = QFile::encodeName(path);
    // A serial port is opened without waiting for its carrier and without becoming anyone's
    // controlling terminal.
    int flags = O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
    if (create)
        flags |= O_CREAT;
    int fd = ::open(name.constData(), flags, 0666);
    // Another user's lock file that this one may only read: reading is enough to lock it, not to
    // sign it.
    if (fd < 0 && errno == EACCES)
        fd = ::open(name.constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        struct stat info {};
        if (error == EBUSY) {
            *detail = QStringLiteral("другая программа (устройство открыто в монопольном режиме)");
            return Result::Held;
        }
        *detail = ::stat(name.constData(), &info) == 0
                      ? QStringLiteral("%1 (владелец %2)").arg(systemError(error), userName(info.st_uid))
                      : systemError(error);
        return Result::Unusable;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        if (error == EWOULDBLOCK) {
            char text[256] = {};
            const ssize_t n = create ? ::pread(fd, text, sizeof text - 1, 0) : 0;
            struct stat info {};
            ::fstat(fd, &info);
            *detail = n > 0 ? QString::fromUtf8(text, int(n)).trimmed() : QStringLiteral("процесс пользователя %1").arg(userName(info.st_uid));
            ::close(fd);
            return Result::Held;
        }
        ::close(fd);
        *detail = systemError(error);
        return Result::Unusable;
    }
    if (create) {
        // Made by this user, but any operator's flasher must be able to lock it later.
        struct stat info {};
        if (::fstat(fd, &info) == 0 && info.st_uid == ::geteuid() && (info.st_mode & 0666) != 0666)
            ::fchmod(fd, 0666);
    }
    m_fd = fd;
    return Result::Locked;
}

void FileLock::describeHolder(const QString &text)
{
    if (m_fd < 0)
        return;
    const QByteArray bytes = text.toUtf8() + '\n';
    // Only for another flasher's message: a failure here changes nothing about the lock.
    if (::ftruncate(m_fd, 0) == 0)
        [[maybe_unused]] const ssize_t n = ::pwrite(m_fd, bytes.constData(), size_t(bytes.size()), 0);
}

void FileLock::unlock()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
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
    // A file-size limit ends a write with an error, which is reported, not the process.
    std::signal(SIGXFSZ, SIG_IGN);
    return true;
}

#elif defined(Q_OS_WIN)

namespace {

SignalWatcher *installedWatcher = nullptr;
// Set when the watcher goes, at the end of main: a close, logoff or shutdown handler waits for
// it, since Windows ends the process as soon as the handler returns.
HANDLE runOver = nullptr;
// What Windows allows a console program after a close (5 s), less a margin.
constexpr DWORD CloseGraceMs = 4500;

// Runs in a thread of its own, which Windows starts for the event.
BOOL WINAPI onConsoleEvent(DWORD event)
{
    int signalNumber = SignalWatcher::Interrupt;
    if (event == CTRL_CLOSE_EVENT)
        signalNumber = SignalWatcher::Hangup;
    else if (event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        signalNumber = SignalWatcher::Terminate;
    if (SignalWatcher *watcher = installedWatcher)
        QMetaObject::invokeMethod(watcher, [watcher, signalNumber] { emit watcher->signalled(signalNumber); }, Qt::QueuedConnection);
    if (signalNumber != SignalWatcher::Interrupt && runOver)
        ::WaitForSingleObject(runOver, CloseGraceMs);
    return TRUE;
}

HANDLE standardOutputHandle()
{
    return ::GetStdHandle(STD_OUTPUT_HANDLE);
}

QString windowsError(DWORD error)
{
    wchar_t *text = nullptr;
    ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                     reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    const QString message = text ? QString::fromWCharArray(text).trimmed() : QStringLiteral("error %1").arg(error);
    ::LocalFree(text);
    return message;
}

// The lock is one byte far beyond any text, so that the holder's line stays readable: Windows
// locks are mandatory for the bytes they cover.
constexpr DWORD LockOffsetHigh = 0x7fffffff;

} // namespace

void prepareConsole()
{
    // Russian text as UTF-8, which the streams write, instead of the OEM code page's mojibake.
    ::SetConsoleOutputCP(CP_UTF8);
}

bool standardOutputIsTerminal()
{
    if (_isatty(_fileno(stdout)) == 0)
        return false;
    // The live lines need the console to read escape sequences; a console that refuses gets
    // plain lines.
    DWORD mode = 0;
    const HANDLE out = standardOutputHandle();
    return ::GetConsoleMode(out, &mode) && ::SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING | ENABLE_PROCESSED_OUTPUT);
}

TerminalSize terminalSize()
{
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!::GetConsoleScreenBufferInfo(standardOutputHandle(), &info))
        return {};
    return {info.srWindow.Right - info.srWindow.Left + 1, info.srWindow.Bottom - info.srWindow.Top + 1};
}

QString loginName()
{
    wchar_t name[257] = {};
    DWORD size = 257;
    if (::GetUserNameW(name, &size) && size > 1)
        return QString::fromWCharArray(name, int(size) - 1);
    return qEnvironmentVariable("USERNAME");
}

QString fileIdentity(const QString &path)
{
    const HANDLE file = ::CreateFileW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()), 0,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        BY_HANDLE_FILE_INFORMATION info{};
        const bool known = ::GetFileInformationByHandle(file, &info);
        ::CloseHandle(file);
        if (known)
            return QStringLiteral("file %1:%2:%3").arg(info.dwVolumeSerialNumber).arg(info.nFileIndexHigh).arg(info.nFileIndexLow);
    }
    const QFileInfo place(path);
    const QString folder = QFileInfo(place.absolutePath()).canonicalFilePath();
    // Windows' file names do not tell case apart.
    return QStringLiteral("path ") + (folder.isEmpty() ? place.absoluteFilePath() : folder + QLatin1Char('/') + place.fileName()).toLower();
}

// Under ProgramData, where every user of the machine may create files.
QString sharedLockFolder(QString *error, bool create)
{
    QString folder = qEnvironmentVariable("VORLEX_FLASH_LOCK_DIR");
    if (folder.isEmpty()) {
        const QString programData = qEnvironmentVariable("ProgramData", QStringLiteral("C:/ProgramData"));
        folder = QDir(QDir::fromNativeSeparators(programData)).filePath(QStringLiteral("vorlex-flash/locks"));
    }
    if (!create)
        return QFileInfo(folder).isDir() ? folder : QString();
    if (!QDir().mkpath(folder)) {
        *error = QStringLiteral("%1: папку нельзя создать").arg(QDir::toNativeSeparators(folder));
        return QString();
    }
    return folder;
}

FileLock::~FileLock()
{
    unlock();
}

FileLock::Result FileLock::lock(const QString &path, bool create, QString *detail)
{
    unlock();
    const auto open = [&](DWORD access) {
        return ::CreateFileW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()), access,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, create ? OPEN_ALWAYS : OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    HANDLE file = open(GENERIC_READ | GENERIC_WRITE);
    // Another user's lock file: reading is enough to lock it, not to sign it.
    if (file == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_ACCESS_DENIED)
        file = open(GENERIC_READ);
    if (file == INVALID_HANDLE_VALUE) {
        *detail = windowsError(::GetLastError());
        return Result::Unusable;
    }
    OVERLAPPED where{};
    where.OffsetHigh = LockOffsetHigh;
    if (!::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &where)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) {
            char text[256] = {};
            DWORD n = 0;
            ::ReadFile(file, text, sizeof text - 1, &n, nullptr);
            *detail = n > 0 ? QString::fromUtf8(text, int(n)).trimmed() : QStringLiteral("другой процесс");
            ::CloseHandle(file);
            return Result::Held;
        }
        ::CloseHandle(file);
        *detail = windowsError(error);
        return Result::Unusable;
    }
    m_handle = file;
    return Result::Locked;
}

void FileLock::describeHolder(const QString &text)
{
    if (!m_handle)
        return;
    const QByteArray bytes = text.toUtf8() + "\r\n";
    DWORD written = 0;
    // Only for another flasher's message: a failure here changes nothing about the lock.
    if (::SetFilePointer(m_handle, 0, nullptr, FILE_BEGIN) == 0 && ::SetEndOfFile(m_handle))
        ::WriteFile(m_handle, bytes.constData(), DWORD(bytes.size()), &written, nullptr);
}

void FileLock::unlock()
{
    if (m_handle)
        ::CloseHandle(m_handle);
    m_handle = nullptr;
}

SignalWatcher::SignalWatcher(QObject *parent)
    : QObject(parent)
{
}

SignalWatcher::~SignalWatcher()
{
    if (installedWatcher != this)
        return;
    installedWatcher = nullptr;
    if (runOver)
        ::SetEvent(runOver);
}

bool SignalWatcher::install()
{
    runOver = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!runOver || !::SetConsoleCtrlHandler(onConsoleEvent, TRUE))
        return false;
    installedWatcher = this;
    // A console reports a new size only to a program that reads its input: look now and then.
    auto *sizeWatch = new QTimer(this);
    connect(sizeWatch, &QTimer::timeout, this, [this, last = terminalSize()]() mutable {
        const TerminalSize now = terminalSize();
        if (now.columns == last.columns && now.rows == last.rows)
            return;
        last = now;
        emit resized();
    });
    sizeWatch->start(500);
    return true;
}

#endif

} // namespace platform
