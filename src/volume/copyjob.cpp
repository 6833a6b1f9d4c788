#include "copyjob.h"
#include "carddevice.h"
#include "cardformat.h"
#include "platform.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <limits>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

ReadAhead::~ReadAhead()
{
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return !m_busy; });
        m_quit = true;
    }
    m_changed.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

bool ReadAhead::start(std::function<void()> task)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_busy)
            return false;
        m_busy = true;
        m_task = std::move(task);
        if (!m_thread.joinable())
            m_thread = std::thread([this] { work(); });
    }
    m_changed.notify_all();
    return true;
}

void ReadAhead::wait()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return !m_task; });
    m_busy = false;
    lock.unlock();
    m_changed.notify_all();
}

void ReadAhead::work()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_quit || m_task; });
        if (!m_task)
            return;
        const std::function<void()> task = m_task;
        lock.unlock();
        task();
        lock.lock();
        m_task = nullptr;
        m_changed.notify_all();
    }
}

struct CopyJob::Chunk
{
    char *data = nullptr;
    qint64 length = 0;           // bytes usable from data
    qint64 firstSector = 0;      // index in the file of data[0]
    QVector<qint64> unreadable;  // zero-filled sectors, indices in the file
    bool last = false;           // nothing follows this chunk
    bool ended = false;          // the card ends in or right after it
    bool gone = false;           // the card stopped answering
    bool stopped = false;        // a stop request came while it was read
    QString reason;              // why the card counts as gone

    void reset(qint64 first)
    {
        length = 0;
        firstSector = first;
        unreadable.clear();
        last = ended = gone = stopped = false;
        reason.clear();
    }
};

CopyJob::CopyJob(CardDevice &device, const CopySource &source, const QList<CopySink *> &sinks)
    : m_device(device), m_source(source), m_sinks(sinks)
{
}

bool CopyJob::stopRequested() const
{
    return m_stop.stopRequested();
}

void CopyJob::readChunk(qint64 firstSector, Chunk &chunk, int *failureRun)
{
    chunk.reset(firstSector);
    const qint64 count = m_source.sectorCount;
    const qint64 want = qMin(ChunkSectors, count - firstSector);
    if (stopRequested()) {
        chunk.stopped = chunk.last = true;
        return;
    }
    const SectorRead read = m_device.readSectors(m_source.firstCardSector + quint64(firstSector), want, chunk.data);
    if (read.outcome == SectorRead::Read) {
        chunk.length = want * Card::SectorSize;
        *failureRun = 0;
    } else if (read.outcome == SectorRead::EndOfCard) {
        chunk.length = read.bytes;
        chunk.ended = true;
        if (read.bytes > 0)
            *failureRun = 0;
    } else if (isCardGoneError(read.error)) {
        chunk.gone = true;
        chunk.reason = systemError(read.error);
    } else {
        // Some sector of the chunk cannot be read: go sector by sector, so that only the
        // bad ones are lost. Each becomes 512 zero bytes and every later sector keeps its
        // offset in the file.
        for (qint64 i = 0; i < want; ++i) {
            if (stopRequested()) {
                chunk.stopped = true;
                break;
            }
            char *sector = chunk.data + i * Card::SectorSize;
            const SectorRead one = m_device.readSectors(m_source.firstCardSector + quint64(firstSector + i), 1, sector);
            if (one.outcome == SectorRead::Read) {
                chunk.length += Card::SectorSize;
                *failureRun = 0;
                continue;
            }
            if (one.outcome == SectorRead::EndOfCard) {
                chunk.length += one.bytes;
                chunk.ended = true;
                break;
            }
            if (isCardGoneError(one.error)) {
                chunk.gone = true;
                chunk.reason = systemError(one.error);
                break;
            }
            std::fill_n(sector, Card::SectorSize, '\0');
            chunk.unreadable.append(firstSector + i);
            chunk.length += Card::SectorSize;
            if (++*failureRun >= StoppedRun) {
                // Keep what was read before the run began, not a tail of zeros.
                chunk.gone = true;
                chunk.reason = QStringLiteral("%1 sectors in a row could not be read (%2)")
                                   .arg(StoppedRun)
                                   .arg(systemError(one.error));
                const qint64 runStart = qMax<qint64>(firstSector, firstSector + i + 1 - *failureRun);
                chunk.length = (runStart - firstSector) * Card::SectorSize;
                chunk.unreadable.erase(std::remove_if(chunk.unreadable.begin(), chunk.unreadable.end(),
                                                      [runStart](qint64 s) { return s >= runStart; }),
                                       chunk.unreadable.end());
                break;
            }
        }
    }
    chunk.last = chunk.ended || chunk.gone || chunk.stopped || firstSector + want >= count;
}

