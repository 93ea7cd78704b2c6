#include <QtTest>
#include <QtWidgets>

#include "mainwindow.h"
#include "xmodem.h"

namespace {

const QString RedOnYellow = QStringLiteral("color: red; background: yellow");
const QString Connected = QStringLiteral("Соединение с прибором установлено");

struct Window
{
    Window()
    {
        auto *ports = window.findChild<QComboBox *>(QStringLiteral("cmbComPort"));
        ports->clear();
        ports->addItem(QStringLiteral("COM3"));
    }
    void status(int code) { QVERIFY(QMetaObject::invokeMethod(&window, "dev_statusprn", Q_ARG(int, code))); }
    void probe() { QVERIFY(QMetaObject::invokeMethod(&window, "dev_connect_probe")); }
    QString shown() const { return window.statusBar()->currentMessage(); }
    QString style() const { return window.statusBar()->styleSheet(); }
    QProgressBar *bar() const { return window.findChild<QProgressBar *>(QStringLiteral("progressBar")); }
    QPushButton *start() const { return window.findChild<QPushButton *>(QStringLiteral("btnStartUpdate")); }
    MainWindow window;
};

} // namespace

// How each status code shows in the window. The text in front of "; " is kept for the whole
// life of the program, so the very first message is checked first.
class TestStatus : public QObject
{
    Q_OBJECT
private slots:
    void makerCaptionBeforeFirstMessageOnly();
    void everyCode_data();
    void everyCode();
    void attemptsSuccessSequence();
    void failureAppendsToCause();
    void emptyPortName();
    void progressBar_data();
    void progressBar();
};

void TestStatus::makerCaptionBeforeFirstMessageOnly()
{
    Window w;
    w.status(STATUS_CABINET_CONNECTED);
    QCOMPARE(w.shown(), QString::fromUtf8(MakerCaption) + QStringLiteral("; Связь со шкафом установлена"));
    QCOMPARE(w.style(), QStringLiteral("color: black; background: green"));
    QVERIFY(!w.start()->isEnabled());

    Window second;
    second.status(STATUS_STOPPED);
    QCOMPARE(second.shown(), QStringLiteral("Связь со шкафом установлена; Останов"));
}

void TestStatus::everyCode_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("style");
    QTest::addColumn<bool>("enabled");
    const auto row = [](int code, const char *message, const QString &style, bool enabled) {
        QTest::addRow("%d", code) << code << QString::fromUtf8(message) << style << enabled;
    };
    row(1, "Соединение с прибором установлено", QStringLiteral("color: black; background: yellow"), false);
    row(2, "Файл успешно отправлен, не забудьте проверить параметры и настройки порогов", QStringLiteral("color: black; background: green"), true);
    row(4, "Связь со шкафом установлена", QStringLiteral("color: black; background: green"), false);
    row(-1, "Ошибка - нет такого интерфейса соединения", RedOnYellow, true);
    row(-2, "Ошибка - порта", RedOnYellow, true);
    row(-3, "Ошибка - порта, порт уже открыт", RedOnYellow, true);
    row(-4, "Ошибка - порт COM3 не открывается", RedOnYellow, true);
    row(-5, "Ошибка - нет такого интерфейса COM3", RedOnYellow, true);
    row(-6, "Ошибка - закрылся порт COM3", RedOnYellow, true);
    row(-7, "Ошибка - неверный ответ", RedOnYellow, false);
    row(-8, "Ошибка - неверное имя файла", RedOnYellow, true);
    row(-9, "Ошибка - неверное размер файла", RedOnYellow, true);
    row(-10, "Соединение с прибором установлено, Ошибка во время отправки файла в прибор", RedOnYellow, true);
    row(-11, "Ошибка - неверный IP адрес шкафа", RedOnYellow, true);
    row(-12, "Ошибка - неверный порт шкафа, допустимы номера от 1 до 65535", RedOnYellow, true);
    row(-13, "Ошибка - потеря связи с прибором", RedOnYellow, true);
    row(-14, "Ошибка - не удается установить связь по Ethernet со шкафом", RedOnYellow, true);
    row(-15, "Останов", QStringLiteral("color: black; background: red"), true);
    for (int unknown : {0, 5, -16})
        row(unknown, "Неизвестная ошибка", RedOnYellow, true);
}

