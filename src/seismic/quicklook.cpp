#include "quicklook.h"

#include "filesystem.h"
#include "recordcheck.h"
#include "recordscanner.h"

#include <QHash>

#include <libmseed.h>

#include <algorithm>
#include <cmath>
#include <memory>

namespace {

// A segment being filled: where its next record is expected to begin.
struct OpenSegment
{
    TraceSegment segment;
    double nextStart = 0; // microseconds
};

struct Channel
{
    QString id;
    std::vector<OpenSegment> segments;
    qint64 buckets = 0; // over all segments
};

// Records of a few interleaved streams end where the next of their own begins; a
// record is joined to one of the latest segments only, so that a file broken into very
// many pieces costs no search over all of them.
constexpr int JoinCandidates = 8;
constexpr qint64 FileBuckets = 4 * QuickLook::MaxBuckets;
constexpr qint64 MinBuckets = 4096;

class Builder
{
public:
    void add(const MSRecord *msr)
    {
        const char type = msr->sampletype;
        if (msr->numsamples <= 0 || (type != 'i' && type != 'f' && type != 'd'))
            return; // text records carry no samples to draw
        Channel &channel = channelOf(msr);
        const double rate = msr->samprate;
        OpenSegment *into = nullptr;
        if (rate > 0) {
            const double halfPeriod = 0.5e6 / rate;
            const int first = qMax(0, int(channel.segments.size()) - JoinCandidates);
            for (int i = int(channel.segments.size()) - 1; i >= first && !into; --i) {
                OpenSegment &s = channel.segments[size_t(i)];
                if (MS_ISRATETOLERABLE(rate, s.segment.rate) && std::fabs(double(msr->starttime) - s.nextStart) <= halfPeriod)
                    into = &s;
            }
        }
        if (!into) {
            channel.segments.emplace_back();
            into = &channel.segments.back();
            into->segment.start = msr->starttime;
            into->segment.rate = rate;
            into->nextStart = double(msr->starttime);
        }
        EnvelopePyramid &pyramid = into->segment.samples;
        const qint64 before = pyramid.buckets();
        const qint64 n = msr->numsamples;
        switch (type) {
        case 'i':
            pyramid.append(static_cast<const qint32 *>(msr->datasamples), n);
            break;
        case 'f':
            pyramid.append(static_cast<const float *>(msr->datasamples), n);
            break;
        default:
            pyramid.append(static_cast<const double *>(msr->datasamples), n);
        }
        if (rate > 0)
            into->nextStart += double(n) * 1e6 / rate;
        channel.buckets += pyramid.buckets() - before;
        // Keep every segment of the channel at one resolution, so that the bound holds
        // for the channel however its samples are split. A file of many channels shares
        // a bound for all, down to a floor that still draws a trace.
        const qint64 bound = qBound(MinBuckets, FileBuckets / qint64(m_channels.size()), QuickLook::MaxBuckets);
        while (channel.buckets > bound) {
            channel.buckets = 0;
            for (OpenSegment &s : channel.segments) {
                s.segment.samples.coarsen();
                channel.buckets += s.segment.samples.buckets();
            }
        }
    }

    void finish(QuickLook *look)
    {
        bool any = false;
        for (auto &entry : m_channels) {
            Trace trace;
            trace.id = entry->id;
            for (OpenSegment &s : entry->segments) {
                s.segment.samples.seal();
                look->start = any ? qMin(look->start, s.segment.start) : s.segment.start;
                look->end = any ? qMax(look->end, s.segment.end()) : s.segment.end();
                any = true;
                trace.segments.append(std::move(s.segment));
            }
            entry.reset();
            std::sort(trace.segments.begin(), trace.segments.end(),
                      [](const TraceSegment &a, const TraceSegment &b) { return a.start < b.start; });
            if (!trace.segments.isEmpty())
                look->traces.append(std::move(trace));
        }
        std::sort(look->traces.begin(), look->traces.end(), [](const Trace &a, const Trace &b) { return a.id < b.id; });
    }

private:
    Channel &channelOf(const MSRecord *msr)
    {
        const QString id = QStringLiteral("%1.%2.%3.%4")
                               .arg(QLatin1String(msr->network), QLatin1String(msr->station),
                                    QLatin1String(msr->location), QLatin1String(msr->channel));
        if (m_last && m_last->id == id)
            return *m_last;
        Channel *&found = m_byId[id];
        if (!found) {
            m_channels.push_back(std::make_unique<Channel>());
            found = m_channels.back().get();
            found->id = id;
        }
        return *(m_last = found);
    }

    std::vector<std::unique_ptr<Channel>> m_channels;
    QHash<QString, Channel *> m_byId;
    Channel *m_last = nullptr;
};

// Ends the read at the next chunk once the look is no longer wanted.
class CancelGate : public CopySink
{
public:
    explicit CancelGate(const std::function<bool()> &cancelled)
        : m_cancelled(cancelled)
    {
    }
    Status begin(const CopySource &) override { return gate(); }
    Status consume(const SectorChunk &) override { return gate(); }
    Status finish(CopyEnd) override { return Status(); }
    bool isCancelled() const { return m_cancelled && m_cancelled(); }

private:
    Status gate() const
    {
        return isCancelled() ? Status::stopped(QStringLiteral("the quick look was replaced")) : Status();
    }

    const std::function<bool()> &m_cancelled;
};

// The record scanner feeds the builder: records are found across chunk boundaries and
// checked, and one that fails the checks is counted, never decoded.
struct Feed
{
    explicit Feed(const std::function<bool()> &cancelled, QuickLook *look)
        : gate(cancelled)
    {
        scanner.setRecordHandler([this, look](const char *, int, const MSRecord *msr) {
            ++look->records;
            if (msr->samplecnt > 0 && msr->numsamples <= 0)
                ++look->undecodable;
            else if (!gate.isCancelled())
                builder.add(msr);
        });
        scanner.setBadRecordHandler([look](const QString &) {
            ++look->records;
            ++look->undecodable;
        });
    }

    CancelGate gate;
    RecordScanner scanner;
    Builder builder;
};

} // namespace

bool loadQuickLook(Filesystem &card, const QString &cardPath, const std::function<bool()> &cancelled,
                   QuickLook *look)
{
    Feed feed(cancelled, look);
    const ExportResult read = card.viewFile(cardPath, {&feed.gate, &feed.scanner});
    if (feed.gate.isCancelled())
        return false;
    if (read.status == ExportResult::Failed && read.bytesWritten == 0) {
        look->message = read.message;
        return false;
    }
    if (!read.isComplete())
        look->message = read.message;
    feed.builder.finish(look);
    return true;
}
