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

class EnvelopePyramid
{
public:
    EnvelopePyramid() = default;
    explicit EnvelopePyramid(QVector<float> samples);

    qint64 size() const { return m_samples.size(); }
    float sample(qint64 i) const { return m_samples.at(i); }
    // The least and greatest of samples [first, last), clipped to the series; invalid
    // when that holds none. O(log n): whole blocks from the coarsest level that fits.
    ColumnExtent extent(qint64 first, qint64 last) const;

private:
    QVector<float> m_samples;
    // Level k pairs up level k-1 (level 0 being the samples): ceil(n / 2^k) entries.
    std::vector<std::vector<std::pair<float, float>>> m_levels;
};

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
