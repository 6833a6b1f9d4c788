// The quality report of one run over a card's files: per channel, per file and per gap,
// what the miniSEED records say (times, continuity, clock, decoding) and what the card
// lost (unreadable sectors). RecordScanner fills it; the command line, the export and
// the window render it as text or JSON.
//
// Times are microseconds since 1970-01-01 00:00:00 UTC (libmseed's hptime_t), always UTC.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QVector>
#include <QtGlobal>

// A stretch of time, both ends included: for a segment its first and last sample.
struct TimeSpan
{
    qint64 start = 0;
    qint64 end = 0;
};

// One channel NET.STA.LOC.CHA over all files of the run.
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
    qint64 samples = 0;    // as the record headers count them
    qint64 records = 0;
    int segments = 0;      // stretches the trace list could not join (default tolerances)
    int gaps = 0;          // breaks with missing time between them
    int overlaps = 0;      // breaks where the next segment starts at or before the last sample
    double largestGap = 0; // seconds; 0 when there is no gap
    double availability = 0; // percent of the span from first to last sample that data cover
    bool hasTimingQuality = false; // some record carries blockette 1001
    int timingMin = 0;     // timing quality 0..100 of blockette 1001
    double timingMedian = 0;
    int timingMax = 0;
    double clockLocked = 0;      // percent of records with I/O flag bit 5 (clock locked)
    double questionableTime = 0; // percent of records with data quality bit 7
    qint64 decodeFailures = 0;   // records whose samples did not decode or failed Steim's check
    qint64 sequenceBreaks = 0;   // records of a file whose sequence number does not follow the previous one of the channel

    // For drawing: the segments in time order, and the stretches covered by records
    // without the clock-locked bit (consecutive such records joined).
    QVector<TimeSpan> segmentSpans;
    QVector<TimeSpan> clockUnlocked;
};

// A record whose header cannot be trusted (recordcheck.h): never decoded nor filed.
struct BadRecord
{
    quint64 sector = 0; // card sector where it begins
    QString reason;
};

// One card file of the run, in card order.
struct FileQuality
{
    QString path;               // card path, "/20230314_0926/20230314_092607"
    qint64 records = 0;
    qint64 otherSectors = 0;    // readable sectors where no record begins (log, padding, garbage)
    qint64 unreadableSectors = 0;
    QStringList channels;       // ids, sorted
    bool hasRecords = false;    // start and end are meaningful only then
    qint64 start = 0;           // earliest first sample of its records
    qint64 end = 0;             // latest last sample of its records
    bool complete = true;       // every sector of the file was read
    qint64 badRecords = 0;      // records that failed the checks; not counted in `records`
    QVector<BadRecord> badRecordList; // the first BadRecordsNamed of them, in card order
    static constexpr int BadRecordsNamed = 1000;
};

// A break between two segments of a channel; an overlap has negative seconds.
struct GapQuality
{
    QString id;
    qint64 after = 0;   // last sample before the break
    qint64 before = 0;  // first sample after it
    double seconds = 0; // before - after, in seconds
    qint64 unreadableSectors = 0; // unreadable card sectors between the two bounding records
    bool isOverlap() const { return seconds <= 0; }
};

struct QualityReport
{
    QVector<FileQuality> files;       // card order
    QVector<ChannelQuality> channels; // by id
    QVector<GapQuality> gaps;         // by id, then time

    // True when every file of the run was read whole.
    bool allComplete() const;
};

// "2023-03-14T09:25:49.000000Z"
QString utcTimeText(qint64 microseconds);

// The report as the JSON object of `inspect --json` and quality.json: "files",
// "channels", "gaps".
QJsonObject qualityJson(const QualityReport &report);
// qualityJson() as UTF-8 text, each file, channel and gap on a line of its own, with a
// final newline; written element by element, so a full card costs little beyond its text.
QByteArray qualityJsonText(const QualityReport &report);
// The report for people: one line per channel under a header, the totals, a line per
// file with unreadable sectors, a line per clock-unlocked stretch, and with `withGaps`
// one line per gap or overlap, as record inspectors list them.
QString qualityText(const QualityReport &report, bool withGaps);

// Writes qualityJsonText() as folder/quality.json and qualityText(report, true) as
// folder/quality.txt, each whole or not at all (a temporary file beside it, flushed to the
// disk, renamed into place); a link, a FIFO or a file of several hard links at either name
// is refused, never written through. False with *error naming the file and the system's
// reason when one cannot be written.
bool writeQualityFiles(const QualityReport &report, const QString &folder, QString *error);
