#include "recordcheck.h"

#include <libmseed.h>

#include <algorithm>

namespace RecordCheck {

namespace {

constexpr int FixedHeaderSize = 48;
constexpr int SteimFrameSize = 64;
constexpr int SteimWordsPerFrame = 15; // the first word of a frame holds the nibbles

bool isLeapYear(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// Days (year, day of year) whose last minute has a 61st second: every leap second
// since 1972, each at the end of 30 June or 31 December.
bool endsInLeapSecond(int year, int day)
{
    struct Leap
    {
        short year;
        bool june;
    };
    static const Leap leaps[] = {
        {1972, true},  {1972, false}, {1973, false}, {1974, false}, {1975, false}, {1976, false}, {1977, false},
        {1978, false}, {1979, false}, {1981, true},  {1982, true},  {1983, true},  {1985, true},  {1987, false},
        {1989, false}, {1990, false}, {1992, true},  {1993, true},  {1994, true},  {1995, false}, {1997, true},
        {1998, false}, {2005, false}, {2008, false}, {2012, true},  {2015, true},  {2016, false},
    };
    const int june30 = isLeapYear(year) ? 182 : 181;
    const int december31 = isLeapYear(year) ? 366 : 365;
    return std::any_of(std::begin(leaps), std::end(leaps), [&](const Leap &leap) {
        return leap.year == year && day == (leap.june ? june30 : december31);
    });
}

// Bytes a sample takes in the data area, or for Steim the most samples a 64-byte frame
// can hold (negative); 0 for an encoding that cannot be decoded.
int sampleBytes(int encoding)
{
    switch (encoding) {
    case DE_ASCII:
        return 1;
    case DE_INT16:
    case DE_GEOSCOPE163:
    case DE_GEOSCOPE164:
    case DE_CDSN:
    case DE_SRO:
    case DE_DWWSSN:
        return 2;
    case DE_GEOSCOPE24:
        return 3;
    case DE_INT32:
    case DE_FLOAT32:
        return 4;
    case DE_FLOAT64:
        return 8;
    case DE_STEIM1:
        return -SteimWordsPerFrame * 4;
    case DE_STEIM2:
        return -SteimWordsPerFrame * 7;
    default:
        return 0;
    }
}

// A code field as the header holds it: printable ASCII, padded at its end with spaces
// or NULs; a NUL inside would cut the code short where libmseed reads it.
bool isCleanCode(const char *field, int width)
{
    bool ended = false;
    for (int i = 0; i < width; ++i) {
        const unsigned char c = static_cast<unsigned char>(field[i]);
        if (c == 0) {
            ended = true;
            continue;
        }
        if (ended || c < 0x20 || c > 0x7e)
            return false;
    }
    return true;
}

} // namespace

qint64 lastSampleTime(const MSRecord_s *msr)
{
    return std::max<qint64>(msr->starttime, msr_endtime(const_cast<MSRecord_s *>(msr)));
}

QString fault(const MSRecord_s *msr)
{
    if (!msr || !msr->fsdh)
        return QStringLiteral("no fixed header");
    const fsdh_s &h = *msr->fsdh;
    if (!isCleanCode(h.network, sizeof h.network) || !isCleanCode(h.station, sizeof h.station)
        || !isCleanCode(h.location, sizeof h.location) || !isCleanCode(h.channel, sizeof h.channel))
        return QStringLiteral("codes with bytes other than printable ASCII");
    if (!msr->Blkt1000)
        return QStringLiteral("no blockette 1000 (encoding and record length unknown)");

    const BTime &t = h.start_time;
    const int days = isLeapYear(t.year) ? 366 : 365;
    if (t.year < 1970 || t.year > 2099 || t.day < 1 || t.day > days || t.hour > 23 || t.min > 59 || t.sec > 60
        || t.fract > 9999)
        return QStringLiteral("start time %1,%2 %3:%4:%5 outside 1970 to 2099")
            .arg(t.year).arg(t.day).arg(t.hour).arg(t.min).arg(t.sec);
    if (t.sec == 60 && !(t.hour == 23 && t.min == 59 && endsInLeapSecond(t.year, t.day)))
        return QStringLiteral("a leap second on %1,%2, a day without one").arg(t.year).arg(t.day);

    const double rate = msr->samprate;
    const qint64 count = msr->samplecnt;
    const bool unsampled = rate == 0;
    if (!unsampled && !(rate >= LowestRate && rate <= HighestRate))
        return QStringLiteral("sample rate %1 Hz outside %2 to %3 Hz").arg(rate).arg(LowestRate).arg(HighestRate);
    if (msr->starttime < EarliestTime || msr->starttime >= LatestTime
        || (count > 1 && !unsampled && samplesSpan(double(count - 1), rate) >= LatestTime - msr->starttime))
        return QStringLiteral("samples outside 1970 to 2099");

    if (count == 0)
        return QString();
    const int perSample = sampleBytes(msr->encoding);
    if (perSample == 0)
        return QString(); // never decoded (canDecode()): its samples are not read at all
    if (h.data_offset < FixedHeaderSize || h.data_offset >= msr->reclen)
        return QStringLiteral("data offset %1 outside the record of %2 bytes").arg(h.data_offset).arg(msr->reclen);
    const qint64 area = msr->reclen - h.data_offset;
    const qint64 most = perSample > 0 ? area / perSample : area / SteimFrameSize * -perSample;
    if (count > most)
        return QStringLiteral("%1 samples claimed where the data area holds at most %2").arg(count).arg(most);
    return QString();
}

bool canDecode(int encoding)
{
    return sampleBytes(encoding) != 0;
}

QString escapedCode(const QString &code)
{
    QString out;
    out.reserve(code.size());
    for (const QChar c : code) {
        const ushort u = c.unicode();
        if (u >= 0x20 && u < 0x7f && u != '\\')
            out += c;
        else
            out += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
    }
    return out;
}

} // namespace RecordCheck
