#include "fileclash.h"

#include "platform.h"
#include "textescape.h"

#include <QFileInfo>

namespace {

QString named(const NamedFile &file)
{
    return file.role + QLatin1Char(' ') + quotedForMessage(file.path, PathInMessage);
}

QString clash(const NamedFile &output, const NamedFile &other)
{
    QString text = QStringLiteral("%1 и %2 - один и тот же файл: запись в %1 испортила бы его. Укажите для %3 другой файл")
                       .arg(named(output), named(other), output.role);
    if (other.role == QLatin1String("--rerun-failed")) {
        const QFileInfo report(other.path);
        text += QStringLiteral(", например %1").arg(quotedForMessage(QStringLiteral("%1-2.%2").arg(report.completeBaseName(), report.suffix().isEmpty() ? QStringLiteral("json") : report.suffix()), PathInMessage));
    }
    return text;
}

} // namespace

QString findFileClash(const QList<NamedFile> &outputs, const QList<NamedFile> &inputs)
{
    QList<QString> outputIds;
    for (const NamedFile &output : outputs)
        outputIds << platform::fileIdentity(output.path);
    for (int i = 0; i < outputs.size(); ++i) {
        for (const NamedFile &input : inputs)
            if (!input.path.isEmpty() && outputIds.at(i) == platform::fileIdentity(input.path))
                return clash(outputs.at(i), input);
        for (int j = 0; j < i; ++j)
            if (outputIds.at(i) == outputIds.at(j))
                return clash(outputs.at(i), outputs.at(j));
    }
    return QString();
}
