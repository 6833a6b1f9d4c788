#include "archivesinks.h"
#include "platform.h"
#include "recordscanner.h"

#include <QDir>
#include <QFile>

#include <libmseed.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr qint64 SectorSize = 512;

QString systemReason(int error)
{
    return systemErrorText(error);
}

} // namespace

namespace {
// Chunks' worth of records waiting to be filed: a bound on memory, and enough to absorb
// a day file's write.
constexpr size_t BatchesQueued = 4;
// Records left out that a file's failure lines name one by one; the rest are counted.
constexpr int LeftOutNamed = 1000;
} // namespace

SdsSink::SdsSink(SdsArchive &archive, RecordScanner &scanner)
    : m_archive(archive)
    , m_scanner(scanner)
{
    m_scanner.setRecordHandler([this](const char *raw, int length, const MSRecord *msr) {
        // On the copy's thread: only gathered here; the filing thread parses the header again.
        const qint64 sector = qint64(m_scanner.recordCardSector() - m_firstCardSector);
        if (holdsUnreadable(sector * SectorSize, length)) {
            ++m_unreadableRecords;
            return;
        }
        m_batch.bytes.append(raw, length);
        m_batch.lengths.append(length);
        m_batch.sectors.append(m_scanner.recordCardSector());
        if (m_observer)
            m_observer(raw, length, msr);
    });
    // Never filed: the reader of the archive would take it for the recorder's.
    m_scanner.setBadRecordHandler([this](const QString &reason) { leaveOut(m_scanner.recordCardSector(), reason); });
    m_worker = std::thread([this]() { work(); });
}

SdsSink::~SdsSink()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_quit = true;
    }
    m_changed.notify_all();
    m_worker.join();
}

void SdsSink::work()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this]() { return m_quit || !m_queue.empty(); });
        if (m_queue.empty())
            return;
        const Batch batch = std::move(m_queue.front());
        m_queue.pop_front();
        m_busy = true;
        const bool skip = !m_failure.ok();
        lock.unlock();
        m_changed.notify_all();
        qint64 offset = 0;
        for (int i = 0; !skip && i < batch.lengths.size(); ++i) {
            file(batch.bytes.constData() + offset, batch.lengths.at(i), batch.sectors.at(i));
            offset += batch.lengths.at(i);
        }
        lock.lock();
        m_busy = false;
        m_changed.notify_all();
    }
}

void SdsSink::waitIdle(std::unique_lock<std::mutex> &lock)
{
    m_changed.wait(lock, [this]() { return m_queue.empty() && !m_busy; });
}

void SdsSink::handOn()
{
    if (m_batch.lengths.isEmpty())
        return;
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this]() { return m_queue.size() < BatchesQueued; });
    m_queue.push_back(std::move(m_batch));
    m_batch = Batch();
    lock.unlock();
    m_changed.notify_all();
}

Status SdsSink::begin(const CopySource &source)
{
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        waitIdle(lock);
    }
    m_firstCardSector = source.firstCardSector;
    m_unreadable.clear();
    m_filed = m_alreadyThere = m_leftOut = m_refused = m_unreadableRecords = 0;
    m_leftOutReasons.clear();
    m_failure = Status();
    m_batch = Batch();
    return m_scanner.begin(source);
}

void SdsSink::leaveOut(quint64 cardSector, const QString &reason)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_leftOut;
    if (m_leftOutReasons.size() < LeftOutNamed)
        m_leftOutReasons.append(
            QStringLiteral("record at card sector %1 left out of the archive: %2").arg(cardSector).arg(reason));
}

QStringList SdsSink::leftOutReasons() const
{
    QStringList reasons = m_leftOutReasons;
    if (m_leftOut > reasons.size())
        reasons.append(QStringLiteral("%1 more record(s) left out of the archive").arg(m_leftOut - reasons.size()));
    return reasons;
}

bool SdsSink::holdsUnreadable(qint64 offset, int length) const
{
    const qint64 firstSector = offset / SectorSize;
    const qint64 lastSector = (offset + length - 1) / SectorSize;
    const auto unreadable = std::lower_bound(m_unreadable.cbegin(), m_unreadable.cend(), firstSector);
    return unreadable != m_unreadable.cend() && *unreadable <= lastSector;
}

