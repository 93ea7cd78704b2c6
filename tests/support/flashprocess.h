#ifndef FLASHPROCESS_H
#define FLASHPROCESS_H

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QVariant>

class PgServer;

// The flasher's data (its ledger) and settings go to a folder of the test's, never the user's.
QProcessEnvironment flashEnvironment();

// One vorlex-flash process, in that environment.
struct Flash
{
    Flash();
    QProcess process;
    QString out() { return QString::fromUtf8(process.readAllStandardOutput()); }
    QString err() { return QString::fromUtf8(process.readAllStandardError()); }
    void start(const QStringList &arguments);
    // Its exit code; -1 when it crashed or did not end within ms.
    int finish(int ms = 30000);
};

// RFC 4180, as a tracking system would read it: quoted fields, doubled quotes, CRLF rows.
QList<QStringList> parseCsv(const QString &text);

// Statements run in a database of the plant's server as its administrator would; the first
// value of the last.
QVariant plantSql(const PgServer &server, const QStringList &statements, const QString &database = QStringLiteral("postgres"));

#endif // FLASHPROCESS_H
