// vexa-card harvest: the cards of a visit into one campaign archive, one receipt each.
#include "cliutil.h"
#include "commands.h"
#include "devicediscoverer.h"
#include "harvest.h"
#include "stationtable.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QThread>

#include <future>
#include <map>

namespace {

QJsonObject receiptJson(const HarvestReceipt &receipt)
{
    QJsonObject object;
    object.insert(QStringLiteral("card"), receipt.card);
    object.insert(QStringLiteral("station"), receipt.station);
    object.insert(QStringLiteral("files"), receipt.files);
    object.insert(QStringLiteral("new_files"), receipt.newFiles);
    object.insert(QStringLiteral("skipped_files"), receipt.skippedFiles);
    object.insert(QStringLiteral("records"), receipt.records);
    object.insert(QStringLiteral("gaps"), receipt.gaps);
    object.insert(QStringLiteral("verified"), receipt.verified);
    object.insert(QStringLiteral("outcome"), receipt.outcome);
    object.insert(QStringLiteral("milliseconds"), receipt.milliseconds);
    object.insert(QStringLiteral("ledger_milliseconds"), receipt.ledgerMilliseconds);
    return object;
}

// The receipt's problems and warnings on standard error, its line on standard output.
void printReceipt(const HarvestReceipt &receipt, bool json)
{
    for (const QString &warning : receipt.warnings)
        printError(QStringLiteral("warning: ") + warning);
    printProblems(receipt.problems);
    if (json)
        return;
    printOut(receiptLine(receipt) + QLatin1Char('\n'));
}

// The paths to watch: those given, or the machine's disks.
QStringList candidates(const QStringList &given)
{
    return given.isEmpty() ? DeviceDiscoverer().listDevices() : given;
}

// Whether a card answers at `path` now: its volume header reads. A disk in use (the
// system's) is not opened, as the probe of `devices` leaves it alone.
bool cardPresent(const QString &path, const QHash<QString, QStringList> &mounted)
{
    if (!DeviceDiscoverer::mountPoints(path, mounted).isEmpty())
        return false;
    Filesystem card;
    return card.open(path);
}

// Harvests each card as it is inserted (a path that holds a card now and did not at the
// last look, a second ago) until a stop is asked for. True when every card was whole.
bool watch(Harvest &harvest, const StopToken &stop, const QStringList &given, bool json)
{
    bool allWhole = true;
    QSet<QString> present;
    std::map<QString, std::future<HarvestReceipt>> running;
    printError(QStringLiteral("waiting for cards; Ctrl-C ends"));
    while (!stop.stopRequested() || !running.empty()) {
        for (auto it = running.begin(); it != running.end();) {
            if (it->second.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
                ++it;
                continue;
            }
            const HarvestReceipt receipt = it->second.get();
            allWhole = allWhole && receipt.isWhole();
            printReceipt(receipt, json);
            if (json)
                printOut(QString::fromUtf8(QJsonDocument(receiptJson(receipt)).toJson(QJsonDocument::Compact)) + QLatin1Char('\n'));
            it = running.erase(it);
        }
        if (!stop.stopRequested()) {
            QSet<QString> now;
            const QHash<QString, QStringList> mounted = DeviceDiscoverer::mountedDisks();
            for (const QString &path : candidates(given)) {
                if (running.count(path)) {
                    now.insert(path);
                    continue;
                }
                if (!cardPresent(path, mounted))
                    continue;
                now.insert(path);
                if (!present.contains(path))
                    running.emplace(path, std::async(std::launch::async, [&harvest, path]() { return harvest.harvestCard(path); }));
            }
            present = now;
        }
        for (int tick = 0; tick < 10 && !stop.stopRequested(); ++tick)
            QThread::msleep(100);
        if (stop.stopRequested() && !running.empty())
            QThread::msleep(50);
    }
    return allWhole;
}

} // namespace

int runHarvest(const QStringList &arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption archiveOption(QStringLiteral("archive"),
                                           QStringLiteral("The campaign archive (created when missing)."),
                                           QStringLiteral("ARCHIVE"));
    const QCommandLineOption stationsOption(QStringLiteral("stations"),
                                            QStringLiteral("Station table (CSV): the codes each recorder's records are filed under."),
                                            QStringLiteral("FILE"));
    const QCommandLineOption watchOption(QStringLiteral("watch"),
                                         QStringLiteral("Wait for cards to be inserted (the CARD paths given, or the\n"
                                                        "machine's disks), and harvest each as it comes, until Ctrl-C."));
    const QCommandLineOption jsonOption(QStringLiteral("json"),
                                        QStringLiteral("The receipts as JSON: a list (with --watch, one object per line)."));
    parser.addOptions({archiveOption, stationsOption, watchOption, jsonOption});
    parser.addPositionalArgument(QStringLiteral("CARD"), QStringLiteral("Card devices or card images."),
                                 QStringLiteral("CARD..."));
    const int status = parseCommand(parser, arguments,
                                    QStringLiteral("Harvests cards into one campaign archive, all at once, each read once: its\n"
                                                   "records into SDS day files under the codes of the station table, a raw copy\n"
                                                   "of every card file in ARCHIVE/raw/NET.STA/FIRSTDIR/, the manifest and the\n"
                                                   "card's quality report; then the copies are compared with the card again.\n"
                                                   "The ledger ARCHIVE/campaign.sqlite remembers the files harvested: a card\n"
                                                   "inserted again brings only what was recorded since. One receipt line per\n"
                                                   "card. Exit 0 only when every card was harvested whole."),
                                    0, -1);
    if (status >= 0)
        return status;
    if (!parser.isSet(archiveOption))
        return usageError(QStringLiteral("--archive is required; see 'vexa-card harvest --help'"));
    QStringList cards = parser.positionalArguments();
    cards.removeDuplicates(); // one reader per card: the same card twice would race itself
    if (cards.isEmpty() && !parser.isSet(watchOption))
        return usageError(QStringLiteral("give the cards to harvest, or --watch; see 'vexa-card harvest --help'"));
    const bool json = parser.isSet(jsonOption);

    // A table that is wrong is refused before any card is read.
    StationTable table;
    if (parser.isSet(stationsOption)) {
        if (const Status loaded = StationTable::load(parser.value(stationsOption), &table); !loaded) {
            printError(loaded.message);
            return ExitFailure;
        }
    }
    const QString archive = parser.value(archiveOption);
    if (!makeFolder(archive))
        return ExitFailure;

    // Ctrl-C or a TERM: every card's copy stops between two sectors, its partial file
    // goes, and what was read whole stays harvested.
    const InterruptGuard interrupts;
    const StopToken &stop = interrupts.token();

    Harvest harvest(archive);
    if (parser.isSet(stationsOption))
        harvest.setStations(&table);
    harvest.setStopToken(stop);
    bool ok = true;
    if (const Status locked = harvest.lockArchive([&archive]() {
            printError(QStringLiteral("another harvest into %1 is running; waiting for it to end").arg(archive));
        });
        !locked) {
        printError(locked.message);
        ok = false;
    } else if (parser.isSet(watchOption)) {
        ok = watch(harvest, stop, cards, json);
    } else {
        const QVector<HarvestReceipt> receipts = harvest.harvestCards(cards);
        QJsonArray list;
        for (const HarvestReceipt &receipt : receipts) {
            ok = ok && receipt.isWhole();
            printReceipt(receipt, json);
            list.append(receiptJson(receipt));
        }
        if (json)
            printOut(QString::fromUtf8(QJsonDocument(list).toJson()));
    }
    return ok ? ExitOk : ExitFailure;
}
