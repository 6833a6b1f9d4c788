// GPS-second time arithmetic of the recorder.
//
// Every time stamp on a card counts seconds since the GPS epoch 1980-01-06 00:00:00
// without leap seconds, as an unsigned 32-bit value. Directory and file names are the
// calendar form of those stamps, and names handed back are turned into seconds again.
// The recorder's calendar counts every year divisible by 4 as a leap year (2100 too),
// and all arithmetic wraps modulo 2^32: names on existing cards depend on both, so the
// conversions below keep them exactly.
#pragma once

#include <QtGlobal>

struct GpsTime
{
    quint32 gpsSeconds = 0;  // the instant described, GPS seconds
    quint32 year = 0;        // 1980 .. 2116
    quint32 month = 0;       // 1 .. 12
    quint32 day = 0;         // 1 .. 31
    quint32 hour = 0;        // 0 .. 23
    quint32 minute = 0;      // 0 .. 59
    quint32 second = 0;      // 0 .. 59
    quint32 dayOfYear = 0;   // 1 .. 366, 1 January = 1
    quint32 leapYear = 0;    // 1 when year is divisible by 4
    quint32 secondOfDay = 0; // 0 .. 86399
};

// Fills every field of `out` for GPS second `gps`; returns `gps`.
quint32 gpsToCalendar(quint32 gps, GpsTime &out);

// GPS seconds of a calendar instant, modulo 2^32; 0 when a field is out of range
// (year 1980..20000, month 1..12, day 1..31, hour 0..23, minute 0..59, second 0..60).
// The day is not compared with the month's length: 2015-02-31 is 2015-03-03.
quint32 calendarToGps(int year, int month, int day, int hour, int minute, int second);

// Whether calendarToGps() accepts these fields.
bool isValidCalendar(int year, int month, int day, int hour, int minute, int second);
