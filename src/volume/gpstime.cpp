#include "gpstime.h"

namespace {

constexpr quint32 SecondsPerDay = 86400;
constexpr quint32 CommonYear = 365 * SecondsPerDay;  // 31536000
constexpr quint32 LeapYear = 366 * SecondsPerDay;    // 31622400
constexpr quint32 FourYearCycle = LeapYear + 3 * CommonYear; // 126230400
constexpr quint32 EpochAfterNewYear = 5 * SecondsPerDay;     // 1980-01-01 .. 1980-01-06
// The five days above plus one, because day of month and day of year count from 1.
constexpr quint32 EpochAndFirstDay = 6 * SecondsPerDay;

static_assert(FourYearCycle == 126230400, "four-year cycle");

constexpr quint32 MonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

// Offsets from 1 March, in days, of March to December.
constexpr quint32 DaysFromMarch[10] = {0, 31, 61, 92, 122, 153, 184, 214, 245, 275};

// Seconds since 1980-01-01 00:00:00 to calendar fields (all but gpsSeconds).
void secondsSince1980ToCalendar(quint32 s, GpsTime &out)
{
    const quint32 cycles = s / FourYearCycle;
    const quint32 r = s % FourYearCycle;
    quint32 y;
    if (r < LeapYear) {
        out.year = 1980 + 4 * cycles;
        out.leapYear = 1;
        y = r;
    } else {
        const quint32 rest = r - LeapYear;
        out.year = 1981 + 4 * cycles + rest / CommonYear;
        out.leapYear = 0;
        y = rest % CommonYear;
    }

    const quint32 d = y / SecondsPerDay;
    out.dayOfYear = d + 1;

    quint32 daysBefore = 0;
    quint32 month = 0;
    for (; month < 12; ++month) {
        const quint32 length = MonthDays[month] + (month == 1 ? out.leapYear : 0);
        if (daysBefore + length > d)
            break;
        daysBefore += length;
    }
    out.month = month + 1;
    out.day = d + 1 - daysBefore;

    out.secondOfDay = y - SecondsPerDay * d;
    out.hour = out.secondOfDay / 3600;
    out.minute = (out.secondOfDay % 3600) / 60;
    out.second = out.secondOfDay % 60;
}

// Seconds from 1980-01-01 to 1 January of `year`, with the recorder's leap rule.
quint32 yearStart(int year)
{
    const quint32 y = quint32(year - 1980);
    quint32 start = (y / 4) * FourYearCycle + (y % 4) * CommonYear;
    if (year % 4 != 0)
        start += SecondsPerDay; // the leap day at the start of its cycle
    return start;
}

} // namespace

quint32 gpsToCalendar(quint32 gps, GpsTime &out)
{
    secondsSince1980ToCalendar(gps + EpochAfterNewYear, out);
    out.gpsSeconds = gps;
    return gps;
}

bool isValidCalendar(int year, int month, int day, int hour, int minute, int second)
{
    return year >= 1980 && year <= 20000 && month >= 1 && month <= 12 && day >= 1 && day <= 31
        && hour >= 0 && hour <= 23 && minute >= 0 && minute <= 59 && second >= 0 && second <= 60;
}

quint32 calendarToGps(int year, int month, int day, int hour, int minute, int second)
{
    if (!isValidCalendar(year, month, day, hour, minute, second))
        return 0;

    const quint32 start = yearStart(year);
    quint32 monthStart;
    if (month == 1) {
        monthStart = start;
    } else if (month == 2) {
        monthStart = start + 31 * SecondsPerDay;
    } else {
        const quint32 marchStart = start + (year % 4 == 0 ? 60 : 59) * SecondsPerDay;
        monthStart = marchStart + DaysFromMarch[month - 3] * SecondsPerDay;
    }
    return monthStart + quint32(day) * SecondsPerDay + quint32(hour) * 3600 + quint32(minute) * 60
        + quint32(second) - EpochAndFirstDay;
}
