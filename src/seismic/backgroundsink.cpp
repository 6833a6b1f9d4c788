#include "backgroundsink.h"

#include <cstring>

BackgroundSink::BackgroundSink(CopySink &inner, int buffers)
    : m_inner(inner)
    , m_capacity(size_t(qMax(1, buffers)))
    , m_thread([this] { work(); })
{
}

BackgroundSink::~BackgroundSink()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_quit = true;
    }
    m_changed.notify_all();
    m_thread.join();
}

void BackgroundSink::waitIdle(std::unique_lock<std::mutex> &lock)
{
    m_changed.wait(lock, [this] { return m_queue.empty() && !m_busy; });
}

bool BackgroundSink::begin(const CopySource &source)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    waitIdle(lock);
    m_failed = false;
    return m_inner.begin(source);
}

bool BackgroundSink::consume(const SectorChunk &chunk)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_queue.size() < m_capacity || m_failed; });
    if (m_failed)
        return false;
    Item item;
    if (!m_spare.empty()) {
        item.data = std::move(m_spare.back());
        m_spare.pop_back();
    }
    lock.unlock();
    // The copy goes on outside the lock, so that the thread can take the chunk before.
    item.data.resize(qsizetype(chunk.length));
    std::memcpy(item.data.data(), chunk.data, size_t(chunk.length));
    item.firstSector = chunk.firstSector;
    item.unreadable = chunk.unreadable;
    lock.lock();
    m_queue.push_back(std::move(item));
    lock.unlock();
    m_changed.notify_all();
    return true;
}

bool BackgroundSink::finish(CopyEnd end)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    waitIdle(lock);
    const bool ok = m_inner.finish(end) && !m_failed;
    m_failed = false;
    return ok;
}

QString BackgroundSink::errorString() const
{
    return m_inner.errorString();
}

void BackgroundSink::work()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_quit || !m_queue.empty(); });
        if (m_queue.empty())
            return; // quit, with nothing left to hand on
        Item item = std::move(m_queue.front());
        m_queue.pop_front();
        m_busy = true;
        const bool skip = m_failed;
        lock.unlock();
        bool ok = true;
        if (!skip) {
            SectorChunk chunk;
            chunk.data = item.data.constData();
            chunk.length = item.data.size();
            chunk.firstSector = item.firstSector;
            chunk.unreadable = item.unreadable;
            ok = m_inner.consume(chunk);
        }
        lock.lock();
        m_busy = false;
        if (!ok)
            m_failed = true;
        m_spare.push_back(std::move(item.data));
        m_changed.notify_all();
    }
}
