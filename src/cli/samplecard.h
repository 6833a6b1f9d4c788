// The demonstration card that `vexa-card sample` writes: three recording directories of
// a made-up station XX.VEXA..HHZ at 100 samples per second, each with a few files of
// genuine miniSEED, and a readable log.
#pragma once

#include "cardformat.h"
#include "miniseed.h"

#include <QFile>
#include <QList>
#include <QString>
#include <QVector>

namespace SampleCard {

constexpr quint32 TableSector = 20480;
// Data begins after the table's run of 256 blocks (the table and 255 directory blocks).
constexpr quint32 FirstDataSector = TableSector + quint32(Card::TableSlots * Card::SectorsPerBlock);

// GPS runs ahead of UTC by the leap seconds since 1980: 18 since 2017-01-01. The
// recordings all lie after that date, so one constant converts their times.
constexpr qint64 GpsLeapSeconds = 18;
constexpr qint64 UnixGpsEpoch = 315964800; // 1980-01-06 00:00:00 UTC

struct File
{
    quint32 startTime = 0;   // GPS seconds; names the file
    quint32 seconds = 0;     // length of the recording
    quint32 firstSector = 0; // one 512-byte record per sector

    qint64 sampleCount() const;
    int recordCount() const;
    quint32 lastSector() const { return firstSector + quint32(recordCount()) - 1; }
};

struct Directory
{
    quint32 startTime = 0; // GPS seconds; the first file's start, names the directory
    QList<File> files;
};

const MiniSeed::Stream &stream();
// The card's directories in table order (slots 1, 2, ...), files in record order.
QList<Directory> directories();

// The synthetic signal of one file, in counts: a microseism-like swell and a little
// deterministic noise, with a small local event (a damped 4 Hz sine) 40% of the way in.
QVector<qint32> samples(const File &file);
// Unix microseconds (UTC) of the first sample of a file that began at GPS second `gps`.
qint64 utcMicroseconds(quint32 gps);
// The file's records, sequence numbers from 1, exactly recordCount() * 512 bytes.
QByteArray fileData(const File &file);
// The recorder's log: ASCII lines, GPS-time stamped.
QByteArray logText();

// Writes the whole image sparsely into an open, empty file: only the header, the table,
// the directory blocks in use, the log text and the file data take disk space. False
// with *error set to the system's reason when a write fails.
bool write(QFile &image, QString *error);

} // namespace SampleCard