// Each code after "device connected": its message behind that one, its colours, the start
// button as the code wants it whatever it was, and the bar kept only on success.
void TestStatus::everyCode()
{
    QFETCH(int, code);
    QFETCH(QString, message);
    QFETCH(QString, style);
    QFETCH(bool, enabled);
    Window w;
    w.status(STATUS_DEVICE_CONNECTED);
    w.bar()->setValue(37);
    w.start()->setEnabled(!enabled);

    w.status(code);
    QCOMPARE(w.shown(), Connected + QStringLiteral("; ") + message);
    QCOMPARE(w.style(), style);
    QCOMPARE(w.start()->isEnabled(), enabled);
    QCOMPARE(w.bar()->value(), code == STATUS_FILE_SENT ? 37 : 0);
}

void TestStatus::attemptsSuccessSequence()
{
    Window w;
    w.status(STATUS_STOPPED);
    w.probe();
    QCOMPARE(w.shown(), QStringLiteral("; Попытка соединения 1"));
    QCOMPARE(w.style(), QStringLiteral("color: black; background: gray"));
    QVERIFY(!w.start()->isEnabled());
    w.probe();
    QCOMPARE(w.shown(), QStringLiteral("; Попытка соединения 2"));
    w.status(STATUS_DEVICE_CONNECTED);
    QCOMPARE(w.shown(), QStringLiteral("Попытка соединения 2; ") + Connected);
    w.bar()->setValue(100);
    w.status(STATUS_FILE_SENT);
    QCOMPARE(w.shown(), Connected + QStringLiteral("; Файл успешно отправлен, не забудьте проверить параметры и настройки порогов"));
    QCOMPARE(w.bar()->value(), 100);
    QVERIFY(w.start()->isEnabled());
}

void TestStatus::failureAppendsToCause()
{
    Window w;
    w.status(ERROR_LINK_LOST);
    w.status(ERROR_SEND_FAILED);
    const QString cause = QStringLiteral("Ошибка - потеря связи с прибором");
    QCOMPARE(w.shown(), cause + QStringLiteral("; ") + cause + QStringLiteral(", Ошибка во время отправки файла в прибор"));
    QCOMPARE(w.style(), RedOnYellow);
}

void TestStatus::emptyPortName()
{
    Window w;
    w.window.findChild<QComboBox *>(QStringLiteral("cmbComPort"))->clear();
    w.status(ERROR_NO_INTERFACE);
    QVERIFY(w.shown().endsWith(QStringLiteral("; Ошибка - нет такого интерфейса ")));
}

void TestStatus::progressBar_data()
{
    QTest::addColumn<int>("read");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<int>("shown");
    QTest::newRow("half") << 2048 << qint64(4096) << 50;
    QTest::newRow("truncated, not rounded") << 4095 << qint64(4096) << 99;
    QTest::newRow("all") << 4096 << qint64(4096) << 100;
    QTest::newRow("first block of the largest image") << 128 << qint64(131072) << 0;
    QTest::newRow("size 0 leaves the bar") << 128 << qint64(0) << 42;
}

void TestStatus::progressBar()
{
    QFETCH(int, read);
    QFETCH(qint64, size);
    QFETCH(int, shown);
    Window w;
    w.bar()->setValue(42);
    QVERIFY(QMetaObject::invokeMethod(&w.window, "progress", Q_ARG(int, read), Q_ARG(qint64, size)));
    QCOMPARE(w.bar()->value(), shown);
}

QTEST_MAIN(TestStatus)
#include "tst_status.moc"
