#include "sqliteerrors.h"

#include <QSqlError>

QString explainedSqliteError(const QSqlError &error)
{
    QString meaning;
    switch (error.nativeErrorCode().toInt() & 0xff) { // the primary code of an extended one
    case 26: // SQLITE_NOTADB
        meaning = QStringLiteral("файл - не база SQLite, а значит, не журнал; укажите журнал (--records)");
        break;
    case 5: // SQLITE_BUSY
    case 6: // SQLITE_LOCKED
        meaning = QStringLiteral("журнал занят другой программой дольше 10 с; повторите, когда она закончит");
        break;
    case 13: // SQLITE_FULL
        meaning = QStringLiteral("диск полон; освободите место на диске журнала");
        break;
    case 8: // SQLITE_READONLY
    case 23: // SQLITE_AUTH
        meaning = QStringLiteral("в журнал нельзя писать; нужны права на запись в файл и его папку");
        break;
    case 14: // SQLITE_CANTOPEN
        meaning = QStringLiteral("файл журнала не открывается; проверьте путь и права");
        break;
    case 10: // SQLITE_IOERR
        meaning = QStringLiteral("ошибка ввода-вывода; проверьте диск журнала");
        break;
    case 11: // SQLITE_CORRUPT
        meaning = QStringLiteral("файл журнала повреждён; сохраните его для разбора и начните новый (--records)");
        break;
    default:
        meaning = QStringLiteral("ошибка базы SQLite");
    }
    const QString cause = error.databaseText().isEmpty() ? error.driverText() : error.databaseText();
    return cause.isEmpty() ? meaning : QStringLiteral("%1: %2").arg(meaning, cause.simplified());
}
