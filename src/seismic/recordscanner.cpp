#include "recordscanner.h"
#include "recordcheck.h"

#include <libmseed.h>

#include <algorithm>
#include <cstring>
#include <mutex>

namespace {

constexpr qint64 SectorSize = 512;
// How much of a new chunk is joined at first to bytes kept from the previous one: enough
// for the records recorders write (512 to 4096 bytes); more is taken when a record says so.
constexpr qint64 JoinBytes = 8192;

// libmseed reports a failed Steim integrity check only as a warning through its log.
// The scanner's thread notes it here; every other message of the library is dropped,
// because the report counts what they would say.
thread_local bool steimCheckFailed = false;

void dropMessage(char *) {}

void noteDiagnostic(char *message)
{
    if (std::strstr(message, "integrity check") != nullptr)
        steimCheckFailed = true;
}

void installLibraryLog()
{
    static std::once_flag once;
    std::call_once(once, [] { ms_loginit(dropMessage, nullptr, noteDiagnostic, nullptr); });
}

} // namespace

struct RecordScanner::File
{
    FileQuality quality;
    // Each channel once, in the order first seen. A list, not a set: a full card has tens
    // of thousands of files.
    QStringList channels;
};

RecordScanner::RecordScanner()
{
    installLibraryLog();
}

RecordScanner::~RecordScanner()
{
    msr_free(&m_msr);
}

Status RecordScanner::begin(const CopySource &source)
{
    if (m_inFile)
        finish(CopyEnd::Incomplete);
    File file;
    file.quality.path = source.cardPath;
    m_files.append(file);
    m_firstCardSector = source.firstCardSector;
    m_offset = 0;
    m_pending.clear();
    m_fileUnreadable.clear();
    m_fileChannels.clear();
    m_timeline.beginPart();
    m_inFile = true;
    return Status();
}

Status RecordScanner::consume(const SectorChunk &chunk)
{
    if (!m_inFile || chunk.length <= 0)
        return Status();
    for (qint64 sector : chunk.unreadable) {
        m_fileUnreadable.append(sector);
        m_timeline.addUnreadable(qint64(m_firstCardSector + quint64(sector)));
    }
    m_files.last().quality.unreadableSectors += chunk.unreadable.size();
    feed(chunk.data, chunk.length);
    return Status();
}

Status RecordScanner::finish(CopyEnd end)
{
    if (!m_inFile)
        return Status();
    if (!m_pending.isEmpty()) {
        scan(m_pending.constData(), m_pending.size(), true);
        m_pending.clear();
    }
    m_files.last().quality.complete = end == CopyEnd::Complete;
    m_inFile = false;
    return Status();
}

void RecordScanner::feed(const char *data, qint64 length)
{
    // Bytes kept from earlier chunks are joined with the head of this one until the
    // record they begin is whole; scanning then goes on in the chunk itself.
    qint64 kept = m_pending.size();
    qint64 at = 0;
    while (!m_pending.isEmpty() && at < length) {
        const qint64 grab = qMin(length - at, qMax<qint64>(m_pending.size(), JoinBytes));
        m_pending.append(data + at, int(grab));
        at += grab;
        const qint64 used = scan(m_pending.constData(), m_pending.size(), false);
        if (used >= kept) {
            at = used - kept;
            m_pending.clear();
            break;
        }
        m_pending.remove(0, int(used));
        kept -= used;
    }
    if (m_pending.isEmpty()) {
        const qint64 used = scan(data + at, length - at, false);
        m_pending = QByteArray(data + at + used, int(length - at - used));
    }
}

