#include <QtTest>

#include "devsimprocess.h"
#include "flashprocess.h"
#include "ledger.h"
#include "pgserver.h"
#include "plantlink.h"
#include "recordchain.h"
#include "sqlrows.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

#include <unistd.h>

// The flasher's records: the station's ledger and the plant database, written by the flasher
// against the device emulator and a throw-away PostgreSQL, forged and read back. What many rows
// forge is built once and copied for each.
class TestRecords : public QObject
{
    Q_OBJECT
private slots:
    void ledger();
    void tamperedLedger_data();
    void tamperedLedger();
    void crashMidTransfer();
    void plantDatabase_data();
    void plantDatabase();
    void restoredLedger();
    void plantLostDuringACopy();
    void forgedRecords_data();
    void forgedRecords();
    void deadAttemptClosedOnce();

private:
    void buildLedger();
    void buildForgedRecords();

    ImageFiles m_images;
    QTemporaryDir m_ledger;
    QStringList m_reports;
    bool m_ledgerBuilt = false;
    PgServer m_plant;
    QTemporaryDir m_forged;
    int m_forgedCopies = 0;
    bool m_forgedBuilt = false;
};

namespace {

// Reads as the given user, in a private mount namespace; empty: as the ledger's writer.
void startAs(Flash &flash, const QString &reader, const QStringList &arguments)
{
    if (reader.isEmpty())
        return flash.start(arguments);
    flash.process.start(QStringLiteral("unshare"), QStringList{QStringLiteral("-m"), QStringLiteral("runuser"), QStringLiteral("-u"), reader,
                                                               QStringLiteral("--"), QStringLiteral(FLASH_PATH)} + arguments);
}

// The users a read is tried as: the writer, and one who may only read where this test can be one.
QStringList readers()
{
    if (::geteuid() != 0 || QProcess::execute(QStringLiteral("unshare"), {QStringLiteral("-m"), QStringLiteral("true")}) != 0)
        return {QString()};
    return {QString(), QStringLiteral("nobody")};
}

QStringList listing(const QTemporaryDir &dir)
{
    return QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}

} // namespace

// Two flashers write one ledger at once, each device after a retry: built once, for the reads
// of ledger() and a copy for each row of tamperedLedger().
void TestRecords::buildLedger()
{
    if (m_ledgerBuilt)
        return;
    // Each cabinet's first update: block 2 sent again, then the line drops after block 3; the second
    // goes through, with block 2 sent again once more.
    DevSim sim({QStringLiteral("--tcp"), QStringLiteral("0"), QStringLiteral("--tcp"), QStringLiteral("0"), QStringLiteral("--keep-running"),
                QStringLiteral("--nak-block"), QStringLiteral("2"), QStringLiteral("--drop-after"), QStringLiteral("3"), QStringLiteral("--drop-sessions"),
                QStringLiteral("1")});
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    QTemporaryDir &dir = m_ledger;
    const QString records = dir.filePath(QStringLiteral("records.sqlite"));
    const QString image = m_images.write(firmwareImage(4096));
    Flash flashes[2];
    m_reports.clear();
    for (int i = 0; i < 2; ++i) {
        m_reports << dir.filePath(QStringLiteral("report-%1.json").arg(i));
        flashes[i].start({QStringLiteral("--eth"), QStringLiteral("127.0.0.1:%1").arg(sim.tcpPort(i)), QStringLiteral("--device"), QStringLiteral("2"),
                          QStringLiteral("--records"), records, QStringLiteral("--label"), i == 0 ? QStringLiteral("=WO-7, \"rush\"") : QStringLiteral("-2+3"),
                          QStringLiteral("--operator"), QStringLiteral("@Петров"), QStringLiteral("--report"),
                          m_reports.constLast(), image});
    }
    for (Flash &flash : flashes)
        QCOMPARE(flash.finish(), 0);
    // The report after a retry: the device's figures are its last attempt's, each attempt its own.
    QFile reportFile(m_reports.constFirst());
    QVERIFY(reportFile.open(QIODevice::ReadOnly));
    const QJsonObject device = QJsonDocument::fromJson(reportFile.readAll()).object()[QLatin1String("devices")].toArray().at(0).toObject();
    const QJsonArray attempts = device[QLatin1String("attempts")].toArray();
    QCOMPARE(attempts.size(), 2);
    QCOMPARE(attempts.at(0)[QLatin1String("outcome")].toString() + QLatin1Char(' ') + attempts.at(1)[QLatin1String("outcome")].toString(),
             QStringLiteral("failed updated"));
    QCOMPARE(device[QLatin1String("bytesAcknowledged")].toInt(), 4096);
    QCOMPARE(attempts.at(0)[QLatin1String("bytesAcknowledged")].toInt(), 384);
    // ... but blocks sent again are counted over every attempt.
    QCOMPARE(device[QLatin1String("retransmissions")].toInt(), 2);
    // The reports too are read by a user who may only read them.
    QVERIFY(QFile::setPermissions(m_ledger.path(), QFile::permissions(m_ledger.path()) | QFile::ReadOther | QFile::ExeOther));
    m_ledgerBuilt = true;
}

// The history of a ledger two flashers wrote at once reads back as CSV, filtered to the
// millisecond, for its writer and for a user who may only read it, and leaves the folder as it was.
void TestRecords::ledger()
{
    buildLedger();
    if (QTest::currentTestFailed())
        return;
    const QString records = m_ledger.filePath(QStringLiteral("records.sqlite"));
    for (const QString &reader : readers()) {
        // Reads leave the folder as they found it, and need no more than leave to read it.
        const auto read = [&](Flash &flash, const QStringList &arguments) { startAs(flash, reader, arguments); };
        const QStringList found = listing(m_ledger);
        Flash history;
        read(history, {QStringLiteral("--history"), QStringLiteral("--records"), records, QStringLiteral("--csv"), QStringLiteral("--device"), QStringLiteral("2")});
        QCOMPARE(history.finish(), 0);
        const QList<QStringList> rows = parseCsv(history.out());
        QCOMPARE(rows.size(), 5);
        // The columns a spreadsheet or a script reads, by these names and in this order.
        QCOMPARE(rows.constFirst().join(QLatin1Char(',')), QStringLiteral("id,start,end,station,operator,batch,label,link,device,attempt,outcome,status,message,"
                                                                          "bytesAcknowledged,retransmissions,imagePath,imageSize,imageSha256,programVersion"));
        QStringList outcomes;
        QList<QDateTime> starts;
        QHash<QString, qint64> pause; // link: from its first attempt's end to its second's start
        const auto column = [&](const QStringList &row, const char *name) { return row.at(rows.constFirst().indexOf(QLatin1String(name))); };
        for (const QStringList &row : rows.mid(1)) {
            const QDateTime at = QDateTime::fromString(column(row, column(row, "attempt") == QLatin1String("1") ? "end" : "start"), Qt::ISODateWithMs);
            pause[column(row, "link")] += column(row, "attempt") == QLatin1String("1") ? -at.toMSecsSinceEpoch() : at.toMSecsSinceEpoch();
            QCOMPARE(row.size(), rows.constFirst().size());
            // Quoted for CSV, and a spreadsheet is not to read it as a formula.
            const QString label = row.at(rows.constFirst().indexOf(QStringLiteral("label")));
            QVERIFY2(label == QStringLiteral("'=WO-7, \"rush\"") || label == QStringLiteral("'-2+3"), qPrintable(label));
            QCOMPARE(column(row, "operator"), QStringLiteral("'@Петров"));
            outcomes << row.at(rows.constFirst().indexOf(QStringLiteral("attempt"))) + QLatin1Char(' ') + row.at(rows.constFirst().indexOf(QStringLiteral("outcome")));
            starts << QDateTime::fromString(row.at(rows.constFirst().indexOf(QStringLiteral("start"))), Qt::ISODateWithMs);
        }
        outcomes.sort();
        QCOMPARE(outcomes, (QStringList{QStringLiteral("1 failed"), QStringLiteral("1 failed"), QStringLiteral("2 updated"), QStringLiteral("2 updated")}));
        // A second's pause before another attempt, and little more.
        for (const qint64 ms : qAsConst(pause))
            QVERIFY2(ms > 800 && ms < 1200, qPrintable(QString::number(ms)));
        // The filters to the millisecond, a time in another offset included: from a second attempt's
        // start (inclusive), until it (exclusive); not-updated is every outcome but updated.
        std::sort(starts.begin(), starts.end());
        const QDateTime second = starts.at(2);
        const QString inMoscow = second.toOffsetFromUtc(3 * 3600).toString(Qt::ISODateWithMs);
        const int fromSecond = int(std::count_if(starts.cbegin(), starts.cend(), [&](const QDateTime &start) { return start >= second; }));
        for (const auto &[filter, expected] : {std::pair<QStringList, int>{{QStringLiteral("--since"), inMoscow}, fromSecond},
                                               {{QStringLiteral("--until"), second.toString(Qt::ISODateWithMs)}, 4 - fromSecond},
                                               {{QStringLiteral("--outcome"), QStringLiteral("not-updated")}, 2},
                                               // each device's latest: the two second attempts, both updated
                                               {{QStringLiteral("--latest"), QStringLiteral("--outcome"), QStringLiteral("not-updated")}, 0}}) {
            Flash filtered;
            read(filtered, QStringList{QStringLiteral("--history"), QStringLiteral("--records"), records, QStringLiteral("--csv")} + filter);
            QCOMPARE(filtered.finish(), 0);
            QCOMPARE(parseCsv(filtered.out()).size() - 1, expected);
        }
        QCOMPARE(listing(m_ledger), found);
    }
}

