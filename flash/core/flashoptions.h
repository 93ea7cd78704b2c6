#ifndef FLASHOPTIONS_H
#define FLASHOPTIONS_H

#include "devicelist.h"
#include "runsettings.h"

#include <QList>
#include <QString>
#include <QStringList>

// One link and the devices behind it, updated one after another: they share the line.
struct LinkPlan
{
    RunSettings::Link kind = RunSettings::Link::Serial;
    QString serialPort;
    QString address;
    QString port = QStringLiteral("4040");
    QList<int> devices;
    // Where each device was asked for ("plan.txt:3", "--device"), for a message naming both
    // places of a device asked for twice.
    QStringList origins;

    // How the operator reads the link: "/dev/ttyUSB0" or "192.168.100.177:4040".
    QString name() const;
    // Two plans with the same key are one bus.
    QString key() const;
};

// What one vorlex-flash command asks for, checked before any link is opened.
struct FlashOptions
{
    QList<LinkPlan> links;
    QString file;
    QString expectedSha256;
    bool keepGoing = false;
    bool quiet = false;
    QString logFile;
    QString reportFile;
    int answerTimeoutSeconds = 30;
    int jobs = 0; // links at once; 0: all
    int retries = 2; // further attempts at a device that failed
    // --rerun-failed: the report read, and the hash of the image it names.
    QString rerunReport;
    QString rerunSha256;
    QString rerunBatch;
    QString planFile;
    // The station's ledger: its file (empty: none for this run), the batch's label, the station.
    QString recordsFile;
    QString label;
    QString station;
    QString operatorName; // empty: the login name
    // The plant's PostgreSQL database, from --plant-db or VORLEX_PLANT_DB; empty: none.
    QString plantDb;
};

// A plan no plant comes near; anything larger is a mistake, such as the wrong file.
constexpr qint64 MaxPlanBytes = 1024 * 1024;
constexpr int MaxPlanLineLength = 4096;

// ADDRESS or ADDRESS:PORT, with [ADDRESS]:PORT for IPv6; the port as typed, 1 to 65535.
bool parseEthTarget(const QString &text, QString *address, QString *port, QString *error);

// A plan file: one link a line, "eth ADDRESS[:PORT] DEVICES" or "serial PORT DEVICES", blank
// lines and # comments allowed. Adds its links to *links; on a bad line says which in *error.
bool parsePlan(const QString &text, const QString &fileName, QList<LinkPlan> *links, QString *error);

// Lines that name the same link join one queue, in the order their devices were given. A
// device asked for twice on one link is refused: *error names both places.
bool joinSameLinks(const QList<LinkPlan> &links, QList<LinkPlan> *joined, QString *error);

// The checks the window and the worker make, all made up front: device numbers, address and
// port, the size each link accepts. An empty result means the options are usable.
QString checkLinks(const FlashOptions &options, qint64 imageSize);

#endif // FLASHOPTIONS_H
