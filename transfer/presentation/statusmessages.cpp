#include "statusmessages.h"

#include "textescape.h"
#include "xmodem.h"

StatusPresentation presentStatus(int status, const QString &previousMessage, const QString &port, int attempts)
{
    // The port's name is the user's or the system's text, never a sequence for the terminal.
    const QString portName = quotedForMessage(port, PathInMessage);
    const QString blackOnYellow = QStringLiteral("color: black; background: yellow");
    const QString blackOnGreen = QStringLiteral("color: black; background: green");
    switch (status) {
    case STATUS_DEVICE_CONNECTED:
        return {QStringLiteral("Соединение с прибором установлено"), blackOnYellow, true};
    case STATUS_FILE_SENT:
        return {QStringLiteral("Файл успешно отправлен, не забудьте проверить параметры и настройки порогов"), blackOnGreen, false};
    case STATUS_CONNECTING:
        return {QStringLiteral("Попытка соединения ") + QString::number(attempts), QStringLiteral("color: black; background: gray"), true};
    case STATUS_CABINET_CONNECTED:
        return {QStringLiteral("Связь со шкафом установлена"), blackOnGreen, true};
    case ERROR_NO_LINK_INTERFACE:
        return {QStringLiteral("Ошибка - нет такого интерфейса соединения"), QString(), false};
    case ERROR_PORT:
        return {QStringLiteral("Ошибка - порта"), QString(), false};
    case ERROR_PORT_ALREADY_OPEN:
        return {QStringLiteral("Ошибка - порта, порт уже открыт"), QString(), false};
    case ERROR_PORT_NOT_OPENING:
        return {QStringLiteral("Ошибка - порт ") + portName + QStringLiteral(" не открывается"), QString(), false};
    case ERROR_NO_INTERFACE:
        return {QStringLiteral("Ошибка - нет такого интерфейса ") + portName, QString(), false};
    case ERROR_PORT_CLOSED:
        return {QStringLiteral("Ошибка - закрылся порт ") + portName, QString(), false};
    case ERROR_WRONG_ANSWER:
        return {QStringLiteral("Ошибка - неверный ответ"), QString(), true};
    case ERROR_BAD_FILE_NAME:
        return {QStringLiteral("Ошибка - неверное имя файла"), QString(), false};
    case ERROR_BAD_FILE_SIZE:
        return {QStringLiteral("Ошибка - неверное размер файла"), QString(), false};
    case ERROR_SEND_FAILED:
        return {previousMessage + QStringLiteral(", Ошибка во время отправки файла в прибор"), QString(), false};
    case ERROR_BAD_IP_ADDRESS:
        return {QStringLiteral("Ошибка - неверный IP адрес шкафа"), QString(), false};
    case ERROR_BAD_ETH_PORT:
        return {QStringLiteral("Ошибка - неверный порт шкафа, допустимы номера от 1 до 65535"), QString(), false};
    case ERROR_LINK_LOST:
        return {QStringLiteral("Ошибка - потеря связи с прибором"), QString(), false};
    case ERROR_ETH_CONNECT:
        return {QStringLiteral("Ошибка - не удается установить связь по Ethernet со шкафом"), QString(), false};
    case STATUS_STOPPED:
        return {QStringLiteral("Останов"), QStringLiteral("color: black; background: red"), false};
    default:
        return {QStringLiteral("Неизвестная ошибка"), QString(), false};
    }
}

QString runMessage(const RunResult &result)
{
    if (result.lastStatus == 0)
        return QString();
    // Only code -10 reads the message before it, and it is the last code of its run: the code
    // before it is never -10 itself, so one code back is the whole of its text. Code 3, the
    // one that counts attempts, is the window's own and never a worker's.
    const QString before = result.previousStatus != 0
        ? presentStatus(result.previousStatus, QString(), result.portName, result.probes).message
        : QString();
    return presentStatus(result.lastStatus, before, result.portName, result.probes).message;
}

QList<QPair<int, QString>> statusCodeMessages()
{
    QList<QPair<int, QString>> codes;
    for (int code = STATUS_STOPPED; code <= STATUS_CABINET_CONNECTED; ++code) {
        if (code == 0)
            continue;
        QString message = presentStatus(code, QString(), QStringLiteral("PORT"), 1).message;
        // Code -10 without the message it extends.
        if (message.startsWith(QLatin1String(", ")))
            message = message.mid(2);
        codes << qMakePair(code, message);
    }
    return codes;
}
