#include "commands.h"
#include "cliutil.h"

#include <QCommandLineParser>
#include <QCoreApplication>

namespace {

struct Command
{
    const char *name;
    const char *summary;
    int (*run)(const QStringList &arguments);
};

const Command commands[] = {
    {"list", "List the root, or one directory's files", runList},
    {"tree", "List every exportable card path", runTree},
    {"export", "Copy card paths into a folder, or into an SDS archive", runExport},
    {"verify", "Check an export's manifest, and its copies against the card", runVerify},
    {"inspect", "Check the records of card files: the quality report", runInspect},
    {"sample", "Write a demonstration card image", runSample},
    {"devices", "Say which disks and images hold a card", runDevices},
    {"campaign", "Report the campaign from an archive's ledger", runCampaign},
    {"harvest", "Harvest cards into a campaign archive, each file once", runHarvest},
    {"stationxml", "Write StationXML of an archive's channels", runStationXml},
};

void printUsage()
{
    QString text = QStringLiteral(
        "Usage: vexa-card COMMAND [OPTIONS] ...\n"
        "Reads the storage card of a seismic recorder, or an image of one. Never writes to it.\n\n"
        "Commands:\n");
    for (const Command &command : commands)
        text += QStringLiteral("  %1  %2\n").arg(QLatin1String(command.name), -10).arg(QLatin1String(command.summary));
    text += QStringLiteral("\n'vexa-card COMMAND --help' describes one command.\n"
                           "Exit status: 0 success, 1 failure, 2 wrong command line.\n");
    printOut(text);
}

} // namespace

int runCommandLine(const QStringList &arguments)
{
    const QString first = arguments.value(1);
    if (first == QLatin1String("--help") || first == QLatin1String("-h") || first == QLatin1String("help")) {
        printUsage();
        return ExitOk;
    }
    if (first == QLatin1String("--version") || first == QLatin1String("-v")) {
        printOut(QStringLiteral("vexa-card %1\n").arg(QCoreApplication::applicationVersion()));
        return ExitOk;
    }
    for (const Command &command : commands) {
        if (first == QLatin1String(command.name))
            return command.run(QStringList{arguments.value(0) + QLatin1Char(' ') + first} + arguments.mid(2));
    }
    if (first.isEmpty())
        return usageError(QStringLiteral("no command given; 'vexa-card --help' lists them"));
    return usageError(QStringLiteral("unknown command '%1'; 'vexa-card --help' lists them").arg(first));
}
