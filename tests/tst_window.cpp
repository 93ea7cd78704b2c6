#include <QtTest>
#include <QtWidgets>
#include <QSerialPortInfo>
#include <QHostAddress>

#include "devsimprocess.h"
#include "mainwindow.h"
#include "recordingcabinet.h"
#include "xmodemframe.h"

namespace {

// Answers the modal dialogs that a button press opens: message boxes are confirmed and their
// title and text kept; the file dialog gets the given file typed into its name field, or is
// cancelled when there is none. A dialog still open after GiveUpMs is closed and reported in
// unanswered, so that a test fails with a message instead of waiting for ever.
class ModalAnswerer : public QObject
{
public:
    static constexpr int GiveUpMs = 10000;

    explicit ModalAnswerer(const QString &fileToPick = QString())
        : m_file(fileToPick)
    {
        connect(&m_timer, &QTimer::timeout, this, [this] { answer(); });
        m_timer.start(10);
    }
    QStringList messages;
    QStringList fileDialogs; // caption and filters of each
    QStringList unanswered;

private:
    void answer()
    {
        QWidget *modal = QApplication::activeModalWidget();
        if (modal != m_modal) {
            m_modal = modal;
            m_since.start();
        }
        if (!modal)
            return;
        if (m_since.elapsed() > GiveUpMs) {
            unanswered << QStringLiteral("%1 \"%2\" still open after %3 ms")
                              .arg(QString::fromLatin1(modal->metaObject()->className()), modal->windowTitle())
                              .arg(GiveUpMs);
            if (auto *dialog = qobject_cast<QDialog *>(modal))
                dialog->reject();
            else
                modal->close();
            return;
        }
        if (auto *box = qobject_cast<QMessageBox *>(modal)) {
            messages << box->windowTitle() + QLatin1Char('|') + box->text();
            box->button(QMessageBox::Ok)->click();
        } else if (auto *dialog = qobject_cast<QFileDialog *>(modal)) {
            fileDialogs << dialog->windowTitle() + QLatin1Char('|') + dialog->nameFilters().constFirst();
            if (m_file.isEmpty()) {
                dialog->reject();
            } else {
                // Typed, as the operator would: selectFile() leaves the name field alone once it
                // has the keyboard focus, and whether it has it yet is a matter of timing.
                dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(m_file);
                static_cast<QDialog *>(dialog)->accept();
            }
        }
    }
    QString m_file;
    QTimer m_timer;
    QPointer<QWidget> m_modal;
    QElapsedTimer m_since;
};

template <typename T>
T *child(QWidget *window, const char *name)
{
    return window->findChild<T *>(QString::fromLatin1(name));
}

const QString Success = QStringLiteral("Файл успешно отправлен, не забудьте проверить параметры и настройки порогов");

} // namespace

// The window as it opens: its widget tree, texts and defaults.
class TestWindow : public QObject
{
    Q_OBJECT
private slots:
    // The file dialog keeps its history in the settings: never in the user's own.
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void widgetTree_data();
    void widgetTree();
    void defaults();
    void addressMask_data();
    void addressMask();
    void buttonsConnectedByName();

    void emptyFileNameThenCancel();
    void nothingToStart_data();
    void nothingToStart();
    void deviceNumberRefused_data();
    void deviceNumberRefused();
    void deviceNumberTakenAsTyped_data();
    void deviceNumberTakenAsTyped();
    void wholeUpdate_data();
    void wholeUpdate();
    void quitDuringRun_data();
    void quitDuringRun();

private:
    QString writeImage(const QByteArray &bytes) { return m_images.write(bytes); }
    ImageFiles m_images;
};

