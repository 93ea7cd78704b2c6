#include "recordsarguments.h"

#include "textescape.h"

#include <QRegularExpression>

namespace {

// "2026-12-07" as that whole day in UTC (until: through its end), or a time in ISO 8601
// ("2026-12-07T18:19:15Z", "...+03:00", "...15.250Z"), UTC unless it names its offset.
bool parseHistoryTime(const QString &text, bool until, QDateTime *time)
{
    // Only the day itself: Qt would read the day off the front of a longer text and drop the time.
    static const QRegularExpression dayOnly(QStringLiteral("^\\d{4}-\\d{2}-\\d{2}$"));
    if (dayOnly.match(text).hasMatch()) {
        const QDate day = QDate::fromString(text, Qt::ISODate);
        if (!day.isValid())
            return false;
        *time = QDateTime(until ? day.addDays(1) : day, QTime(0, 0), Qt::UTC);
        return true;
    }
    QDateTime moment = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!moment.isValid())
        return false;
    if (moment.timeSpec() == Qt::LocalTime)
        moment.setTimeSpec(Qt::UTC);
    *time = moment.toUTC();
    return true;
}

} // namespace

// No control or formatting characters, which could rewrite a terminal's lines or reorder what a
// reader sees.
QString checkRecordName(const QString &option, const QString &value)
{
    for (const QChar c : value) {
        if (isUnprintable(c))
            return QStringLiteral("--%1: \"%2\" содержит управляющий символ U+%3; допустим только печатный текст")
                .arg(option, quotedForMessage(value)).arg(c.unicode(), 4, 16, QLatin1Char('0'));
    }
    return QString();
}

CommandLine parseRecordsCommand(const QCommandLineParser &parser, CommandLine command)
{
    const bool history = parser.isSet(QStringLiteral("history"));
    const bool sync = parser.isSet(QStringLiteral("sync-records"));
    const bool acknowledge = parser.isSet(QStringLiteral("acknowledge-restore"));
    const QString verb = history ? QStringLiteral("history") : sync ? QStringLiteral("sync-records")
                       : acknowledge ? QStringLiteral("acknowledge-restore") : QStringLiteral("verify-records");
    const QStringList allowed = history ? QStringList{QStringLiteral("history"), QStringLiteral("records"), QStringLiteral("plant-db"), QStringLiteral("since"),
                                                      QStringLiteral("until"), QStringLiteral("device"), QStringLiteral("link"), QStringLiteral("label"),
                                                      QStringLiteral("outcome"), QStringLiteral("batch"), QStringLiteral("csv"), QStringLiteral("json"),
                                                      QStringLiteral("latest")}
                        : acknowledge ? QStringList{verb, QStringLiteral("records"), QStringLiteral("operator")}
                                      : QStringList{verb, QStringLiteral("records"), QStringLiteral("plant-db"), QStringLiteral("station")};
    for (const QString &name : parser.optionNames())
        if (!allowed.contains(name))
            return refused(QStringLiteral("--%1 не вместе с --%2").arg(name, verb));
    const bool verify = !history && !sync && !acknowledge;
    if (!parser.positionalArguments().isEmpty() && !verify)
        return refused(QStringLiteral("--%1 не берёт файл прошивки").arg(verb));
    command.reports = parser.positionalArguments();
    if (command.options.recordsFile.isEmpty() && !(history && !command.options.plantDb.isEmpty()))
        return refused(QStringLiteral("--records none: журнала нет"));
    if (sync && command.options.plantDb.isEmpty())
        return refused(QStringLiteral("--sync-records: не задана база завода (--plant-db URL или VORLEX_PLANT_DB)"));
    command.options.station = parser.value(QStringLiteral("station"));
    command.options.operatorName = parser.value(QStringLiteral("operator"));
    for (const char *name : {"station", "label", "operator"}) {
        const QString problem = checkRecordName(QLatin1String(name), parser.value(QLatin1String(name)));
        if (!problem.isEmpty())
            return refused(problem);
    }
    command.action = history       ? CommandLine::Action::History
                   : sync          ? CommandLine::Action::SyncRecords
                   : acknowledge   ? CommandLine::Action::AcknowledgeRestore
                                   : CommandLine::Action::VerifyRecords;
    if (!history)
        return command;
    LedgerFilter &filter = command.filter;
    const auto value = [&](const char *name) { return parser.value(QLatin1String(name)); };
    if (parser.isSet(QStringLiteral("since")) && !parseHistoryTime(value("since"), false, &filter.since))
        return refused(QStringLiteral("--since: \"%1\" - не дата (ГГГГ-ММ-ДД) и не время ISO 8601").arg(quotedForMessage(value("since"))));
    if (parser.isSet(QStringLiteral("until")) && !parseHistoryTime(value("until"), true, &filter.until))
        return refused(QStringLiteral("--until: \"%1\" - не дата (ГГГГ-ММ-ДД) и не время ISO 8601").arg(quotedForMessage(value("until"))));
    if (filter.since.isValid() && filter.until.isValid() && filter.since >= filter.until)
        return refused(QStringLiteral("--since %1 не раньше --until %2: такой промежуток пуст").arg(quotedForMessage(value("since")), quotedForMessage(value("until"))));
    if (parser.isSet(QStringLiteral("device"))) {
        bool ok = false;
        filter.device = value("device").toInt(&ok);
        if (!ok || filter.device < 0 || filter.device > 255)
            return refused(QStringLiteral("--device: \"%1\" - не номер прибора от 0 до 255").arg(quotedForMessage(value("device"))));
    }
    static const QStringList outcomes{QStringLiteral("updated"), QStringLiteral("failed"), QStringLiteral("no answer"), QStringLiteral("interrupted"),
                                      QStringLiteral("not started"), QStringLiteral("unfinished"),
                                      QStringLiteral("in progress"), QStringLiteral("not-updated")};
    filter.outcome = value("outcome");
    if (parser.isSet(QStringLiteral("outcome")) && !outcomes.contains(filter.outcome))
        return refused(QStringLiteral("--outcome: \"%1\" - не итог; допустимы %2").arg(quotedForMessage(filter.outcome), outcomes.join(QStringLiteral(", "))));
    filter.latest = parser.isSet(QStringLiteral("latest"));
    filter.link = value("link");
    filter.label = value("label");
    filter.batch = value("batch");
    if (parser.isSet(QStringLiteral("csv")) && parser.isSet(QStringLiteral("json")))
        return refused(QStringLiteral("--csv или --json, не оба"));
    command.format = parser.isSet(QStringLiteral("csv")) ? HistoryFormat::Csv : parser.isSet(QStringLiteral("json")) ? HistoryFormat::Json : HistoryFormat::Table;
    return command;
}
