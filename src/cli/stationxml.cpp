#include "cliutil.h"
#include "commands.h"
#include "ledger.h"
#include "stationtable.h"
#include "stationxml.h"

#include <QDateTime>

#include <cerrno>
#include <cstdio>

namespace {

// The ledger's channels as epochs: one per channel id and sample rate, from its first to
// its last sample.
bool channelEpochs(Ledger &ledger, QVector<ChannelEpoch> *epochs)
{
    QVector<Ledger::ChannelRow> rows;
    const Status status = ledger.channels(&rows);
    if (!status) {
        printError(status.message);
        return false;
    }
    for (const Ledger::ChannelRow &row : rows) {
        const QStringList codes = row.id.split(QLatin1Char('.'));
        if (codes.size() != 4) {
            printError(QStringLiteral("%1: channel %2 is not NET.STA.LOC.CHA; left out").arg(ledger.fileName(), row.id));
            continue;
        }
        ChannelEpoch epoch;
        epoch.network = codes[0];
        epoch.station = codes[1];
        epoch.location = codes[2];
        epoch.channel = codes[3];
        epoch.sampleRate = row.sampleRate;
        epoch.start = row.first;
        epoch.end = row.last;
        epochs->append(epoch);
    }
    return true;
}

} // namespace

int runStationXml(const QStringList &arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption stations(QStringLiteral("stations"),
                                      QStringLiteral("The station table (CSV): coordinates and site of each station."),
                                      QStringLiteral("FILE"));
    parser.addOption(stations);
    parser.addPositionalArgument(QStringLiteral("ARCHIVE"), QStringLiteral("The archive the cards were harvested into."));
    const int status = parseCommand(parser, arguments,
                                    QStringLiteral("Writes FDSN StationXML 1.2 of the archive's channels on standard "
                                                   "output: epochs and sample rates from the data, coordinates and "
                                                   "sites from the station table. No instrument responses."),
                                    1, 1);
    if (status >= 0)
        return status;
    StationTable table;
    if (parser.isSet(stations)) {
        const Status loaded = StationTable::load(parser.value(stations), &table);
        if (!loaded) {
            printError(loaded.message);
            return ExitFailure;
        }
    }
    std::unique_ptr<Ledger> ledger;
    const Status opened = Ledger::open(parser.positionalArguments().constFirst(), &ledger, Ledger::Mode::ReadOnly);
    if (!opened) {
        printError(opened.message);
        return ExitFailure;
    }
    QVector<ChannelEpoch> epochs;
    if (!channelEpochs(*ledger, &epochs))
        return ExitFailure;
    const QByteArray xml = stationXml(table, epochs, QDateTime::currentDateTimeUtc());
    if (std::fwrite(xml.constData(), 1, size_t(xml.size()), stdout) != size_t(xml.size()) || std::fflush(stdout) != 0) {
        const int error = errno;
        printError(QStringLiteral("cannot write the StationXML: %1").arg(systemErrorText(error)));
        return ExitFailure;
    }
    return ExitOk;
}
