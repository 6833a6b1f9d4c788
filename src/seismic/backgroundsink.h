// A sink run on a thread of its own. A copy hands its chunks to its sinks one after the
// other on one thread; wrapped in this, a slow sink (the record check, a hash) takes its
// chunks beside the destination writer instead of after it. begin(), consume() and
// finish() only gather their call (a chunk is copied into a buffer of its own) and
// return; the thread makes the calls on the inner sink in the same order. Calls are
// handed over in parcels: a parcel goes once it holds a large chunk's worth of bytes or
// many calls, so that a run of small files costs one thread handover for dozens of files
// rather than three for each. The caller waits only while the parcels queued are many.
// Memory stays at `parcels` parcels of about a chunk each.
#pragma once

#include "copysink.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

class BackgroundSink : public CopySink
{
public:
    // Bytes, and calls, after which a parcel is handed over.
    static constexpr qint64 ParcelBytes = 512 * 1024;
    static constexpr int ParcelCalls = 256;

    // `inner` must outlive this; all its calls are made on the background thread.
    explicit BackgroundSink(CopySink &inner, int parcels = 4);
    // Waits for the calls gathered, then ends the thread.
    ~BackgroundSink() override;
    BackgroundSink(const BackgroundSink &) = delete;
    BackgroundSink &operator=(const BackgroundSink &) = delete;

    // The three return the inner sink's failure once it has refused a call of the current
    // file (an earlier one, as the calls are handed on later).
    Status begin(const CopySource &source) override;
    Status consume(const SectorChunk &chunk) override;
    Status finish(CopyEnd end) override;

    // Hands on what is gathered and waits until the inner sink has taken every call:
    // before its results are read.
    void drain();

    // A file whose calls the inner sink has all taken: the tag it began under, the name
    // it was to be written as, and why the inner sink refused it (empty: it did not).
    struct Taken
    {
        int tag = -1;
        QString outputName;
        QString refusal;
    };
    // Tags the files begun from now on; only tagged files are told by takeTaken(). A
    // caller that hands each file's outcome on once it is written tells its files apart
    // by their tags.
    void setTag(int tag)
    {
        m_tag = tag;
        m_tagBegun = false;
    }
    // Whether a file began since setTag(): one that did not has nothing to wait for.
    bool tagBegun() const { return m_tagBegun; }
    // The tagged files taken since the last call, in the order they began.
    std::vector<Taken> takeTaken();

private:
    enum class Kind { Begin, Chunk, Finish };
    struct Item
    {
        Kind kind = Kind::Chunk;
        int file = 0;
        int tag = -1;
        CopySource source;
        QByteArray data;
        qint64 offset = 0, length = 0; // of the chunk in `data`, at a 4 KiB boundary
        qint64 firstSector = 0;
        QVector<qint64> unreadable;
        CopyEnd end = CopyEnd::Complete;
    };
    using Parcel = std::vector<Item>;

    Status gather(Item &&item, qint64 bytes);
    void handOver();
    void work();

    CopySink &m_inner;
    const size_t m_capacity;
    // The caller's side, touched by the caller only.
    Parcel m_parcel;
    qint64 m_parcelBytes = 0;
    int m_file = 0; // files begun by the caller
    int m_tag = -1;
    bool m_tagBegun = false;
    // Shared with the thread under m_mutex.
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Parcel> m_queue;
    std::vector<QByteArray> m_spare; // chunk buffers to reuse, so that no chunk costs an allocation
    int m_failedFile = -1;           // the file whose call the inner sink refused
    Status m_failure;                // why it refused
    std::vector<Taken> m_taken;
    Taken m_current; // the file the thread is in; touched by the thread only
    bool m_busy = false;
    bool m_quit = false;
    std::thread m_thread;
};
