// One export batch: card files into a folder, either as copies (FILE.mseed, log) or
// filed into an SDS archive, with the checksum manifest of everything written or
// changed. What vexa-card export and the window's download both run.
#pragma once

#include "filesystem.h"
#include "qualityreport.h"
#include "sdsarchive.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

// How one card file of a batch went.
struct ExportFileOutcome
{
    QString cardPath;
    ExportResult copy;              // the copy's end; in an SDS export, that of the read
    QString written;                // file written, relative to the folder; empty when none
    qint64 recordsFiled = 0;        // SDS: records appended to day files
    qint64 recordsAlreadyThere = 0; // SDS: records the archive held already
    qint64 recordsLeftOut = 0;      // SDS: records with unreadable sectors or unusable codes
    QStringList leftOut;            // SDS: the records left out for what they are, and why
    bool notCopied = false;         // not begun: the card had stopped answering, or a stop
};

// How a batch is counted, the same by the command line and the window.
struct BatchCount
{
    int total = 0;       // files in the batch
    int ended = 0;       // copies that ended, well or not, before a stop or the card's end
    int complete = 0;    // copies that ended Complete
    int notComplete = 0; // begun and not Complete: incomplete, failed, stopped
    int notBegun = 0;    // not begun: the card had stopped answering, or a stop came
};

// What a batch did, in card order.
struct ExportSummary
{
    QList<ExportFileOutcome> files;
    QList<SdsDayFile> dayFiles;     // SDS: day files appended to, sorted by path
    qint64 recordsFiled = 0;
    qint64 recordsAlreadyThere = 0;
    qint64 recordsSplit = 0;        // SDS with midnight splitting: records split in two
    QString manifest;               // path of the manifest written; empty when it failed
    QualityReport report;           // the records this run read (quality.json, quality.txt)
    QStringList problems;           // what failed beside the copies (manifest, archive)
    bool cardStopped = false;       // the card stopped answering; later files not copied
    bool stopped = false;           // a stop was asked; later files not copied

    int count(ExportResult::Status status) const;
    // The batch's figures, for its summary.
    BatchCount count() const;
    // Every file complete, and the manifest and archive written.
    bool isComplete() const;
};

class ExportBatch
{
public:
    enum Layout {
        Files, // FILE.mseed and log in the folder
        Sds,   // records appended to FOLDER/YEAR/NET/STA/CHA.D/NET.STA.LOC.CHA.D.YEAR.DAY,
               // the log as FOLDER/log/log.YYYYMMDDTHHMMSSZ
    };

    // `folder` must exist for Files; an SDS archive creates what it needs.
    ExportBatch(Filesystem &card, const QString &folder, Layout layout, bool splitMidnight = false);

    // Called before each file with its index in the batch, the batch's size and its path.
    void setFileStarted(std::function<void(int index, int count, const QString &cardPath)> callback)
    {
        m_fileStarted = std::move(callback);
    }

    // Called after each file with how it went.
    void setFileFinished(std::function<void(const ExportFileOutcome &outcome)> callback)
    {
        m_fileFinished = std::move(callback);
    }

    // Copies `cardPaths` in order; `entries`, when given, are the same files as listed
    // (one per path), copied without looking their names up again. The log, in an SDS
    // export, goes last: its name comes from the export's first record.
    ExportSummary run(const QStringList &cardPaths, const QList<EntryInfo> &entries = {});

private:
    ExportSummary runBatch(const QStringList &cardPaths, const QList<EntryInfo> &entries);
    // Reads file `index` of the batch once into `sinks`; the sinks keep what they write.
    ExportResult copy(int index, const QList<CopySink *> &sinks);
    // Whether file `index` of the batch is the recorder's log.
    bool isLog(int index) const;

    Filesystem &m_card;
    QString m_folder;
    Layout m_layout;
    bool m_splitMidnight;
    QStringList m_paths;
    QList<EntryInfo> m_entries;
    std::function<void(int, int, const QString &)> m_fileStarted;
    std::function<void(const ExportFileOutcome &)> m_fileFinished;
};
