#include "platform.h"

#include "textescape.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QMetaObject>
#include <QSysInfo>
#include <QTimer>

#include <cstdio>
#include <io.h>
#include <windows.h>

// The platform layer on Windows: the Win32 calls, the console's events.
namespace platform {

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

QString fileStamp(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return QString();
    return QStringLiteral("%1 %2 %3").arg(info.size()).arg(info.lastModified().toMSecsSinceEpoch()).arg(info.metadataChangeTime().toMSecsSinceEpoch());
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

TerminalSize reportedTerminalSize()
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

QString serialPortIdentity(const QString &port)
{
    QString name = port;
    if (name.startsWith(QLatin1String("\\\\.\\")))
        name = name.mid(4);
    return QStringLiteral("port ") + name.toUpper();
}

bool serialPortHeldElsewhere(const QString &port)
{
    // Windows opens a COM port for one program at a time, and says so by refusing access.
    const QString name = port.startsWith(QLatin1String("\\\\.\\")) ? port : QStringLiteral("\\\\.\\") + port;
    const HANDLE handle = ::CreateFileW(reinterpret_cast<const wchar_t *>(name.utf16()), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        ::CloseHandle(handle);
        return false;
    }
    const DWORD error = ::GetLastError();
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
}

// Under ProgramData, made by the setup program with an access list under which every user may
// create files there but not replace or remove another's. Without the setup program (the zip)
// the first flasher makes it with what ProgramData passes on.
QString lockFolder()
{
    const QString chosen = qEnvironmentVariable("VORLEX_FLASH_LOCK_DIR");
    if (!chosen.isEmpty())
        return chosen;
    const QString programData = qEnvironmentVariable("ProgramData", QStringLiteral("C:/ProgramData"));
    return QDir(QDir::fromNativeSeparators(programData)).filePath(QStringLiteral("vorlex-flash/locks"));
}

namespace {

const wchar_t *wide(const QString &path)
{
    return reinterpret_cast<const wchar_t *>(path.utf16());
}

} // namespace

FileLock::~FileLock()
{
    unlock();
}

// A COM port is exclusive to one opener already, and a lock of ours would shut out our own
// worker: there is nothing to lock.
FileLock::Result FileLock::lockDevice(const QString &, QString *)
{
    unlock();
    return Result::Locked;
}

FileLock::Result FileLock::lockFile(const QString &fileName, QString *detail)
{
    unlock();
    const QString folder = QDir::toNativeSeparators(lockFolder());
    m_path = QDir::toNativeSeparators(QDir(lockFolder()).filePath(fileName));
    const QString folderShown = quotedForMessage(folder, PathInMessage);
    const QString shown = quotedForMessage(m_path, PathInMessage);
    if (!QFileInfo(folder).isDir() && !QDir().mkpath(folder)) {
        *detail = QStringLiteral("папку блокировок %1 нельзя создать").arg(folderShown);
        return Result::Unusable;
    }
    const DWORD folderAttributes = ::GetFileAttributesW(wide(folder));
    if (folderAttributes == INVALID_FILE_ATTRIBUTES || !(folderAttributes & FILE_ATTRIBUTE_DIRECTORY)
        || (folderAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        *detail = QStringLiteral("папка блокировок %1 не годится: это не папка, а ссылка или файл").arg(folderShown);
        return Result::Unusable;
    }
    // The file itself, never what a link in its place points to; made only when missing.
    const auto open = [&](DWORD access, DWORD disposition) {
        return ::CreateFileW(wide(m_path), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, disposition,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    };
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int tries = 0; file == INVALID_HANDLE_VALUE && tries < 3; ++tries) {
        file = open(GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
        // Another user's lock file: reading is enough to lock it, not to sign it.
        if (file == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_ACCESS_DENIED)
            file = open(GENERIC_READ, OPEN_EXISTING);
        if (file != INVALID_HANDLE_VALUE || ::GetLastError() != ERROR_FILE_NOT_FOUND)
            break;
        file = open(GENERIC_READ | GENERIC_WRITE, CREATE_NEW);
        if (file == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS)
            break;
    }
    if (file == INVALID_HANDLE_VALUE) {
        *detail = QStringLiteral("файл блокировки %1 не открывается: %2").arg(shown, windowsError(::GetLastError()));
        return Result::Unusable;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    QString wrong;
    if (!::GetFileInformationByHandle(file, &info))
        wrong = windowsError(::GetLastError());
    else if (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))
        wrong = QStringLiteral("- ссылка или папка, а не файл; по ссылкам блокировки не ходят");
    else if (info.nNumberOfLinks != 1)
        wrong = QStringLiteral("- жёсткая ссылка: у файла %1 имени").arg(info.nNumberOfLinks);
    if (!wrong.isEmpty()) {
        ::CloseHandle(file);
        *detail = QStringLiteral("файл блокировки %1 %2").arg(shown, wrong);
        return Result::Unusable;
    }
    OVERLAPPED where{};
    where.OffsetHigh = LockOffsetHigh;
    if (!::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &where)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) {
            char text[256] = {};
            DWORD n = 0;
            // Windows keeps no table of who holds a lock: only what the holder wrote, shown as such.
            const bool read = ::ReadFile(file, text, sizeof text - 1, &n, nullptr);
            const QString words = read && n > 0 ? quotedForMessage(QString::fromUtf8(text, int(n)).trimmed(), 100) : QString();
            *detail = words.isEmpty() ? QStringLiteral("другой процесс") : QStringLiteral("другой процесс, по его собственной записи: \"%1\"").arg(words);
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

bool FileLock::stillNamed(QString *why) const
{
    if (!m_handle)
        return true;
    BY_HANDLE_FILE_INFORMATION held{};
    BY_HANDLE_FILE_INFORMATION named{};
    const HANDLE now = ::CreateFileW(wide(m_path), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    bool same = false;
    if (now != INVALID_HANDLE_VALUE) {
        same = ::GetFileInformationByHandle(m_handle, &held) && ::GetFileInformationByHandle(now, &named)
            && held.dwVolumeSerialNumber == named.dwVolumeSerialNumber && held.nFileIndexHigh == named.nFileIndexHigh
            && held.nFileIndexLow == named.nFileIndexLow;
        ::CloseHandle(now);
    }
    if (!same)
        *why = QStringLiteral("файл блокировки %1 удалён или заменён, пока связь была у этого vorlex-flash: по новому файлу её мог занять другой")
                   .arg(quotedForMessage(m_path, PathInMessage));
    return same;
}

void FileLock::describeHolder(const QString &text)
{
    if (!m_handle)
        return;
    const QByteArray bytes = text.toUtf8() + "\r\n";
    DWORD written = 0;
    // Only for another flasher's message, which marks it as the holder's own words: a failure
    // here changes nothing about the lock. Another user's file opened only for reading refuses.
    if (::SetFilePointer(m_handle, 0, nullptr, FILE_BEGIN) == 0 && ::SetEndOfFile(m_handle))
        [[maybe_unused]] const BOOL done = ::WriteFile(m_handle, bytes.constData(), DWORD(bytes.size()), &written, nullptr);
}

void FileLock::unlock()
{
    if (m_handle)
        ::CloseHandle(m_handle);
    m_handle = nullptr;
}

Liveness formerBatchLiveness(const QString &batch)
{
    if (batch.contains(QLatin1Char('/')) || batch.contains(QLatin1Char('\\')))
        return Liveness::Unknown;
    const HANDLE file = ::CreateFileW(wide(QDir::toNativeSeparators(QDir(lockFolder()).filePath(QStringLiteral("batch-%1.lock").arg(batch)))),
                                      GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Liveness::Dead : Liveness::Unknown;
    }
    OVERLAPPED where{};
    where.OffsetHigh = LockOffsetHigh;
    const bool free = ::LockFileEx(file, LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &where);
    ::CloseHandle(file);
    return free ? Liveness::Dead : Liveness::Alive;
}

namespace {

// A system without a machine id is known by its host name.
QString machineName()
{
    const QByteArray id = QSysInfo::machineUniqueId();
    return id.isEmpty() ? (QSysInfo::machineHostName().isEmpty() ? QString() : QStringLiteral("host ") + QSysInfo::machineHostName())
                        : QString::fromLatin1(id);
}

// When the process was made, in 100 ns steps since 1601: with its id, one process for ever.
QString creationTime(HANDLE process)
{
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!::GetProcessTimes(process, &created, &exited, &kernel, &user))
        return QString();
    return QString::number((quint64(created.dwHighDateTime) << 32) | created.dwLowDateTime);
}

} // namespace

ProcessIdentity currentProcess()
{
    ProcessIdentity self;
    self.machine = machineName();
    self.pid = qint64(::GetCurrentProcessId());
    self.started = creationTime(::GetCurrentProcess());
    return self;
}

Liveness processLiveness(const ProcessIdentity &process)
{
    if (process.machine.isEmpty() || process.started.isEmpty() || process.pid <= 0
        || process.machine != machineName())
        return Liveness::Unknown;
    const HANDLE handle = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(process.pid));
    if (!handle)
        return ::GetLastError() == ERROR_INVALID_PARAMETER ? Liveness::Dead : Liveness::Unknown;
    DWORD code = 0;
    const bool running = ::GetExitCodeProcess(handle, &code) && code == STILL_ACTIVE;
    const QString started = creationTime(handle);
    ::CloseHandle(handle);
    if (started.isEmpty())
        return Liveness::Unknown;
    return started == process.started && running ? Liveness::Alive : Liveness::Dead;
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

} // namespace platform
