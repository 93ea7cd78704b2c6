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
#else
#include <QDir>
#include <QFileInfo>
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
QString sharedLockFolder(QString *error)
{
    QString why;
    QStringList folders{QStringLiteral("/run/lock/vorlex-flash"), QStringLiteral("/tmp/vorlex-flash")};
    // Set on purpose only: flashers that do not share the folder do not exclude each other.
    const QString chosen = qEnvironmentVariable("VORLEX_FLASH_LOCK_DIR");
    if (!chosen.isEmpty())
        folders = QStringList{chosen};
    for (const QString &folder : qAsConst(folders)) {
        const QByteArray name = QFile::encodeName(folder);
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
    const int fd = ::open(name.constData(), flags, 0666);
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

bool FileLock::isLocked() const
{
    return m_fd >= 0;
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

#else

bool standardOutputIsTerminal() { return false; }
TerminalSize terminalSize() { return {}; }
QString loginName() { return qEnvironmentVariable("USERNAME"); }
QString fileIdentity(const QString &path) { return QStringLiteral("path ") + QFileInfo(path).absoluteFilePath(); }
QString sharedLockFolder(QString *) { return QDir::tempPath(); }
FileLock::~FileLock() = default;
FileLock::Result FileLock::lock(const QString &, bool, QString *) { return Result::Locked; }
void FileLock::describeHolder(const QString &) {}
void FileLock::unlock() {}
bool FileLock::isLocked() const { return true; }
SignalWatcher::SignalWatcher(QObject *parent) : QObject(parent) {}
SignalWatcher::~SignalWatcher() = default;
bool SignalWatcher::install() { return true; }

#endif

} // namespace platform
