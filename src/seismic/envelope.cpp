#include "envelope.h"
#include "recordcheck.h"

#include <cmath>

EnvelopePyramid::EnvelopePyramid(QVector<float> samples)
    : m_samples(std::move(samples))
{
    qint64 n = m_samples.size();
    if (n < 2)
        return;
    std::vector<std::pair<float, float>> level((n + 1) / 2);
    for (qint64 i = 0; i < qint64(level.size()); ++i) {
        const float a = m_samples.at(2 * i);
        const float b = 2 * i + 1 < n ? m_samples.at(2 * i + 1) : a;
        level[size_t(i)] = {qMin(a, b), qMax(a, b)};
    }
    m_levels.push_back(std::move(level));
    while (m_levels.back().size() > 1) {
        const std::vector<std::pair<float, float>> &below = m_levels.back();
        n = qint64(below.size());
        std::vector<std::pair<float, float>> above(size_t((n + 1) / 2));
        for (qint64 i = 0; i < qint64(above.size()); ++i) {
            const auto &a = below[size_t(2 * i)];
            const auto &b = 2 * i + 1 < n ? below[size_t(2 * i + 1)] : a;
            above[size_t(i)] = {qMin(a.first, b.first), qMax(a.second, b.second)};
        }
        m_levels.push_back(std::move(above));
    }
}

ColumnExtent EnvelopePyramid::extent(qint64 first, qint64 last) const
{
    ColumnExtent e;
    first = qMax<qint64>(first, 0);
    last = qMin<qint64>(last, m_samples.size());
    const auto take = [&e](float lo, float hi) {
        e.lo = e.valid ? qMin(e.lo, lo) : lo;
        e.hi = e.valid ? qMax(e.hi, hi) : hi;
        e.valid = true;
    };
    // Bottom-up over the levels: an odd left end or an odd right end is taken alone at
    // this level, the rest pairs up into the level above.
    qint64 a = first;
    qint64 b = last;
    for (size_t level = 0; a < b; ++level) {
        const auto at = [&](qint64 i) -> std::pair<float, float> {
            if (level == 0)
                return {m_samples.at(i), m_samples.at(i)};
            return m_levels[level - 1][size_t(i)];
        };
        if (a & 1) {
            const auto p = at(a++);
            take(p.first, p.second);
        }
        if (b & 1) {
            const auto p = at(--b);
            take(p.first, p.second);
        }
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
