// The consumers of one read of a card file: the destination file, the hash, the record
// parser, the archive. A copy reads a file's sectors once, in large chunks, and hands
// every chunk to each of its sinks in card order; no sink reads the card itself.
#pragma once

#include "status.h"

#include <QString>
#include <QVector>
#include <QtGlobal>

// What one copy reads.
struct CopySource
{
    QString cardPath;           // "/20230314_0926/20230314_092607", or "/log"
    QString outputName;         // named from the record: "20230314_092607.mseed", or "log"
    quint64 firstCardSector = 0; // card sector of the file's first sector
    qint64 sectorCount = 0;     // sectors the copy means to read; zero or less reads nothing
};

// Whole sectors as read, in card order. An unreadable sector is 512 zero bytes here and
// is named in `unreadable`, so that every later sector keeps its offset in the file.
struct SectorChunk
{
    const char *data = nullptr;
    qint64 length = 0;          // bytes; a multiple of 512 unless the card ended mid-sector
    qint64 firstSector = 0;     // index in the file of the sector at data[0]
    QVector<qint64> unreadable; // indices in the file of the zero-filled sectors, ascending
};

// How a copy ended, as its sinks are told.
enum class CopyEnd {
    Complete,   // every sector read
    Incomplete, // the card ended early or sectors were unreadable; what was read stands
    Failed,     // nothing usable: a sink or the card failed
    Stopped,    // asked to stop
};

class CopySink
{
public:
    virtual ~CopySink() = default;

    // Before the first chunk of a file. A failure refuses the copy before anything is
    // read, and says why. A sink may serve many files of one run, one at a time.
    virtual Status begin(const CopySource &source) = 0;
    // Each chunk of the file in order. A failure fails the copy, and says why.
    virtual Status consume(const SectorChunk &chunk) = 0;
    // Once per begun file, after its last chunk or when the copy gave up. A sink that
    // keeps output puts it in place for Complete and Incomplete and discards it for
    // Failed and Stopped, leaving any earlier file as it was; a failure says that failed.
    virtual Status finish(CopyEnd end) = 0;
};