void TestRecords::tamperedLedger_data()
{
    QTest::addColumn<QString>("tamper"); // SQL run on a copy of the ledger, then verified
    QTest::addColumn<QString>("verdict");
    QTest::addColumn<QString>("reader"); // who reads the ledger: empty, its writer; "nobody", a user who may only read it
    QTest::addColumn<bool>("held"); // the tampering connection stays open while the ledger is verified, its -wal unmerged
    // Each attempt is two rows: its start, and its end.
    QTest::newRow("untouched") << QString() << QStringLiteral("цепочка цела, строк: 8; сходится с отчётами: 2") << QString() << false;
    QTest::newRow("untouched, read by a user who may only read it") << QString() << QStringLiteral("цепочка цела, строк: 8") << "nobody" << false;
    QTest::newRow("a row changed by a writer still at it") << "UPDATE attempts SET label = 'WO-8' WHERE id = 4" << QStringLiteral("строка 4 ") << "" << true;
    QTest::newRow("a row changed by a writer still at it, read by another user") << "UPDATE attempts SET label = 'WO-8' WHERE id = 4"
                                                                              << QStringLiteral("строка 4 ") << "nobody" << true;
    QTest::newRow("a row changed") << "UPDATE attempts SET outcome = 'updated' WHERE id = 1" << QStringLiteral("строка 1") << QString() << false;
    QTest::newRow("a row removed") << "DELETE FROM attempts WHERE id = 2" << QStringLiteral("удалена или вставлена") << QString() << false;
    QTest::newRow("a row inserted") << "INSERT INTO attempts SELECT 9, batch, label, station, operator, program_version, link, device, attempt, "
                                       "outcome, status, message, bytes_acknowledged, retransmissions, started_at, ended_at, image_path, "
                                       "image_size, image_sha256, previous_hash, row_hash, kind, start_row, ledger_id, machine, boot, pid, process_start, "
                                       "hash_version, detail FROM attempts WHERE id = 1"
                                    << QStringLiteral("удалена или вставлена") << QString() << false;
    QTest::newRow("an end given another start") << "UPDATE attempts SET start_row = 3 WHERE start_row = 1" << QStringLiteral(") изменена") << QString() << false;
    // Every field is in the hash: each of these alone breaks it.
    QTest::newRow("the label changed") << "UPDATE attempts SET label = 'WO-8' WHERE id = 4" << QStringLiteral("строка 4 ") << QString() << false;
    QTest::newRow("the operator changed") << "UPDATE attempts SET operator = 'nobody' WHERE id = 4" << QStringLiteral("строка 4 ") << QString() << false;
    QTest::newRow("the start moved") << "UPDATE attempts SET started_at = '2026-01-01T00:00:00.000Z' WHERE id = 4" << QStringLiteral("строка 4 ") << QString() << false;
    QTest::newRow("the image's hash changed") << "UPDATE attempts SET image_sha256 = lower(image_sha256) || '0' WHERE id = 4" << QStringLiteral("строка 4 ") << QString() << false;
    QTest::newRow("the bytes acknowledged changed") << "UPDATE attempts SET bytes_acknowledged = 4095 WHERE id = 4" << QStringLiteral("строка 4 ") << QString() << false;
    QTest::newRow("the writer's process changed") << "UPDATE attempts SET process_start = '1' WHERE id = 4" << QStringLiteral("строка 4 ") << QString() << false;
    QTest::newRow("a start made an end") << "UPDATE attempts SET kind = 'end' WHERE id = 1" << QStringLiteral("строка 1 ") << QString() << false;
    QTest::newRow("the identity changed") << "UPDATE attempts SET ledger_id = 'x'" << QStringLiteral("строка 1 ") << QString() << false;
    // Cut at the end: the chain is whole, its head is not; with the head rewritten too, the
    // reports' heads are what is left to tell.
    QTest::newRow("the last rows removed") << "DELETE FROM attempts WHERE id >= 7" << QStringLiteral("кончается не там, где его заголовок") << QString() << false;
    QTest::newRow("every row removed") << "DELETE FROM attempts" << QStringLiteral("строк 0, последняя 0, а по заголовку строк 8") << QString() << false;
    QTest::newRow("the last rows removed, the head rewritten")
        << "DELETE FROM attempts WHERE id >= 7; UPDATE ledger_info SET value = '6' WHERE key IN ('head_rows', 'head_row'); "
           "UPDATE ledger_info SET value = (SELECT row_hash FROM attempts WHERE id = 6) WHERE key = 'head_hash'"
        << QStringLiteral("не держит конец цепочки, который видел отчёт") << QString() << false;
}

// Any later change of the ledger's file, on a copy of the one built once: the chain tells it.
void TestRecords::tamperedLedger()
{
    QFETCH(QString, tamper);
    QFETCH(QString, verdict);
    QFETCH(QString, reader);
    QFETCH(bool, held);
    if (!readers().contains(reader))
        QSKIP("needs root and a private mount namespace (unshare -m), to read as a second user");
    buildLedger();
    if (QTest::currentTestFailed())
        return;
    QTemporaryDir dir;
    for (const QString &file : listing(m_ledger))
        QVERIFY(QFile::copy(m_ledger.filePath(file), dir.filePath(file)));
    const QString records = dir.filePath(QStringLiteral("records.sqlite"));
    QVERIFY(reader.isEmpty() || QFile::setPermissions(dir.path(), QFile::permissions(dir.path()) | QFile::ReadOther | QFile::ExeOther));
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("tamper"));
        db.setDatabaseName(records);
        QVERIFY(tamper.isEmpty() || db.open());
        for (const QString &statement : tamper.split(QStringLiteral("; "), Qt::SkipEmptyParts))
            QVERIFY2(QSqlQuery(db).exec(statement), qPrintable(statement));
        if (!held)
            db.close();
        const QStringList before = listing(dir);
        Flash verify;
        startAs(verify, reader, QStringList{QStringLiteral("--verify-records"), QStringLiteral("--records"), records} + m_reports);
        QCOMPARE(verify.finish(), tamper.isEmpty() ? 0 : 1);
        const QString said = verify.out();
        QVERIFY2(said.contains(verdict), qPrintable(said + verify.err()));
        QCOMPARE(listing(dir), before);
    }
    QSqlDatabase::removeDatabase(QStringLiteral("tamper"));
}

