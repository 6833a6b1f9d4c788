#include "backgroundsink.h"

#include <cstring>

BackgroundSink::BackgroundSink(CopySink &inner, int parcels)
    : m_inner(inner)
    , m_capacity(size_t(qMax(1, parcels)))
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

Status BackgroundSink::gather(Item &&item, qint64 bytes)
{
    item.file = m_file;
    m_parcel.push_back(std::move(item));
    m_parcelBytes += bytes;
    if (m_parcelBytes >= ParcelBytes || int(m_parcel.size()) >= ParcelCalls)
        handOver();
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_failedFile != m_file ? Status() : m_failure;
}

void BackgroundSink::handOver()
{
    if (m_parcel.empty())
        return;
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_queue.size() < m_capacity; });
    m_queue.push_back(std::move(m_parcel));
    lock.unlock();
    m_changed.notify_all();
    m_parcel = Parcel();
    m_parcel.reserve(ParcelCalls);
    m_parcelBytes = 0;
}

Status BackgroundSink::begin(const CopySource &source)
{
    ++m_file;
    m_tagBegun = true;
    Item item;
    item.kind = Kind::Begin;
    item.tag = m_tag;
    item.source = source;
    return gather(std::move(item), 0);
}

Status BackgroundSink::consume(const SectorChunk &chunk)
{
    Item item;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_spare.empty()) {
            item.data = std::move(m_spare.back());
            m_spare.pop_back();
        }
    }
    // Copied outside the lock, so that the thread goes on with the parcel before. Kept at
    // a 4 KiB boundary, as the card's own chunks are: a writer behind this may then send
    // it to the disk past the page cache.
    constexpr qint64 Boundary = 4096;
    item.data.resize(qsizetype(chunk.length + Boundary));
    const quintptr at = reinterpret_cast<quintptr>(item.data.data());
    item.offset = qint64((Boundary - at % Boundary) % Boundary);
    item.length = chunk.length;
    std::memcpy(item.data.data() + item.offset, chunk.data, size_t(chunk.length));
    item.firstSector = chunk.firstSector;
    item.unreadable = chunk.unreadable;
    return gather(std::move(item), chunk.length);
}

Status BackgroundSink::finish(CopyEnd end)
{
    Item item;
    item.kind = Kind::Finish;
    item.end = end;
    return gather(std::move(item), 0);
}

std::vector<BackgroundSink::Taken> BackgroundSink::takeTaken()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<Taken> taken;
    taken.swap(m_taken);
    return taken;
}

void BackgroundSink::drain()
{
    handOver();
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
        Parcel parcel = std::move(m_queue.front());
        m_queue.pop_front();
        m_busy = true;
        int failedFile = m_failedFile;
        lock.unlock();
        m_changed.notify_all(); // room in the queue
        Status failure;
        std::vector<QByteArray> spare;
        std::vector<Taken> taken;
        for (Item &item : parcel) {
            if (item.kind == Kind::Begin)
                m_current = Taken{item.tag, item.source.outputName, QString()};
            // A file the inner sink refused gets no more chunks, but still its finish().
            Status status;
            if (item.kind == Kind::Begin) {
                status = m_inner.begin(item.source);
            } else if (item.kind == Kind::Finish) {
                status = m_inner.finish(item.end);
            } else if (failedFile != item.file) {
                SectorChunk chunk;
                chunk.data = item.data.constData() + item.offset;
                chunk.length = item.length;
                chunk.firstSector = item.firstSector;
                chunk.unreadable = item.unreadable;
                status = m_inner.consume(chunk);
            }
            if (!status && failedFile != item.file) {
                failedFile = item.file;
                failure = status;
                m_current.refusal = status.message;
            }
            if (item.kind == Kind::Finish && m_current.tag >= 0) {
                taken.push_back(std::move(m_current));
                m_current = Taken();
            }
            if (item.kind == Kind::Chunk)
                spare.push_back(std::move(item.data));
        }
        lock.lock();
        m_busy = false;
        for (Taken &file : taken)
            m_taken.push_back(std::move(file));
        if (failedFile != m_failedFile) {
            m_failedFile = failedFile;
            m_failure = failure;
        }
        // A parcel of many small chunks leaves as many small buffers: a few are enough.
        for (QByteArray &buffer : spare) {
            if (m_spare.size() >= 2 * size_t(ParcelCalls))
                break;
            m_spare.push_back(std::move(buffer));
        }
        m_changed.notify_all();
    }
}
