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

    // The three return false once the inner sink has refused a call of the current file
    // (an earlier one, as the calls are handed on later); errorString() then says why.
    bool begin(const CopySource &source) override;
    bool consume(const SectorChunk &chunk) override;
    bool finish(CopyEnd end) override;
    QString errorString() const override;

    // Hands on what is gathered and waits until the inner sink has taken every call:
    // before its results are read.
    void drain();

private:
    enum class Kind { Begin, Chunk, Finish };
    struct Item
    {
        Kind kind = Kind::Chunk;
        int file = 0;
        CopySource source;
        QByteArray data;
        qint64 offset = 0, length = 0; // of the chunk in `data`, at a 4 KiB boundary
        qint64 firstSector = 0;
        QVector<qint64> unreadable;
        CopyEnd end = CopyEnd::Complete;
    };
    using Parcel = std::vector<Item>;

    bool gather(Item &&item, qint64 bytes);
    void handOver();
    void work();

    CopySink &m_inner;
    const size_t m_capacity;
    // The caller's side, touched by the caller only.
    Parcel m_parcel;
    qint64 m_parcelBytes = 0;
    int m_file = 0; // files begun by the caller
    // Shared with the thread under m_mutex.
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Parcel> m_queue;
    std::vector<QByteArray> m_spare; // chunk buffers to reuse, so that no chunk costs an allocation
    int m_failedFile = -1;           // the file whose call the inner sink refused
    QString m_error;
    bool m_busy = false;
    bool m_quit = false;
    std::thread m_thread;
};
