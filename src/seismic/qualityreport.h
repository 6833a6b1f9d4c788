// The quality report of one run over a card's files: per channel (the figures of
// channeltimeline.h), per file and per gap, what the miniSEED records say (times,
// continuity, clock, decoding) and what the card lost (unreadable sectors). RecordScanner
// fills it; the command line, the export and the window render it as text or JSON.
//
// Times are microseconds since 1970-01-01 00:00:00 UTC (libmseed's hptime_t), always UTC.
#pragma once

#include "channeltimeline.h"
#include "status.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QVector>
#include <QtGlobal>

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
// is refused, never written through. A failure names the file and the system's reason
// when one cannot be written.
Status writeQualityFiles(const QualityReport &report, const QString &folder);
