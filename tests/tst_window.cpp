#include <QtTest>
#include <QtWidgets>
#include <QSerialPortInfo>
#include <QHostAddress>

#include "mainwindow.h"

// The window as it opens: its widget tree, texts and defaults.
class TestWindow : public QObject
{
    Q_OBJECT
private slots:
    void widgetTree_data();
    void widgetTree();
    void defaults();
    void addressMask_data();
    void addressMask();
    void buttonsConnectedByName();
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
    QCOMPARE(window.windowTitle(), QStringLiteral("Программатор Ворлекс V0.13"));
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

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
