#include "textescape.h"

bool isUnprintable(QChar c)
{
    const QChar::Category category = c.category();
    return category == QChar::Other_Control || category == QChar::Other_Format || category == QChar::Separator_Line
        || category == QChar::Separator_Paragraph;
}

QString quotedForMessage(const QString &text, int maxLength)
{
    QString shown;
    for (const QChar c : text) {
        if (shown.size() >= maxLength) {
            shown += QStringLiteral("…");
            break;
        }
        const ushort code = c.unicode();
        if (!isUnprintable(c))
            shown += c;
        else if (code < 0x100)
            shown += QStringLiteral("\\x%1").arg(code, 2, 16, QLatin1Char('0'));
        else
            shown += QStringLiteral("\\u%1").arg(code, 4, 16, QLatin1Char('0'));
    }
    return shown;
}
