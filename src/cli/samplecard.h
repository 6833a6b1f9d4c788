// The demonstration card that `vexa-card sample` writes: three recording directories of
// a made-up station (XX.VEXA unless told otherwise) with channels HHZ, HHN and HHE at 100 samples per second,
// each file genuine miniSEED packed by libmseed (Steim-2, 512-byte records with
// blockettes 1000 and 1001, the three channels interleaved in time order), and a
// readable log. The recordings show what a quality check must find: a stretch with the
// clock unlocked, a gap of some seconds inside a file, and a recording across midnight UTC.
#pragma once

#include "cardformat.h"
#include "status.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVector>

namespace SampleCard {

constexpr quint32 TableSector = 20480;
// Data begins after the table's run of 256 blocks (the table and 255 directory blocks).
constexpr quint32 FirstDataSector = TableSector + quint32(Card::TableSlots * Card::SectorsPerBlock);
constexpr int RecordLength = 512;
constexpr int SampleRate = 100;

// GPS runs ahead of UTC by the leap seconds since 1980: 18 since 2017-01-01. The
// recordings all lie after that date, so one constant converts their times.
constexpr qint64 GpsLeapSeconds = 18;
constexpr qint64 UnixGpsEpoch = 315964800; // 1980-01-06 00:00:00 UTC

// The channels of every file, in the order their records are packed.
QStringList channels();

// What makes cards of different recorders and visits: the station code the recorder
// writes into its records and log, and when its first recording began. The default is
// the demonstration card itself, byte for byte.
struct Options
{
    QString network = QStringLiteral("XX"); // 1-2 characters A-Z, 0-9
    QString station = QStringLiteral("VEXA"); // 1-5 characters A-Z, 0-9
    quint32 start = 0; // GPS second the first recording starts; 0: 2023-03-14 09:26:07 UTC
    bool isDefault() const;
};

// The first recording's start on the demonstration card, GPS seconds.
quint32 defaultStart();
// The first recording's start for a day: that day at the demonstration card's time of
// day, so that its last recording still runs across midnight UTC.
quint32 startOnDay(int year, int month, int day);

struct File
{
    quint32 startTime = 0;   // GPS seconds; names the file
    quint32 seconds = 0;     // length of the recording
    quint32 firstSector = 0; // one 512-byte record per sector
    int records = 0;         // records of all channels
    // Samples the recorder lost: none from gapStart for gapSeconds (0: no gap).
    quint32 gapStart = 0;
    quint32 gapSeconds = 0;
    // Seconds from the file's start during which the clock was not locked (0, 0: none).
    quint32 unlockedFrom = 0;
    quint32 unlockedTo = 0;

    qint64 sampleCount() const { return qint64(seconds) * SampleRate; }
    quint32 lastSector() const { return firstSector + quint32(records) - 1; }
};

struct Directory
{
    quint32 startTime = 0; // GPS seconds; the first file's start, names the directory
    QList<File> files;
};

// The card's directories in table order (slots 1, 2, ...), files in record order; the
// recordings keep their lengths and the time between them whatever the start.
QList<Directory> directories(const Options &options = Options());

// The synthetic signal of one channel of a file, in counts, all of its seconds (the
// samples of a gap included, though they are not recorded): a microseism-like swell and
// a little deterministic noise, with a small local event (a damped 4 Hz sine) 40% of
// the way in, strongest on HHZ.
QVector<qint32> samples(const File &file, int channel);
// Unix microseconds (UTC) of the first sample of a file that began at GPS second `gps`.
qint64 utcMicroseconds(quint32 gps);
// Blockette 1001 timing quality of the records packed from second `second` of a file.
int timingQuality(const File &file, quint32 second);
// The file's records, exactly records * 512 bytes.
QByteArray fileData(const File &file, const Options &options = Options());
// The recorder's log: ASCII lines, GPS-time stamped.
QByteArray logText(const Options &options = Options());

// Writes the whole image sparsely into an open, empty file: only the header, the table,
// the directory blocks in use, the log text and the file data take disk space. A failure
// with the system's reason when a write fails.
Status write(QFile &image, const Options &options = Options());

} // namespace SampleCard
