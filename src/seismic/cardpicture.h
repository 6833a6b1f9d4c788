// What the window shows of a card's recordings: per file its channels, times and a short
// verdict, and per channel the stretches with data, the gaps between them, the stretches
// recorded with the clock unlocked and the gaps lost to unreadable sectors. Filled first
// by the quick scan, later by the full figures of a download; drawn by the timeline.
#pragma once

#include "channeltimeline.h"

#include <QHash>
#include <QString>
#include <QStringList>
#include <QVector>
#include <QtGlobal>

#include <limits>

// Times are UTC microseconds since 1970-01-01, as libmseed counts them.
constexpr qint64 MicrosecondsPerSecond = 1000000;

// "2023-03-14 09:26:07": UTC to the second.
QString utcText(qint64 microseconds);
// "12.5 s", "3 min 20 s", "2 h 5 min": a length for people.
QString durationText(qint64 microseconds);

// A stretch [start, end) of one channel in one file.
struct Stretch
{
    qint64 start = 0;
    qint64 end = 0;
    QString cardPath;         // the file it came from: "/DIRECTORY/FILE"
    qint64 unreadableSectors = 0; // for a gap: card sectors between its two records that could not be read

    qint64 length() const { return end - start; }
};

struct ChannelSpans
{
    QString id;               // NET.STA.LOC.CHA, as "XX.VEXA..HHZ"
    QVector<Stretch> data;   // where samples exist, in time order
    QVector<Stretch> gaps;   // from the last sample before a break to the first after it
    QVector<Stretch> unlocked; // recorded with the clock-locked flag clear
    double sampleRate = 0;    // samples per second, when known
};

// What the views draw of channel `c` within [from, to] of file `cardPath`: its segments
// (clipped to that span), its gaps (not overlaps) that lie within it, and its unlocked
// stretches; each running to the end of its last sample's period.
ChannelSpans channelSpans(const ChannelQuality &c, const QVector<GapQuality> &gaps, const QString &cardPath,
                          qint64 from = std::numeric_limits<qint64>::min(),
                          qint64 to = std::numeric_limits<qint64>::max());

// The figures of one file.
struct FilePicture
{
    QString cardPath;
    QVector<ChannelSpans> channels; // sorted by id
    qint64 start = 0;         // first sample; meaningful when records > 0
    qint64 end = 0;           // last sample
    qint64 records = 0;       // records seen
    qint64 unreadableSectors = 0;
    bool whole = false;       // every sector was read; false: only its first and last sectors
    bool full = false;        // the figures of a download's check, not of the quick scan

    int gapCount() const;
    bool anyUnlocked() const;
    // "HHE HHN HHZ": the channel codes, sorted, without repeats.
    QString channelText() const;
    // "ok", "3 gaps", "clock unlocked", "unreadable", "no records", "unchecked", or
    // several joined with ", ".
    QString verdict() const;
    // The details behind the verdict, one item a line.
    QString details() const;
};

// A directory's columns: the union of its files.
struct FolderSummary
{
    QString channels;
    qint64 start = 0;
    qint64 end = 0;
    QString verdict;
    QString details;
    bool any = false;         // some file had records
};
FolderSummary summarize(const QVector<const FilePicture *> &files);

// All channels of a card over its whole time span: each row holds the stretches of every
// file, in time order once sorted.
struct CardPicture
{
    QVector<ChannelSpans> channels; // sorted by id
    qint64 start = 0;
    qint64 end = 0;

    bool isEmpty() const { return channels.isEmpty(); }
    // Adds a file's stretches at the end of their rows; files that come in time order,
    // as a card lists them, keep the rows sorted.
    void add(const FilePicture &file);
    // Puts every row in time order.
    void sort();
    static CardPicture fromFiles(const QVector<const FilePicture *> &files);
};
