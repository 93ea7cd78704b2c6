#include "mainwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // Ties the window to its menu entry, whose icon the desktop shows for it.
    QGuiApplication::setDesktopFileName(QStringLiteral("ru.larentpribor.VorlexProgrammer"));
    MainWindow window;
    window.show();
    return app.exec();
}
