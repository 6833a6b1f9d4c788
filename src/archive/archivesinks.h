// Copy sinks of the archive export and of verify: records into SDS day files, a card file
// compared with its copy on disk, and a copy kept under a name of the caller's choosing.
#pragma once

#include "copysink.h"
#include "platform.h"
#include "sdsarchive.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QVector>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

struct MSRecord_s;
class RecordScanner;

// Files the records of each card file into an SdsArchive. The records of one card file
// stand or fall together: a copy that ends Complete or Incomplete commits them, a Failed
// or Stopped one takes them back. Records come from the record scanner, which the sink
// runs on the same chunks, so that the quality report and the archive share one search;
// they are filed on a thread of their own while the scanner decodes the next chunk's.
class SdsSink : public CopySink
{
public:
    // `scanner` is begun, fed and finished by this sink and hands it its records; both
    // must outlive the sink.
    SdsSink(SdsArchive &archive, RecordScanner &scanner);
    ~SdsSink() override;
    SdsSink(const SdsSink &) = delete;
    SdsSink &operator=(const SdsSink &) = delete;

    Status begin(const CopySource &source) override;
    Status consume(const SectorChunk &chunk) override;
    Status finish(CopyEnd end) override;

    // Also shown every record handed on to be filed, as the scanner parsed it, on the
    // copy's thread: for the caller's own per-file counts.
    void setRecordObserver(std::function<void(const char *raw, int length, const MSRecord_s *msr)> observer)
    {
        m_observer = std::move(observer);
    }

    // Of the last file: records filed (new), already in the archive, and left out (a
    // record holding an unreadable sector, whose zeros are not the recorder's, or codes
    // that cannot name a file).
    qint64 recordsFiled() const { return m_filed; }
    qint64 recordsAlreadyThere() const { return m_alreadyThere; }
    qint64 recordsLeftOut() const { return m_leftOut + m_refused + m_unreadableRecords; }
    // Of the last file: each record left out for what it is (a bad record, codes that
    // cannot name a file), with its card sector and the reason.
    QStringList leftOutReasons() const;

private:
    // Records gathered from one chunk, filed together by the filing thread.
    struct Batch
    {
        QByteArray bytes;
        QVector<int> lengths;
        QVector<quint64> sectors; // card sector of each record
    };

    bool holdsUnreadable(qint64 offset, int length) const;
    void file(const char *raw, int length, quint64 cardSector);
    // Counts a record the archive will not hold and names it, up to a bound.
    void leaveOut(quint64 cardSector, const QString &reason);
    void handOn();
    void waitIdle(std::unique_lock<std::mutex> &lock);
    void work();

    SdsArchive &m_archive;
    RecordScanner &m_scanner;
    std::function<void(const char *, int, const MSRecord_s *)> m_observer;
    quint64 m_firstCardSector = 0;
    QVector<qint64> m_unreadable; // sector indices in the file, ascending
    qint64 m_filed = 0;
    qint64 m_alreadyThere = 0;
    qint64 m_leftOut = 0;
    qint64 m_refused = 0; // for a day file that is refused; named once with its count
    qint64 m_unreadableRecords = 0;
    QStringList m_leftOutReasons;
    Status m_failure; // of the current file: why its records cannot stand

    // The filing thread; m_failure is shared with it
    // under m_mutex, the counters are read once it is idle.
    Batch m_batch;
    std::deque<Batch> m_queue;
    bool m_busy = false;
    bool m_quit = false;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::thread m_worker;
};

// Compares a card file, as it streams past, with a file on disk: byte for byte and in
// length. Reads the disk file only; never writes.
class CompareSink : public CopySink
{
public:
    enum Verdict {
        Same,
        Differs,  // a byte differs, or the lengths do
        Missing,  // no file of that name in the folder
        Unreadable, // the file on disk cannot be read; detail() says why
    };

    // Compares each source with `folder` + "/" + its outputName.
    explicit CompareSink(const QString &folder);
    ~CompareSink() override;

    // A file that cannot be compared (missing, unreadable) is refused before the card is
    // read, without words: verdict() and detail() say why.
    Status begin(const CopySource &source) override;
    Status consume(const SectorChunk &chunk) override;
    Status finish(CopyEnd end) override;

    // Of the last file compared; detail() names the first difference.
    Verdict verdict() const { return m_verdict; }
    QString detail() const { return m_detail; }
    QString localPath() const { return m_path; }

private:
    QString m_folder;
    QString m_path;
    OpenFile m_file;
    qint64 m_offset = 0;
    Verdict m_verdict = Missing;
    QString m_detail;
    QByteArray m_buffer;
};

// Passes every call on to another sink, with the source's output name replaced: the
// card's log filed as "log.20230314T092549Z" by an ordinary destination writer.
class RenamingSink : public CopySink
{
public:
    RenamingSink(CopySink &inner, const QString &outputName)
        : m_inner(inner)
        , m_name(outputName)
    {
    }

    Status begin(const CopySource &source) override
    {
        CopySource renamed = source;
        renamed.outputName = m_name;
        return m_inner.begin(renamed);
    }
    Status consume(const SectorChunk &chunk) override { return m_inner.consume(chunk); }
    Status finish(CopyEnd end) override { return m_inner.finish(end); }

private:
    CopySink &m_inner;
    QString m_name;
};
