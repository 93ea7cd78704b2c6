#include "platform.h"

#include "textescape.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QSysInfo>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

// The platform layer on Linux and other POSIX systems: the system's calls, Linux's /proc.
namespace platform {

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

void prepareConsole()
{
    ::signal(SIGXFSZ, SIG_IGN);
}

QString fileStamp(const QString &path)
{
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return QString();
    return QStringLiteral("%1:%2 %3 %4.%5 %6.%7")
        .arg(quint64(info.st_dev)).arg(quint64(info.st_ino)).arg(qint64(info.st_size))
        .arg(qint64(info.st_mtim.tv_sec)).arg(qint64(info.st_mtim.tv_nsec)).arg(qint64(info.st_ctim.tv_sec)).arg(qint64(info.st_ctim.tv_nsec));
}

bool standardOutputIsTerminal()
{
    return ::isatty(STDOUT_FILENO) == 1;
}

TerminalSize reportedTerminalSize()
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

QString serialPortIdentity(const QString &port)
{
    const QString path = port.startsWith(QLatin1Char('/')) ? port : QStringLiteral("/dev/") + port;
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) == 0 && S_ISCHR(info.st_mode))
        return QStringLiteral("device %1:%2").arg(major(info.st_rdev)).arg(minor(info.st_rdev));
    return QStringLiteral("path ") + path;
}

bool serialPortHeldElsewhere(const QString &)
{
    // Another vorlex-flash is named by its lock; Linux lets several programs open one port.
    return false;
}

// The system's own folder for locks, root's and sticky on Debian: no user can have made it, and
// none can remove or replace another's file in it.
QString lockFolder()
{
    const QString chosen = qEnvironmentVariable("VORLEX_FLASH_LOCK_DIR");
    return chosen.isEmpty() ? QStringLiteral("/run/lock") : chosen;
}

namespace {

QString permissions(mode_t mode)
{
    return QStringLiteral("%1").arg(mode & 07777, 4, 8, QLatin1Char('0'));
}

// What makes a folder unfit for lock files, or nothing: made by another user than root or this
// one, or writable by others without the sticky bit (they could replace the files in it).
QString unfitFolder(const struct stat &info)
{
    if (!S_ISDIR(info.st_mode))
        return QStringLiteral("это не папка");
    if (info.st_uid != 0 && info.st_uid != ::geteuid())
        return QStringLiteral("её владелец %1, а не root").arg(userName(info.st_uid));
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) && !(info.st_mode & S_ISVTX))
        return QStringLiteral("в неё могут писать другие пользователи (права %1), а sticky-бита нет; владелец %2")
            .arg(permissions(info.st_mode), userName(info.st_uid));
    return QString();
}

// The first line of a /proc file of a process that starts with the key: its value.
QByteArray procField(qint64 pid, const char *file, const QByteArray &key)
{
    QFile status(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(file)));
    if (!status.open(QIODevice::ReadOnly))
        return QByteArray();
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray &line : lines)
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed();
    return QByteArray();
}