bool CopyJob::consume(const Chunk &chunk, qint64 *emitted, int total, QString *error)
{
    if (chunk.length <= 0)
        return true;
    SectorChunk piece;
    piece.data = chunk.data;
    piece.length = chunk.length;
    piece.firstSector = chunk.firstSector;
    piece.unreadable = chunk.unreadable;
    for (CopySink *sink : std::as_const(m_sinks)) {
        if (const Status consumed = sink->consume(piece); !consumed) {
            *error = consumed.message;
            return false;
        }
    }
    // One report per sector handed on; a sector cut short by the card's end counts.
    const qint64 sectors = (chunk.length + Card::SectorSize - 1) / Card::SectorSize;
    if (m_progress) {
        for (qint64 i = 0; i < sectors; ++i)
            m_progress(int(qMin<qint64>(*emitted + i, total - 1)), total);
    }
    *emitted += sectors;
    return true;
}

CopyResult CopyJob::run()
{
    CopyResult result;
    const qint64 count = m_source.sectorCount;
    // Progress carries ints; a corrupt record may claim more sectors than that.
    const int total = int(qBound<qint64>(std::numeric_limits<int>::min(), count,
                                         qint64(std::numeric_limits<int>::max())));

    QList<CopySink *> begun;
    // The first failure to finish that says why is the copy's.
    const auto finishAll = [&](CopyEnd end) {
        Status failure;
        for (CopySink *sink : std::as_const(begun)) {
            const Status finished = sink->finish(end);
            if (!finished && failure.ok() && !finished.message.isEmpty())
                failure = finished;
        }
        return failure;
    };
    for (CopySink *sink : std::as_const(m_sinks)) {
        if (const Status started = sink->begin(m_source); !started) {
            result.message = started.message;
            finishAll(CopyEnd::Failed);
            return result;
        }
        begun.append(sink);
    }

    bool stopped = false;
    bool sinkFailed = false;
    bool gone = false;
    QString goneReason;
    qint64 emitted = 0;
    const auto take = [&](const Chunk &chunk) {
        // Checked between chunks: a chunk read ahead is dropped once a stop is asked.
        if (chunk.stopped || stopRequested()) {
            stopped = true;
            return false;
        }
        if (!consume(chunk, &emitted, total, &result.message)) {
            sinkFailed = true;
            return false;
        }
        result.bytesCopied += chunk.length;
        result.sectorsReplaced += chunk.unreadable.size();
        result.cardEnded = result.cardEnded || chunk.ended;
        if (chunk.gone) {
            gone = true;
            goneReason = chunk.reason;
        }
        return !chunk.last;
    };

    const qint64 chunkCount = count > 0 ? (count + ChunkSectors - 1) / ChunkSectors : 0;
    if (chunkCount == 1) {
        // Most files on a card are a few sectors: no thread for them.
        AlignedBuffer buffer(count * Card::SectorSize);
        Chunk chunk;
        chunk.data = buffer.data();
        int run = 0;
        if (!chunk.data) {
            result.message = QStringLiteral("out of memory");
            sinkFailed = true;
        } else {
            readChunk(0, chunk, &run);
            take(chunk);
        }
    } else if (chunkCount > 1) {
        // The reader fills the ring ahead of the sinks; each side waits only when the
        // ring is full or empty, so reading and consuming overlap.
        std::vector<std::unique_ptr<AlignedBuffer>> buffers;
        Chunk chunks[RingSize];
        for (int i = 0; i < RingSize; ++i) {
            buffers.push_back(std::make_unique<AlignedBuffer>(ChunkSectors * Card::SectorSize));
            chunks[i].data = buffers.back()->data();
            if (!chunks[i].data) {
                result.message = QStringLiteral("out of memory");
                sinkFailed = true;
            }
        }
        std::mutex mutex;
        std::condition_variable changed;
        qint64 produced = 0;
        qint64 consumed = 0;
        bool abandon = sinkFailed;
        const auto readAll = [&] {
            int run = 0;
            for (qint64 i = 0; i < chunkCount; ++i) {
                {
                    std::unique_lock<std::mutex> lock(mutex);
                    changed.wait(lock, [&] { return abandon || i - consumed < RingSize; });
                    if (abandon)
                        return;
                }
                Chunk &chunk = chunks[i % RingSize];
                readChunk(i * ChunkSectors, chunk, &run);
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    produced = i + 1;
                }
                changed.notify_all();
                if (chunk.last)
                    return;
            }
        };
        std::unique_ptr<ReadAhead> own;
        ReadAhead *reader = m_readAhead;
        if (!reader || !reader->start(readAll)) {
            own = std::make_unique<ReadAhead>();
            reader = own.get();
            reader->start(readAll);
        }
        for (qint64 i = 0; !sinkFailed; ++i) {
            {
                std::unique_lock<std::mutex> lock(mutex);
                changed.wait(lock, [&] { return produced > i; });
            }
            const bool more = take(chunks[i % RingSize]);
            // A reader deep in a sector-by-sector retry learns of the end between sectors.
            if (!more)
                m_stop.requestStop();
            {
                std::lock_guard<std::mutex> lock(mutex);
                consumed = i + 1;
                abandon = !more;
            }
            changed.notify_all();
            if (!more)
                break;
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            abandon = true;
        }
        changed.notify_all();
        reader->wait();
    }

    const qint64 expected = qMax<qint64>(0, count) * Card::SectorSize;
    CopyEnd end = CopyEnd::Complete;
    if (stopped) {
        end = CopyEnd::Stopped;
        result.message = QStringLiteral("stopped before the copy was complete");
    } else if (sinkFailed) {
        end = CopyEnd::Failed;
    } else if (gone) {
        result.cardStopped = true;
        end = result.bytesCopied > 0 ? CopyEnd::Incomplete : CopyEnd::Failed;
        result.message = QStringLiteral("the card stopped answering after %1 of %2 bytes: %3")
                             .arg(result.bytesCopied)
                             .arg(expected)
                             .arg(goneReason);
    } else if (result.cardEnded) {
        // Not one byte: no copy at all, rather than an empty file that looks like one.
        if (result.bytesCopied == 0) {
            end = CopyEnd::Failed;
            result.message = QStringLiteral("%1 lies beyond the end of the card (it begins at sector %2)")
                                 .arg(m_source.cardPath)
                                 .arg(m_source.firstCardSector);
        } else {
            end = CopyEnd::Incomplete;
            result.message = QStringLiteral("the card ends after %1 of %2 bytes").arg(result.bytesCopied).arg(expected);
        }
    } else if (result.sectorsReplaced > 0) {
        end = CopyEnd::Incomplete;
        result.message = QStringLiteral("%1 unreadable sectors written as zeros").arg(result.sectorsReplaced);
    }

    const Status failure = finishAll(end);
    if (!failure && (end == CopyEnd::Complete || end == CopyEnd::Incomplete)) {
        end = CopyEnd::Failed;
        result.message = failure.message;
    }
    result.end = end;
    if (end == CopyEnd::Complete || end == CopyEnd::Incomplete) {
        // After the sinks finished: whoever starts the next copy finds this one in place.
        if (m_progress)
            m_progress(total, total);
    } else {
        result.bytesCopied = 0;
    }
    return result;
}
