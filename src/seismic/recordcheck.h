// What a record must be before its samples are decoded or its times computed on: a
// damaged card can hold a header that parses yet claims more samples than its data
// area holds (the decoder would read past the record), a date far outside a recorder's
// life, a sample rate that overflows every time sum, or codes with control bytes.
// Such a record is a bad record: named in the report, never decoded, never filed.
#pragma once

#include <QString>
#include <QtGlobal>

#include <cmath>

struct MSRecord_s;

namespace RecordCheck {

// The range of start times accepted: 1970-01-01 to 2100-01-01 UTC (hptime, microseconds).
constexpr qint64 EarliestTime = 0;
constexpr qint64 LatestTime = qint64(4102444800) * 1000000;
// Sample rates accepted, in Hz. A rate of 0 is accepted too: SEED gives it to records
// that are not sampled in time (logs, state of health, text); their samples have no times.
constexpr double LowestRate = 1e-6;
constexpr double HighestRate = 1e6;

// Why the header of a record libmseed has parsed without its samples cannot be trusted;
// empty when it can. Looks at the header only: cheap enough for every record.
QString fault(const MSRecord_s *msr);

// Whether samples of this encoding can be decoded. A record of another encoding passes
// fault() when the rest of its header does; its samples are never decoded (a failure of
// decoding in the report), its bytes are filed as they are.
bool canDecode(int encoding);

// Microseconds between samples at `rate` Hz; 0 for no rate or one outside the accepted
// range, so that no time sum made with it can overflow.
inline qint64 samplePeriod(double rate)
{
    if (!(rate >= LowestRate && rate <= HighestRate))
        return 0;
    return qint64(std::llround(1e6 / rate));
}

// `count` samples of `rate` Hz in microseconds, bounded so that adding it to an
// accepted time cannot overflow; 0 for a rate outside the accepted range.
inline qint64 samplesSpan(double count, double rate)
{
    if (!(rate >= LowestRate && rate <= HighestRate) || !(count > 0))
        return 0;
    const double span = count * 1e6 / rate;
    return span < 4e18 ? qint64(std::llround(span)) : qint64(4e18);
}

// The time of a record's last sample, as libmseed gives it (a leap second the record
// says it holds taken into account), yet never before its first: a short record that
// claims a leap second would otherwise end before it starts.
qint64 lastSampleTime(const MSRecord_s *msr);

// A code as text that no terminal or report line can take for its own: bytes outside
// printable ASCII, and the backslash itself, become \xNN.
QString escapedCode(const QString &code);

} // namespace RecordCheck
