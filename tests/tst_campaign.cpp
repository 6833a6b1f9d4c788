// The campaign's tools: the station table that files each recorder's data under its
// station, and its refusals, each naming the line at fault; sample cards of other
// recorders and visits.
#include "cardformat.h"
#include "cardimage.h"
#include "devicediscoverer.h"
#include "samplecard.h"
#include "stationtable.h"
#include "stationxml.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QXmlStreamReader>
#include <QTemporaryDir>
#include <QTest>

#include <libmseed.h>

#include <sys/stat.h>

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
    void sampleOptions_data();
    void sampleOptions();
    void devices();
    void mountedDisks();
    void stationXmlValidates();

private:
    QTemporaryDir m_dir;
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

void TestCampaign::sampleOptions_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("firstFile"); // or a fragment of the error
    QTest::addColumn<QString>("source");    // NET.STA of the first record
    QTest::addColumn<qint64>("start");      // its first sample, UTC (GPS runs 18 s ahead)

    QTest::newRow("default") << QStringList() << 0 << "/20230314_0926/20230314_092607" << "XX.VEXA"
                             << utc("2023-03-14T09:25:49Z");
    QTest::newRow("another recorder, another day")
        << QStringList{"--station", "Z9.VEXB", "--start", "2024-05-01"} << 0 << "/20240501_0926/20240501_092607"
        << "Z9.VEXB" << utc("2024-05-01T09:25:49Z");
    QTest::newRow("a second") << QStringList{"--start", "2024-05-01T10:00:00"} << 0 << "/20240501_1000/20240501_100000"
                              << "XX.VEXA" << utc("2024-05-01T09:59:42Z");
    QTest::newRow("station too long") << QStringList{"--station", "XX.VEXABC"} << 2 << "is not NET.STA" << "" << 0LL;
    QTest::newRow("lower case") << QStringList{"--station", "xx.vexa"} << 2 << "is not NET.STA" << "" << 0LL;
    QTest::newRow("no such day") << QStringList{"--start", "2024-02-30"} << 2 << "is not a UTC date" << "" << 0LL;
    QTest::newRow("before 2017") << QStringList{"--start", "2016-12-31"} << 2 << "is not a UTC date" << "" << 0LL;
}

void TestCampaign::sampleOptions()
{
    QFETCH(QStringList, options);
    QFETCH(int, status);
    QFETCH(QString, firstFile);
    QFETCH(QString, source);
    QFETCH(qint64, start);

    const QString image = m_dir.filePath(QString::fromLatin1(QTest::currentDataTag()) + QStringLiteral(".img"));
    const CardRun run = runVexaCard(QStringList{"sample"} + options + QStringList{image});
    QCOMPARE(run.status, status);
    if (status != 0) {
        QVERIFY2(run.err.contains(firstFile.toUtf8()), run.err.constData());
        QVERIFY(!QFile::exists(image));
        return;
    }
    QCOMPARE(runVexaCard({"tree", image}).out.split('\t').value(0), firstFile.toUtf8());

    QFile file(image);
    QVERIFY(file.open(QIODevice::ReadOnly) && file.seek(Card::sectorOffset(SampleCard::FirstDataSector)));
    QByteArray record = file.read(512);
    MSRecord *msr = nullptr;
    QCOMPARE(msr_parse(record.data(), int(record.size()), &msr, int(record.size()), 0, 0), int(MS_NOERROR));
    const QString parsed = QStringLiteral("%1.%2").arg(QLatin1String(msr->network), QLatin1String(msr->station));
    const qint64 parsedStart = msr->starttime;
    msr_free(&msr);
    QCOMPARE(parsed, source);
    QCOMPARE(parsedStart, start);
}