void TestWindow::widgetTree_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("parentName");
    const char *rows[][3] = {
        {"centralWidget", "QWidget", "MainWindow"},
        {"gridLayout", "QGridLayout", "centralWidget"},
        {"gpbInterface", "QGroupBox", "centralWidget"},
        {"verticalLayout", "QVBoxLayout", "gpbInterface"},
        {"tabInterfceForUpdate", "QTabWidget", "gpbInterface"},
        {"gridLayout_3", "QGridLayout", "tab_3"},
        {"lblDevNumber", "QLabel", "tab_3"},
        {"edtDevNumber", "QLineEdit", "tab_3"},
        {"horizontalLayout_4", "QHBoxLayout", "tab"},
        {"cmbComPort", "QComboBox", "tab"},
        {"horizontalLayout_5", "QHBoxLayout", "tab_2"},
        {"lblEthIp", "QLabel", "tab_2"},
        {"edtIpAddr", "QLineEdit", "tab_2"},
        {"lblEthPort", "QLabel", "tab_2"},
        {"edtEthPort", "QLineEdit", "tab_2"},
        {"gpbFile", "QGroupBox", "centralWidget"},
        {"horizontalLayout_3", "QHBoxLayout", "gpbFile"},
        {"edtFileName", "QLineEdit", "gpbFile"},
        {"btnFileSelect", "QPushButton", "gpbFile"},
        {"gridLayout_2", "QGridLayout", "gridLayout"},
        {"btnStartUpdate", "QPushButton", "centralWidget"},
        {"btnExit", "QPushButton", "centralWidget"},
        {"progressBar", "QProgressBar", "centralWidget"},
        {"menuBar", "QMenuBar", "MainWindow"},
        {"mainToolBar", "QToolBar", "MainWindow"},
        {"statusBar", "QStatusBar", "MainWindow"},
    };
    for (const auto &row : rows)
        QTest::newRow(row[0]) << QString::fromLatin1(row[0]) << QString::fromLatin1(row[1]) << QString::fromLatin1(row[2]);
}

void TestWindow::widgetTree()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QString, parentName);
    MainWindow window;
    auto *object = window.findChild<QObject *>(name);
    QVERIFY2(object, qPrintable(name));
    QCOMPARE(QString::fromLatin1(object->metaObject()->className()), className);
    QCOMPARE(object->parent()->objectName(), parentName);
    if (auto *layout = qobject_cast<QLayout *>(object)) {
        QCOMPARE(layout->spacing(), 6);
        const QMargins expected = name == QLatin1String("gridLayout_2") ? QMargins() : QMargins(11, 11, 11, 11);
        if (name != QLatin1String("gridLayout_2"))
            QCOMPARE(layout->contentsMargins(), expected);
    }
}

