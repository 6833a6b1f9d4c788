#include "channeltimeline.h"

#include "recordcheck.h"

#include <QByteArrayView>
#include <QHash>
#include <QSet>

#include <libmseed.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>

namespace {

constexpr quint8 ClockLockedFlag = 0x20;     // I/O and clock flags, bit 5
constexpr quint8 QuestionableTimeFlag = 0x80; // data quality flags, bit 7

qint64 period(double rate)
{
    return RecordCheck::samplePeriod(rate);
}

// libmseed's test for equal sample rates (its default tolerance: 0.0001 relative).
bool sameRate(double a, double b)
{
    return MS_ISRATETOLERABLE(a, b);
}

// What makes a record the same as another: start, rate and samples, the samples taken as
// the bytes of its data area in its encoding (the same bytes decode to the same samples).
// The full check and the quick scan judge alike, and a record's few hundred bytes hash in
// a fraction of the time its decoded samples would.
quint64 recordDigest(const MSRecord *msr)
{
    QByteArrayView data;
    if (msr->record && msr->fsdh && msr->fsdh->data_offset > 0 && msr->fsdh->data_offset < msr->reclen)
        data = QByteArrayView(msr->record + msr->fsdh->data_offset, msr->reclen - msr->fsdh->data_offset);
    return quint64(qHashMulti(0, msr->starttime, msr->samprate, msr->samplecnt, msr->encoding, qHash(data, 0)));
}

} // namespace

double quantileOf(const std::array<qint64, 101> &histogram, qint64 n, double p)
{
    if (n <= 0)
        return 0;
    const auto valueAt = [&histogram](qint64 rank) {
        for (int q = 0; q <= 100; ++q) {
            rank -= histogram[size_t(q)];
            if (rank < 0)
                return q;
        }
        return 100;
    };
    const double position = p * double(n - 1);
    const qint64 below = qint64(std::floor(position));
    const double low = valueAt(below);
    const double high = below + 1 < n ? valueAt(below + 1) : low;
    return low + (position - double(below)) * (high - low);
}

// Where a channel's records stop following each other in card order: the last sample of
// one record, the first of the next, and the sectors where the two records begin.
struct Break
{
    qint64 prevEnd = 0;
    qint64 prevSector = 0;
    qint64 nextStart = 0;
    qint64 nextSector = 0;
};

struct ChannelTimeline::Channel
{
    ChannelQuality figures;  // codes and counts, filled as records come
    char key[44] = {};       // network, station, location and channel as libmseed holds them
    MSTraceList *traces = nullptr; // times only, of the distinct records
    qint64 distinct = 0;
    qint64 locked = 0;
    qint64 questionable = 0;
    std::array<qint64, 101> timing{}; // distinct records per blockette 1001 timing quality
    qint64 timingRecords = 0;
    qint64 timingSum = 0;
    QVector<TimeSpan> unlocked;
    bool lastUnlocked = false;
    QVector<Break> breaks;
    bool hasLast = false;
    qint64 lastEnd = 0;
    double lastRate = 0;
    qint64 lastSector = 0;
    int lastSequence = -1;
    int lastPart = -1;
    // The latest distinct records that came in time order (each starting after all before
    // it), oldest first in a ring of DuplicateWindow, so that a record is looked up by its
    // start; and those that came out of order (overlaps), by digest, forgotten together
    // once DuplicateWindow are held. A record in time order cannot repeat an earlier one,
    // so most records cost an append and no lookup.
    struct Seen
    {
        qint64 start;
        quint64 digest;
    };
    QVector<Seen> inOrder;
    int oldest = 0;
    QSet<quint64> outOfOrder;

    Channel() : traces(mstl_init(nullptr)) {}
    ~Channel() { mstl_free(&traces, 0); }
    Channel(const Channel &) = delete;
    Channel &operator=(const Channel &) = delete;

    // True when a record of this start and `digest` was seen; remembers it otherwise.
    bool repeats(qint64 start, quint64 digest)
    {
        const int held = int(inOrder.size());
        const auto at = [this, held](int i) -> const Seen & { return inOrder.at((oldest + i) % held); };
        if (held == 0 || start > at(held - 1).start) {
            if (held < DuplicateWindow) {
                inOrder.append(Seen{start, digest});
            } else {
                inOrder[oldest] = Seen{start, digest};
                oldest = (oldest + 1) % held;
            }
            return false;
        }
        int low = 0, high = held; // the first held record starting at or after `start`
        while (low < high) {
            const int middle = (low + high) / 2;
            if (at(middle).start < start)
                low = middle + 1;
            else
                high = middle;
        }
        if (low < held && at(low).start == start && at(low).digest == digest)
            return true;
        if (outOfOrder.contains(digest))
            return true;
        if (outOfOrder.size() >= DuplicateWindow)
            outOfOrder.clear();
        outOfOrder.insert(digest);
        return false;
    }
};

ChannelTimeline::ChannelTimeline() = default;

ChannelTimeline::~ChannelTimeline()
{
    qDeleteAll(m_channels);
}

