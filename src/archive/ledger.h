// The campaign ledger: one SQLite file in the archive, ARCHIVE/campaign.sqlite, that
// remembers every card harvested into it, every visit (a harvest), every file taken off a
// card with its sector count, digest, times and channels, and the recorder codes the
// station table did not know. A later harvest of the same card skips what the ledger holds;
// the campaign report and the StationXML are read from it.
//
// Times: UTC microseconds since 1970-01-01 (libmseed's hptime). A data segment runs from
// its first sample to its last, both included, as the quality report's segments do; a gap
// from the last sample before a break to the first after it.
#pragma once

#include "status.h"

#include <QHash>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVector>

#include <memory>

using LedgerSpan = QPair<qint64, qint64>;

struct LedgerChannel
{
    QString id;               // NET.STA.LOC.CHA as filed
    double sampleRate = 0;
    qint64 first = 0, last = 0, samples = 0, records = 0;
    QVector<LedgerSpan> segments; // first and last sample of each stretch with data
    QVector<LedgerSpan> gaps;     // (last sample before a break, first sample after it)
};

struct LedgerFile
{
    QString cardPath;         // "/DIRECTORY/FILE" on the card
    qint64 sectors = 0;       // the file's length in card sectors when harvested
    QByteArray sha256;        // hex
    qint64 first = 0, last = 0;
    QString station;          // NET.STA as filed
    QString outcome;          // "complete", "incomplete"
    QVector<LedgerChannel> channels;
};

class Ledger
{
public:
    // Marks a SQLite file as a campaign ledger (PRAGMA application_id): "VXLG".
    static constexpr qint32 ApplicationId = 0x56584c47;
    static constexpr int SchemaVersion = 1;

    // ARCHIVE/campaign.sqlite
    static QString path(const QString &archive);

    enum class Mode { Create, ReadOnly };
    // Opens ARCHIVE/campaign.sqlite, creating it (and its schema) when missing unless
    // `mode` is ReadOnly. A file that is not SQLite, or is SQLite of another program, is
    // refused and left untouched. Another process writing the same ledger is waited for.
    // One Ledger per thread (Qt SQL connections belong to the thread that opened them).
    static Status open(const QString &archive, std::unique_ptr<Ledger> *ledger, Mode mode = Mode::Create);

    ~Ledger();
    Ledger(const Ledger &) = delete;
    Ledger &operator=(const Ledger &) = delete;

    QString fileName() const { return m_path; }

    // card path -> sectors recorded as harvested, for the card `cardKey` (empty when the
    // card is unknown). A file harvested with the same sector count is skipped; one that
    // grew is harvested again.
    QHash<QString, qint64> harvestedFiles(const QString &cardKey, Status *status = nullptr);

    // Starts a visit of the card `cardKey` ("NET.STA/FIRSTDIR" as recorded), entering the
    // card when it is new.
    Status beginHarvest(const QString &cardKey, const QString &recorded, const QString &station,
                        const QString &device, qint64 *harvestId);
    // Marks files harvested, in one transaction. Call only once their data, day files and
    // manifest lines are on the disk (flushed). A file already in the ledger for the card
    // (it grew) is replaced with its new figures.
    Status recordFiles(qint64 harvestId, const QVector<LedgerFile> &files);
    // Recorder codes (NET.STA) the station table did not map, for the harvest's card.
    Status recordUnmapped(qint64 harvestId, const QStringList &codes);
    Status finishHarvest(qint64 harvestId, const QString &outcome, int newFiles, int skippedFiles);

    // The reading side: the campaign report and the StationXML.
    struct CardRow
    {
        QString cardKey, recorded, station, firstHarvest, lastHarvest;
        int harvests = 0, files = 0;
    };
    struct StationRow
    {
        QString station;      // NET.STA as filed
        int cards = 0, files = 0;
        qint64 first = 0, last = 0;
        QString lastHarvest;  // ISO 8601 UTC
    };
    // One row per channel and sample rate: an epoch of the channel as the data show it.
    struct ChannelRow
    {
        QString id;           // NET.STA.LOC.CHA
        double sampleRate = 0;
        qint64 first = 0, last = 0, samples = 0, records = 0;
        int files = 0;
    };
    struct UnmappedRow
    {
        QString code;         // NET.STA as recorded
        QStringList cards;    // card keys
    };
    Status cards(QVector<CardRow> *rows);
    Status stations(QVector<StationRow> *rows);
    Status channels(QVector<ChannelRow> *rows);
    // Per channel id, its data segments (or gaps) of every file, in time order.
    Status segments(QHash<QString, QVector<LedgerSpan>> *spans);
    Status gaps(QHash<QString, QVector<LedgerSpan>> *spans);
    Status unmapped(QVector<UnmappedRow> *rows);

private:
    Ledger() = default;
    Status initialise(bool create);

    QString m_connection;
    QString m_path;
};
