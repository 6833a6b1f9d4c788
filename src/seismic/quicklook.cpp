#include "quicklook.h"

#include "cardformat.h"
#include "recordcheck.h"

#include <libmseed.h>

#include <algorithm>

namespace {

QVector<float> toFloats(const MSTraceSeg *seg)
{
    QVector<float> out(qsizetype(seg->numsamples));
    switch (seg->sampletype) {
    case 'i':
        std::copy_n(static_cast<const qint32 *>(seg->datasamples), seg->numsamples, out.begin());
        break;
    case 'f':
        std::copy_n(static_cast<const float *>(seg->datasamples), seg->numsamples, out.begin());
        break;
    case 'd':
        std::copy_n(static_cast<const double *>(seg->datasamples), seg->numsamples, out.begin());
        break;
    default: // text records carry no samples to draw
        out.clear();
    }
    return out;
}

} // namespace

bool decodeQuickLook(QByteArray bytes, const std::function<bool()> &cancelled, QuickLook *look)
{
    char *data = bytes.data();
    const qint64 size = bytes.size();
    MSRecord *msr = nullptr;
    MSTraceList *traces = mstl_init(nullptr);
    bool stopped = false;
    for (qint64 at = 0; size - at >= Card::SectorSize;) {
        if (cancelled && cancelled()) {
            stopped = true;
            break;
        }
        const int left = int(qMin<qint64>(size - at, 1 << 30));
        const int parsed = msr_parse(data + at, left, &msr, 0, 0, 0);
        if (parsed != MS_NOERROR || msr->reclen < Card::SectorSize) {
            at += Card::SectorSize;
            continue;
        }
        ++look->records;
        // The header parsed; now the samples, so that a record whose data are damaged
        // still counts and leaves a break in its trace. A header that fails the checks is
        // never decoded: its samples would be read from beyond the record.
        const int reclen = msr->reclen;
        if (!RecordCheck::fault(msr).isEmpty() || !RecordCheck::canDecode(msr->encoding))
            ++look->undecodable;
        else if (msr_parse(data + at, reclen, &msr, reclen, 1, 0) != MS_NOERROR || msr->numsamples != msr->samplecnt)
            ++look->undecodable;
        else
            mstl_addmsr(traces, msr, 0, 1, -1.0, -1.0);
        at += (reclen + Card::SectorSize - 1) / Card::SectorSize * Card::SectorSize;
    }
    msr_free(&msr);
    if (!stopped) {
        bool any = false;
        for (const MSTraceID *id = traces->traces; id; id = id->next) {
            Trace trace;
            trace.id = QStringLiteral("%1.%2.%3.%4")
                           .arg(QLatin1String(id->network), QLatin1String(id->station), QLatin1String(id->location),
                                QLatin1String(id->channel));
            for (const MSTraceSeg *seg = id->first; seg; seg = seg->next) {
                TraceSegment s;
                s.start = seg->starttime;
                s.rate = seg->samprate;
                s.samples = EnvelopePyramid(toFloats(seg));
                if (s.samples.size() == 0)
                    continue;
                look->start = any ? qMin(look->start, s.start) : s.start;
                look->end = any ? qMax(look->end, s.end()) : s.end();
                any = true;
                trace.segments.append(std::move(s));
            }
            std::sort(trace.segments.begin(), trace.segments.end(),
                      [](const TraceSegment &a, const TraceSegment &b) { return a.start < b.start; });
            if (!trace.segments.isEmpty())
                look->traces.append(std::move(trace));
        }
        std::sort(look->traces.begin(), look->traces.end(), [](const Trace &a, const Trace &b) { return a.id < b.id; });
    }
    mstl_free(&traces, 0);
    return !stopped;
}
