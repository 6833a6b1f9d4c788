#include "cliutil.h"
#include "commands.h"
#include "devicediscoverer.h"

int runDevices(const QStringList &arguments)
{
    QCommandLineParser parser;
    const int status = parseCommand(parser, arguments,
                                    QStringLiteral("Lists the devices that may hold a card, one per line, "
                                                   "as the window's device chooser offers them."),
                                    0, 0);
    if (status >= 0)
        return status;
    const QStringList devices = DeviceDiscoverer().listDevices();
    for (const QString &device : devices)
        printOut(device + QLatin1Char('\n'));
    return ExitOk;
}