// A flasher killed mid-transfer, as by a power cut: its attempt is on record (in progress while
// it lives, unfinished once it is gone), the chain stays whole, and the next flasher to write
// closes the attempt, saying so once.
void TestRecords::crashMidTransfer()
{
    DevSim sim({QStringLiteral("--tcp"), QStringLiteral("0"), QStringLiteral("--tcp"), QStringLiteral("0"), QStringLiteral("--baud"),
                QStringLiteral("19200"), QStringLiteral("--keep-running")});
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    QTemporaryDir dir;
    const QString records = dir.filePath(QStringLiteral("records.sqlite"));
    const auto run = [&](const QStringList &arguments, QString *out = nullptr) {
        Flash flash;
        // Another lock folder, as a second station's: whether an attempt lives is not the folder's to say.
        QProcessEnvironment elsewhere = flashEnvironment();
        elsewhere.insert(QStringLiteral("VORLEX_FLASH_LOCK_DIR"), dir.path());
        flash.process.setProcessEnvironment(elsewhere);
        flash.start(QStringList{QStringLiteral("--records"), records} + arguments);
        const int code = flash.finish();
        if (out)
            *out = flash.out() + flash.err();
        return code;
    };
    const auto outcomes = [&](const QString &only = QString()) {
        QString out;
        run(QStringList{QStringLiteral("--history"), QStringLiteral("--csv")} + (only.isEmpty() ? QStringList() : QStringList{QStringLiteral("--outcome"), only}), &out);
        const QList<QStringList> rows = parseCsv(out);
        QStringList said;
        for (const QStringList &row : rows.mid(1))
            said << row.at(rows.constFirst().indexOf(QStringLiteral("outcome")));
        return said;
    };
    const QString doomedLink = QStringLiteral("127.0.0.1:%1").arg(sim.tcpPort(0));
    Flash doomed;
    doomed.start({QStringLiteral("--records"), records, QStringLiteral("--eth"), doomedLink, QStringLiteral("--device"), QStringLiteral("2"),
                  m_images.write(firmwareImage(131072))});
    QString out;
    QTRY_VERIFY_WITH_TIMEOUT((out += doomed.out()).contains(QStringLiteral("Соединение с прибором установлено")), 10000);
    QCOMPARE(outcomes(), QStringList{QStringLiteral("in progress")});
    const QStringList other{QStringLiteral("--eth"), QStringLiteral("127.0.0.1:%1").arg(sim.tcpPort(1)), QStringLiteral("--device"), QStringLiteral("2"),
                            m_images.write(firmwareImage(4096))};
    // A second writer while the first still sends: the live attempt is left alone.
    QCOMPARE(run(other, &out), 0);
    QVERIFY2(!out.contains(QStringLiteral("не закончена")), qPrintable(out));
    QCOMPARE(outcomes(), (QStringList{QStringLiteral("in progress"), QStringLiteral("updated")}));
    QCOMPARE(outcomes(QStringLiteral("in progress")), QStringList{QStringLiteral("in progress")});
    QVERIFY(outcomes(QStringLiteral("unfinished")).isEmpty());
    doomed.process.kill();
    QVERIFY(doomed.process.waitForFinished());
    // On a copy, its start made one of an earlier boot: the row that closes it names its own writer's boot.
    const QString rebooted = dir.filePath(QStringLiteral("rebooted.sqlite"));
    for (const char *part : {"", "-wal"})
        QVERIFY(!QFileInfo::exists(records + QLatin1String(part)) || QFile::copy(records + QLatin1String(part), rebooted + QLatin1String(part)));
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("reboot"));
        db.setDatabaseName(rebooted);
        QVERIFY(db.open() && QSqlQuery(db).exec(QStringLiteral("UPDATE attempts SET boot = 'earlier' WHERE id = 1")));
        Flash closer;
        closer.start(QStringList{QStringLiteral("--records"), rebooted} + other);
        QCOMPARE(closer.finish(), 0);
        QSqlQuery boots(db);
        QVERIFY(boots.exec(QStringLiteral("SELECT count(DISTINCT boot) FROM attempts WHERE id > 1")) && boots.next());
        QCOMPARE(boots.value(0).toInt(), 1);
    }
    QSqlDatabase::removeDatabase(QStringLiteral("reboot"));
    QCOMPARE(outcomes(), (QStringList{QStringLiteral("unfinished"), QStringLiteral("updated")}));
    // As the history says it, after the liveness check.
    QCOMPARE(outcomes(QStringLiteral("unfinished")), QStringList{QStringLiteral("unfinished")});
    QVERIFY(outcomes(QStringLiteral("in progress")).isEmpty());
    QCOMPARE(run({QStringLiteral("--verify-records")}, &out), 0);
    QVERIFY2(out.contains(QStringLiteral("строк: 3")), qPrintable(out));

    QCOMPARE(run(other, &out), 0);
    // Said once, and nothing said of a cause nobody saw.
    QVERIFY2(out.count(QStringLiteral("не закончена: vorlex-flash той партии закончил работу или потерял журнал")) == 1
                 && out.contains(QStringLiteral("прибора 2 на связи %1").arg(doomedLink)) && !out.contains(QStringLiteral("kill")),
             qPrintable(out));
    QCOMPARE(outcomes(), (QStringList{QStringLiteral("unfinished"), QStringLiteral("updated"), QStringLiteral("updated")}));
    QCOMPARE(outcomes(QStringLiteral("unfinished")), QStringList{QStringLiteral("unfinished")});
    QCOMPARE(run({QStringLiteral("--verify-records")}, &out), 0);
    QVERIFY2(out.contains(QStringLiteral("строк: 6")), qPrintable(out));

    // A ledger that takes an attempt's start but not its end: the device's outcome stands, and the
    // exit code says the record is short. Then one that refuses every row: no attempt starts
    // without its record.
    for (const char *refused : {"WHEN NEW.kind = 'end'", ""}) {
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("refuse"));
            db.setDatabaseName(records);
            // The row that closed the dead attempt names its own writer, as that flasher's other rows do.
            QSqlQuery writer(db);
            QVERIFY(db.open() && writer.exec(QStringLiteral("SELECT count(DISTINCT process_start) FROM attempts WHERE pid = (SELECT pid FROM attempts "
                                                            "WHERE outcome = 'unfinished' AND kind = 'end')")) && writer.next());
            QCOMPARE(writer.value(0).toInt(), 1);
            QVERIFY(QSqlQuery(db).exec(QStringLiteral("DROP TRIGGER IF EXISTS refuse"))
                    && QSqlQuery(db).exec(QStringLiteral("CREATE TRIGGER refuse BEFORE INSERT ON attempts %1 BEGIN SELECT RAISE(ABORT, 'refused'); END").arg(QLatin1String(refused))));
        }
        QSqlDatabase::removeDatabase(QStringLiteral("refuse"));
        if (*refused) {
            QCOMPARE(run(other, &out), 4);
            QVERIFY2(out.contains(QStringLiteral("попытка не записана, итог прибора от этого не меняется")), qPrintable(out));
        }
    }
    QCOMPARE(run({QStringLiteral("--eth"), QStringLiteral("127.0.0.1:%1").arg(sim.tcpPort(1)), QStringLiteral("--device"), QStringLiteral("2"),
                  m_images.write(firmwareImage(4096))}, &out), 4);
    QVERIFY2(out.contains(QStringLiteral("НЕ обновлён: не начат: попытка 1 не начата: её начало не записано в журнал")), qPrintable(out));
}

