// vexa-card: the card reader for scripts and headless machines.
#include "commands.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Orvane"));
    QCoreApplication::setApplicationName(QStringLiteral("vexa-card"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VEXA_VERSION));
    return runCommandLine(QCoreApplication::arguments());
}
