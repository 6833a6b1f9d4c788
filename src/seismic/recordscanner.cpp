#include "recordscanner.h"
#include "recordcheck.h"


#include <libmseed.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>

namespace {

constexpr qint64 SectorSize = 512;
// How much of a new chunk is joined at first to bytes kept from the previous one: enough
// for the records recorders write (512 to 4096 bytes); more is taken when a record says so.
constexpr qint64 JoinBytes = 8192;
constexpr quint8 ClockLockedFlag = 0x20;     // I/O and clock flags, bit 5
constexpr quint8 QuestionableTimeFlag = 0x80; // data quality flags, bit 7

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

QString channelId(const char *network, const char *station, const char *location, const char *channel)
{
    return QStringLiteral("%1.%2.%3.%4").arg(QLatin1String(network), QLatin1String(station), QLatin1String(location),
                                             QLatin1String(channel));
}

// libmseed's test for equal sample rates (its default tolerance: 0.0001 relative).
bool sameRate(double a, double b)
{
    return MS_ISRATETOLERABLE(a, b);
}

qint64 period(double rate)
{
    return RecordCheck::samplePeriod(rate);
}

} // namespace

// Where a channel's records stop following each other in card order: the last sample of
// one record, the first of the next, and the card sectors where the two records begin.
struct RecordScanner::Break
{
    qint64 prevEnd = 0;
    quint64 prevSector = 0;
    qint64 nextStart = 0;
    quint64 nextSector = 0;
};

struct RecordScanner::Channel
{
    QString id;
    char key[44] = {}; // network, station, location and channel as libmseed holds them
    QString network;
    QString station;
    QString location;
    QString channel;
    qint64 records = 0;
    qint64 samples = 0;
    qint64 decodeFailures = 0;
    qint64 sequenceBreaks = 0;
    qint64 locked = 0;
    qint64 questionable = 0;
    std::array<qint64, 101> timing{}; // records per blockette 1001 timing quality
    qint64 timingRecords = 0;
    QVector<TimeSpan> unlocked;
    bool lastUnlocked = false;
    QVector<Break> breaks;
    bool hasLast = false;
    qint64 lastEnd = 0;
    double lastRate = 0;
    quint64 lastSector = 0;
    int lastSequence = -1;
    int lastFile = -1;
    int listedInFile = -1;
};

struct RecordScanner::File
{
    FileQuality quality;
    // Each channel once, in the order first seen: the channel remembers the file that
    // listed it last. A list, not a set: a full card has tens of thousands of files.
    QStringList channels;
};

RecordScanner::RecordScanner()
{
    installLibraryLog();
    m_traces = mstl_init(nullptr);
}

RecordScanner::~RecordScanner()
{
    msr_free(&m_msr);
    mstl_free(&m_traces, 0);
    qDeleteAll(m_channels);
}

bool RecordScanner::begin(const CopySource &source)
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
    m_inFile = true;
    return true;
}

bool RecordScanner::consume(const SectorChunk &chunk)
{
    if (!m_inFile || chunk.length <= 0)
        return true;
    for (qint64 sector : chunk.unreadable) {
        m_fileUnreadable.append(sector);
        m_unreadableCardSectors.append(m_firstCardSector + quint64(sector));
    }
    m_files.last().quality.unreadableSectors += chunk.unreadable.size();
    feed(chunk.data, chunk.length);
    return true;
}

