// The one account of what a card's records say of each channel: fed the checked records
// in card order, it keeps per channel NET.STA.LOC.CHA its segments, gaps and overlaps,
// duplicate records, sequence numbers, clock and quality flags and timing quality, and
// yields the channel's figures. The copy's full check (RecordScanner) and the window's
// quick scan of a file's ends both feed one; the report, its JSON and the window's
// tree and timeline all read what it yields.
//
// Times are microseconds since 1970-01-01 00:00:00 UTC (libmseed's hptime_t).
#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QVector>
#include <QtGlobal>

#include <array>

struct MSRecord_s;
typedef struct MSRecord_s MSRecord;

// A stretch of time, both ends included: for a segment its first and last sample.
struct TimeSpan
{
    qint64 start = 0;
    qint64 end = 0;
};

// Timing quality of blockette 1001 over the records that carry it. Quartiles are
// interpolated linearly between the closest ranks (numpy's default): the value at rank
// p * (n - 1) of the n values sorted.
struct TimingSummary
{
    int min = 0;
    double q1 = 0;
    double median = 0;
    double mean = 0;
    double q3 = 0;
    int max = 0;
};

// One channel NET.STA.LOC.CHA over all records fed.
struct ChannelQuality
{
    QString id;        // "XX.VEXA..HHZ": an empty location leaves two dots
    QString network;
    QString station;
    QString location;
    QString channel;
    double sampleRate = 0; // samples per second of the segments holding most samples
    qint64 start = 0;      // first sample
    qint64 end = 0;        // last sample
    qint64 samples = 0;    // as the headers of its distinct records count them
    qint64 records = 0;    // every record read, duplicates included
    qint64 duplicates = 0; // records equal to one read before: same start, rate and samples
    int segments = 0;      // stretches the trace list could not join (default tolerances)
    int gaps = 0;          // breaks with missing time between them
    int overlaps = 0;      // breaks where the next segment starts at or before the last sample
    double largestGap = 0; // seconds; 0 when there is no gap
    double availability = 0; // percent of the span from first to last sample that data cover
    bool hasTimingQuality = false; // some record carries blockette 1001
    TimingSummary timing;
    // Whether any record set the clock-locked bit (I/O flags bit 5) or the questionable
    // time tag (data quality bit 7): a recorder that never sets a bit says nothing with it.
    bool clockLockUsed = false;
    bool questionableTimeUsed = false;
    double clockLocked = 0;      // percent of distinct records with the clock-locked bit
    double questionableTime = 0; // percent of distinct records with the questionable time tag
    // Distinct records with each bit 0..7 of the activity, I/O and clock, and data quality flags.
    std::array<std::array<qint64, 8>, 3> flagCounts{};
    qint64 decodeFailures = 0;   // records whose samples did not decode or failed Steim's check
    qint64 sequenceBreaks = 0;   // records whose sequence number does not follow the previous one of the channel

    // For drawing: the segments in time order, and the stretches covered by records
    // without the clock-locked bit (consecutive such records joined), only when the
    // channel uses the bit.
    QVector<TimeSpan> segmentSpans;
    QVector<TimeSpan> clockUnlocked;
};

// A break between two segments of a channel; an overlap has negative seconds.
struct GapQuality
{
    QString id;
    qint64 after = 0;   // last sample before the break
    qint64 before = 0;  // first sample after it
    double seconds = 0; // before - after, in seconds
    qint64 unreadableSectors = 0; // unreadable sectors between the two bounding records
    bool isOverlap() const { return seconds <= 0; }
};

class ChannelTimeline
{
public:
    // How a record's samples came: decoded into msr->datasamples; not decoded at all (a
    // scan of headers); or their decoding failed. Records are compared for duplicates by
    // their decoded samples, otherwise by the bytes of their data area.
    enum class Samples { Decoded, NotDecoded, Failed };

    ChannelTimeline();
    ~ChannelTimeline();
    ChannelTimeline(const ChannelTimeline &) = delete;
    ChannelTimeline &operator=(const ChannelTimeline &) = delete;

    // Only the first and last records of a file were read: each channel is one segment
    // from its first sample to its last, with no gaps between.
    void setEndsOnly(bool endsOnly) { m_endsOnly = endsOnly; }

    // Records fed from here on do not follow those before in card order (another file, or
    // the tail of a file after its head): sequence numbers restart.
    void beginPart();

    // A record that passed RecordCheck::fault(), in card order, beginning at `sector`
    // (numbered as the sectors given to addUnreadable()). Returns its channel's id, valid
    // while the timeline lives; *duplicate tells whether it repeats a record already fed.
    const QString &add(const MSRecord *msr, qint64 sector, Samples samples, bool *duplicate = nullptr);

    // A sector that could not be read; gaps name those between their bounding records.
    void addUnreadable(qint64 sector);

    // The channels' figures, sorted by id; with `gaps`, their gaps and overlaps, by id then time.
    QVector<ChannelQuality> channels(QVector<GapQuality> *gaps = nullptr) const;

    // Duplicates are recognised among this many latest distinct records of a channel; an
    // older repeat counts as an overlap. Bounds the memory of a long run.
    static constexpr int DuplicateWindow = 1 << 16;

private:
    struct Channel;
    Channel &channelOf(const MSRecord *msr);
    ChannelQuality figuresOf(const Channel &channel, const QVector<qint64> &unreadable, QVector<GapQuality> *gaps) const;

    QVector<Channel *> m_channels; // in the order first seen
    QHash<QByteArray, Channel *> m_byKey; // by their raw codes
    QVector<Channel *> m_recent;   // up to 8 channels, tried first
    QVector<qint64> m_unreadable;
    bool m_endsOnly = false;
    int m_part = 0;
};

// Quantile p (0..1) of the values counted in `histogram` (value -> count), `n` in all,
// by linear interpolation between the closest ranks.
double quantileOf(const std::array<qint64, 101> &histogram, qint64 n, double p);
