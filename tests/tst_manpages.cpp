#include <QtTest>

namespace {

// The long options a manual page documents: those on the lines that follow each .TP of its
// OPTIONS section.
QStringList pageOptions(const QString &page)
{
    QFile file(page);
    if (!file.open(QIODevice::ReadOnly))
        return {QStringLiteral("cannot read ") + page};
    const QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    const QRegularExpression option(QStringLiteral("--([a-z][a-z-]*)"));
    QStringList options;
    bool inOptions = false;
    for (int i = 0; i < lines.size(); ++i) {
        if (lines.at(i).startsWith(QLatin1String(".SH")))
            inOptions = lines.at(i) == QLatin1String(".SH OPTIONS");
        if (!inOptions || lines.at(i) != QLatin1String(".TP") || i + 1 == lines.size())
            continue;
        QString tag = lines.at(i + 1);
        tag.replace(QLatin1String("\\-"), QLatin1String("-"));
        for (auto it = option.globalMatch(tag); it.hasNext();)
            options << it.next().captured(1);
    }
    options.sort();
    return options;
}

QStringList helpOptions(const QString &program)
{
    QProcess process;
    process.start(program, {QStringLiteral("--help")});
    if (!process.waitForFinished(10000) || process.exitCode() != 0)
        return {program + QStringLiteral(" --help failed")};
    const QRegularExpression option(QStringLiteral("^  (?:-\\w, )?--([a-z][a-z-]*)"), QRegularExpression::MultilineOption);
    QStringList options;
    for (auto it = option.globalMatch(QString::fromUtf8(process.readAllStandardOutput())); it.hasNext();)
        options << it.next().captured(1);
    options.sort();
    return options;
}

// What a checker prints on standard error; empty when it has nothing to say. A checker that is not
// installed, or does not finish, says so here: the test must not pass without having checked.
QString complaints(const QString &checker, const QString &package, const QStringList &arguments)
{
    const QString path = QStandardPaths::findExecutable(checker);
    if (path.isEmpty())
        return QStringLiteral("%1 is not installed (Debian package %2; make test-deps installs it)").arg(checker, package);
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    process.setProcessEnvironment(environment);
    process.start(path, arguments);
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit)
        return path + QStringLiteral(" did not finish: ") + process.errorString();
    return QString::fromUtf8(process.readAllStandardError() + (checker == QLatin1String("man") ? QByteArray() : process.readAllStandardOutput()));
}

} // namespace

// The manual pages and the desktop entry: what Debian's checkers say of them, options that agree
// with each program's --help, and the build's version in each page.
class TestManPages : public QObject
{
    Q_OBJECT
private slots:
    void pages_data();
    void pages();
    void desktopEntry();
};

void TestManPages::pages_data()
{
    QTest::addColumn<QString>("page");
    QTest::addColumn<QString>("program"); // empty: the program has no options of its own
    QTest::newRow("vorlex-flash") << "vorlex-flash" << QStringLiteral(FLASH_PATH);
    QTest::newRow("vorlex-devsim") << "vorlex-devsim" << QStringLiteral(DEVSIM_PATH);
    QTest::newRow("vorlex-programmer") << "vorlex-programmer" << QString();
}

void TestManPages::pages()
{
    QFETCH(QString, page);
    QFETCH(QString, program);
    const QString path = QStringLiteral(MAN_DIR "/%1.1").arg(page);
    QFile file(path);
    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(path));
    QVERIFY2(file.readLine().contains("\"vorlex-programmer " VORLEX_VERSION "\""), "the page's .TH names another version");
    QCOMPARE(pageOptions(path), program.isEmpty() ? QStringList() : helpOptions(program));
    const QString warnings = complaints(QStringLiteral("man"), QStringLiteral("man-db"), {QStringLiteral("--warnings"), QStringLiteral("-l"), path});
    QVERIFY2(warnings.isEmpty(), qPrintable(warnings));
}

void TestManPages::desktopEntry()
{
    const QString warnings = complaints(QStringLiteral("desktop-file-validate"), QStringLiteral("desktop-file-utils"), {QStringLiteral(DESKTOP_ENTRY)});
    QVERIFY2(warnings.isEmpty(), qPrintable(warnings));
}

QTEST_GUILESS_MAIN(TestManPages)
#include "tst_manpages.moc"