bool RecordScanner::finish(CopyEnd end)
{
    if (!m_inFile)
        return true;
    if (!m_pending.isEmpty()) {
        scan(m_pending.constData(), m_pending.size(), true);
        m_pending.clear();
    }
    m_files.last().quality.complete = end == CopyEnd::Complete;
    m_inFile = false;
    return true;
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
    // A card holds a few channels: they are found by their raw codes, without a text key.
    char key[4 * sizeof msr->network];
    static_assert(sizeof key == sizeof Channel::key, "the four codes of a channel");
    std::memcpy(key, msr->network, sizeof msr->network);
    std::memcpy(key + sizeof msr->network, msr->station, sizeof msr->network);
    std::memcpy(key + 2 * sizeof msr->network, msr->location, sizeof msr->network);
    std::memcpy(key + 3 * sizeof msr->network, msr->channel, sizeof msr->network);
    Channel *found = nullptr;
    for (Channel *known : qAsConst(m_recent)) {
        if (std::memcmp(known->key, key, sizeof key) == 0) {
            found = known;
            break;
        }
    }
    if (!found) {
        const QString id = channelId(msr->network, msr->station, msr->location, msr->channel);
        Channel *&slot = m_channels[id];
        if (!slot) {
            slot = new Channel;
            slot->id = id;
            std::memcpy(slot->key, key, sizeof key);
            slot->network = QLatin1String(msr->network);
            slot->station = QLatin1String(msr->station);
            slot->location = QLatin1String(msr->location);
            slot->channel = QLatin1String(msr->channel);
        }
        found = slot;
        m_recent.prepend(found);
        if (m_recent.size() > 8)
            m_recent.removeLast();
    }
    Channel &channel = *found;
    const QString &id = channel.id;
    const qint64 start = msr->starttime;
    const qint64 end = msr_endtime(msr);
    const double rate = msr->samprate;
    const int fileIndex = int(m_files.size()) - 1;

    ++channel.records;
    channel.samples += msr->samplecnt;
    if (!decoded)
        ++channel.decodeFailures;
    if (channel.lastFile == fileIndex && channel.lastSequence >= 0) {
        const int expected = channel.lastSequence >= 999999 ? 1 : channel.lastSequence + 1;
        if (msr->sequence_number != expected && !(expected == 1 && msr->sequence_number == 0))
            ++channel.sequenceBreaks;
    }
    channel.lastSequence = msr->sequence_number;
    channel.lastFile = fileIndex;

    if (channel.hasLast && rate > 0) {
        const qint64 step = period(channel.lastRate);
        if (!sameRate(rate, channel.lastRate) || std::llabs(start - (channel.lastEnd + step)) > step / 2)
            channel.breaks.append(Break{channel.lastEnd, channel.lastSector, start, m_recordSector});
    }
    if (rate > 0) {
        channel.hasLast = true;
        channel.lastEnd = end;
        channel.lastRate = rate;
        channel.lastSector = m_recordSector;
    }

    if (msr->Blkt1001) {
        ++channel.timing[qMin<int>(msr->Blkt1001->timing_qual, 100)];
        ++channel.timingRecords;
    }
    const bool locked = msr->fsdh && (msr->fsdh->io_flags & ClockLockedFlag);
    if (locked) {
        ++channel.locked;
    } else if (channel.lastUnlocked && !channel.unlocked.isEmpty()) {
        channel.unlocked.last().end = qMax(channel.unlocked.last().end, end);
    } else {
        channel.unlocked.append(TimeSpan{start, end});
    }
    channel.lastUnlocked = !locked;
    if (msr->fsdh && (msr->fsdh->dq_flags & QuestionableTimeFlag))
        ++channel.questionable;

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
    if (channel.listedInFile != fileIndex) {
        file.channels.append(id);
        channel.listedInFile = fileIndex;
    }

    if (!decoded)
        msr->numsamples = 0;
    if (m_handler)
        m_handler(raw, length, msr);

    // The trace list keeps times only: the samples are hidden from it while it takes
    // the record, or it would gather every sample of the run.
    void *samples = msr->datasamples;
    const int64_t count = msr->numsamples;
    msr->datasamples = nullptr;
    msr->numsamples = 0;
    mstl_addmsr(m_traces, msr, 0, 1, -1.0, -1.0);
    msr->datasamples = samples;
    msr->numsamples = count;
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
    QVector<quint64> unreadable = m_unreadableCardSectors;
    std::sort(unreadable.begin(), unreadable.end());
    const auto unreadableBetween = [&unreadable](quint64 a, quint64 b) {
        const auto from = std::upper_bound(unreadable.cbegin(), unreadable.cend(), qMin(a, b));
        const auto to = std::lower_bound(unreadable.cbegin(), unreadable.cend(), qMax(a, b));
        return qint64(qMax<qint64>(0, to - from));
    };

    for (const MSTraceID *trace = m_traces->traces; trace; trace = trace->next) {
        const QString id = channelId(trace->network, trace->station, trace->location, trace->channel);
        const Channel *channel = m_channels.value(id);
        if (!channel)
            continue;
        ChannelQuality c;
        c.id = id;
        c.network = channel->network;
        c.station = channel->station;
        c.location = channel->location;
        c.channel = channel->channel;
        c.start = trace->earliest;
        c.end = trace->latest;
        c.samples = channel->samples;
        c.records = channel->records;
        c.decodeFailures = channel->decodeFailures;
        c.sequenceBreaks = channel->sequenceBreaks;
        c.clockLocked = 100.0 * double(channel->locked) / double(channel->records);
        c.questionableTime = 100.0 * double(channel->questionable) / double(channel->records);
        c.clockUnlocked = channel->unlocked;
        if (channel->timingRecords > 0) {
            c.hasTimingQuality = true;
            const auto valueAt = [channel](qint64 rank) {
                for (int q = 0; q <= 100; ++q) {
                    rank -= channel->timing[q];
                    if (rank < 0)
                        return q;
                }
                return 100;
            };
            const qint64 n = channel->timingRecords;
            c.timingMin = valueAt(0);
            c.timingMax = valueAt(n - 1);
            c.timingMedian = n % 2 ? valueAt(n / 2) : (valueAt(n / 2 - 1) + valueAt(n / 2)) / 2.0;
        }

        QVector<const MSTraceSeg *> segments;
        for (const MSTraceSeg *seg = trace->first; seg; seg = seg->next)
            segments.append(seg);
        std::stable_sort(segments.begin(), segments.end(),
                         [](const MSTraceSeg *a, const MSTraceSeg *b) { return a->starttime < b->starttime; });
        c.segments = int(segments.size());

        std::map<double, qint64> samplesPerRate;
        qint64 covered = 0;
        qint64 coverEnd = 0;  // end of the time covered so far (after the last sample's period)
        qint64 lastEnd = 0;   // latest last sample so far
        for (int i = 0; i < segments.size(); ++i) {
            const MSTraceSeg *seg = segments.at(i);
            c.segmentSpans.append(TimeSpan{seg->starttime, seg->endtime});
            samplesPerRate[seg->samprate] += seg->samplecnt;
            const qint64 segEnd = seg->endtime + period(seg->samprate);
            if (i == 0 || seg->starttime >= coverEnd)
                covered += segEnd - seg->starttime;
            else if (segEnd > coverEnd)
                covered += segEnd - coverEnd;
            if (i > 0 && seg->samprate > 0) {
                const qint64 step = period(segments.at(i - 1)->samprate);
                const qint64 difference = seg->starttime - lastEnd;
                // Joined in time but not in rate: a new segment, neither gap nor overlap.
                if (step == 0 || std::llabs(difference - step) > step / 2) {
                    GapQuality gap;
                    gap.id = id;
                    gap.after = lastEnd;
                    gap.before = seg->starttime;
                    gap.seconds = double(difference) / HPTMODULUS;
                    const Break *bounds = nullptr;
                    const Break *prev = nullptr;
                    const Break *next = nullptr;
                    for (const Break &b : channel->breaks) {
                        if (b.prevEnd == gap.after && b.nextStart == gap.before)
                            bounds = &b;
                        if (b.prevEnd == gap.after && !prev)
                            prev = &b;
                        if (b.nextStart == gap.before && !next)
                            next = &b;
                    }
                    if (bounds)
                        gap.unreadableSectors = unreadableBetween(bounds->prevSector, bounds->nextSector);
                    else if (prev && next)
                        gap.unreadableSectors = unreadableBetween(prev->prevSector, next->nextSector);
                    if (gap.isOverlap()) {
                        ++c.overlaps;
                    } else {
                        ++c.gaps;
                        c.largestGap = qMax(c.largestGap, gap.seconds);
                    }
                    report.gaps.append(gap);
                }
            }
            coverEnd = i == 0 ? segEnd : qMax(coverEnd, segEnd);
            lastEnd = i == 0 ? seg->endtime : qMax(lastEnd, seg->endtime);
        }
        qint64 most = -1;
        for (const auto &rate : samplesPerRate) {
            if (rate.second > most) {
                most = rate.second;
                c.sampleRate = rate.first;
            }
        }
        const qint64 span = segments.isEmpty() ? 0 : coverEnd - segments.first()->starttime;
        c.availability = span > 0 ? qBound(0.0, 100.0 * double(covered) / double(span), 100.0) : 100.0;
        report.channels.append(c);
    }
    std::sort(report.channels.begin(), report.channels.end(),
              [](const ChannelQuality &a, const ChannelQuality &b) { return a.id < b.id; });
    std::stable_sort(report.gaps.begin(), report.gaps.end(), [](const GapQuality &a, const GapQuality &b) {
        return a.id != b.id ? a.id < b.id : a.after < b.after;
    });
    return report;
}