void TestWindow::defaults()
{
    MainWindow window;
    QCOMPARE(window.objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(window.windowTitle(), QStringLiteral("Программатор Ворлекс V" VORLEX_VERSION));
    QCOMPARE(window.size(), QSize(983, 338));

    auto *tabs = window.findChild<QTabWidget *>(QStringLiteral("tabInterfceForUpdate"));
    QCOMPARE(tabs->currentIndex(), 2);
    QCOMPARE(tabs->widget(0)->objectName(), QStringLiteral("tab_3"));
    QCOMPARE(tabs->tabText(0), QStringLiteral("Порядковый номер прибора"));
    QCOMPARE(tabs->tabText(1), QStringLiteral("Serial COM Port"));
    QCOMPARE(tabs->tabText(2), QStringLiteral("Ethernet"));
    QCOMPARE(tabs->sizePolicy().horizontalPolicy(), QSizePolicy::Minimum);
    QCOMPARE(tabs->sizePolicy().verticalPolicy(), QSizePolicy::Minimum);

    const auto text = [&](const char *name) {
        QObject *object = window.findChild<QObject *>(QString::fromLatin1(name));
        if (auto *edit = qobject_cast<QLineEdit *>(object))
            return edit->text();
        if (auto *box = qobject_cast<QGroupBox *>(object))
            return box->title();
        if (auto *button = qobject_cast<QAbstractButton *>(object))
            return button->text();
        return qobject_cast<QLabel *>(object)->text();
    };
    QCOMPARE(text("gpbInterface"), QStringLiteral("Выбор интерфейса для обновления"));
    QCOMPARE(text("lblDevNumber"), QStringLiteral("Номер прибора"));
    QCOMPARE(text("edtDevNumber"), QStringLiteral("2"));
    QCOMPARE(text("lblEthIp"), QStringLiteral("IP адрес"));
    QCOMPARE(text("lblEthPort"), QStringLiteral("Порт"));
    QCOMPARE(text("edtEthPort"), QStringLiteral("4040"));
    QCOMPARE(text("gpbFile"), QStringLiteral("Файл прошивки"));
    QCOMPARE(text("edtFileName"), QString());
    QCOMPARE(text("btnFileSelect"), QStringLiteral("Выбор файла"));
    QCOMPARE(text("btnStartUpdate"), QStringLiteral("Запуск обновления"));
    QCOMPARE(text("btnExit"), QStringLiteral("Выход"));

    // The default cabinet address is a private one, never reached by anything here.
    const QHostAddress address(text("edtIpAddr"));
    QVERIFY(address.isInSubnet(QHostAddress::parseSubnet(QStringLiteral("10.0.0.0/8")))
            || address.isInSubnet(QHostAddress::parseSubnet(QStringLiteral("172.16.0.0/12")))
            || address.isInSubnet(QHostAddress::parseSubnet(QStringLiteral("192.168.0.0/16"))));

    for (const char *name : {"edtDevNumber", "edtIpAddr", "edtEthPort"})
        QCOMPARE(window.findChild<QLineEdit *>(QString::fromLatin1(name))->alignment(), Qt::AlignCenter);

    auto *bar = window.findChild<QProgressBar *>(QStringLiteral("progressBar"));
    QCOMPARE(bar->value(), 0);
    QCOMPARE(bar->maximum(), 100);
    QCOMPARE(window.statusBar()->currentMessage(), QString::fromUtf8(MakerCaption));
    QVERIFY(window.findChild<QPushButton *>(QStringLiteral("btnStartUpdate"))->isEnabled());

    QStringList expectedPorts;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        expectedPorts << info.portName();
    auto *ports = window.findChild<QComboBox *>(QStringLiteral("cmbComPort"));
    QStringList listed;
    for (int i = 0; i < ports->count(); ++i)
        listed << ports->itemText(i);
    QCOMPARE(listed, expectedPorts);
}

void TestWindow::addressMask_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("shown");
    QTest::newRow("loopback") << "127.0.0.1" << "127.0.0.1";
    QTest::newRow("letters dropped") << "1a2.b.c.d" << "12...";
    QTest::newRow("empty") << "" << "...";
}

void TestWindow::addressMask()
{
    QFETCH(QString, typed);
    QFETCH(QString, shown);
    MainWindow window;
    auto *edit = window.findChild<QLineEdit *>(QStringLiteral("edtIpAddr"));
    QVERIFY(edit->inputMask().startsWith(QLatin1String("000.000.000.000")));
    edit->setText(typed);
    QCOMPARE(edit->text(), shown);
}

void TestWindow::buttonsConnectedByName()
{
    MainWindow window;
    // disconnect() reports whether the window was listening to the button's clicked().
    for (const char *name : {"btnExit", "btnFileSelect", "btnStartUpdate"})
        QVERIFY2(QObject::disconnect(window.findChild<QPushButton *>(QString::fromLatin1(name)), &QAbstractButton::clicked, &window, nullptr), name);
}

void TestWindow::emptyFileNameThenCancel()
{
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    MainWindow window;
    child<QTabWidget>(&window, "tabInterfceForUpdate")->setCurrentIndex(1);
    child<QProgressBar>(&window, "progressBar")->setValue(50);
    ModalAnswerer answerer;

    child<QPushButton>(&window, "btnStartUpdate")->click();
    QVERIFY2(answerer.unanswered.isEmpty(), qPrintable(answerer.unanswered.join(QLatin1String("; "))));
    QCOMPARE(answerer.messages, QStringList{QStringLiteral("Ошибка|Не задан файл с прошивкой!")});
    QCOMPARE(answerer.fileDialogs, QStringList{QStringLiteral("Выберите файл с прошивкой прибора|Двоичный файл (*.bin)")});
    QCOMPARE(child<QLineEdit>(&window, "edtFileName")->text(), QString());
    QCOMPARE(child<QProgressBar>(&window, "progressBar")->value(), 0);
    QVERIFY(child<QPushButton>(&window, "btnStartUpdate")->isEnabled());
}

