// Copy sinks of the archive export and of verify: records into SDS day files, a card file
// compared with its copy on disk, and a copy kept under a name of the caller's choosing.
#pragma once

#include "copysink.h"
#include "sdsarchive.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

struct MSRecord_s;

// Files the records of each card file into an SdsArchive. The records of one card file
// stand or fall together: a copy that ends Complete or Incomplete commits them, a Failed
// or Stopped one takes them back. Records come either from the sink's own scan of the
// chunks (records begin on sector boundaries, as the recorder writes them) or, when a
// record parser sees the same chunks, through addRecord().
class SdsSink : public CopySink
{
public:
    // With `scanChunks` false, records arrive through addRecord() only.
    explicit SdsSink(SdsArchive &archive, bool scanChunks = true);

    bool begin(const CopySource &source) override;
    bool consume(const SectorChunk &chunk) override;
    bool finish(CopyEnd end) override;
    QString errorString() const override { return m_error; }

    // One record of the file under way, `offset` its byte offset in the file. A record
    // that holds an unreadable sector is not filed: its zeros are not the recorder's.
    void addRecord(const char *raw, int length, qint64 offset, const MSRecord_s *parsed = nullptr);

    // Of the last file: records filed (new), already in the archive, and left out
    // (unreadable, or codes that cannot name a file).
    qint64 recordsFiled() const { return m_filed; }
    qint64 recordsAlreadyThere() const { return m_alreadyThere; }
    qint64 recordsLeftOut() const { return m_leftOut; }

private:
    qint64 scan(const char *data, qint64 length, bool atEnd);

    SdsArchive &m_archive;
    bool m_scanChunks;
    QByteArray m_pending;         // bytes from m_offset on that may hold the start of a record
    qint64 m_offset = 0;          // byte offset in the file of m_pending's first byte
    QVector<qint64> m_unreadable; // sector indices in the file, ascending
    qint64 m_filed = 0;
    qint64 m_alreadyThere = 0;
    qint64 m_leftOut = 0;
    bool m_failed = false;
    QString m_error;
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

    bool begin(const CopySource &source) override;
    bool consume(const SectorChunk &chunk) override;
    bool finish(CopyEnd end) override;

    // Of the last file compared; detail() names the first difference.
    Verdict verdict() const { return m_verdict; }
    QString detail() const { return m_detail; }
    QString localPath() const { return m_path; }

private:
    QString m_folder;
    QString m_path;
    int m_fd = -1;
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

    bool begin(const CopySource &source) override
    {
        CopySource renamed = source;
        renamed.outputName = m_name;
        return m_inner.begin(renamed);
    }
    bool consume(const SectorChunk &chunk) override { return m_inner.consume(chunk); }
    bool finish(CopyEnd end) override { return m_inner.finish(end); }
    QString errorString() const override { return m_inner.errorString(); }

private:
    CopySink &m_inner;
    QString m_name;
};

// Runs other sinks on a thread of their own, so that hashing and writing a copy overlap
// with parsing its records: each chunk is copied into one of a few buffers (memory stays
// at Depth chunks) and handed on in order. begin() and finish() run the inner sinks on
// the calling thread, once every chunk before has been taken. An inner sink that fails
// fails the copy at the next consume() or at finish().
class BackgroundSinks : public CopySink
{
public:
    static constexpr int Depth = 4;

    explicit BackgroundSinks(const QList<CopySink *> &sinks);
    ~BackgroundSinks() override;
    BackgroundSinks(const BackgroundSinks &) = delete;
    BackgroundSinks &operator=(const BackgroundSinks &) = delete;

    bool begin(const CopySource &source) override;
    bool consume(const SectorChunk &chunk) override;
    bool finish(CopyEnd end) override;
    QString errorString() const override;

private:
    struct Slot
    {
        QByteArray data;
        SectorChunk chunk;
    };

    void work();
    void waitIdle(std::unique_lock<std::mutex> &lock);

    QList<CopySink *> m_sinks;
    Slot m_slots[Depth];
    std::deque<int> m_queue; // slots to consume, in order
    std::deque<int> m_free;
    bool m_busy = false;     // the worker holds a slot
    bool m_quit = false;
    bool m_failed = false;
    QString m_error;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::thread m_worker;
};
