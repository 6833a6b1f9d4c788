#include "envelope.h"
#include "recordcheck.h"

#include <cmath>

EnvelopePyramid::EnvelopePyramid(const QVector<float> &samples)
{
    append(samples.constData(), samples.size());
    seal();
}

void EnvelopePyramid::coarsen()
{
    const size_t n = m_buckets.size();
    for (size_t i = 0; 2 * i < n; ++i) {
        const auto &a = m_buckets[2 * i];
        const auto &b = 2 * i + 1 < n ? m_buckets[2 * i + 1] : a;
        m_buckets[i] = {qMin(a.first, b.first), qMax(a.second, b.second)};
    }
    m_buckets.resize((n + 1) / 2);
    ++m_shift;
    m_levels.clear();
}

void EnvelopePyramid::seal()
{
    m_buckets.shrink_to_fit();
    m_levels.clear();
    const std::vector<std::pair<float, float>> *below = &m_buckets;
    while (below->size() > 1) {
        const size_t n = below->size();
        std::vector<std::pair<float, float>> above((n + 1) / 2);
        for (size_t i = 0; i < above.size(); ++i) {
            const auto &a = (*below)[2 * i];
            const auto &b = 2 * i + 1 < n ? (*below)[2 * i + 1] : a;
            above[i] = {qMin(a.first, b.first), qMax(a.second, b.second)};
        }
        m_levels.push_back(std::move(above));
        below = &m_levels.back();
    }
}

ColumnExtent EnvelopePyramid::extent(qint64 first, qint64 last) const
{
    ColumnExtent e;
    first = qMax<qint64>(first, 0);
    last = qMin<qint64>(last, m_count);
    if (first >= last)
        return e;
    const auto take = [&e](const std::pair<float, float> &p) {
        e.lo = e.valid ? qMin(e.lo, p.first) : p.first;
        e.hi = e.valid ? qMax(e.hi, p.second) : p.second;
        e.valid = true;
    };
    // In buckets: every one that holds a sample of the range.
    qint64 a = first >> m_shift;
    qint64 b = ((last - 1) >> m_shift) + 1;
    // Bottom-up over the levels: an odd left end or an odd right end is taken alone at
    // this level, the rest pairs up into the level above.
    for (size_t level = 0; a < b; ++level) {
        const std::vector<std::pair<float, float>> &at = level == 0 ? m_buckets : m_levels[level - 1];
        if (a & 1)
            take(at[size_t(a++)]);
        if (b & 1)
            take(at[size_t(--b)]);
        a /= 2;
        b /= 2;
    }
    return e;
}

qint64 TraceSegment::end() const
{
    return start + RecordCheck::samplesSpan(double(samples.size()), rate);
}

qint64 TraceSegment::indexAt(qint64 time) const
{
    if (rate <= 0)
        return 0;
    const double i = std::ceil((double(time) - double(start)) * rate / 1e6 - 1e-9);
    return qint64(qBound(0.0, i, double(samples.size())));
}

QVector<ColumnExtent> Trace::columns(qint64 start, qint64 end, int columns) const
{
    QVector<ColumnExtent> out(qMax(columns, 0));
    if (columns <= 0 || end <= start)
        return out;
    const double width = double(end - start) / columns;
    for (const TraceSegment &seg : segments) {
        if (seg.end() <= start || seg.start >= end)
            continue;
        const int c0 = qMax(0, int(std::floor((seg.start - start) / width)));
        const int c1 = qMin(columns - 1, int(std::floor((seg.end() - 1 - start) / width)));
        for (int c = c0; c <= c1; ++c) {
            const qint64 t0 = start + qint64(std::llround(c * width));
            const qint64 t1 = start + qint64(std::llround((c + 1) * width));
            const ColumnExtent e = seg.samples.extent(seg.indexAt(t0), seg.indexAt(t1));
            if (!e.valid)
                continue;
            ColumnExtent &o = out[c];
            o.lo = o.valid ? qMin(o.lo, e.lo) : e.lo;
            o.hi = o.valid ? qMax(o.hi, e.hi) : e.hi;
            o.valid = true;
        }
    }
    return out;
}

ColumnExtent Trace::extent(qint64 start, qint64 end) const
{
    ColumnExtent out;
    for (const TraceSegment &seg : segments) {
        const ColumnExtent e = seg.samples.extent(seg.indexAt(start), seg.indexAt(end));
        if (!e.valid)
            continue;
        out.lo = out.valid ? qMin(out.lo, e.lo) : e.lo;
        out.hi = out.valid ? qMax(out.hi, e.hi) : e.hi;
        out.valid = true;
    }
    return out;
}