// The holder of a flock on the file open as fd, as the kernel's lock table names it: its
// process, and that process's user. Never what anyone wrote into the file.
QString holderOf(int fd)
{
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        return QStringLiteral("другой процесс");
    const QByteArray file = QStringLiteral("%1:%2:%3")
                                .arg(major(info.st_dev), 2, 16, QLatin1Char('0'))
                                .arg(minor(info.st_dev), 2, 16, QLatin1Char('0'))
                                .arg(quint64(info.st_ino))
                                .toLatin1();
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly))
        return QStringLiteral("другой процесс (таблица блокировок /proc/locks не читается)");
    // "1: FLOCK  ADVISORY  WRITE 1234 00:1a:5678 0 EOF"; a waiter's line has "->" after the number.
    const QList<QByteArray> lines = locks.readAll().split('\n');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> words = line.simplified().split(' ');
        if (words.size() < 6 || words.at(1) != "FLOCK" || words.at(5) != file)
            continue;
        bool ok = false;
        const qint64 pid = words.at(4).toLongLong(&ok);
        if (!ok || pid <= 0)
            break;
        // The lock table keeps the PID of whoever took the lock, even once it has gone and its
        // file lives on in a child: name it only if it still has the file open.
        const QDir descriptors(QStringLiteral("/proc/%1/fd").arg(pid));
        const QStringList open = descriptors.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
        bool holds = false;
        for (const QString &entry : open) {
            struct stat target {};
            if (::stat(QFile::encodeName(descriptors.filePath(entry)).constData(), &target) == 0 && target.st_dev == info.st_dev
                && target.st_ino == info.st_ino)
                holds = true;
        }
        if (!holds && (!open.isEmpty() || !QFileInfo::exists(QStringLiteral("/proc/%1").arg(pid))))
            return QStringLiteral("другой процесс (по /proc/locks - PID %1, который этот файл уже не держит)").arg(pid);
        const QByteArray uid = procField(pid, "status", "Uid:").split('\t').value(0);
        const QString name = quotedForMessage(QString::fromUtf8(procField(pid, "status", "Name:")), 32);
        if (uid.isEmpty())
            return QStringLiteral("процесс %1 (его пользователь не виден)").arg(pid);
        return QStringLiteral("процесс \"%1\" (PID %2, пользователь %3)").arg(name.isEmpty() ? QStringLiteral("?") : name).arg(pid).arg(
            userName(uid_t(uid.toUInt())));
    }
    return QStringLiteral("другой процесс (в /proc/locks его не видно)");
}

} // namespace

FileLock::~FileLock()
{
    unlock();
}

FileLock::Result FileLock::lockDevice(const QString &path, QString *detail)
{
    unlock();
    m_path = path;
    m_device = true;
    const QByteArray name = QFile::encodeName(path);
    // A serial port is opened without waiting for its carrier and without becoming anyone's
    // controlling terminal.
    int fd = ::open(name.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (error == EBUSY) {
            *detail = QStringLiteral("другая программа (устройство открыто в монопольном режиме)");
            return Result::Held;
        }
        *detail = systemError(error);
        return Result::Unusable;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        *detail = error == EWOULDBLOCK ? holderOf(fd) : systemError(error);
        ::close(fd);
        return error == EWOULDBLOCK ? Result::Held : Result::Unusable;
    }
    m_fd = fd;
    return Result::Locked;
}

