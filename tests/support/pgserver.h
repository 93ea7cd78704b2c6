#ifndef PGSERVER_H
#define PGSERVER_H

#include <QString>
#include <QTemporaryDir>

// A throw-away PostgreSQL server for one test: its own cluster in a temporary folder, listening
// only on a Unix socket there, run as an unprivileged user when the test runs as root. Nothing
// system-wide is touched.
class PgServer
{
public:
    PgServer();
    ~PgServer();

    // False, with why() telling, when the server's programs are missing or it does not start.
    bool start();
    void stop();
    QString why() const { return m_why; }
    // Stops (SIGSTOP) or resumes every process of the server: it then answers nothing, as a
    // frozen host would, while its connections stay open.
    bool freeze(bool frozen);
    // Kills every process of the server at once, as a host that lost its power would: no query
    // goes on, and every connection is cut. start() brings it back.
    bool crash();
    // A URL for vorlex-flash --plant-db, to the given database of the server.
    QString url(const QString &database = QStringLiteral("postgres")) const;

private:
    bool run(const QStringList &command);
    bool signalAll(int signalNumber);

    QTemporaryDir m_dir;
    QString m_bin;
    QString m_why;
    bool m_running = false;
};

#endif // PGSERVER_H