void TestRecords::plantDatabase_data()
{
    QTest::addColumn<QString>("setup"); // run by the plant's administrator once the schema is there; empty: the plant away, then back
    QTest::addColumn<QString>("role"); // the station's role in the URL, with its password; empty: the administrator's
    QTest::addColumn<bool>("lockHeld"); // a role that may only read holds the flasher's schema lock meanwhile
    QTest::addColumn<QString>("state"); // the report's plant state
    QTest::addColumn<QString>("says"); // once among the batch's warnings, and in the report's cause
    QTest::addColumn<int>("history"); // --history's exit code, and --sync-records's
    QTest::addColumn<int>("sync");
    QTest::newRow("away during a batch, then back") << QString() << QString() << false << QString() << QString() << 0 << 0;
    const QString reader = QStringLiteral("CREATE ROLE reader LOGIN; GRANT SELECT ON ALL TABLES IN SCHEMA public TO reader");
    QTest::newRow("a wrong password") << "CREATE ROLE sec LOGIN PASSWORD 'right'" << "sec:Zq9" << false << "refused" << "password authentication failed" << 1 << 1;
    QTest::newRow("a database of another program") << "DROP VIEW device_state; DROP TABLE attempts, vorlex_schema, status_codes; CREATE TABLE attempts (id int)"
                                                   << "" << false << "refused" << "не база завода" << 2 << 1;
    QTest::newRow("a newer schema") << "UPDATE vorlex_schema SET version = 3" << "" << false << "refused" << "по схеме версии 3" << 2 << 1;
    // A trigger of the plant's administrator on attempts: its body, when it runs, and the function's attributes.
    const auto trigger = [](const char *body, const char *when = "TRIGGER t BEFORE INSERT ON attempts", const char *attributes = "") {
        return QStringLiteral("CREATE FUNCTION t() RETURNS trigger AS $$BEGIN %1END$$ LANGUAGE plpgsql%3; CREATE %2 FOR EACH ROW EXECUTE FUNCTION t()")
            .arg(QString::fromUtf8(body), QLatin1String(when), QLatin1String(attributes));
    };
    QTest::newRow("rows the database refuses") << trigger("RAISE EXCEPTION 'no rows today';") << "" << false << "away" << "no rows today" << 0 << 1;
    QTest::newRow("rows a trigger drops unsaid") << trigger("RETURN NULL;") << "" << false << "away" << "нет в базе завода и после вставки" << 0 << 1;
    const char *const vanish = "DELETE FROM attempts WHERE row_id = NEW.row_id;RETURN NULL;";
    QTest::newRow("rows a trigger deletes once inserted") << trigger(vanish, "TRIGGER t AFTER INSERT ON attempts") << "" << false << "away"
                                                         << "но после копирования её там нет" << 0 << 1;
    QTest::newRow("rows a deferred trigger deletes at the commit")
        << trigger(vanish, "CONSTRAINT TRIGGER t AFTER INSERT ON attempts DEFERRABLE INITIALLY DEFERRED") << "" << false << "away"
        << "но после копирования её там нет" << 0 << 1;
    QTest::newRow("a twin of every row in a table that inherits") << "CREATE TABLE twins () INHERITS (attempts); " + trigger("INSERT INTO twins SELECT NEW.*;RETURN NEW;")
                                                                  << "" << false << "away" << "видна в базе завода дважды" << 0 << 1;
    QTest::newRow("rows kept in a temporary table of the station's session")
        << trigger("CREATE TEMP TABLE IF NOT EXISTS attempts (LIKE public.attempts INCLUDING ALL);INSERT INTO pg_temp.attempts SELECT NEW.*;RETURN NULL;")
        << "" << false << "away" << "появились временные таблицы" << 0 << 1;
    QTest::newRow("rows a trigger changes") << trigger("NEW.message := 'forged';RETURN NEW;") << "" << false << "away" << "после копирования не такая, как в журнале" << 0 << 1;
    QTest::newRow("a trigger's notice with control characters")
        << trigger("RAISE NOTICE E'\\x1b[31m row';RETURN NEW;", "TRIGGER t BEFORE INSERT ON attempts", " SET client_min_messages = notice") << "" << false << "copied"
        << "" << 0 << 0;
    QTest::newRow("a role that may only read") << reader << "reader" << false << "refused" << "роль reader может только читать" << 0 << 1;
    QTest::newRow("a reader holds the schema lock") << reader << "" << true << "copied" << "" << 0 << 0;
    QTest::newRow("a reader holds the schema lock, the schema needs a change") << reader + QStringLiteral("; ALTER TABLE attempts DROP COLUMN process_start")
                                                                            << "" << true << "away" << "её держит роль reader" << 0 << 1;
}

