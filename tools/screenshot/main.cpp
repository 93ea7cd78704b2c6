// Renders the real window, as it opens, into a PNG for the README: screenshot [FILE]
// Run with QT_QPA_PLATFORM=offscreen to need no display.

#include "mainwindow.h"

#include <QApplication>
#include "console.h"

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QString path = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("window.png");
    MainWindow window;
    window.show();
    QCoreApplication::processEvents();
    if (!window.grab().save(path)) {
        standardError() << QStringLiteral("screenshot: cannot write ") << path << Qt::endl;
        return 1;
    }
    return 0;
}