void TestCampaign::devices()
{
    const QString card = m_dir.filePath(QStringLiteral("card.img"));
    const QString noise = m_dir.filePath(QStringLiteral("noise.bin"));
    const QString fifo = m_dir.filePath(QStringLiteral("fifo"));
    const QString missing = m_dir.filePath(QStringLiteral("missing.img"));
    QVERIFY(minimalCard().write(card));
    QFile file(noise);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QByteArray(16384, 'x')) == 16384);
    file.close();
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);

    // The machine's own disks come in between; the paths' lines are what is asked.
    const CardRun run = runVexaCard({"devices", noise, fifo, card, missing});
    QCOMPARE(run.status, 1); // a path given cannot be read
    QStringList lines;
    for (const QByteArray &line : run.out.split('\n')) {
        if (line.startsWith(m_dir.path().toUtf8()))
            lines.append(QString::fromUtf8(line).mid(m_dir.path().size() + 1));
    }
    QCOMPARE(lines, QStringList({
                        "card.img\t" + QString::number(QFileInfo(card).size())
                            + "\tcard\t1 files, first 2011-09-14T01:46:40, last 2011-09-14T01:46:40",
                        "noise.bin\t16384\tnot a card\tno card volume header at byte 8192",
                        "fifo\t-\tnot a card\tneither a disk nor a file (a FIFO or a socket), not opened",
                        "missing.img\t-\tunreadable\tcannot look at " + missing + ": No such file or directory; check that "
                            "the card sits in the reader and the path names it",
                    }));
    QVERIFY(run.out.startsWith(card.toUtf8())); // cards first

    const CardRun json = runVexaCard({"devices", "--json", card, noise});
    QCOMPARE(json.status, 0);
    QJsonObject cardObject;
    QJsonObject noiseObject;
    for (const QJsonValue &value : QJsonDocument::fromJson(json.out).array()) {
        if (value[QStringLiteral("device")] == card)
            cardObject = value.toObject();
        if (value[QStringLiteral("device")] == noise)
            noiseObject = value.toObject();
    }
    QCOMPARE(cardObject[QStringLiteral("card")], QJsonValue(true));
    QCOMPARE(cardObject[QStringLiteral("files")], QJsonValue(1));
    QCOMPARE(cardObject[QStringLiteral("first")], QJsonValue(QStringLiteral("2011-09-14T01:46:40")));
    QCOMPARE(cardObject[QStringLiteral("last")], QJsonValue(QStringLiteral("2011-09-14T01:46:40")));
    QCOMPARE(cardObject[QStringLiteral("size")], QJsonValue(double(QFileInfo(card).size())));
    QVERIFY(cardObject[QStringLiteral("error")].isNull());
    QCOMPARE(noiseObject[QStringLiteral("card")], QJsonValue(false));
    QCOMPARE(noiseObject[QStringLiteral("size")], QJsonValue(16384.0));
    QVERIFY(noiseObject[QStringLiteral("files")].isNull() && noiseObject[QStringLiteral("first")].isNull());
    QCOMPARE(noiseObject[QStringLiteral("error")], QJsonValue(QStringLiteral("no card volume header at byte 8192")));
}

void TestCampaign::mountedDisks()
{
    // A /sys tree of a machine with / on a partition of sda, /home on an LVM volume over
    // sdb1 and sdc, and a card reader mmcblk0 with nothing mounted.
    const QString sys = m_dir.filePath(QStringLiteral("sys"));
    const auto make = [&](const QString &dir, const QStringList &files = {}) {
        QVERIFY(QDir().mkpath(sys + dir));
        for (const QString &name : files)
            QVERIFY(QFile(sys + dir + "/" + name).open(QIODevice::WriteOnly));
    };
    const auto link = [&](const QString &target, const QString &name) {
        QVERIFY(QFile::link(sys + target, sys + name));
    };
    make("/devices/sda/sda1", {"partition"});
    make("/devices/sdb/sdb1", {"partition"});
    make("/devices/sdc");
    make("/devices/mmcblk0");
    make("/devices/dm-0/slaves/sdb1");
    make("/devices/dm-0/slaves/sdc");
    make("/dev/block");
    make("/class/block");
    link("/devices/sda/sda1", "/dev/block/8:1");
    link("/devices/dm-0", "/dev/block/253:0");
    link("/devices/sdb/sdb1", "/class/block/sdb1");
    link("/devices/sdc", "/class/block/sdc");
    const QString mountInfo = m_dir.filePath(QStringLiteral("mountinfo"));
    QFile file(mountInfo);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("22 27 0:21 / /proc rw,relatime - proc proc rw\n"
               "27 1 8:1 / / rw,relatime - ext4 /dev/sda1 rw\n"
               "28 27 253:0 / /home/field\\040data rw - ext4 /dev/mapper/vg-home rw\n"
               "29 27 8:1 /srv /srv rw - ext4 /dev/sda1 rw\n");
    file.close();

    const QHash<QString, QStringList> mounted = DeviceDiscoverer::mountedDisks(mountInfo, sys, QStringLiteral("/dev"));
    QCOMPARE(mounted.size(), 3);
    QCOMPARE(mounted.value("/dev/sda"), QStringList({"/", "/srv"}));
    QCOMPARE(mounted.value("/dev/sdb"), QStringList({"/home/field data"}));
    QCOMPARE(mounted.value("/dev/sdc"), QStringList({"/home/field data"}));
}

