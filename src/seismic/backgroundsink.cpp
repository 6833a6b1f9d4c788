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
    drain();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_quit = true;
    }
    m_changed.notify_all();
    m_thread.join();
}

bool BackgroundSink::push(Item &&item)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_queue.size() < m_capacity; });
    item.file = m_file;
    m_queue.push_back(std::move(item));
    const bool ok = m_failedFile != m_file;
    lock.unlock();
    m_changed.notify_all();
    return ok;
}

bool BackgroundSink::begin(const CopySource &source)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_file;
    }
    Item item;
    item.kind = Kind::Begin;
    item.source = source;
    return push(std::move(item));
}

bool BackgroundSink::consume(const SectorChunk &chunk)
{
    Item item;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_spare.empty()) {
            item.data = std::move(m_spare.back());
            m_spare.pop_back();
        }
    }
    // Copied outside the lock, so that the thread goes on with the chunk before.
    item.data.resize(qsizetype(chunk.length));
    std::memcpy(item.data.data(), chunk.data, size_t(chunk.length));
    item.firstSector = chunk.firstSector;
    item.unreadable = chunk.unreadable;
    return push(std::move(item));
}

bool BackgroundSink::finish(CopyEnd end)
{
    Item item;
    item.kind = Kind::Finish;
    item.end = end;
    return push(std::move(item));
}

QString BackgroundSink::errorString() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_error;
}

void BackgroundSink::drain()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_queue.empty() && !m_busy; });
}

void BackgroundSink::work()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_quit || !m_queue.empty(); });
        if (m_queue.empty())
            return; // asked to quit, and nothing left to hand on
        Item item = std::move(m_queue.front());
        m_queue.pop_front();
        m_busy = true;
        // A file the inner sink refused gets no more chunks, but still its finish().
        const bool skip = m_failedFile == item.file && item.kind == Kind::Chunk;
        lock.unlock();
        m_changed.notify_all(); // room in the queue
        bool ok = true;
        if (!skip) {
            switch (item.kind) {
            case Kind::Begin:
                ok = m_inner.begin(item.source);
                break;
            case Kind::Chunk: {
                SectorChunk chunk;
                chunk.data = item.data.constData();
                chunk.length = item.data.size();
                chunk.firstSector = item.firstSector;
                chunk.unreadable = item.unreadable;
                ok = m_inner.consume(chunk);
                break;
            }
            case Kind::Finish:
                ok = m_inner.finish(item.end);
                break;
            }
        }
        const QString error = ok ? QString() : m_inner.errorString();
        lock.lock();
        m_busy = false;
        if (!ok && m_failedFile != item.file) {
            m_failedFile = item.file;
            m_error = error;
        }
        if (item.kind == Kind::Chunk)
            m_spare.push_back(std::move(item.data));
        m_changed.notify_all();
    }
}
