// A sink run on a thread of its own. A copy hands its chunks to its sinks one after the
// other on one thread; wrapped in this, a slow sink (the record check, a hash) takes its
// chunks beside the destination writer instead of after it. begin(), consume() and
// finish() only queue their call (a chunk is copied into one of a few buffers) and
// return; the thread makes the calls on the inner sink in the same order. The caller
// waits only while the queue is full, never once per file, so a run of many small files
// does not pay a thread handover for each. Memory stays at `buffers` chunks.
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
    // `inner` must outlive this; all its calls are made on the background thread.
    explicit BackgroundSink(CopySink &inner, int buffers = 4);
    // Waits for the queued calls, then ends the thread.
    ~BackgroundSink() override;
    BackgroundSink(const BackgroundSink &) = delete;
    BackgroundSink &operator=(const BackgroundSink &) = delete;

    // The three return false once the inner sink has refused a call of the current file
    // (an earlier one, as the calls are queued); errorString() then says why.
    bool begin(const CopySource &source) override;
    bool consume(const SectorChunk &chunk) override;
    bool finish(CopyEnd end) override;
    QString errorString() const override;

    // Waits until the inner sink has taken every queued call: before its results are read.
    void drain();

private:
    enum class Kind { Begin, Chunk, Finish };
    struct Item
    {
        Kind kind = Kind::Chunk;
        int file = 0;
        CopySource source;
        QByteArray data;
        qint64 firstSector = 0;
        QVector<qint64> unreadable;
        CopyEnd end = CopyEnd::Complete;
    };

    bool push(Item &&item);
    void work();

    CopySink &m_inner;
    const size_t m_capacity;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Item> m_queue;
    std::vector<QByteArray> m_spare; // chunk buffers to reuse, so that no chunk costs an allocation
    int m_file = 0;                  // files begun by the caller
    int m_failedFile = -1;           // the file whose call the inner sink refused
    QString m_error;
    bool m_busy = false;
    bool m_quit = false;
    std::thread m_thread;
};
