// A writer of miniSEED 2 data records, enough for the demonstration card: 512-byte
// records of 32-bit integer samples (encoding 3), big-endian, each with one blockette
// 1000 and no other.
//
// Record layout written here (all integers big-endian, text space-padded ASCII):
//   Offset | Size | Field               | Value written
//   0      | 6    | sequence number     | "000001" .. "999999"
//   6      | 1    | data quality        | 'D'
//   7      | 1    | reserved            | ' '
//   8      | 5    | station             | e.g. "VEXA "
//   13     | 2    | location            | e.g. "  "
//   15     | 3    | channel             | e.g. "HHZ"
//   18     | 2    | network             | e.g. "XX"
//   20     | 10   | start time (BTIME)  | year, day of year, h, m, s, 0, 0.0001 s; UTC
//   30     | 2    | number of samples   | 0 .. SamplesPerRecord
//   32     | 2    | rate factor         | samples per second
//   34     | 2    | rate multiplier     | 1
//   36     | 4    | flags, blockettes   | 0, 0, 0, 1
//   40     | 4    | time correction     | 0
//   44     | 2    | beginning of data   | 64
//   46     | 2    | first blockette     | 48
//   48     | 8    | blockette 1000      | 1000, next 0, encoding 3, word order 1, 2^9, 0
//   56     | 8    | -                   | zero
//   64     | 448  | samples             | signed 32-bit, unused tail zero
#pragma once

#include <QByteArray>
#include <QtGlobal>

namespace MiniSeed {

constexpr int RecordLength = 512;
constexpr int RecordLengthExponent = 9;
static_assert(1 << RecordLengthExponent == RecordLength, "blockette 1000 states the length as a power of 2");
constexpr int DataOffset = 64;
constexpr int SampleSize = 4;
constexpr int SamplesPerRecord = (RecordLength - DataOffset) / SampleSize;
static_assert(SamplesPerRecord == 112, "a 512-byte record holds 112 32-bit samples after its header");
constexpr quint8 EncodingInt32 = 3;
constexpr quint8 WordOrderBigEndian = 1;
constexpr int MaxSequenceNumber = 999999;

// What every record of one channel repeats. Codes longer than their fields are cut.
struct Stream
{
    QByteArray network;  // up to 2 characters
    QByteArray station;  // up to 5
    QByteArray location; // up to 2, often empty
    QByteArray channel;  // up to 3
    int sampleRate = 0;  // whole samples per second, 1 .. 32767
};

// One 512-byte record holding `count` samples (clamped to 0 .. SamplesPerRecord) whose
// first sample was taken `startMicroseconds` after 1970-01-01 00:00:00 UTC (kept to
// 0.0001 s). `sequence` is written modulo 1000000 as six digits.
QByteArray encodeRecord(const Stream &stream, int sequence, qint64 startMicroseconds,
                        const qint32 *samples, int count);

} // namespace MiniSeed
