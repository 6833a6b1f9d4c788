// The record parser of a copy: a sink that finds the miniSEED records in the sectors of
// card files as they stream past, decodes every record's samples to check them, and
// gathers the quality report of the run. It keeps statistics only: samples are decoded
// and dropped, and no more than one record's bytes are held across chunk boundaries.
//
// Records are looked for where a sector begins and right after each record (so records
// of 256 bytes or of blockette 1000's larger lengths are found too); every readable
// sector where none begins counts as an other sector. One scanner is used by one thread
// at a time: call report() only while no copy feeds it (after the copy, or between
// files). It routes libmseed's messages through itself (ms_loginit, once per process):
// the report counts what they would say, and the Steim integrity warning is how a failed
// check is seen.
#pragma once

#include "copysink.h"
#include "qualityreport.h"

#include <QSet>
#include <QString>
#include <QVector>

#include <functional>
#include <memory>

struct MSRecord_s;
typedef struct MSRecord_s MSRecord;

class RecordScanner : public CopySink
{
public:
    // Called for every record found, in card order, while consume() or finish() runs:
    // `raw` is the record's `length` bytes as on the card (valid during the call only);
    // `msr` is libmseed's parse of them, with the samples decoded into msr->datasamples
    // (msr->numsamples == msr->samplecnt) unless decoding failed (then numsamples is 0).
    // Neither may be kept or changed.
    using RecordHandler = std::function<void(const char *raw, int length, const MSRecord *msr)>;

    RecordScanner();
    ~RecordScanner() override;
    RecordScanner(const RecordScanner &) = delete;
    RecordScanner &operator=(const RecordScanner &) = delete;

    void setRecordHandler(RecordHandler handler) { m_handler = std::move(handler); }

    // Called instead of the record handler for a record that fails the checks of
    // recordcheck.h: never decoded, named in the report with `reason`.
    using BadRecordHandler = std::function<void(const QString &reason)>;
    void setBadRecordHandler(BadRecordHandler handler) { m_badHandler = std::move(handler); }

    // A scanner serves all files of one run, one after another; the report covers them all.
    Status begin(const CopySource &source) override;
    Status consume(const SectorChunk &chunk) override;
    // Scans what is left of the file; a record cut short by the end counts as other sectors.
    Status finish(CopyEnd end) override;

    // The report over every file begun so far; may be called between files.
    QualityReport report() const;

    // Card sector where the record now passed to a handler begins.
    quint64 recordCardSector() const { return m_recordSector; }

private:
    struct File;

    void feed(const char *data, qint64 length);
    qint64 scan(const char *data, qint64 length, bool atEnd);
    void takeRecord(const char *raw, int length, bool decoded);
    void takeBadRecord(const char *raw, int length, const QString &reason);
    bool isUnreadable(qint64 sectorInFile) const;

    RecordHandler m_handler;
    BadRecordHandler m_badHandler;
    MSRecord *m_msr = nullptr;
    ChannelTimeline m_timeline; // every channel of the run
    QVector<File> m_files;
    QSet<QString> m_fileChannels; // the channels the current file has listed
    QVector<qint64> m_fileUnreadable;          // of the current file, sector indices in the file

    quint64 m_firstCardSector = 0;
    qint64 m_offset = 0;       // byte offset in the file of the first byte not yet scanned
    QByteArray m_pending;      // bytes from m_offset on, kept until a record in them is whole
    quint64 m_recordSector = 0;
    bool m_inFile = false;
};