FileLock::Result FileLock::lockFile(const QString &fileName, QString *detail)
{
    unlock();
    const QString folderName = lockFolder();
    m_path = QDir(folderName).filePath(fileName);
    m_name = QFile::encodeName(fileName);
    const QString folderShown = quotedForMessage(folderName, PathInMessage);
    const QString shown = quotedForMessage(m_path, PathInMessage);
    // The folder is held open and the file found in it, so that nothing on the way to it can
    // change between the checks and the lock. A relative folder would be another one for each
    // working folder, and two flashers would not see each other's locks.
    if (!QDir::isAbsolutePath(folderName)) {
        *detail = QStringLiteral("папка блокировок %1 (VORLEX_FLASH_LOCK_DIR) - не полный путь").arg(folderShown);
        return Result::Unusable;
    }
    const int folder = ::open(QFile::encodeName(folderName).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder < 0) {
        const int error = errno;
        struct stat link {};
        const bool isLink = ::lstat(QFile::encodeName(folderName).constData(), &link) == 0 && S_ISLNK(link.st_mode);
        *detail = isLink ? QStringLiteral("папка блокировок %1 - символьная ссылка (владелец %2), а не папка").arg(folderShown, userName(link.st_uid))
                         : QStringLiteral("папка блокировок %1 не открывается: %2").arg(folderShown, systemError(error));
        return Result::Unusable;
    }
    struct stat info {};
    const QString unfit = ::fstat(folder, &info) == 0 ? unfitFolder(info) : systemError(errno);
    if (!unfit.isEmpty()) {
        ::close(folder);
        *detail = QStringLiteral("папка блокировок %1 не годится: %2").arg(folderShown, unfit);
        return Result::Unusable;
    }
    const int flags = O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
    int fd = -1;
    bool made = false;
    // A file that is there is only opened; one that is not is made, and only a file this process
    // made is ever given its mode. Another flasher may make it in between: look again.
    for (int tries = 0; fd < 0 && tries < 3; ++tries) {
        fd = ::openat(folder, m_name.constData(), O_RDWR | flags);
        // Another user's lock file that this one may only read: reading is enough to lock it.
        if (fd < 0 && errno == EACCES)
            fd = ::openat(folder, m_name.constData(), O_RDONLY | flags);
        if (fd >= 0 || errno != ENOENT)
            break;
        fd = ::openat(folder, m_name.constData(), O_RDWR | O_CREAT | O_EXCL | flags, 0644);
        made = fd >= 0;
        if (fd < 0 && errno != EEXIST)
            break;
    }
    const int openError = errno;
    const auto refuse = [&](const QString &why) {
        if (fd >= 0)
            ::close(fd);
        ::close(folder);
        *detail = QStringLiteral("файл блокировки %1 %2").arg(shown, why);
        return Result::Unusable;
    };
    if (fd < 0) {
        struct stat there {};
        if (::fstatat(folder, m_name.constData(), &there, AT_SYMLINK_NOFOLLOW) != 0)
            return refuse(QStringLiteral("не открывается: %1").arg(systemError(openError)));
        if (S_ISLNK(there.st_mode))
            return refuse(QStringLiteral("- символьная ссылка (владелец %1); по ссылкам блокировки не ходят").arg(userName(there.st_uid)));
        return refuse(QStringLiteral("не открывается: %1 (владелец %2)").arg(systemError(openError), userName(there.st_uid)));
    }
    if (::fstat(fd, &info) != 0)
        return refuse(QStringLiteral("не проверить: %1").arg(systemError(errno)));
    if (!S_ISREG(info.st_mode))
        return refuse(QStringLiteral("- не обычный файл (владелец %1)").arg(userName(info.st_uid)));
    // A hard link to some other file, which the lock must never touch.
    if (info.st_nlink != 1)
        return refuse(QStringLiteral("- жёсткая ссылка: у файла %1 имени (владелец %2)").arg(info.st_nlink).arg(userName(info.st_uid)));
    if (made && info.st_uid != ::geteuid())
        return refuse(QStringLiteral("сделан этим процессом, но принадлежит %1").arg(userName(info.st_uid)));
    // Readable for every user, so that any operator's flasher can lock it later; written by
    // nobody. Should this fail, another flasher says that it cannot open the file, and whose it is.
    if (made)
        [[maybe_unused]] const int changed = ::fchmod(fd, 0644);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(folder);
        *detail = error == EWOULDBLOCK ? holderOf(fd) : systemError(error);
        ::close(fd);
        return error == EWOULDBLOCK ? Result::Held : Result::Unusable;
    }
    m_fd = fd;
    m_folder = folder;
    return Result::Locked;
}

bool FileLock::stillNamed(QString *why) const
{
    if (m_fd < 0)
        return true;
    struct stat held {};
    struct stat named {};
    const int found = m_device ? ::stat(QFile::encodeName(m_path).constData(), &named)
                               : ::fstatat(m_folder, m_name.constData(), &named, AT_SYMLINK_NOFOLLOW);
    if (::fstat(m_fd, &held) == 0 && found == 0 && held.st_dev == named.st_dev && held.st_ino == named.st_ino)
        return true;
    *why = m_device ? QStringLiteral("порт %1 теперь другое устройство (переподключён?)").arg(quotedForMessage(m_path, PathInMessage))
                    : QStringLiteral("файл блокировки %1 удалён или заменён, пока связь была у этого vorlex-flash: по новому файлу её мог занять "
                                     "другой (владелец %2)")
                          .arg(quotedForMessage(m_path, PathInMessage), found == 0 ? userName(named.st_uid) : QStringLiteral("нет, файла нет"));
    return false;
}

void FileLock::describeHolder(const QString &) {}

