#include "archivesinks.h"
#include "recordscanner.h"

#include <QDir>
#include <QFile>

#include <libmseed.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr qint64 SectorSize = 512;
constexpr int SmallestRecord = 128;
constexpr int LargestRecord = 1 << 20;

QString systemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

SdsSink::SdsSink(SdsArchive &archive, RecordScanner *scanner)
    : m_archive(archive)
    , m_scanner(scanner)
{
    if (m_scanner) {
        m_scanner->setRecordHandler([this](const char *raw, int length, const MSRecord *msr) {
            const qint64 sector = qint64(m_scanner->recordCardSector() - m_firstCardSector);
            addRecord(raw, length, sector * SectorSize, msr);
        });
    }
}

bool SdsSink::begin(const CopySource &source)
{
    m_firstCardSector = source.firstCardSector;
    m_pending.clear();
    m_offset = 0;
    m_unreadable.clear();
    m_filed = m_alreadyThere = m_leftOut = 0;
    m_failed = false;
    m_error.clear();
    if (m_scanner && !m_scanner->begin(source)) {
        m_error = m_scanner->errorString();
        return false;
    }
    return true;
}

void SdsSink::addRecord(const char *raw, int length, qint64 offset, const MSRecord *parsed)
{
    if (m_failed)
        return;
    const qint64 firstSector = offset / SectorSize;
    const qint64 lastSector = (offset + length - 1) / SectorSize;
    const auto unreadable = std::lower_bound(m_unreadable.cbegin(), m_unreadable.cend(), firstSector);
    if (unreadable != m_unreadable.cend() && *unreadable <= lastSector) {
        ++m_leftOut;
        return;
    }
    switch (m_archive.addRecord(raw, length, parsed)) {
    case SdsArchive::Archived:
        ++m_filed;
        break;
    case SdsArchive::AlreadyThere:
        ++m_alreadyThere;
        break;
    case SdsArchive::NotArchived:
        ++m_leftOut;
        break;
    case SdsArchive::Failed:
        m_failed = true;
        m_error = m_archive.errorString();
        break;
    }
}

qint64 SdsSink::scan(const char *data, qint64 length, bool atEnd)
{
    qint64 position = 0;
    while (!m_failed && length - position >= SmallestRecord) {
        const int available = int(qMin<qint64>(length - position, LargestRecord));
        const int recordLength = ms_detect(data + position, available);
        if (recordLength >= SmallestRecord && recordLength <= LargestRecord) {
            if (recordLength > length - position) {
                if (!atEnd)
                    return position; // the rest comes with the next chunk
                break;
            }
            addRecord(data + position, recordLength, m_offset + position);
            position += recordLength;
            continue;
        }
        // Not the start of a record (the log, padding, a damaged header): the next sector.
        const qint64 next = ((m_offset + position) / SectorSize + 1) * SectorSize - m_offset;
        if (next > length && !atEnd)
            return position;
        position = qMin(next, length);
    }
    return atEnd ? length : position;
}

bool SdsSink::consume(const SectorChunk &chunk)
{
    // Known before the records of the chunk arrive: a record with one of them is left out.
    m_unreadable += chunk.unreadable;
    if (m_scanner) {
        if (!m_scanner->consume(chunk) && !m_failed) {
            m_failed = true;
            m_error = m_scanner->errorString();
        }
        return !m_failed;
    }
    if (m_failed)
        return false;
    qint64 used = 0;
    if (m_pending.isEmpty()) {
        used = scan(chunk.data, chunk.length, false);
        m_pending = QByteArray(chunk.data + used, int(chunk.length - used));
    } else {
        m_pending.append(chunk.data, int(chunk.length));
        used = scan(m_pending.constData(), m_pending.size(), false);
        m_pending.remove(0, int(used));
    }
    m_offset += used;
    return !m_failed;
}

bool SdsSink::finish(CopyEnd end)
{
    const bool kept = end == CopyEnd::Complete || end == CopyEnd::Incomplete;
    if (m_scanner) {
        // The scanner hands on the records left at the end of the file first.
        if (!m_scanner->finish(end) && !m_failed && kept) {
            m_failed = true;
            m_error = m_scanner->errorString();
        }
    } else if (!m_failed && kept) {
        scan(m_pending.constData(), m_pending.size(), true);
    }
    m_pending.clear();
    if (m_failed || (end != CopyEnd::Complete && end != CopyEnd::Incomplete)) {
        m_archive.rollback();
        return !m_failed;
    }
    if (!m_archive.commit()) {
        m_error = m_archive.errorString();
        return false;
    }
    return true;
}

CompareSink::CompareSink(const QString &folder)
    : m_folder(folder)
{
}

CompareSink::~CompareSink()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool CompareSink::begin(const CopySource &source)
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_offset = 0;
    m_detail.clear();
    m_path = QDir(m_folder).filePath(source.outputName);
    m_fd = ::open(QFile::encodeName(m_path).constData(), O_RDONLY | O_CLOEXEC);
    if (m_fd < 0) {
        m_verdict = errno == ENOENT ? Missing : Unreadable;
        m_detail = m_verdict == Missing ? QStringLiteral("missing from the folder") : systemReason(errno);
        return false; // nothing to compare: the card need not be read
    }
    m_verdict = Same;
    return true;
}

bool CompareSink::consume(const SectorChunk &chunk)
{
    if (m_verdict != Same)
        return true;
    if (m_buffer.size() < chunk.length)
        m_buffer.resize(int(chunk.length));
    qint64 got = 0;
    while (got < chunk.length) {
        const auto done = ::pread(m_fd, m_buffer.data() + got, size_t(chunk.length - got), off_t(m_offset + got));
        if (done < 0 && errno == EINTR)
            continue;
        if (done < 0) {
            m_verdict = Unreadable;
            m_detail = systemReason(errno);
            return true;
        }
        if (done == 0)
            break;
        got += done;
    }
    const qint64 same = std::mismatch(chunk.data, chunk.data + got, m_buffer.constData()).first - chunk.data;
    if (same < got || got < chunk.length) {
        m_verdict = Differs;
        m_detail = same < got ? QStringLiteral("differs from the card at byte %1").arg(m_offset + same)
                              : QStringLiteral("shorter than on the card (%1 bytes)").arg(m_offset + got);
    }
    m_offset += chunk.length;
    return true;
}

bool CompareSink::finish(CopyEnd end)
{
    if (m_verdict == Same && (end == CopyEnd::Complete || end == CopyEnd::Incomplete)) {
        char extra = 0;
        if (::pread(m_fd, &extra, 1, off_t(m_offset)) == 1) {
            m_verdict = Differs;
            m_detail = QStringLiteral("longer than on the card (%1 bytes)").arg(m_offset);
        }
    }
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    return true;
}
