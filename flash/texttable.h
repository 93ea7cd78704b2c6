#ifndef TEXTTABLE_H
#define TEXTTABLE_H

#include <QList>
#include <QString>
#include <QStringList>

// Rows as aligned columns for a person, two blanks apart, one line each (with its '\n').
inline QString textTable(const QList<QStringList> &rows)
{
    QList<int> widths;
    for (const QStringList &row : rows)
        for (int i = 0; i < row.size(); ++i) {
            if (i == widths.size())
                widths << 0;
            widths[i] = qMax(widths.at(i), int(row.at(i).size()));
        }
    QString out;
    for (const QStringList &row : rows) {
        QString line;
        for (int i = 0; i < row.size(); ++i)
            line += (i ? QStringLiteral("  ") : QString()) + row.at(i).leftJustified(widths.at(i));
        out += line.trimmed() + QLatin1Char('\n');
    }
    return out;
}

#endif // TEXTTABLE_H