void FileLock::unlock()
{
    if (m_fd >= 0)
        ::close(m_fd);
    if (m_folder >= 0)
        ::close(m_folder);
    m_fd = m_folder = -1;
}

Liveness formerBatchLiveness(const QString &batch)
{
    // A batch id as the ledger holds it, which anyone who can write the ledger may change.
    if (batch.contains(QLatin1Char('/')))
        return Liveness::Unknown;
    // The earlier version locked its batches in /run/lock/vorlex-flash: none there, none
    // running. A folder that is not root's may have been another user's to empty or swap, so
    // only a lock found held there says anything.
    struct stat folder {};
    if (::lstat("/run/lock/vorlex-flash", &folder) != 0)
        return errno == ENOENT ? Liveness::Dead : Liveness::Unknown;
    const bool trusted = S_ISDIR(folder.st_mode) && folder.st_uid == 0;
    const int fd = ::open(QFile::encodeName(QStringLiteral("/run/lock/vorlex-flash/batch-%1.lock").arg(batch)).constData(),
                          O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT && trusted ? Liveness::Dead : Liveness::Unknown;
    struct stat info {};
    Liveness liveness = Liveness::Unknown;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        if (::flock(fd, LOCK_SH | LOCK_NB) != 0)
            liveness = errno == EWOULDBLOCK ? Liveness::Alive : Liveness::Unknown;
        else if (trusted)
            liveness = Liveness::Dead;
    }
    ::close(fd);
    return liveness;
}

namespace {

// Field 22 of /proc/PID/stat, the process's start in clock ticks after boot, and its state
// (field 3). The name, field 2, is the process's own choice and may hold spaces and parentheses:
// the fields are counted after its last ')'.
bool processStat(qint64 pid, QByteArray *started, char *state)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = stat.readAll();
    const int close = text.lastIndexOf(')');
    if (close < 0)
        return false;
    const QList<QByteArray> fields = text.mid(close + 1).simplified().split(' ');
    // After the name: the state is field 3, the start field 22.
    if (fields.size() < 20)
        return false;
    *state = fields.at(0).isEmpty() ? '?' : fields.at(0).at(0);
    *started = fields.at(19);
    return true;
}

// The machine, with the process-id namespace: a process id means something only within it.
QString machineName()
{
    // A system without a machine id (a minimal container, a chroot) is known by its host name.
    const QByteArray id = QSysInfo::machineUniqueId();
    if (id.isEmpty() && QSysInfo::machineHostName().isEmpty())
        return QString();
    char target[64] = {};
    const ssize_t n = ::readlink("/proc/self/ns/pid", target, sizeof target - 1);
    return (id.isEmpty() ? QStringLiteral("host ") + QSysInfo::machineHostName() : QString::fromLatin1(id)) + (n > 0 ? QLatin1Char(' ') + QString::fromLatin1(target, int(n)) : QString());
}

} // namespace

ProcessIdentity currentProcess()
{
    ProcessIdentity self;
    self.machine = machineName();
    self.boot = QString::fromLatin1(QSysInfo::bootUniqueId());
    self.pid = ::getpid();
    QByteArray started;
    char state = 0;
    if (processStat(self.pid, &started, &state))
        self.started = QString::fromLatin1(started);
    return self;
}

Liveness processLiveness(const ProcessIdentity &process)
{
    if (process.machine.isEmpty() || process.started.isEmpty() || process.pid <= 0 || process.machine != machineName())
        return Liveness::Unknown;
    if (process.boot != QString::fromLatin1(QSysInfo::bootUniqueId()))
        return Liveness::Dead;
    // No such process at all, whoever's it would be: gone. Another user's is there (EPERM).
    if (::kill(pid_t(process.pid), 0) != 0 && errno == ESRCH)
        return Liveness::Dead;
    QByteArray started;
    char state = 0;
    // Hidden from this user (hidepid): it cannot be told.
    if (!processStat(process.pid, &started, &state))
        return Liveness::Unknown;
    if (QString::fromLatin1(started) != process.started || state == 'Z' || state == 'X')
        return Liveness::Dead;
    return Liveness::Alive;
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

} // namespace platform