void TestWindow::nothingToStart_data()
{
    QTest::addColumn<int>("tab");
    QTest::addColumn<QStringList>("messages"); // each the start of one
    QTest::addColumn<QByteArray>("image");
    QTest::newRow("device number tab") << 0 << QStringList() << firmwareImage(4096);
    QTest::newRow("serial tab without a port") << 1 << QStringList{QStringLiteral("Ошибка|Не задан COM порт!")} << firmwareImage(4096);
    QTest::newRow("Intel HEX file on the Ethernet tab") << 2 << QStringList{QStringLiteral("Ошибка|Файл ")}
                                                        << QByteArray(":10000000000102030405060708090A0B0C0D0E0F78\n:00000001FF\n");
}

void TestWindow::nothingToStart()
{
    QFETCH(int, tab);
    QFETCH(QStringList, messages);
    QFETCH(QByteArray, image);
    MainWindow window;
    child<QComboBox>(&window, "cmbComPort")->clear();
    child<QTabWidget>(&window, "tabInterfceForUpdate")->setCurrentIndex(tab);
    child<QLineEdit>(&window, "edtFileName")->setText(writeImage(image));
    child<QProgressBar>(&window, "progressBar")->setValue(50);
    ModalAnswerer answerer;

    child<QPushButton>(&window, "btnStartUpdate")->click();
    QVERIFY2(answerer.unanswered.isEmpty(), qPrintable(answerer.unanswered.join(QLatin1String("; "))));
    QCOMPARE(answerer.messages.size(), messages.size());
    for (int i = 0; i < messages.size(); ++i)
        QVERIFY2(answerer.messages.at(i).startsWith(messages.at(i)), qPrintable(answerer.messages.at(i)));
    QCOMPARE(child<QProgressBar>(&window, "progressBar")->value(), 0);
    QVERIFY(child<QPushButton>(&window, "btnStartUpdate")->isEnabled());
    QCOMPARE(window.statusBar()->currentMessage(), QString::fromUtf8(MakerCaption));
}

void TestWindow::deviceNumberRefused_data()
{
    QTest::addColumn<int>("tab");
    QTest::addColumn<QString>("typed");
    for (int tab : {1, 2}) {
        for (const char *typed : {"258", "-1", "256", "abc", "", "2.5", "0x10"})
            QTest::addRow("tab %d, \"%s\"", tab, typed) << tab << QString::fromLatin1(typed);
    }
}

void TestWindow::deviceNumberRefused()
{
    QFETCH(int, tab);
    QFETCH(QString, typed);
    MainWindow window;
    auto *ports = child<QComboBox>(&window, "cmbComPort");
    ports->clear();
    ports->addItem(QStringLiteral("/dev/null-port-that-does-not-exist"));
    child<QTabWidget>(&window, "tabInterfceForUpdate")->setCurrentIndex(tab);
    child<QLineEdit>(&window, "edtDevNumber")->setText(typed);
    child<QLineEdit>(&window, "edtFileName")->setText(writeImage(firmwareImage(4096)));
    ModalAnswerer answerer;

    child<QPushButton>(&window, "btnStartUpdate")->click();
    QVERIFY2(answerer.unanswered.isEmpty(), qPrintable(answerer.unanswered.join(QLatin1String("; "))));
    QCOMPARE(answerer.messages.size(), 1);
    QVERIFY2(answerer.messages.constFirst().startsWith(QStringLiteral("Ошибка|")), qPrintable(answerer.messages.constFirst()));
    QVERIFY2(answerer.messages.constFirst().contains(QStringLiteral("от 0 до 255")), qPrintable(answerer.messages.constFirst()));
    QVERIFY(child<QPushButton>(&window, "btnStartUpdate")->isEnabled());
    QTest::qWait(100);
    QCOMPARE(window.statusBar()->currentMessage(), QString::fromUtf8(MakerCaption));
}

