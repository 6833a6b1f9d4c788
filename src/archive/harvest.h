// The harvest of a visit's cards into one campaign archive: each card read once (day
// files under the station's codes, a raw copy of every card file, the manifest, the
// card's quality report), its copies checked against the card again, and every file
// read whole marked in the ledger, so that the same card inserted again costs a listing
// and brings only what the recorder wrote since.
//
// ARCHIVE/
//   YEAR/NET/STA/CHA.D/NET.STA.LOC.CHA.D.YEAR.DAY   day files, codes as filed
//   raw/NET.STA/FIRSTDIR/FILE.mseed, log           the card's files as recorded
//   raw/NET.STA/FIRSTDIR/quality.json, quality.txt
//   manifest-sha256.txt, campaign.sqlite
#pragma once

#include "cardmodel.h"
#include "status.h"
#include "stoptoken.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>
#include <memory>
#include <optional>

class Filesystem;
class StationTable;

// How one card's harvest went.
struct HarvestReceipt
{
    QString card;           // the device or image as given
    QString recorded;       // NET.STA as the recorder wrote it; empty when no record was found
    QString station;        // NET.STA as filed
    QString firstDirectory; // the card's first recording directory
    int files = 0;          // card files listed, the log included
    int newFiles = 0;       // read and filed in this run
    int skippedFiles = 0;   // harvested before, unchanged
    qint64 records = 0;     // records read in this run
    int gaps = 0;           // gaps in the records read
    bool verified = false;  // every copy of this run read again from the card and the same
    // "complete", "nothing new", "incomplete" (card pulled, unreadable sectors, a file
    // not filed), "stopped", "failed" (nothing could be harvested)
    QString outcome;
    QStringList problems;   // what failed, each naming what and why
    QStringList warnings;   // what the user should know: codes not in the station table
    qint64 milliseconds = 0;
    double ledgerMilliseconds = 0; // of them, in the ledger

    // Every file of the card is in the archive, now or from before.
    bool isWhole() const { return outcome == QLatin1String("complete") || outcome == QLatin1String("nothing new"); }
};

class Harvest
{
public:
    // Harvests into `archive` (created when missing).
    explicit Harvest(const QString &archive);

    // Codes are rewritten as the table says; without one, or for a recorder it does not
    // name, records are filed as recorded. The table must outlive the harvest.
    void setStations(const StationTable *table) { m_stations = table; }
    // Stops between sectors, and before each file.
    void setStopToken(const StopToken &stop) { m_stop = stop; }
    // Called from the card's thread after each card file is read, with its card path.
    void setFileRead(std::function<void(const QString &card, const QString &cardPath)> callback)
    {
        m_fileRead = std::move(callback);
    }

    // The lock on the archive for the whole run, so that two harvests into it take
    // turns: waits for another harvest to end (calling `waiting` first when it must).
    Status lockArchive(const std::function<void()> &waiting);

    // Harvests one card on the calling thread. Several may run at once, each on its own
    // thread with its own card.
    HarvestReceipt harvestCard(const QString &device);
    // Harvests the cards at once, one thread per card; receipts in the order given.
    QVector<HarvestReceipt> harvestCards(const QStringList &devices);

private:
    QString m_archive;
    const StationTable *m_stations = nullptr;
    StopToken m_stop;
    std::function<void(const QString &, const QString &)> m_fileRead;
    struct Lock;
    std::shared_ptr<Lock> m_archiveLock;
};

// The receipt as one line: as `vexa-card harvest` prints it and the window lists it.
QString receiptLine(const HarvestReceipt &receipt);

// The recorder's NET.STA and the first record's start (UTC microseconds), from the first
// of `files` that hold a record, their first sectors only: what names a card before
// anything is read whole. False when none of the first three begins with a record.
bool recordedCodes(Filesystem &card, const QList<EntryInfo> &files, QString *network, QString *station, qint64 *start);

// NET.STA that the records of recorder NET.STA from `time` on are filed under: the
// station table's, or the recorder's own where the table (if any) does not name it.
QString filedStation(const StationTable *table, const QString &network, const QString &station, qint64 time);

// A card's listing as a harvest takes it: its recordings, and its log when it lists one.
struct CardListing
{
    QList<EntryInfo> recordings;
    std::optional<EntryInfo> log;

    // The files a harvest counts on the card.
    int count() const { return int(recordings.size()) + (log ? 1 : 0); }
};
CardListing harvestListing(const QList<EntryInfo> &entries);

// The card files a harvest takes of `listing`, given what the ledger holds of the card
// (`harvested`: card path -> sectors): a recording not taken before, or one that has grown
// since; the log with them, or when never taken. Only the listing is compared, nothing is
// read. *skipped counts the rest.
QList<EntryInfo> filesToHarvest(Filesystem &card, const CardListing &listing,
                                const QHash<QString, qint64> &harvested, int *skipped);
