// Drawing millions of samples into a few hundred pixel columns: the least and greatest
// sample of every column, from a min/max pyramid built once per trace, so that zooming and
// panning never touch the samples one by one.
#pragma once

#include <QString>
#include <QVector>
#include <QtGlobal>

#include <utility>
#include <vector>

// The extent of the samples in one pixel column; `valid` false where there are none, so
// that a gap breaks the line.
struct ColumnExtent
{
    float lo = 0;
    float hi = 0;
    bool valid = false;
};

// The least and greatest sample of every bucket of a series, and levels above that pair
// the buckets up. A bucket holds one sample while the series is small; a series that
// grows past what the view needs is coarsened (buckets merged pairwise) as it arrives,
// so that its memory is bounded by its bucket count, not by its samples.
class EnvelopePyramid
{
public:
    EnvelopePyramid() = default;
    // The series as given, one sample per bucket, the levels built.
    explicit EnvelopePyramid(const QVector<float> &samples);

    // Adds samples at the end, into the buckets of the present resolution; the levels
    // above the buckets are built by seal(), once the series is whole.
    template<typename T>
    void append(const T *samples, qint64 count);
    // Halves the buckets: every two become one of twice the samples.
    void coarsen();
    void seal();

    qint64 size() const { return m_count; } // samples, however bucketed
    qint64 buckets() const { return qint64(m_buckets.size()); }
    qint64 samplesPerBucket() const { return qint64(1) << m_shift; }
    // Every sample is still held on its own: sample() is only valid then.
    bool isExact() const { return m_shift == 0; }
    float sample(qint64 i) const { return m_buckets[size_t(i)].first; }
    // The least and greatest of samples [first, last), clipped to the series; invalid
    // when that holds none. O(log n): whole blocks from the coarsest level that fits.
    // Once coarsened, the buckets the ends fall in are taken whole.
    ColumnExtent extent(qint64 first, qint64 last) const;

private:
    qint64 m_count = 0;
    int m_shift = 0; // log2 of the samples per bucket
    std::vector<std::pair<float, float>> m_buckets;
    // Level k pairs up level k-1 (level 0 being the buckets): ceil(n / 2^k) entries.
    std::vector<std::vector<std::pair<float, float>>> m_levels;
};

template<typename T>
void EnvelopePyramid::append(const T *samples, qint64 count)
{
    const qint64 mask = samplesPerBucket() - 1;
    for (qint64 i = 0; i < count; ++i, ++m_count) {
        const float v = float(samples[i]);
        if ((m_count & mask) == 0) {
            m_buckets.emplace_back(v, v);
        } else {
            std::pair<float, float> &b = m_buckets.back();
            b.first = qMin(b.first, v);
            b.second = qMax(b.second, v);
        }
    }
}

// A run of evenly spaced samples without a gap.
struct TraceSegment
{
    qint64 start = 0;   // UTC microseconds of the first sample
    double rate = 0;    // samples per second
    EnvelopePyramid samples;

    // Microseconds after the last sample's period.
    qint64 end() const;
    // Index of the first sample at or after `time`, in 0..size.
    qint64 indexAt(qint64 time) const;
};

// One channel of a file.
struct Trace
{
    QString id;         // NET.STA.LOC.CHA
    QVector<TraceSegment> segments; // in time order

    // Per pixel column of [start, end) in `columns` equal parts, the samples that fall in it.
    QVector<ColumnExtent> columns(qint64 start, qint64 end, int columns) const;
    // The extent of every sample in [start, end).
    ColumnExtent extent(qint64 start, qint64 end) const;
};