qint64 RecordScanner::scan(const char *data, qint64 length, bool atEnd)
{
    FileQuality &file = m_files.last().quality;
    qint64 p = 0;
    while (p < length) {
        const qint64 left = length - p;
        const qint64 toSectorEnd = SectorSize - m_offset % SectorSize;
        const bool sectorStart = m_offset % SectorSize == 0;
        if (sectorStart && isUnreadable(m_offset / SectorSize)) {
            if (left < SectorSize && !atEnd)
                break;
            const qint64 skip = qMin(left, SectorSize);
            p += skip;
            m_offset += skip;
            continue;
        }
        char *record = const_cast<char *>(data + p); // libmseed reads the record, never writes it
        const int available = int(qMin<qint64>(left, MAXRECLEN));
        // The header first: its samples are decoded only once it is known to hold them.
        int result = msr_parse(record, available, &m_msr, 0, 0, 0);
        if (result > 0 && !atEnd) {
            if (left < MAXRECLEN)
                break; // the record goes on in the next chunk
            // A header whose length is still unknown after the largest record there can be
            // (no blockette 1000, no record after it): not a record, or the bytes kept
            // for it would grow with the file.
            result = MS_GENERROR;
        }
        if (result == MS_NOERROR && m_msr->reclen > 0 && m_msr->reclen <= left) {
            m_recordSector = m_firstCardSector + quint64(m_offset / SectorSize);
            const int reclen = m_msr->reclen;
            const QString fault = RecordCheck::fault(m_msr);
            if (!fault.isEmpty()) {
                takeBadRecord(record, reclen, fault);
            } else {
                steimCheckFailed = false;
                bool decoded = true;
                if (m_msr->samplecnt > 0 && !RecordCheck::canDecode(m_msr->encoding)) {
                    decoded = false;
                } else if (m_msr->samplecnt > 0) {
                    // As libmseed unpacks a record: the data in the byte order blockette 1000 names.
                    const int64_t samples = msr_unpack_data(m_msr, m_msr->byteorder != ms_bigendianhost(), 0);
                    m_msr->numsamples = samples > 0 ? samples : 0;
                    decoded = samples == m_msr->samplecnt && !steimCheckFailed;
                }
                takeRecord(record, reclen, decoded);
            }
            p += reclen;
            m_offset += reclen;
            continue;
        }
        // Not a record: the log, padding, garbage, or a record cut short by the end.
        if (sectorStart)
            ++file.otherSectors;
        const qint64 skip = qMin(left, toSectorEnd);
        p += skip;
        m_offset += skip;
    }
    return p;
}

void RecordScanner::takeRecord(const char *raw, int length, bool decoded)
{
    MSRecord *msr = m_msr;
    const ChannelTimeline::Samples samples = !decoded ? ChannelTimeline::Samples::Failed
        : msr->numsamples > 0 ? ChannelTimeline::Samples::Decoded
                              : ChannelTimeline::Samples::NotDecoded;
    const QString &id = m_timeline.add(msr, qint64(m_recordSector), samples);
    const qint64 start = msr->starttime;
    const qint64 end = RecordCheck::lastSampleTime(msr);

    File &file = m_files.last();
    FileQuality &quality = file.quality;
    if (!quality.hasRecords) {
        quality.start = start;
        quality.end = end;
        quality.hasRecords = true;
    }
    quality.start = qMin(quality.start, start);
    quality.end = qMax(quality.end, end);
    ++quality.records;
    if (!m_fileChannels.contains(id)) {
        file.channels.append(id);
        m_fileChannels.insert(id);
    }

    if (!decoded)
        msr->numsamples = 0;
    if (m_handler)
        m_handler(raw, length, msr);
}

void RecordScanner::takeBadRecord(const char *, int, const QString &reason)
{
    // Nothing of a bad record is trusted: not its channel, not its times. It is only named.
    FileQuality &quality = m_files.last().quality;
    ++quality.badRecords;
    if (quality.badRecordList.size() < FileQuality::BadRecordsNamed)
        quality.badRecordList.append(BadRecord{m_recordSector, reason});
    if (m_badHandler)
        m_badHandler(reason);
}

bool RecordScanner::isUnreadable(qint64 sectorInFile) const
{
    return std::binary_search(m_fileUnreadable.cbegin(), m_fileUnreadable.cend(), sectorInFile);
}

QualityReport RecordScanner::report() const
{
    QualityReport report;
    for (const File &file : m_files) {
        FileQuality quality = file.quality;
        quality.channels = file.channels;
        quality.channels.sort();
        report.files.append(quality);
    }
    report.channels = m_timeline.channels(&report.gaps);
    return report;
}