void TestCampaign::stationXmlValidates()
{
    // Z9.NORTH moved on 1 May: two station epochs. Z9.SOUTH has no coordinates; Z8.LOST is
    // in the data but not in the table.
    const QByteArray csv = "recorded,network,station,location,latitude,longitude,elevation,site,start,end\n"
                           "XX.VEXA,Z9,NORTH,,-45.5,170.25,812.5,Hut <3> & \"north\",,2024-05-01\n"
                           "XX.VEXC,Z9,NORTH,,-45.75,170.5,20,,2024-05-01,\n"
                           "XX.VEXB,Z9,SOUTH,00,,,,,,\n";
    StationTable table;
    QVERIFY(StationTable::parse(csv, QStringLiteral("stations.csv"), &table).ok());
    const qint64 may = utc("2024-05-01T00:00:00Z");
    const QVector<ChannelEpoch> channels{
        {"Z9", "NORTH", "", "HHZ", 100, may - 86400000000LL, may - 500000},
        {"Z9", "NORTH", "", "HHZ", 100, may + 3600000000LL, may + 7200000000LL},
        {"Z9", "SOUTH", "00", "HHN", 200, may + 1, may + 2},
        {"Z8", "LOST", "", "EHZ", 50, may, may + 1000000},
    };
    const QByteArray document = stationXml(table, channels, QDateTime(QDate(2024, 6, 1), QTime(12, 0), Qt::UTC));

    // What a reader of the document finds: stations with their place, channels with their data.
    QStringList found;
    QXmlStreamReader xml(document);
    QString network, station, text;
    while (xml.readNext() != QXmlStreamReader::Invalid && !xml.atEnd()) {
        const QString name = xml.name().toString();
        const QXmlStreamAttributes at = xml.attributes();
        if (xml.isStartElement() && name == "Network")
            network = at.value("code").toString();
        if (xml.isStartElement() && name == "Station") {
            station = at.value("code").toString();
            found << QStringLiteral("%1.%2 %3 %4").arg(network, station, at.value("startDate"), at.value("endDate"));
        }
        if (xml.isStartElement() && name == "Channel")
            found << QStringLiteral("  %1 %2 %3 %4").arg(at.value("locationCode"), at.value("code"),
                                                          at.value("startDate"), at.value("endDate"));
        if (xml.isStartElement())
            text.clear();
        if (xml.isCharacters())
            text += xml.text();
        if (xml.isEndElement() && QStringList{"Latitude", "Longitude", "Elevation", "Name", "SampleRate"}.contains(name))
            found.last() += " " + text;
        if (xml.isEndElement() && name == "Value" && text.contains("placeholders"))
            found.last() += text.contains("no row") ? " (no row)" : " (no coordinates)";
    }
    QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
    QCOMPARE(found, QStringList({
                        "Z8.LOST 2024-05-01T00:00:00Z  (no row) 0 0 0 LOST",
                        "   EHZ 2024-05-01T00:00:00Z 2024-05-01T00:00:01Z 0 0 0 50",
                        "Z9.NORTH 2024-04-30T00:00:00Z 2024-05-01T00:00:00Z -45.5 170.25 812.5 Hut <3> & \"north\"",
                        "   HHZ 2024-04-30T00:00:00Z 2024-04-30T23:59:59.500000Z -45.5 170.25 812.5 100",
                        "Z9.NORTH 2024-05-01T00:00:00Z  -45.75 170.5 20 NORTH",
                        "   HHZ 2024-05-01T01:00:00Z 2024-05-01T02:00:00Z -45.75 170.5 20 100",
                        "Z9.SOUTH 2024-05-01T00:00:00.000001Z  (no coordinates) 0 0 0 SOUTH",
                        "  00 HHN 2024-05-01T00:00:00.000001Z 2024-05-01T00:00:00.000002Z 0 0 0 200",
                    }));
    QVERIFY(document.contains("<!-- No instrument responses"));

    const QString schema = QStringLiteral(VEXA_STATIONXML_SCHEMA);
    const QString xmllint = QStandardPaths::findExecutable(QStringLiteral("xmllint"));
    if (!QFile::exists(schema) || xmllint.isEmpty())
        QSKIP("the FDSN StationXML schema (../shared/schemas) or xmllint (libxml2-utils) is missing");
    for (const QByteArray &content : {document, stationXml(table, {}, QDateTime::currentDateTimeUtc())}) {
        const QString path = m_dir.filePath(QStringLiteral("station.xml"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size());
        file.close();
        QProcess lint;
        lint.start(xmllint, {"--noout", "--schema", schema, path});
        QVERIFY(lint.waitForFinished(60000));
        QVERIFY2(lint.exitCode() == 0, lint.readAllStandardError().constData());
    }
}

QTEST_GUILESS_MAIN(TestCampaign)
#include "tst_campaign.moc"
