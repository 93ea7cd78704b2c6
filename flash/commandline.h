#ifndef COMMANDLINE_H
#define COMMANDLINE_H

#include "exitcodes.h"
#include "flashoptions.h"
#include "historyview.h"
#include "ledger.h"

#include <QString>
#include <QStringList>

// What the command line asks for, every check that needs no link made.
struct CommandLine
{
    enum class Action { Run, Help, ListPorts, VerifyRecords, History, SyncRecords, AcknowledgeRestore, Refused };
    Action action = Action::Refused;
    FlashOptions options;
    bool json = false;
    LedgerFilter filter;
    HistoryFormat format = HistoryFormat::Table;
    QString text; // the help text, or why the command line is refused
    QStringList reports; // --verify-records: reports whose ledger heads the ledger must still hold
};

CommandLine parseCommandLine(const QStringList &arguments);

// A command line refused, with why.
CommandLine refused(const QString &why);

// The batch's outputs against its inputs and each other, by the files they now resolve to: made
// before any link opens, and made again for the report just before it is written, when a path
// may have become a link to the image. Only: only that output is checked. Empty when none meet.
QString findBatchFileClash(const FlashOptions &options, const QString &only = QString());

#endif // COMMANDLINE_H