void SdsSink::file(const char *raw, int length, quint64 cardSector)
{
    switch (m_archive.addRecord(raw, length)) {
    case SdsArchive::Archived:
        ++m_filed;
        break;
    case SdsArchive::AlreadyThere:
        ++m_alreadyThere;
        break;
    case SdsArchive::Refused: // its day file is named, with the count, at the end of the batch
        ++m_refused;
        break;
    case SdsArchive::NotArchived:
        leaveOut(cardSector, m_archive.errorString());
        break;
    case SdsArchive::Failed: {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_failure = Status::failure(m_archive.errorString());
        break;
    }
    }
}

Status SdsSink::consume(const SectorChunk &chunk)
{
    // Known before the records of the chunk arrive: a record with one of them is left out.
    m_unreadable += chunk.unreadable;
    // Room for the chunk's records at once: grown record by record, the batch was copied
    // again at every step of its growth.
    m_batch.bytes.reserve(m_batch.bytes.size() + qsizetype(chunk.length));
    const Status scanned = m_scanner.consume(chunk);
    handOn();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!scanned && m_failure.ok())
        m_failure = scanned;
    return m_failure;
}

Status SdsSink::finish(CopyEnd end)
{
    const bool kept = end == CopyEnd::Complete || end == CopyEnd::Incomplete;
    {
        // The scanner hands on the records left at the end of the file first.
        const Status scanned = m_scanner.finish(end);
        handOn();
        std::unique_lock<std::mutex> lock(m_mutex);
        waitIdle(lock);
        if (!scanned && m_failure.ok() && kept)
            m_failure = scanned;
    }
    if (!m_failure || !kept) {
        m_archive.rollback();
        return m_failure;
    }
    if (const Status committed = m_archive.commit(); !committed) {
        m_failure = committed;
        return committed;
    }
    return Status();
}

CompareSink::CompareSink(const QString &folder)
    : m_folder(folder)
{
}

CompareSink::~CompareSink() = default;

Status CompareSink::begin(const CopySource &source)
{
    m_file.close();
    m_offset = 0;
    m_detail.clear();
    m_path = QDir(m_folder).filePath(source.outputName);
    // A FIFO or a device in the copy's place is never read: it could block, or never end.
    if (const Status opened = m_file.openForReading(m_path); !opened) {
        m_verdict = opened.error == ENOENT ? Missing : Unreadable;
        m_detail = m_verdict == Missing ? QStringLiteral("missing from the folder")
            : opened.error == EINVAL   ? QStringLiteral("it is not a regular file")
                                       : systemReason(opened.error);
        return Status{opened.code, opened.error, QString()}; // nothing to compare: the card need not be read
    }
    m_verdict = Same;
    return Status();
}

Status CompareSink::consume(const SectorChunk &chunk)
{
    if (m_verdict != Same)
        return Status();
    if (m_buffer.size() < chunk.length)
        m_buffer.resize(int(chunk.length));
    Status status;
    const qint64 got = m_file.readAt(m_buffer.data(), chunk.length, m_offset, &status);
    if (got < 0) {
        m_verdict = Unreadable;
        m_detail = systemReason(status.error);
        return Status();
    }
    const qint64 same = std::mismatch(chunk.data, chunk.data + got, m_buffer.constData()).first - chunk.data;
    if (same < got || got < chunk.length) {
        m_verdict = Differs;
        m_detail = same < got ? QStringLiteral("differs from the card at byte %1").arg(m_offset + same)
                              : QStringLiteral("shorter than on the card (%1 bytes)").arg(m_offset + got);
    }
    m_offset += chunk.length;
    return Status();
}

Status CompareSink::finish(CopyEnd end)
{
    if (m_verdict == Same && (end == CopyEnd::Complete || end == CopyEnd::Incomplete)) {
        char extra = 0;
        Status status;
        if (m_file.readAt(&extra, 1, m_offset, &status) == 1) {
            m_verdict = Differs;
            m_detail = QStringLiteral("longer than on the card (%1 bytes)").arg(m_offset);
        }
    }
    m_file.close();
    return Status();
}
