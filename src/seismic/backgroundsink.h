// A sink run on a thread of its own. A copy hands its chunks to its sinks one after the
// other on one thread; wrapped in this, a slow sink (the record check, a hash) takes its
// chunks beside the destination writer instead of after it. consume() copies the chunk
// into one of a few buffers and returns; the thread hands the buffers on in order.
// Memory stays at `buffers` chunks.
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
    // `inner` must outlive this. Its consume() runs on the background thread; its
    // begin() and finish() on the caller's, once every chunk before them was consumed.
    explicit BackgroundSink(CopySink &inner, int buffers = 3);
    ~BackgroundSink() override;
    BackgroundSink(const BackgroundSink &) = delete;
    BackgroundSink &operator=(const BackgroundSink &) = delete;

    bool begin(const CopySource &source) override;
    // False once the inner sink has refused a chunk (possibly an earlier one).
    bool consume(const SectorChunk &chunk) override;
    bool finish(CopyEnd end) override;
    QString errorString() const override;

private:
    struct Item
    {
        QByteArray data;
        qint64 firstSector = 0;
        QVector<qint64> unreadable;
    };

    void work();
    void waitIdle(std::unique_lock<std::mutex> &lock);

    CopySink &m_inner;
    const size_t m_capacity;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Item> m_queue;
    std::vector<QByteArray> m_spare; // buffers to reuse, so that no chunk costs an allocation
    bool m_busy = false;
    bool m_failed = false;
    bool m_quit = false;
    std::thread m_thread;
};