void TestWindow::deviceNumberTakenAsTyped_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("device");
    QTest::newRow("0") << "0" << 0;
    QTest::newRow("2") << "2" << 2;
    QTest::newRow("255") << "255" << 255;
}

// The number reaches the wire as typed: the cabinet sees the address frame for it.
void TestWindow::deviceNumberTakenAsTyped()
{
    QFETCH(QString, typed);
    QFETCH(int, device);
    RecordingCabinet cabinet;
    std::unique_ptr<MainWindow> owner(new MainWindow);
    MainWindow *window = owner.get();
    child<QLineEdit>(window, "edtDevNumber")->setText(typed);
    child<QLineEdit>(window, "edtIpAddr")->setText(QStringLiteral("127.0.0.1"));
    child<QLineEdit>(window, "edtEthPort")->setText(cabinet.port());
    child<QLineEdit>(window, "edtFileName")->setText(writeImage(firmwareImage(4096)));
    ModalAnswerer answerer;

    child<QPushButton>(window, "btnStartUpdate")->click();
    QVERIFY2(answerer.unanswered.isEmpty(), qPrintable(answerer.unanswered.join(QLatin1String("; "))));
    QVERIFY(!child<QPushButton>(window, "btnStartUpdate")->isEnabled());
    QTRY_VERIFY(cabinet.bytes().size() >= ADDRESS_FRAME_SIZE);
    QCOMPARE(cabinet.bytes().left(ADDRESS_FRAME_SIZE), buildAddressFrame(uint8_t(device)));
    QVERIFY(answerer.messages.isEmpty());
}

namespace {
// The connection attempts the status bar showed, in order.
QStringList spiedAttempts(const QSignalSpy &shown)
{
    QStringList attempts;
    for (const QList<QVariant> &message : shown)
        if (message.at(0).toString().startsWith(QStringLiteral("Попытка соединения")))
            attempts << message.at(0).toString();
    return attempts;
}
} // namespace

void TestWindow::wholeUpdate_data()
{
    QTest::addColumn<bool>("serial");
    QTest::newRow("serial, file chosen after the empty-name warning") << true;
    QTest::newRow("Ethernet through the cabinet on 127.0.0.1") << false;
}

