#include "cardmodel.h"
#include "gpstime.h"

#include <QTest>

class TestGpsTime : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void toCalendar_data();
    void toCalendar();
    void toGps_data();
    void toGps();
    void roundTrip();
};

void TestGpsTime::toCalendar_data()
{
    QTest::addColumn<quint32>("gps");
    QTest::addColumn<QList<quint32>>("fields"); // year month day hour minute second doy leap sod
    QTest::addColumn<QString>("name");          // the card file's name; its directory's is the first 13 characters

    QTest::newRow("epoch") << 0u << QList<quint32>{1980, 1, 6, 0, 0, 0, 6, 1, 0} << QStringLiteral("19800106_000000");
    QTest::newRow("1e9") << 1000000000u << QList<quint32>{2011, 9, 14, 1, 46, 40, 257, 0, 6400} << QStringLiteral("20110914_014640");
    QTest::newRow("leap day 2016") << 1140782400u << QList<quint32>{2016, 2, 29, 12, 0, 0, 60, 1, 43200} << QStringLiteral("20160229_120000");
    // The recorder counts 2100-02-29, so later dates run a day behind the Gregorian calendar.
    QTest::newRow("after 2100") << 4294535295u << QList<quint32>{2116, 2, 6, 6, 28, 15, 37, 1, 23295} << QStringLiteral("21160206_062815");
    QTest::newRow("2100-02-29") << calendarToGps(2100, 2, 29, 0, 0, 0) << QList<quint32>{2100, 2, 29, 0, 0, 0, 60, 1, 0} << QStringLiteral("21000229_000000");
    // The epoch offset wraps: the last 432000 values fall on 1980-01-01 .. 1980-01-05.
    QTest::newRow("wrap first") << 4294535296u << QList<quint32>{1980, 1, 1, 0, 0, 0, 1, 1, 0} << QStringLiteral("19800101_000000");
    QTest::newRow("wrap last") << 4294967295u << QList<quint32>{1980, 1, 5, 23, 59, 59, 5, 1, 86399} << QStringLiteral("19800105_235959");
    QTest::newRow("year end 1981") << calendarToGps(1981, 12, 31, 23, 59, 59)
                                   << QList<quint32>{1981, 12, 31, 23, 59, 59, 365, 0, 86399} << QStringLiteral("19811231_235959");
}

void TestGpsTime::toCalendar()
{
    QFETCH(quint32, gps);
    QFETCH(QList<quint32>, fields);
    GpsTime t;
    QCOMPARE(gpsToCalendar(gps, t), gps);
    const QList<quint32> got{t.year, t.month, t.day, t.hour, t.minute, t.second, t.dayOfYear, t.leapYear, t.secondOfDay};
    QCOMPARE(got, fields);
    QCOMPARE(t.gpsSeconds, gps);
    QFETCH(QString, name);
    QCOMPARE(cardFileName(gps), name);
    QCOMPARE(cardDirectoryName(gps), name.left(13));
}

void TestGpsTime::toGps_data()
{
    QTest::addColumn<QList<int>>("fields");
    QTest::addColumn<quint32>("gps");
    QTest::addColumn<bool>("valid");

    QTest::newRow("epoch gives the invalid value") << QList<int>{1980, 1, 6, 0, 0, 0} << 0u << true;
    QTest::newRow("before epoch wraps") << QList<int>{1980, 1, 1, 0, 0, 0} << 4294535296u << true;
    QTest::newRow("1e9") << QList<int>{2011, 9, 14, 1, 46, 40} << 1000000000u << true;
    QTest::newRow("leap day") << QList<int>{2016, 2, 29, 12, 0, 0} << 1140782400u << true;
    QTest::newRow("31 February is 3 March") << QList<int>{2015, 2, 31, 0, 0, 0} << calendarToGps(2015, 3, 3, 0, 0, 0) << true;
    QTest::newRow("second 60") << QList<int>{2015, 6, 30, 23, 59, 60} << 1119744000u << true;
    QTest::newRow("midnight after") << QList<int>{2015, 7, 1, 0, 0, 0} << 1119744000u << true;
    QTest::newRow("largest") << QList<int>{2116, 2, 11, 6, 28, 15} << 4294967295u << true;
    QTest::newRow("wraps to 0") << QList<int>{2116, 2, 11, 6, 28, 16} << 0u << true;
    QTest::newRow("2117") << QList<int>{2117, 1, 1, 0, 0, 0} << 28056704u << true;
    QTest::newRow("year 1979") << QList<int>{1979, 6, 1, 0, 0, 0} << 0u << false;
    QTest::newRow("year 20001") << QList<int>{20001, 6, 1, 0, 0, 0} << 0u << false;
    QTest::newRow("month 0") << QList<int>{2011, 0, 1, 0, 0, 0} << 0u << false;
    QTest::newRow("month 13") << QList<int>{2011, 13, 1, 0, 0, 0} << 0u << false;
    QTest::newRow("day 0") << QList<int>{2011, 1, 0, 0, 0, 0} << 0u << false;
    QTest::newRow("day 32") << QList<int>{2011, 1, 32, 0, 0, 0} << 0u << false;
    QTest::newRow("hour 24") << QList<int>{2011, 1, 1, 24, 0, 0} << 0u << false;
    QTest::newRow("minute 60") << QList<int>{2011, 1, 1, 0, 60, 0} << 0u << false;
    QTest::newRow("second 61") << QList<int>{2011, 1, 1, 0, 0, 61} << 0u << false;
    QTest::newRow("negative hour") << QList<int>{2011, 1, 1, -1, 0, 0} << 0u << false;
}

void TestGpsTime::toGps()
{
    QFETCH(QList<int>, fields);
    QFETCH(quint32, gps);
    QFETCH(bool, valid);
    const int *f = fields.constData();
    QCOMPARE(calendarToGps(f[0], f[1], f[2], f[3], f[4], f[5]), gps);
    QCOMPARE(isValidCalendar(f[0], f[1], f[2], f[3], f[4], f[5]), valid);
}

void TestGpsTime::roundTrip()
{
    // Every name the listing produces must lead back to its time stamp. A stride that
    // is prime to a day, a month and a year visits every kind of date, the leap days
    // of 2100 and 2104 included.
    for (quint64 g = 0; g < 4294535296ull; g += 999983) {
        GpsTime t;
        gpsToCalendar(quint32(g), t);
        const quint32 back = calendarToGps(int(t.year), int(t.month), int(t.day), int(t.hour),
                                           int(t.minute), int(t.second));
        if (back != quint32(g))
            QFAIL(qPrintable(QStringLiteral("%1 came back as %2").arg(g).arg(back)));
    }
}

QTEST_APPLESS_MAIN(TestGpsTime)
#include "tst_gpstime.moc"