// The plant database away during a batch: the batch goes on, and the rows arrive once later. A
// plant that refuses the station is said to be so, with the cause; none of it holds a batch or a
// read up.
void TestRecords::plantDatabase()
{
    QFETCH(QString, setup);
    PgServer plant;
    QVERIFY2(plant.start(), qPrintable(plant.why()));
    if (!setup.isEmpty()) {
        QFETCH(QString, role);
        QFETCH(bool, lockHeld);
        QFETCH(QString, state);
        QFETCH(QString, says);
        QFETCH(int, history);
        QFETCH(int, sync);
        QTemporaryDir dir;
        const QStringList records{QStringLiteral("--records"), dir.filePath(QStringLiteral("records.sqlite")), QStringLiteral("--plant-db")};
        // The schema, made by the administrator's station, from a ledger of its own.
        {
            Ledger ledger;
            QString error;
            QVERIFY2(ledger.open(dir.filePath(QStringLiteral("records.sqlite")), &error), qPrintable(error));
        }
        Flash make;
        make.start(records + QStringList{plant.url(), QStringLiteral("--sync-records")});
        QCOMPARE(make.finish(), 0);
        plantSql(plant, setup.split(QStringLiteral("; ")));
        const QString url = role.isEmpty() ? plant.url() : QString(plant.url()).replace(QStringLiteral("flash@"), role + QLatin1Char('@'));
        QSqlDatabase holder = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), QStringLiteral("holder"));
        if (lockHeld) {
            holder.setHostName(QUrlQuery(QUrl(url)).queryItemValue(QStringLiteral("host"), QUrl::FullyDecoded));
            holder.setUserName(QStringLiteral("reader"));
            holder.setDatabaseName(QStringLiteral("postgres"));
            const QByteArray key = QCryptographicHash::hash("vorlex-flash link schema", QCryptographicHash::Sha256);
            QVERIFY(holder.open() && QSqlQuery(holder).exec(QStringLiteral("SELECT pg_advisory_lock(%1)").arg(qFromBigEndian<qint64>(key.constData()))));
        }
        DevSim sim({QStringLiteral("--tcp"), QStringLiteral("0")});
        QVERIFY2(sim.start(), qPrintable(sim.output()));
        const QString reportPath = dir.filePath(QStringLiteral("report.json"));
        Flash batch;
        batch.start(records + QStringList{url, QStringLiteral("--eth"), QStringLiteral("127.0.0.1:%1").arg(sim.tcpPort()), QStringLiteral("--device"),
                                          QStringLiteral("2"), QStringLiteral("--report"), reportPath, m_images.write(firmwareImage(4096))});
        // The ledger is the record: the batch's code is its own.
        QCOMPARE(batch.finish(), 0);
        const QString err = batch.err();
        QFile reportFile(reportPath);
        QVERIFY(reportFile.open(QIODevice::ReadOnly));
        const QByteArray reportText = reportFile.readAll();
        const QJsonObject said = QJsonDocument::fromJson(reportText).object()[QLatin1String("plant")].toObject();
        QVERIFY2(said[QLatin1String("state")].toString() == state, reportText.constData());
        QVERIFY2((says.isEmpty() || err.count(says) == 1) && err.count(QStringLiteral("отказала")) == int(state == QLatin1String("refused"))
                     && !err.contains(QStringLiteral("не ответила")) && !(err + QString::fromUtf8(reportText)).contains(QStringLiteral("Zq9"))
                     && !err.contains(QChar(0x1b)),
                 qPrintable(err));
        QVERIFY2(said[QLatin1String("cause")].toString().contains(says), qPrintable(said[QLatin1String("cause")].toString()));
        for (const auto &[verb, code] : {std::pair<QString, int>{QStringLiteral("--history"), history}, {QStringLiteral("--sync-records"), sync}}) {
            Flash read;
            read.start(records + QStringList{url, verb});
            QCOMPARE(read.finish(), code);
            QVERIFY2(read.err().contains(code == 0 ? QString() : says), qPrintable(read.err()));
        }
        holder.close();
        holder = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("holder"));
        return;
    }
    plant.stop();
    DevSim sim({QStringLiteral("--tcp"), QStringLiteral("0")});
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    QTemporaryDir dir;
    const QStringList records{QStringLiteral("--records"), dir.filePath(QStringLiteral("records.sqlite")), QStringLiteral("--plant-db"), plant.url()};
    Flash batch;
    batch.start(records + QStringList{QStringLiteral("--eth"), QStringLiteral("127.0.0.1:%1").arg(sim.tcpPort()), QStringLiteral("--device"),
                                      QStringLiteral("2"), m_images.write(firmwareImage(4096))});
    QCOMPARE(batch.finish(), 0);
    const QString warning = batch.err();
    // One line: a Russian sentence, then the driver's own words after a colon.
    QVERIFY2(warning.count(QLatin1Char('\n')) == 1 && warning.contains(QRegularExpression(QStringLiteral("база завода .* недоступна; .*--sync-records: \\S"))),
             qPrintable(warning));

    // A read of a source that cannot be reached is 1; of one that holds no records, 2.
    Flash unreachable;
    unreachable.start({QStringLiteral("--history"), QStringLiteral("--plant-db"), plant.url()});
    QCOMPARE(unreachable.finish(), 1);
    QVERIFY2(plant.start(), qPrintable(plant.why()));
    Flash empty;
    empty.start({QStringLiteral("--history"), QStringLiteral("--plant-db"), plant.url()});
    QCOMPARE(empty.finish(), 2);
    QVERIFY2(empty.err().contains(QStringLiteral("нет таблиц журнала")), qPrintable(empty.err()));
    // The attempt's start and end, once, however often the copy is asked for.
    for (const char *copied : {"строк: 2", "строк: 0"}) {
        Flash sync;
        sync.start(records + QStringList{QStringLiteral("--sync-records")});
        QCOMPARE(sync.finish(), 0);
        const QString said = sync.out();
        QVERIFY2(said.contains(QString::fromUtf8(copied)), qPrintable(said + sync.err()));
    }
    Flash history;
    history.start({QStringLiteral("--history"), QStringLiteral("--plant-db"), plant.url(), QStringLiteral("--json")});
    QCOMPARE(history.finish(), 0);
    const QJsonArray rows = QJsonDocument::fromJson(history.process.readAllStandardOutput()).array();
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows.at(0)[QLatin1String("outcome")].toString(), QStringLiteral("updated"));
    // A number as a number, a text as a text, empty or not.
    QVERIFY(rows.at(0)[QLatin1String("device")] == QJsonValue(2) && rows.at(0)[QLatin1String("label")] == QJsonValue(QString()));

    // Another station (its own folder of lock files) while the first probes.
    DevSim silent({QStringLiteral("--tcp"), QStringLiteral("0"), QStringLiteral("--start-after"), QStringLiteral("1000000")});
    QVERIFY2(silent.start(), qPrintable(silent.output()));
    const QStringList link{QStringLiteral("--eth"), QStringLiteral("127.0.0.1:%1").arg(silent.tcpPort()), QStringLiteral("--device"), QStringLiteral("2"),
                           QStringLiteral("--retries"), QStringLiteral("0"), QStringLiteral("--plant-db"), plant.url(), QStringLiteral("--records"), QStringLiteral("none")};
    Flash first;
    first.start(link + QStringList{QStringLiteral("--station"), QStringLiteral("hall-1"), m_images.write(firmwareImage(4096))});
    QString out;
    QTRY_VERIFY_WITH_TIMEOUT((out += first.out()).contains(QStringLiteral("Попытка соединения 1")), 10000);
    Flash second;
    QProcessEnvironment elsewhere = flashEnvironment();
    elsewhere.insert(QStringLiteral("VORLEX_FLASH_LOCK_DIR"), dir.path());
    second.process.setProcessEnvironment(elsewhere);
    second.start(link + QStringList{QStringLiteral("--station"), QStringLiteral("hall-2"), m_images.write(firmwareImage(4096))});
    QCOMPARE(second.finish(), 1);
    const QString err = second.err();
    QVERIFY2(err.contains(QStringLiteral("vorlex-flash hall-1")) && err.contains(QStringLiteral("по базе завода"))
                 && err.count(QStringLiteral("без журнала в базу завода ничего не копируется")) == 1,
             qPrintable(err));
    first.process.kill();
    first.process.waitForFinished();

    // The server freezes during the first device: the second waits for its lock no longer than
    // the deadline, then goes on under the station's own lock, said once.
    DevSim two({QStringLiteral("--tcp"), QStringLiteral("0"), QStringLiteral("--device"), QStringLiteral("2,3"), QStringLiteral("--keep-running")});
    QVERIFY2(two.start(), qPrintable(two.output()));
    // Back once the second has started: said once, on screen and in the transcript.
    Flash frozen;
    frozen.start(records + QStringList{QStringLiteral("--eth"), QStringLiteral("127.0.0.1:%1").arg(two.tcpPort()), QStringLiteral("--device"), QStringLiteral("2,3"),
                                       QStringLiteral("--log"), dir.filePath(QStringLiteral("frozen.log")), m_images.write(firmwareImage(131072))});
    out.clear();
    QTRY_VERIFY_WITH_TIMEOUT((out += frozen.out()).contains(QStringLiteral("Соединение с прибором установлено")), 10000);
    QVERIFY(plant.freeze(true));
    QString warned;
    QTRY_VERIFY_WITH_TIMEOUT((warned += frozen.err()).contains(QStringLiteral("не ответила за 5 с")), 15000);
    QVERIFY(plant.freeze(false));
    QCOMPARE(frozen.finish(20000), 0);
    warned += frozen.err();
    QVERIFY2(warned.count(QStringLiteral("не ответила за 5 с")) == 1 && warned.count(QStringLiteral("снова отвечает")) == 1, qPrintable(warned));
    QFile transcript(dir.filePath(QStringLiteral("frozen.log")));
    QVERIFY(transcript.open(QIODevice::ReadOnly) && transcript.readAll().count("plant database answers again") == 1);
}

// The plant lost while a copy waits on it, and back before the batch's end: copies asked for
// meanwhile wait as one, so nothing tries the lost server again before the batch's last copy,
// which finds it back.
void TestRecords::plantLostDuringACopy()
{
    PgServer plant;
    QVERIFY2(plant.start(), qPrintable(plant.why()));
    QTemporaryDir dir;
    const QString records = dir.filePath(QStringLiteral("records.sqlite"));
    {
        Ledger ledger;
        QString error;
        QVERIFY2(ledger.open(records, &error), qPrintable(error));
    }
    PlantLink link;
    QString warnings;
    connect(&link, &PlantLink::warning, this, [&warnings](const QString &text) { warnings += text + QLatin1Char('\n'); });
    link.start(plant.url(), QStringLiteral("hall-1"), records);
    // Answered once the first copy is over.
    bool answered = false;
    link.lockLink(QStringLiteral("link"), this, [&answered](PlantLink::Verdict, const QString &) { answered = true; });
    QTRY_VERIFY(answered);
    QVERIFY(plant.freeze(true));
    link.copy();
    link.copy();
    QVERIFY(plant.crash());
    QTRY_VERIFY2(warnings.contains(QStringLiteral("недоступна")), qPrintable(warnings));
    QVERIFY2(plant.start(), qPrintable(plant.why()));
    bool finished = false;
    link.finish(PlantLink::DeadlineMs, [&finished] { finished = true; });
    QTRY_VERIFY(finished);
    QCOMPARE(link.outcome().state, QStringLiteral("copied"));
}

