// vexa-card: the card reader for scripts and headless machines.
#include "commands.h"

#include <QCoreApplication>
#include <QGuiApplication>

#include <memory>

int main(int argc, char *argv[])
{
    // A picture needs fonts, hence Qt Gui; drawn off screen, so that no display is needed.
    std::unique_ptr<QCoreApplication> app;
    if (campaignWantsPicture(argc, argv)) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        app = std::make_unique<QGuiApplication>(argc, argv);
    } else {
        app = std::make_unique<QCoreApplication>(argc, argv);
    }
    QCoreApplication::setOrganizationName(QStringLiteral("Orvane"));
    QCoreApplication::setApplicationName(QStringLiteral("vexa-card"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VEXA_VERSION));
    return runCommandLine(QCoreApplication::arguments());
}
