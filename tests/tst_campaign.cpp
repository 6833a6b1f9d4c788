// The campaign's tools: the station table that files each recorder's data under its
// station, and its refusals, each naming the line at fault.
#include "stationtable.h"

#include <QDateTime>
#include <QTest>

namespace {

qint64 utc(const char *iso)
{
    return QDateTime::fromString(QString::fromLatin1(iso), Qt::ISODateWithMs).toMSecsSinceEpoch() * 1000;
}

} // namespace

class TestCampaign : public QObject
{
    Q_OBJECT

private slots:
    void stationTableRefuses_data();
    void stationTableRefuses();
    void stationTableLookup();
};

void TestCampaign::stationTableRefuses_data()
{
    QTest::addColumn<QByteArray>("csv");
    QTest::addColumn<QString>("where"); // "stations.csv:LINE: " and a fragment of the reason

    const QByteArray header = "recorded,network,station,latitude,longitude,elevation,start,end\n";
    QTest::newRow("unknown column") << QByteArray("recorded,network,station,depth\n") << "csv:1: unknown column 'depth'";
    QTest::newRow("missing station") << QByteArray("recorded,network\nXX.A,XX\n") << "csv:1: missing the required column 'station'";
    QTest::newRow("latitude") << header + "XX.VEXA,ZZ,A,90.5,0,0,,\n" << "csv:2: latitude";
    QTest::newRow("longitude") << header + "\nXX.VEXA,ZZ,A,1,-181,0,,\n" << "csv:3: longitude";
    QTest::newRow("elevation") << header + "XX.VEXA,ZZ,A,1,2,inf,,\n" << "csv:2: elevation";
    QTest::newRow("lone latitude") << header + "XX.VEXA,ZZ,A,1,,,,\n" << "csv:2: coordinates need both latitude";
    QTest::newRow("network") << header + "XX.VEXA,ZZZ,A,,,,,\n" << "csv:2: network";
    QTest::newRow("station") << header + "XX.VEXA,ZZ,ABCDEF,,,,,\n" << "csv:2: station";
    QTest::newRow("lower case") << header + "XX.VEXA,zz,A,,,,,\n" << "csv:2: network";
    QTest::newRow("recorded") << header + "XXVEXA,ZZ,A,,,,,\n" << "csv:2: recorded";
    QTest::newRow("location") << QByteArray("recorded,network,station,location\nXX.A,ZZ,A,0-\n") << "csv:2: location";
    QTest::newRow("time") << header + "XX.VEXA,ZZ,A,,,,2024-02-30,\n" << "csv:2: start";
    QTest::newRow("start not before end")
        << header + "XX.VEXA,ZZ,A,,,,2024-05-01,2024-05-01T00:00:00Z\n" << "csv:2: start 2024-05-01 is not before end";
    QTest::newRow("overlap") << header + "XX.VEXA,ZZ,A,,,,,2024-05-02\n\"XX.VEXA\",ZZ,B,,,,\"2024-05-01\",\n"
                             << "csv:3: the time range of XX.VEXA overlaps the one on line 2";
    QTest::newRow("quote spans lines") << QByteArray("recorded,network,station,site\nXX.A,ZZ,A,\"Hut,\nnorth\"\nXX.A,ZZ,B,\n")
                                       << "csv:4: the time range of XX.A overlaps the one on line 2";
    QTest::newRow("unclosed quote") << header + "XX.VEXA,ZZ,\"A,,,,,\n" << "csv:2: a quoted field is never closed";
}

void TestCampaign::stationTableRefuses()
{
    QFETCH(QByteArray, csv);
    QFETCH(QString, where);
    StationTable table;
    const Status status = StationTable::parse(csv, QStringLiteral("stations.csv"), &table);
    QCOMPARE(status.code, Status::Refused);
    QVERIFY2(status.message.contains(where), qPrintable(status.message));
    QVERIFY(table.isEmpty());
}

void TestCampaign::stationTableLookup()
{
    // A recorder that moved on 1 May at noon; columns in their own order, a byte order mark,
    // CRLF line ends, a quoted site name with a comma, "--" for the empty location code.
    const QByteArray csv = "\xEF\xBB\xBFstation,recorded,network,location,site,latitude,longitude,elevation,end,start\r\n"
                           "NORTH,XX.VEXA,Z9,--,\"Hut 3, \"\"north\"\"\",-45.5,170.25,812.5,2024-05-01T12:00:00Z,\r\n"
                           "SOUTH,XX.VEXA,Z9,00,,,,,,2024-05-01T12:00:00\r\n"
                           "OTHER,XX.VEXB,Z8,,,,,,,\r\n";
    StationTable table;
    const Status status = StationTable::parse(csv, QStringLiteral("stations.csv"), &table);
    QVERIFY2(status.ok(), qPrintable(status.message));
    QCOMPARE(table.entries().size(), 3);

    const qint64 move = utc("2024-05-01T12:00:00Z");
    const StationEntry *before = table.lookup(QStringLiteral("XX"), QStringLiteral("VEXA"), move - 1);
    const StationEntry *after = table.lookup(QStringLiteral("XX"), QStringLiteral("VEXA"), move);
    QVERIFY(before && after);
    QCOMPARE(before->station, QStringLiteral("NORTH"));
    QCOMPARE(before->site, QStringLiteral("Hut 3, \"north\""));
    QVERIFY(before->hasLocation && before->location.isEmpty() && before->hasCoordinates);
    QCOMPARE(before->latitude, -45.5);
    QCOMPARE(before->elevation, 812.5);
    QCOMPARE(before->end, move);
    QCOMPARE(before->line, 2);
    QCOMPARE(after->station, QStringLiteral("SOUTH"));
    QCOMPARE(after->location, QStringLiteral("00"));
    QVERIFY(!after->hasCoordinates);
    QCOMPARE(after->line, 3);
    QCOMPARE(table.lookup(QStringLiteral("XX"), QStringLiteral("VEXB"), 1)->network, QStringLiteral("Z8"));
    QVERIFY(!table.lookup(QStringLiteral("XX"), QStringLiteral("VEXC"), move));
    QVERIFY(!table.lookup(QStringLiteral("YY"), QStringLiteral("VEXA"), move));
}

QTEST_GUILESS_MAIN(TestCampaign)
#include "tst_campaign.moc"
