// The quick look at one file: the records read through the copy pipeline in chunks, as
// an export reads them, each record's samples decoded by the record scanner and added to
// its channel's min/max pyramid as they arrive. Memory is bounded by the pyramids, never
// by the file: a channel's pyramid keeps at most QuickLook::MaxBuckets buckets of its
// finest level (fewer when a file has many channels), coarsening as the file grows.
#pragma once

#include "envelope.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <functional>

class Filesystem;

struct QuickLook
{
    // Finest-level buckets of one channel, over all its segments: some thousand screen
    // columns' worth of zoom before a column holds less than a bucket.
    static constexpr qint64 MaxBuckets = qint64(1) << 19;

    QString cardPath;
    QVector<Trace> traces; // sorted by id
    qint64 start = 0;      // UTC microseconds: first sample of any trace
    qint64 end = 0;        // after the last sample of any trace
    qint64 records = 0;
    qint64 undecodable = 0; // records whose samples were not decoded: failed checks or data
    QString message;        // why the file could not be read whole; empty when it was

    bool isEmpty() const { return traces.isEmpty(); }
};

// Reads the file at `cardPath` into *look. `cancelled` is asked between chunks and
// records; once it answers true the read stops and the result is false, as it is when
// the file is not on the card (look->message says why).
bool loadQuickLook(Filesystem &card, const QString &cardPath, const std::function<bool()> &cancelled,
                   QuickLook *look);
