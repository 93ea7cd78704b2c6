#include "pgserver.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QStandardPaths>
#include <QUrl>

#ifdef Q_OS_UNIX
#include <csignal>
#include <unistd.h>
#endif

namespace {
// nobody: initdb refuses to run as root.
constexpr uint UnprivilegedId = 65534;

bool runningAsRoot()
{
#ifdef Q_OS_UNIX
    return ::geteuid() == 0;
#else
    return false;
#endif
}

// The server's folders, to the user it runs as.
bool handOver(const QString &path)
{
#ifdef Q_OS_UNIX
    return ::chown(QFile::encodeName(path).constData(), UnprivilegedId, UnprivilegedId) == 0;
#else
    Q_UNUSED(path);
    return true;
#endif
}
} // namespace

PgServer::PgServer()
{
    const QStringList versions = QDir(QStringLiteral("/usr/lib/postgresql")).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    if (!versions.isEmpty())
        m_bin = QStringLiteral("/usr/lib/postgresql/%1/bin").arg(versions.constLast());
}

PgServer::~PgServer()
{
    stop();
}

bool PgServer::run(const QStringList &command)
{
    QStringList full = command;
    if (runningAsRoot())
        full = QStringList{QStringLiteral("setpriv"), QStringLiteral("--reuid=%1").arg(UnprivilegedId), QStringLiteral("--regid=%1").arg(UnprivilegedId),
                           QStringLiteral("--clear-groups")} + full;
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setWorkingDirectory(m_dir.path());
    process.start(full.takeFirst(), full);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        m_why = QStringLiteral("%1: %2").arg(command.join(QLatin1Char(' ')), QString::fromLocal8Bit(process.readAll()));
        return false;
    }
    return true;
}

bool PgServer::start()
{
    if (m_bin.isEmpty() || !QFile::exists(m_bin + QStringLiteral("/initdb"))) {
        m_why = QStringLiteral("no PostgreSQL server programs under /usr/lib/postgresql");
        return false;
    }
    // The flasher and the tests reach the server through it: without it every row would fail
    // with nothing but a difference of outputs.
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QPSQL"))) {
        m_why = QStringLiteral("no Qt PostgreSQL driver (libqt6sql6-psql or libqt5sql5-psql; make test-deps installs it)");
        return false;
    }
    // The server's user must reach its folder.
    QFile::setPermissions(m_dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther);
    QDir(m_dir.path()).mkpath(QStringLiteral("data"));
    if (runningAsRoot()) {
        if (!handOver(m_dir.filePath(QStringLiteral("data"))) || !handOver(m_dir.path())) {
            m_why = QStringLiteral("cannot hand the folder to the server's user");
            return false;
        }
    }
    // Started again after a stop: the cluster is there already.
    if (!QFile::exists(m_dir.filePath(QStringLiteral("data/PG_VERSION")))
        && !run({m_bin + QStringLiteral("/initdb"), QStringLiteral("-D"), m_dir.filePath(QStringLiteral("data")), QStringLiteral("-A"), QStringLiteral("trust"),
              QStringLiteral("-U"), QStringLiteral("flash"), QStringLiteral("-E"), QStringLiteral("UTF8"), QStringLiteral("--no-sync")}))
        return false;
    // One role that must give its password, for a test of a wrong one; every other is trusted.
    QFile hba(m_dir.filePath(QStringLiteral("data/pg_hba.conf")));
    if (hba.open(QIODevice::ReadOnly)) {
        const QByteArray rules = hba.readAll();
        hba.close();
        if (!rules.startsWith("local all sec") && hba.open(QIODevice::WriteOnly))
            hba.write("local all sec scram-sha-256\n" + rules);
        hba.close();
    }
    m_running = run({m_bin + QStringLiteral("/pg_ctl"), QStringLiteral("-D"), m_dir.filePath(QStringLiteral("data")), QStringLiteral("-w"),
                     QStringLiteral("-l"), m_dir.filePath(QStringLiteral("server.log")), QStringLiteral("-o"),
                     QStringLiteral("-k %1 -c listen_addresses='' -c fsync=off").arg(m_dir.path()), QStringLiteral("start")});
    return m_running;
}

void PgServer::stop()
{
    if (!m_running)
        return;
    freeze(false);
    run({m_bin + QStringLiteral("/pg_ctl"), QStringLiteral("-D"), m_dir.filePath(QStringLiteral("data")), QStringLiteral("-m"), QStringLiteral("fast"),
         QStringLiteral("-w"), QStringLiteral("stop")});
    m_running = false;
}

bool PgServer::freeze(bool frozen)
{
#ifdef Q_OS_UNIX
    return signalAll(frozen ? SIGSTOP : SIGCONT);
#else
    Q_UNUSED(frozen);
    return false;
#endif
}

bool PgServer::crash()
{
#ifdef Q_OS_UNIX
    // Stopped first, so that no backend runs on as another one's lock falls with it.
    if (!freeze(true) || !signalAll(SIGKILL))
        return false;
    m_running = false;
    // A killed server's lock files name its processes, which may linger unreaped.
    return QFile::remove(m_dir.filePath(QStringLiteral("data/postmaster.pid"))) && QFile::remove(m_dir.filePath(QStringLiteral(".s.PGSQL.5432.lock")));
#else
    return false;
#endif
}

bool PgServer::signalAll(int signalNumber)
{
#ifdef Q_OS_UNIX
    QFile pidFile(m_dir.filePath(QStringLiteral("data/postmaster.pid")));
    if (!pidFile.open(QIODevice::ReadOnly))
        return false;
    const QByteArray postmaster = pidFile.readLine().trimmed();
    // The file is the server user's to write: only a postgres process of it is signalled.
    QFile command(QStringLiteral("/proc/%1/comm").arg(QString::fromLatin1(postmaster)));
    if (postmaster.toInt() <= 0 || !command.open(QIODevice::ReadOnly) || !command.readAll().startsWith("postgres"))
        return false;
    QList<pid_t> server{pid_t(postmaster.toInt())};
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile status(QStringLiteral("/proc/%1/status").arg(entry));
        if (!status.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &line : status.readAll().split('\n'))
            if (line.startsWith("PPid:") && line.mid(5).trimmed() == postmaster)
                server << pid_t(entry.toInt());
    }
    for (pid_t pid : server)
        if (::kill(pid, signalNumber) != 0)
            return false;
    return true;
#else
    Q_UNUSED(signalNumber);
    return false;
#endif
}

QString PgServer::url(const QString &database) const
{
    return QStringLiteral("postgresql://flash@localhost/%1?host=%2").arg(database, QString::fromUtf8(QUrl::toPercentEncoding(m_dir.path())));
}
