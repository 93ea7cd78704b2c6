#ifndef HISTORYVIEW_H
#define HISTORYVIEW_H

#include "ledger.h"

#include <QList>
#include <QString>

// --history: the ledger's rows as a table for a person, CSV (a header, RFC 4180 quoting) or
// JSON for a plant's tracking system.
enum class HistoryFormat { Table, Csv, Json };

QString formatHistory(const QList<LedgerRow> &rows, HistoryFormat format);

#endif // HISTORYVIEW_H