// A ledger restored from a backup, a plant database rebuilt, and rows changed on either side:
// none of it goes by without a word, and nothing is lost.
void TestRecords::restoredLedger()
{
    PgServer plant;
    QVERIFY2(plant.start(), qPrintable(plant.why()));
    DevSim sim({QStringLiteral("--tcp"), QStringLiteral("0"), QStringLiteral("--keep-running")});
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    QTemporaryDir dir;
    const QString records = dir.filePath(QStringLiteral("records.sqlite"));
    const QString image = m_images.write(firmwareImage(1024));
    const auto run = [&](const QStringList &arguments, QString *said) {
        Flash flash;
        flash.start(QStringList{QStringLiteral("--records"), records} + arguments);
        const int code = flash.finish();
        *said = flash.out() + flash.err();
        return code;
    };
    const QStringList batch{QStringLiteral("--plant-db"), plant.url(), QStringLiteral("--eth"), QStringLiteral("127.0.0.1:%1").arg(sim.tcpPort()),
                            QStringLiteral("--device"), QStringLiteral("2"), image};
    const QStringList verify{QStringLiteral("--verify-records"), QStringLiteral("--plant-db"), plant.url()};
    QString said;
    QCOMPARE(run(batch, &said), 0);
    QVERIFY(QFile::copy(records, dir.filePath(QStringLiteral("backup.sqlite"))));
    QCOMPARE(run(batch, &said), 0);
    QVERIFY(QFile::remove(records) && QFile::copy(dir.filePath(QStringLiteral("backup.sqlite")), records));
    // The plant holds rows 3 and 4 of this ledger; the restored one ends at 2, and writes its
    // own rows 3 and 4 while the plant is away: they keep the identity they were written under.
    plant.stop();
    QCOMPARE(run(batch, &said), 0);
    QVERIFY2(plant.start(), qPrintable(plant.why()));
    QCOMPARE(run({QStringLiteral("--sync-records"), QStringLiteral("--plant-db"), plant.url(), QStringLiteral("--station"), QStringLiteral("hall-9")}, &said), 0);
    QCOMPARE(plantSql(plant, {QStringLiteral("SELECT station FROM attempts WHERE kind = 'restore'")}).toString(), QStringLiteral("hall-9"));
    QVERIFY2(said.count(QStringLiteral("восстановлен из копии")) == 1 && said.contains(QStringLiteral("до 4, а журнал сходится с ней только до строки 2")),
             qPrintable(said));
    // The restore itself is a row of the chain, copied like any other.
    QCOMPARE(plantSql(plant, {QStringLiteral("SELECT count(*) FROM attempts")}).toInt(), 5);
    QCOMPARE(run(verify, &said), 1);
    QVERIFY2(said.contains(QStringLiteral("строки 3-4")) && said.contains(QStringLiteral("не подтверждено")), qPrintable(said));
    QCOMPARE(run({QStringLiteral("--acknowledge-restore"), QStringLiteral("--operator"), QStringLiteral("Петров")}, &said), 0);
    // The restore and its acknowledgement are rows of the chain: neither can go unseen.
    for (const char *kind : {"restore", "acknowledgement"}) {
        const QString forged = dir.filePath(QLatin1String(kind));
        QVERIFY(QFile::copy(records, forged));
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QLatin1String(kind));
            db.setDatabaseName(forged);
            QVERIFY(db.open() && QSqlQuery(db).exec(QStringLiteral("DELETE FROM attempts WHERE kind = '%1'").arg(QLatin1String(kind))));
        }
        QSqlDatabase::removeDatabase(QLatin1String(kind));
        Flash check;
        check.start({QStringLiteral("--verify-records"), QStringLiteral("--records"), forged});
        QCOMPARE(check.finish(), 1);
    }
    QCOMPARE(run(verify, &said), 0);
    QVERIFY2(said.contains(QStringLiteral("подтверждено: Петров")) && said.contains(QStringLiteral("совпало строк 3, ещё не скопировано 1, расхождений 0, только в базе завода после восстановления из копии 2, только в журнале после восстановления 2")),
             qPrintable(said));

    // Rebuilt empty: every row of the ledger goes back.
    plantSql(plant, {QStringLiteral("DROP VIEW device_state"), QStringLiteral("DROP TABLE attempts, vorlex_schema, status_codes")});
    QCOMPARE(run({QStringLiteral("--sync-records"), QStringLiteral("--plant-db"), plant.url()}, &said), 0);
    QVERIFY2(said.contains(QStringLiteral("строк: 6")), qPrintable(said));
    // A copy cut off before its last row: the next one sends exactly that row.
    plantSql(plant, {QStringLiteral("DELETE FROM attempts WHERE row_id = 6")});
    QCOMPARE(run({QStringLiteral("--sync-records"), QStringLiteral("--plant-db"), plant.url()}, &said), 0);
    QVERIFY2(said.contains(QStringLiteral("строк: 1")), qPrintable(said));
    // Typed for SQL, each device's state in a view with its status's message; a start row names no start.
    QCOMPARE(plantSql(plant, {QStringLiteral("SELECT count(*) FROM attempts WHERE kind = 'start' AND start_row IS NOT NULL")}).toInt(), 0);
    QCOMPARE(plantSql(plant, {QStringLiteral("SELECT count(*) FROM attempts WHERE started_at > now() - interval '1 hour'")}).toInt(), 6);
    QCOMPARE(plantSql(plant, {QStringLiteral("SELECT status_message FROM device_state")}).toString(),
             QStringLiteral("Файл успешно отправлен, не забудьте проверить параметры и настройки порогов"));
    QVERIFY(!plantSql(plant, {QStringLiteral("SELECT col_description('attempts'::regclass, 16)")}).toString().isEmpty());

    // A row changed in the plant database, and one that the ledger never had.
    plantSql(plant, {QStringLiteral("UPDATE attempts SET row_hash = md5(row_hash) WHERE row_id = 4"),
                     QStringLiteral("INSERT INTO attempts SELECT E'hall\\x1b]0;owned\\x07', ledger, 9, batch, label, operator, program_version, link, device, attempt, "
                                    "outcome, status, message, bytes_acknowledged, retransmissions, started_at, ended_at, image_path, image_size, "
                                    "image_sha256, previous_hash, row_hash FROM attempts WHERE row_id = 3")});
    QCOMPARE(run(verify, &said), 1);
    QVERIFY2(said.contains(QRegularExpression(QStringLiteral("строка 4 .* в базе завода изменена"))) && said.contains(QRegularExpression(QStringLiteral("строка 9 .* нет в журнале")))
                 && said.contains(QStringLiteral("hall\\x1b]0;owned\\x07")),
             qPrintable(said));

    // A mistyped ledger is refused, and nothing is made in its place, by a read or a write.
    for (const QStringList &verb : {QStringList{QStringLiteral("--history")}, QStringList{QStringLiteral("--verify-records")},
                                    QStringList{QStringLiteral("--acknowledge-restore")}, QStringList{QStringLiteral("--sync-records"), QStringLiteral("--plant-db"), plant.url()}}) {
        for (const QString &typo : {QStringLiteral("typo/records.sqlite"), QStringLiteral("typo.sqlite")}) {
            Flash read;
            read.start(verb + QStringList{QStringLiteral("--records"), dir.filePath(typo)});
            QCOMPARE(read.finish(), 2);
            QVERIFY(!QFileInfo::exists(dir.filePath(typo.section(QLatin1Char('/'), 0, 0))));
        }
    }
    // An empty file is no ledger to read.
    Flash empty;
    empty.start({QStringLiteral("--history"), QStringLiteral("--records"), m_images.write(QByteArray())});
    QCOMPARE(empty.finish(), 2);
    const QString refusal = empty.err();
    QVERIFY2(refusal.count(QLatin1Char('\n')) == 1 && refusal.contains(QStringLiteral("файл пуст, это не журнал")), qPrintable(refusal));
}

