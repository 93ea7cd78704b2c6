#include "devicerecord.h"

QString outcomeName(DeviceRecord::Outcome outcome)
{
    switch (outcome) {
    case DeviceRecord::Outcome::Updated: return QStringLiteral("updated");
    case DeviceRecord::Outcome::Failed: return QStringLiteral("failed");
    case DeviceRecord::Outcome::NoAnswer: return QStringLiteral("no answer");
    case DeviceRecord::Outcome::Interrupted: return QStringLiteral("interrupted");
    case DeviceRecord::Outcome::NotStarted: break;
    }
    return QStringLiteral("not started");
}

QString outcomeText(DeviceRecord::Outcome outcome)
{
    switch (outcome) {
    case DeviceRecord::Outcome::Updated: return QStringLiteral("обновлён");
    case DeviceRecord::Outcome::Failed: return QStringLiteral("ошибка");
    case DeviceRecord::Outcome::NoAnswer: return QStringLiteral("нет ответа");
    case DeviceRecord::Outcome::Interrupted: return QStringLiteral("прерван");
    case DeviceRecord::Outcome::NotStarted: break;
    }
    return QStringLiteral("не начат");
}