void TestWindow::wholeUpdate()
{
    QFETCH(bool, serial);
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    DevSim sim(serial ? QStringList{QStringLiteral("--pty")} : QStringList{QStringLiteral("--tcp"), QStringLiteral("0")});
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    const QByteArray file = firmwareImage(20000);
    const QString path = writeImage(file);
    MainWindow window;
    if (serial) {
        auto *ports = child<QComboBox>(&window, "cmbComPort");
        ports->clear();
        ports->addItem(sim.where());
        child<QTabWidget>(&window, "tabInterfceForUpdate")->setCurrentIndex(1);
    } else {
        child<QLineEdit>(&window, "edtIpAddr")->setText(QStringLiteral("127.0.0.1"));
        child<QLineEdit>(&window, "edtEthPort")->setText(QString::number(sim.tcpPort()));
        child<QLineEdit>(&window, "edtFileName")->setText(path);
    }
    ModalAnswerer answerer(path);

    child<QPushButton>(&window, "btnStartUpdate")->click();
    QVERIFY2(answerer.unanswered.isEmpty(), qPrintable(answerer.unanswered.join(QLatin1String("; "))));
    QCOMPARE(answerer.messages.size(), serial ? 1 : 0);
    QVERIFY(!child<QPushButton>(&window, "btnStartUpdate")->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(window.statusBar()->currentMessage().endsWith(Success), 30000);
    QCOMPARE(window.statusBar()->styleSheet(), QStringLiteral("color: black; background: green"));
    QCOMPARE(child<QProgressBar>(&window, "progressBar")->value(), 100);
    QVERIFY(child<QPushButton>(&window, "btnStartUpdate")->isEnabled());
    QCOMPARE(sim.waitForExit(), 0);
    QCOMPARE(sim.image(), filledImage(file));

    // A second run counts its connection attempts from 1 again.
    DevSim again(serial ? QStringList{QStringLiteral("--pty")} : QStringList{QStringLiteral("--tcp"), QStringLiteral("0")});
    QVERIFY2(again.start(), qPrintable(again.output()));
    if (serial)
        child<QComboBox>(&window, "cmbComPort")->setItemText(0, again.where());
    else
        child<QLineEdit>(&window, "edtEthPort")->setText(QString::number(again.tcpPort()));
    QSignalSpy shown(window.statusBar(), &QStatusBar::messageChanged);
    child<QPushButton>(&window, "btnStartUpdate")->click();
    QStringList attempts;
    QTRY_VERIFY_WITH_TIMEOUT(!(attempts = spiedAttempts(shown)).isEmpty(), 30000);
    QTRY_VERIFY_WITH_TIMEOUT(window.statusBar()->currentMessage().endsWith(Success) && child<QPushButton>(&window, "btnStartUpdate")->isEnabled(), 30000);
    QVERIFY2(attempts.value(0).startsWith(QStringLiteral("Попытка соединения 1")) && !attempts.join(QLatin1Char('|')).contains(QStringLiteral("соединения 2")),
             qPrintable(attempts.join(QLatin1Char('|'))));
}

void TestWindow::quitDuringRun_data()
{
    QTest::addColumn<bool>("exitButton");
    QTest::addColumn<bool>("serial");
    QTest::addColumn<bool>("transferring");
    QTest::newRow("exit button during an Ethernet transfer") << true << false << true;
    QTest::newRow("window frame during an Ethernet transfer") << false << false << true;
    QTest::newRow("exit button while a serial device stays silent") << true << true << false;
    QTest::newRow("window frame during a serial transfer") << false << true << true;
}

// Whichever way the window goes, a run under way ends with its link closed, within seconds.
void TestWindow::quitDuringRun()
{
    QFETCH(bool, exitButton);
    QFETCH(bool, serial);
    QFETCH(bool, transferring);
    QStringList arguments = serial ? QStringList{QStringLiteral("--pty")} : QStringList{QStringLiteral("--tcp"), QStringLiteral("0")};
    // At 19200 baud the largest image takes over a minute: the quit comes in the middle of it.
    arguments << QStringLiteral("--baud") << QStringLiteral("19200");
    if (!transferring)
        arguments << QStringLiteral("--start-after") << QStringLiteral("1000000");
    DevSim sim(arguments);
    QVERIFY2(sim.start(), qPrintable(sim.output()));
    std::unique_ptr<MainWindow> owner(new MainWindow);
    MainWindow *window = owner.get();
    QSignalSpy stopAll(window, &MainWindow::stopAll);
    if (serial) {
        auto *ports = child<QComboBox>(window, "cmbComPort");
        ports->clear();
        ports->addItem(sim.where());
        child<QTabWidget>(window, "tabInterfceForUpdate")->setCurrentIndex(1);
    } else {
        child<QLineEdit>(window, "edtIpAddr")->setText(QStringLiteral("127.0.0.1"));
        child<QLineEdit>(window, "edtEthPort")->setText(QString::number(sim.tcpPort()));
    }
    child<QLineEdit>(window, "edtFileName")->setText(writeImage(firmwareImage(131072)));
    window->show();
    child<QPushButton>(window, "btnStartUpdate")->click();
    if (transferring)
        QTRY_VERIFY_WITH_TIMEOUT(child<QProgressBar>(window, "progressBar")->value() >= 1, 20000);
    else
        QTRY_VERIFY(window->statusBar()->currentMessage().contains(QStringLiteral("Попытка соединения 2")));

    QElapsedTimer clock;
    clock.start();
    if (exitButton)
        child<QPushButton>(window, "btnExit")->click();
    else
        window->close();
    QVERIFY(!window->isVisible());
    QCOMPARE(stopAll.count(), exitButton ? 1 : 0);
    owner.reset();
    QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
    // The emulator leaves as soon as the programmer has closed its end of the link.
    QCOMPARE(sim.waitForExit(3000), 1);
}

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