void TestRecords::forgedRecords_data()
{
    QTest::addColumn<QString>("ledgerSql"); // run on the ledger; "rehash" after it: every chain hashed anew, the head too
    QTest::addColumn<QString>("plantSql");
    QTest::addColumn<QString>("command"); // verify (the report), verify-plant, sync, ledger (alone)
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("said");
    QTest::newRow("untouched") << "" << "" << "verify-plant" << 0 << "совпало строк 4, ещё не скопировано 0, расхождений 0";
    // A ledger of schema 3, as an older flasher left it after a restore: read as it is, never upgraded by a read.
    const QString schema3 = QStringLiteral("UPDATE attempts SET ledger_id = CASE id WHEN 1 THEN 'old' ELSE 'new' END, hash_version = NULL, pid = NULL; "
                                           "UPDATE ledger_info SET value = 'new' WHERE key = 'id'; rehash; INSERT INTO restores VALUES ('old', 'new', 1, 3, '2026-01-01T00:00:00.000Z', 'Петров', '2026-01-02T00:00:00.000Z'); "
                                           "ALTER TABLE attempts DROP COLUMN hash_version; ALTER TABLE attempts DROP COLUMN detail; ALTER TABLE attempts DROP COLUMN machine; "
                                           "ALTER TABLE attempts DROP COLUMN boot; ALTER TABLE attempts DROP COLUMN pid; ALTER TABLE attempts DROP COLUMN process_start; PRAGMA user_version = 3");
    QTest::newRow("a ledger of schema 3 after a restore") << schema3 << "" << "ledger" << 0
                                                          << "восстановлен из копии (найдено 2026-01-01T00:00:00Z): строки 2-3 с id old есть только в базе завода, "
                                                             "дальше журнал пишет под id new; подтверждено: Петров, 2026-01-02T00:00:00Z";
    QTest::newRow("a ledger of schema 4, read as it is") << "UPDATE attempts SET hash_version = NULL; rehash; ALTER TABLE attempts DROP COLUMN hash_version; "
                                                            "ALTER TABLE attempts DROP COLUMN detail; PRAGMA user_version = 4" << "" << "ledger" << 0 << "цепочка цела, строк: 4";
    QTest::newRow("a ledger of schema 4 a reader holds, to sync") << "PRAGMA journal_mode=DELETE; UPDATE attempts SET hash_version = NULL; rehash; "
                                                                     "ALTER TABLE attempts DROP COLUMN hash_version; ALTER TABLE attempts DROP COLUMN detail; PRAGMA user_version = 4; hold"
                                                                  << "" << "sync" << 2 << "занят другой программой";
    QTest::newRow("a ledger of schema 4, brought up to date by a sync") << "UPDATE attempts SET hash_version = NULL; rehash; ALTER TABLE attempts DROP COLUMN hash_version; "
                                                                           "ALTER TABLE attempts DROP COLUMN detail; PRAGMA user_version = 4"
                                                                        << "DELETE FROM attempts" << "sync" << 0 << "строк: 4";
    QTest::newRow("restores forged into a circle") << "UPDATE attempts SET ledger_id = 'A'; UPDATE ledger_info SET value = 'A' WHERE key = 'id'; UPDATE attempts SET "
                                                      "kind = 'restore', detail = CASE id WHEN 3 THEN 'A B 0 1 1' ELSE 'B A 0 1 1' END WHERE id > 2; rehash"
                                                   << "UPDATE attempts SET ledger = 'A', row_hash = md5(row_hash)" << "sync" << 1 << "это не восстановление журнала";
    QTest::newRow("a restore whose numbers are not numbers") << "UPDATE attempts SET kind = 'restore', detail = 'old new x 1 2' WHERE id = 4; rehash" << ""
                                                             << "ledger" << 0 << "цепочка цела, строк: 4";
    QTest::newRow("a ledger of schema 3, an attempt's end lost") << schema3 + QStringLiteral("; UPDATE attempts SET batch = 'B'; DELETE FROM attempts WHERE id = 2")
                                                                << "" << "history, the former batch locks there" << 0 << ",unfinished,";
    QTest::newRow("a ledger of schema 3, a start's kind changed") << schema3 + QStringLiteral("; UPDATE attempts SET kind = 'x' WHERE id = 1") << "" << "ledger" << 1
                                                                  << "строка 1 (станция hall-1, id журнала old) изменена";
    QTest::newRow("rows of an earlier version, hashed as it did") << "UPDATE attempts SET hash_version = NULL; rehash" << "" << "ledger" << 0
                                                                  << "цепочка цела, строк: 4";
    QTest::newRow("a plant row changed, its stored hash kept") << "" << "UPDATE attempts SET outcome = 'updated' WHERE row_id = 3" << "verify-plant" << 1
                                                               << "строка 3 (станция hall-2";
    QTest::newRow("a row planted under the next number") << ""
        << "INSERT INTO attempts SELECT station, ledger, 5, batch, label, operator, program_version, link, device, attempt, outcome, status, message, "
           "bytes_acknowledged, retransmissions, started_at, ended_at, image_path, image_size, image_sha256, previous_hash, md5(row_hash) FROM attempts "
           "WHERE row_id = 4" << "sync" << 1 << "это не восстановление журнала";
    QTest::newRow("a row planted beside another under a second station")
        << "" << "INSERT INTO attempts SELECT 'Z', ledger, 2, batch, label, operator, program_version, link, device, attempt, outcome, status, message, "
                 "bytes_acknowledged, retransmissions, started_at, ended_at, image_path, image_size, image_sha256, previous_hash, row_hash FROM attempts "
                 "WHERE row_id = 3" << "verify-plant" << 1 << "есть в базе завода не раз, у станций Z, hall-1";
    QTest::newRow("a station's rows removed from the plant below its last") << "" << "DELETE FROM attempts WHERE station = 'hall-1'" << "verify-plant" << 1
                                                                           << "строки 1 (id журнала";
    QTest::newRow("another program's database, to sync into") << "PRAGMA application_id = 7" << "" << "sync" << 2 << "это не журнал vorlex-flash";
    QTest::newRow("one valid row planted far ahead") << "" << "a valid row far ahead" << "sync" << 1 << "в базе завода только 1, а строки туда идут подряд";
    QTest::newRow("the plant's last hash changed") << "" << "UPDATE attempts SET row_hash = md5(row_hash) WHERE row_id = 4" << "sync" << 1
                                                   << "это не восстановление журнала";
    QTest::newRow("a row rewritten, every hash after it too") << "UPDATE attempts SET outcome = 'updated' WHERE id = 1; rehash" << "" << "verify-plant"
                                                             << 1 << "в базе завода другая";
    QTest::newRow("a report that names no end of the chain") << "" << "" << "fake-report" << 2 << "не называет конец цепочки журнала";
    QTest::newRow("another station's rows rewritten behind the report") << "UPDATE attempts SET outcome = 'updated' WHERE id = 1; rehash" << ""
                                                                        << "verify" << 1 << "не держит конец цепочки";
    QTest::newRow("the rows given a new identity, hashed anew") << "UPDATE attempts SET ledger_id = 'x'; UPDATE ledger_info SET value = 'x' WHERE key = 'id'; rehash"
                                                                << "" << "verify-plant" << 1 << "которого этот журнал не знает";
    QTest::newRow("the report of the ledger before a new identity") << "UPDATE attempts SET ledger_id = 'x'; UPDATE ledger_info SET value = 'x' WHERE key = 'id'; rehash"
                                                                    << "" << "verify" << 1 << "у журнала больше нет id";
}

// Two stations' batches into one ledger and one plant database: built once, each row of
// forgedRecords() forges a copy of both.
void TestRecords::buildForgedRecords()
{
    if (m_forgedBuilt)
        return;
    QVERIFY2(m_plant.start(), qPrintable(m_plant.why()));
    QCOMPARE(plantSql(m_plant, {QStringLiteral("CREATE DATABASE forged"), QStringLiteral("SELECT count(*) FROM pg_database WHERE datname = 'forged'")}).toInt(), 1);
    DevSim sim({QStringLiteral("--tcp"), QStringLiteral("0"), QStringLiteral("--keep-running")});
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    for (const char *station : {"hall-1", "hall-2"}) {
        Flash batch;
        batch.start({QStringLiteral("--records"), m_forged.filePath(QStringLiteral("records.sqlite")), QStringLiteral("--plant-db"), m_plant.url(QStringLiteral("forged")),
                     QStringLiteral("--station"), QLatin1String(station), QStringLiteral("--report"), m_forged.filePath(QStringLiteral("report.json")),
                     QStringLiteral("--eth"), QStringLiteral("127.0.0.1:%1").arg(sim.tcpPort()), QStringLiteral("--device"), QStringLiteral("2"),
                     m_images.write(firmwareImage(1024))});
        QCOMPARE(batch.finish(), 0);
    }
    m_forgedBuilt = true;
}