void ChannelTimeline::beginPart()
{
    ++m_part;
}

void ChannelTimeline::addUnreadable(qint64 sector)
{
    m_unreadable.append(sector);
}

ChannelTimeline::Channel &ChannelTimeline::channelOf(const MSRecord *msr)
{
    // A card holds a few channels: they are found by their raw codes, without a text key.
    char key[4 * sizeof msr->network];
    static_assert(sizeof key == sizeof Channel::key, "the four codes of a channel");
    std::memcpy(key, msr->network, sizeof msr->network);
    std::memcpy(key + sizeof msr->network, msr->station, sizeof msr->network);
    std::memcpy(key + 2 * sizeof msr->network, msr->location, sizeof msr->network);
    std::memcpy(key + 3 * sizeof msr->network, msr->channel, sizeof msr->network);
    for (Channel *known : std::as_const(m_recent)) {
        if (std::memcmp(known->key, key, sizeof key) == 0)
            return *known;
    }
    Channel *&found = m_byKey[QByteArray(key, sizeof key)];
    if (!found) {
        found = new Channel;
        std::memcpy(found->key, key, sizeof key);
        ChannelQuality &c = found->figures;
        c.network = QLatin1String(msr->network);
        c.station = QLatin1String(msr->station);
        c.location = QLatin1String(msr->location);
        c.channel = QLatin1String(msr->channel);
        c.id = QStringLiteral("%1.%2.%3.%4").arg(c.network, c.station, c.location, c.channel);
        m_channels.append(found);
    }
    m_recent.prepend(found);
    if (m_recent.size() > 8)
        m_recent.removeLast();
    return *found;
}

const QString &ChannelTimeline::add(const MSRecord *msr, qint64 sector, Samples samples, bool *duplicate)
{
    Channel &channel = channelOf(msr);
    ChannelQuality &c = channel.figures;
    ++c.records;
    if (samples == Samples::Failed)
        ++c.decodeFailures;
    const bool repeated = channel.repeats(msr->starttime, recordDigest(msr));
    if (duplicate)
        *duplicate = repeated;
    if (repeated) {
        // The same record again (a recorder that wrote it twice, files that overlap):
        // nothing of it counts but that it was there, its sequence number included.
        ++c.duplicates;
        return c.id;
    }

    ++channel.distinct;
    c.samples += msr->samplecnt;
    if (channel.lastPart == m_part && channel.lastSequence >= 0) {
        const int expected = channel.lastSequence >= 999999 ? 1 : channel.lastSequence + 1;
        if (msr->sequence_number != expected && !(expected == 1 && msr->sequence_number == 0))
            ++c.sequenceBreaks;
    }
    channel.lastSequence = msr->sequence_number;
    channel.lastPart = m_part;

    const qint64 start = msr->starttime;
    const qint64 end = RecordCheck::lastSampleTime(msr);
    const double rate = msr->samprate;
    if (channel.hasLast && rate > 0) {
        const qint64 step = period(channel.lastRate);
        if (!sameRate(rate, channel.lastRate) || std::llabs(start - (channel.lastEnd + step)) > step / 2)
            channel.breaks.append(Break{channel.lastEnd, channel.lastSector, start, sector});
    }
    if (rate > 0) {
        channel.hasLast = true;
        channel.lastEnd = end;
        channel.lastRate = rate;
        channel.lastSector = sector;
    }

    if (msr->Blkt1001) {
        const int q = qMin<int>(msr->Blkt1001->timing_qual, 100);
        ++channel.timing[size_t(q)];
        ++channel.timingRecords;
        channel.timingSum += q;
    }
    if (msr->fsdh) {
        const quint8 flags[3] = {msr->fsdh->act_flags, msr->fsdh->io_flags, msr->fsdh->dq_flags};
        for (size_t set = 0; set < 3; ++set) {
            for (int bit = 0; bit < 8; ++bit)
                c.flagCounts[set][size_t(bit)] += (flags[set] >> bit) & 1;
        }
    }
    const bool locked = msr->fsdh && (msr->fsdh->io_flags & ClockLockedFlag);
    if (locked)
        ++channel.locked;
    else if (channel.lastUnlocked && !channel.unlocked.isEmpty())
        channel.unlocked.last().end = qMax(channel.unlocked.last().end, end);
    else
        channel.unlocked.append(TimeSpan{start, end});
    channel.lastUnlocked = !locked;
    if (msr->fsdh && (msr->fsdh->dq_flags & QuestionableTimeFlag))
        ++channel.questionable;

    // The trace list keeps times only: without the samples, or it would gather every
    // sample of the run.
    MSRecord times = *msr;
    times.datasamples = nullptr;
    times.numsamples = 0;
    mstl_addmsr(channel.traces, &times, 0, 1, -1.0, -1.0);
    return c.id;
}

