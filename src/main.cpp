#include "logging.h"
#include "mainwindow.h"

#include <QApplication>

#include <easylogging++.h>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    // The settings and the log folder are both found under these two names.
    QCoreApplication::setOrganizationName(QStringLiteral("Orvane"));
    QCoreApplication::setApplicationName(QStringLiteral("Vexa reader"));
    // The desktop entry's name: the desktop matches the window to its entry and icon by it.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.orvane.VexaReader"));
    configureLogging(true);
    LOG(INFO) << "Vexa Reader started";

    MainWindow window;
    // What is left after Qt took its own options: card images to offer first.
    window.addCardImages(QCoreApplication::arguments().mid(1));
    window.show();
    return app.exec();
}