// What a forger does with the ledger's file, and a writer of the plant database with its rows.
void TestRecords::forgedRecords()
{
    QFETCH(QString, ledgerSql);
    QFETCH(QString, plantSql);
    QFETCH(QString, command);
    QFETCH(int, code);
    QFETCH(QString, said);
    buildForgedRecords();
    if (QTest::currentTestFailed())
        return;
    // The row's own copy: of the ledger and its report, and of the plant database.
    QTemporaryDir dir;
    for (const QString &file : QDir(m_forged.path()).entryList(QDir::Files | QDir::Hidden))
        QVERIFY(QFile::copy(m_forged.filePath(file), dir.filePath(file)));
    const QString records = dir.filePath(QStringLiteral("records.sqlite"));
    const QString report = dir.filePath(QStringLiteral("report.json"));
    const QString database = QStringLiteral("forged_%1").arg(++m_forgedCopies);
    QCOMPARE(::plantSql(m_plant, {QStringLiteral("CREATE DATABASE %1 TEMPLATE forged").arg(database),
                                  QStringLiteral("SELECT count(*) FROM pg_database WHERE datname = '%1'").arg(database)}).toInt(), 1);
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("forger"));
        db.setDatabaseName(records);
        QVERIFY(db.open());
        for (const QString &statement : ledgerSql.split(QStringLiteral("; "), Qt::SkipEmptyParts)) {
            if (statement == QLatin1String("hold"))
                continue;
            if (statement != QLatin1String("rehash")) {
                QVERIFY2(QSqlQuery(db).exec(statement), qPrintable(statement));
                continue;
            }
            QSqlQuery rows(db);
            QVERIFY(rows.exec(QStringLiteral("SELECT id, batch, label, station, operator, program_version, link, device, attempt, outcome, status, message, "
                                             "bytes_acknowledged, retransmissions, started_at, ended_at, image_path, image_size, image_sha256, previous_hash, "
                                             "row_hash, kind, start_row, ledger_id, machine, boot, pid, process_start, hash_version, detail FROM attempts ORDER BY id")));
            QHash<QString, QString> last; // station and identity: its last hash
            const RowColumns columns = RowColumns::of(rows.record());
            while (rows.next()) {
                LedgerRow row = ledgerRowFrom(rows, columns);
                row.hashVersion = rows.value(28).isNull() ? 1 : rows.value(28).toInt(); // the rules the row names, whatever a reader makes of them
                // By the first rules a row follows the station's row before, under whichever identity.
                const QString chain = row.station + (row.hashVersion > 1 ? QLatin1Char(' ') + row.ledgerId : QString());
                row.previousHash = last.value(chain, NoPreviousRow);
                last[chain] = row.rowHash = rowHash(row, row.previousHash);
                QSqlQuery update(db);
                update.prepare(QStringLiteral("UPDATE attempts SET previous_hash = ?, row_hash = ? WHERE id = ?"));
                update.addBindValue(row.previousHash);
                update.addBindValue(row.rowHash);
                update.addBindValue(row.id);
                QVERIFY(update.exec() && QSqlQuery(db).exec(QStringLiteral("UPDATE ledger_info SET value = '%1' WHERE key = 'head_hash'").arg(row.rowHash)));
            }
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("forger"));
    // "hold": a reader keeps a read transaction open on the ledger meanwhile.
    QSqlDatabase holder = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("holder"));
    holder.setDatabaseName(records);
    QVERIFY(!ledgerSql.endsWith(QLatin1String("; hold"))
            || (holder.open() && QSqlQuery(holder).exec(QStringLiteral("BEGIN")) && QSqlQuery(holder).exec(QStringLiteral("SELECT count(*) FROM attempts"))));
    const auto release = qScopeGuard([&] { holder.close(); holder = QSqlDatabase(); QSqlDatabase::removeDatabase(QStringLiteral("holder")); });
    // What a writer of the plant who knows the rules makes: a row whose hash holds.
    if (plantSql == QLatin1String("a valid row far ahead")) {
        LedgerRow row;
        row.station = QStringLiteral("Z");
        row.id = 100;
        row.ledgerId = ::plantSql(m_plant, {QStringLiteral("SELECT ledger FROM attempts LIMIT 1")}, database).toString();
        row.outcome = QStringLiteral("updated");
        row.start = row.end = QDateTime(QDate(2026, 1, 1), QTime(0, 0), Qt::UTC);
        plantSql = QStringLiteral("INSERT INTO attempts (station, ledger, row_id, batch, label, operator, program_version, link, device, attempt, outcome, "
                                  "message, bytes_acknowledged, retransmissions, started_at, ended_at, image_path, image_size, image_sha256, previous_hash, "
                                  "row_hash, hash_version) VALUES ('Z', '%1', 100, '', '', '', '', '', 0, 0, 'updated', '', 0, 0, '2026-01-01T00:00:00Z', "
                                  "'2026-01-01T00:00:00Z', '', 0, '', '%2', '%3', 2)").arg(row.ledgerId, NoPreviousRow, rowHash(row, NoPreviousRow));
    }
    if (!plantSql.isEmpty())
        ::plantSql(m_plant, {plantSql}, database);
    if (command == QLatin1String("fake-report")) {
        QFile fake(report);
        QVERIFY(fake.open(QIODevice::WriteOnly) && fake.write("{\"ledger\": {\"id\": \"") > 0);
        fake.write(::plantSql(m_plant, {QStringLiteral("SELECT ledger FROM attempts LIMIT 1")}, database).toString().toLatin1() + "\"}}");
    }
    Flash check;
    if (command == QLatin1String("history, the former batch locks there")) {
        // The earlier version's folder of batch locks, root's, in a private /run/lock: batch B's lock is there and held by nobody.
        if (::geteuid() != 0 || QProcess::execute(QStringLiteral("unshare"), {QStringLiteral("-m"), QStringLiteral("true")}) != 0)
            QSKIP("needs root and a private mount namespace (unshare -m), for a private /run/lock");
        check.process.start(QStringLiteral("unshare"), {QStringLiteral("-m"), QStringLiteral("sh"), QStringLiteral("-c"),
                                                         QStringLiteral("mount -t tmpfs tmpfs /run/lock && mkdir /run/lock/vorlex-flash && : > /run/lock/vorlex-flash/batch-B.lock "
                                                                        "&& exec \"$0\" --history --csv --records \"$1\""), QStringLiteral(FLASH_PATH), records});
    } else {
        check.start(command == QLatin1String("sync") ? QStringList{QStringLiteral("--sync-records"), QStringLiteral("--records"), records, QStringLiteral("--plant-db"), m_plant.url(database)}
                    : QStringList{QStringLiteral("--verify-records"), QStringLiteral("--records"), records}
                          + (command.contains(QLatin1String("report")) || command == QLatin1String("verify") ? QStringList{report}
                             : command == QLatin1String("ledger") ? QStringList() : QStringList{QStringLiteral("--plant-db"), m_plant.url(database)}));
    }
    QCOMPARE(check.finish(), code);
    const QString words = check.out() + check.err();
    QVERIFY2(words.contains(said), qPrintable(words));
    // A conflict is never taken for a restore.
    QVERIFY2(said.contains(QStringLiteral("восстановлен")) || !words.contains(QStringLiteral("восстановлен из копии")), qPrintable(words));
}

// Flashers that start together all find a dead attempt open: only the first to write closes it.
void TestRecords::deadAttemptClosedOnce()
{
    QTemporaryDir dir;
    Ledger first;
    Ledger second;
    QString error;
    QVERIFY2(first.open(dir.filePath(QStringLiteral("records.sqlite")), &error) && second.open(dir.filePath(QStringLiteral("records.sqlite")), &error),
             qPrintable(error));
    LedgerRow row;
    row.kind = QStringLiteral("start");
    row.start = QDateTime::currentDateTimeUtc();
    QVERIFY2(first.append(row, &error, &row.startRow), qPrintable(error));
    row.kind = QStringLiteral("end");
    bool closed[2] = {};
    QVERIFY2(first.closeAttempt(row, &closed[0], &error) && second.closeAttempt(row, &closed[1], &error), qPrintable(error));
    QVERIFY(closed[0] && !closed[1]);
}

QTEST_GUILESS_MAIN(TestRecords)
#include "tst_records.moc"