QVector<ChannelQuality> ChannelTimeline::channels(QVector<GapQuality> *gaps) const
{
    QVector<ChannelQuality> out;
    QVector<GapQuality> breaks;
    QVector<qint64> unreadable = m_unreadable;
    std::sort(unreadable.begin(), unreadable.end());
    for (const Channel *channel : m_channels) {
        if (channel->distinct > 0)
            out.append(figuresOf(*channel, unreadable, &breaks));
    }
    std::sort(out.begin(), out.end(), [](const ChannelQuality &a, const ChannelQuality &b) { return a.id < b.id; });
    if (gaps) {
        std::stable_sort(breaks.begin(), breaks.end(), [](const GapQuality &a, const GapQuality &b) {
            return a.id != b.id ? a.id < b.id : a.after < b.after;
        });
        *gaps = breaks;
    }
    return out;
}

ChannelQuality ChannelTimeline::figuresOf(const Channel &channel, const QVector<qint64> &unreadable,
                                          QVector<GapQuality> *gaps) const
{
    ChannelQuality c = channel.figures;
    const double records = double(channel.distinct);
    c.clockLockUsed = channel.locked > 0;
    c.questionableTimeUsed = channel.questionable > 0;
    c.clockLocked = c.clockLockUsed ? 100.0 * double(channel.locked) / records : 0;
    c.questionableTime = c.questionableTimeUsed ? 100.0 * double(channel.questionable) / records : 0;
    // Records without the bit are unlocked only where the recorder shows, by setting it
    // elsewhere, that it reports its lock at all.
    if (c.clockLockUsed)
        c.clockUnlocked = channel.unlocked;
    if (channel.timingRecords > 0) {
        const qint64 n = channel.timingRecords;
        c.hasTimingQuality = true;
        c.timing.min = int(quantileOf(channel.timing, n, 0));
        c.timing.q1 = quantileOf(channel.timing, n, 0.25);
        c.timing.median = quantileOf(channel.timing, n, 0.5);
        c.timing.mean = double(channel.timingSum) / double(n);
        c.timing.q3 = quantileOf(channel.timing, n, 0.75);
        c.timing.max = int(quantileOf(channel.timing, n, 1));
    }

    const auto unreadableBetween = [&unreadable](qint64 a, qint64 b) {
        const auto from = std::upper_bound(unreadable.cbegin(), unreadable.cend(), qMin(a, b));
        const auto to = std::lower_bound(unreadable.cbegin(), unreadable.cend(), qMax(a, b));
        return qint64(qMax<qint64>(0, to - from));
    };

    const MSTraceID *trace = channel.traces->traces;
    if (!trace)
        return c;
    // A segment's last sample, never before its first (see RecordCheck::lastSampleTime):
    // libmseed ends a segment of one short record that claims a leap second before it starts.
    const auto lastOf = [](const MSTraceSeg *seg) { return qMax<qint64>(seg->starttime, seg->endtime); };
    c.start = trace->earliest;
    c.end = trace->earliest;
    QVector<const MSTraceSeg *> segments;
    for (const MSTraceSeg *seg = trace->first; seg; seg = seg->next) {
        segments.append(seg);
        c.end = qMax(c.end, lastOf(seg));
    }
    std::stable_sort(segments.begin(), segments.end(),
                     [](const MSTraceSeg *a, const MSTraceSeg *b) { return a->starttime < b->starttime; });

    std::map<double, qint64> samplesPerRate;
    for (const MSTraceSeg *seg : segments)
        samplesPerRate[seg->samprate] += seg->samplecnt;
    qint64 most = -1;
    for (const auto &rate : samplesPerRate) {
        if (rate.second > most) {
            most = rate.second;
            c.sampleRate = rate.first;
        }
    }
    if (m_endsOnly) {
        // Of the middle nothing is known: one stretch from the first sample to the last.
        c.segments = 1;
        c.segmentSpans = {TimeSpan{c.start, c.end}};
        c.availability = 100;
        return c;
    }

    c.segments = int(segments.size());
    qint64 covered = 0;
    qint64 coverEnd = 0; // end of the time covered so far (after the last sample's period)
    qint64 lastEnd = 0;  // latest last sample so far
    for (int i = 0; i < segments.size(); ++i) {
        const MSTraceSeg *seg = segments.at(i);
        c.segmentSpans.append(TimeSpan{seg->starttime, lastOf(seg)});
        const qint64 segEnd = lastOf(seg) + period(seg->samprate);
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
                gap.id = c.id;
                gap.after = lastEnd;
                gap.before = seg->starttime;
                gap.seconds = double(difference) / HPTMODULUS;
                const Break *bounds = nullptr;
                const Break *prev = nullptr;
                const Break *next = nullptr;
                for (const Break &b : channel.breaks) {
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
                if (gaps)
                    gaps->append(gap);
            }
        }
        coverEnd = i == 0 ? segEnd : qMax(coverEnd, segEnd);
        lastEnd = i == 0 ? lastOf(seg) : qMax(lastEnd, lastOf(seg));
    }
    const qint64 span = segments.isEmpty() ? 0 : coverEnd - segments.first()->starttime;
    c.availability = span > 0 ? qBound(0.0, 100.0 * double(covered) / double(span), 100.0) : 100.0;
    return c;
}
