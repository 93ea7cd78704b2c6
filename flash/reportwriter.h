#ifndef REPORTWRITER_H
#define REPORTWRITER_H

#include "devicerecord.h"
#include "firmwareimage.h"
#include "ledger.h"

#include <QDateTime>
#include <QList>
#include <QStringList>

// The --report file: one JSON document per batch, for a production line's records.
struct BatchReport
{
    QString batch;         // the batch's id, as the ledger has it
    QString label;
    QString rerunOf;       // --rerun-failed: the batch it runs again
    QString station;       // host name
    QString operatorName;  // login name
    QStringList commandLine;
    FirmwareImage image;
    QDateTime start;       // UTC
    QDateTime end;         // UTC
    bool interrupted = false;
    int exitCode = 0;
    QList<DeviceRecord> devices; // in plan order
    QString ledgerId;            // empty: no ledger
    LedgerHead ledgerHead;       // where the ledger's chain ended with the batch
    QString plantState;          // copied, away or refused; empty: no plant database
    QString plantCause;
};

// Before any link opens: the folder exists and the place is not a folder. An empty result
// means the report can be written there.
QString checkReportPlace(const QString &path);

// Writes the whole report, or nothing; false with *error saying why.
bool writeReport(const QString &path, const BatchReport &report, QString *error);

#endif // REPORTWRITER_H
