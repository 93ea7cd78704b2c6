#include "platform.h"

#include <cerrno>
#include <cstring>

// What both systems share: the fallbacks over what the system reports, and errno's words.
namespace platform {

TerminalSize terminalSize()
{
    TerminalSize size = reportedTerminalSize();
    // A serial console reports a width of 0: that is a width nobody knows, not a width of 0.
    if (size.columns <= 0) {
        // Read in base 10: qEnvironmentVariableIntValue() would take "010" for 8.
        bool ok = false;
        const int columns = qEnvironmentVariable("COLUMNS").trimmed().toInt(&ok, 10);
        size.columns = ok && columns > 0 ? columns : 80;
    }
    return size;
}

QString writeFailure(int error)
{
    switch (error) {
    case ENOSPC:
        return QStringLiteral("диск полон");
    case EFBIG:
        return QStringLiteral("файл превысил предел размера");
#ifdef EDQUOT
    case EDQUOT:
        return QStringLiteral("исчерпана дисковая квота");
#endif
    case EPIPE:
        return QStringLiteral("читающая сторона закрыла канал");
    case EIO:
        return QStringLiteral("ошибка ввода-вывода");
    default:
        return QString::fromLocal8Bit(std::strerror(error));
    }
}

} // namespace platform
