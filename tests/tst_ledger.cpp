// The campaign ledger: foreign files refused and left untouched, what a harvest marks is
// still there when the ledger is opened again, and a grown file replaces its old figures;
// the campaign's numbers on a ledger of known segments, and its picture.
#include "campaign.h"
#include "ledger.h"

#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

namespace {

QByteArray contents(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// An SQLite database written by some other program.
void writeForeignSqlite(const QString &path, int applicationId)
{
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("foreign"));
        db.setDatabaseName(path);
        QVERIFY(db.open());
        QSqlQuery q(db);
        QVERIFY(q.exec(QStringLiteral("CREATE TABLE readings(t INTEGER, v REAL)")));
        QVERIFY(q.exec(QStringLiteral("INSERT INTO readings VALUES(1, 2.5)")));
        QVERIFY(q.exec(QStringLiteral("PRAGMA application_id=%1").arg(applicationId)));
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("foreign"));
}

LedgerFile file(const QString &cardPath, qint64 sectors)
{
    LedgerFile f;
    f.cardPath = cardPath;
    f.sectors = sectors;
    f.sha256 = "ab12";
    f.station = QStringLiteral("XX.VEXA");
    f.outcome = QStringLiteral("complete");
    LedgerChannel c;
    c.id = QStringLiteral("XX.VEXA..HHZ");
    c.sampleRate = 100;
    c.segments = {{1000, 2000}};
    f.channels = {c};
    return f;
}

constexpr qint64 Sec = 1000000;
constexpr qint64 T0 = 1714521600 * Sec; // 2024-05-01T00:00:00Z

LedgerChannel channel(const char *id, QVector<LedgerSpan> seconds)
{
    LedgerChannel c;
    c.id = QString::fromLatin1(id);
    c.sampleRate = 100;
    for (const LedgerSpan &s : seconds) // [start, end) to first and last sample
        c.segments.append({T0 + s.first, T0 + s.second - Sec / 100});
    c.first = c.segments.first().first;
    c.last = c.segments.last().second;
    return c;
}

// Two stations over a campaign of 1000 s:
//   XX.VEXA..HHZ  0-400, 400-600 (they meet), 700-1000  -> 900 s, one gap
//   XX.VEXA..HHN  0-500, 500.004-1000 (4 ms late, under half a sample: one) -> 1000 s, no gap
//   XX.VEXB..HHZ  250-500                                -> 250 s
void writeCampaign(const QString &archive)
{
    std::unique_ptr<Ledger> ledger;
    QVERIFY(Ledger::open(archive, &ledger).ok());
    qint64 a = 0, b = 0;
    QVERIFY(ledger->beginHarvest("XX.VEXA/0001", "XX.VEXA", "XX.VEXA", "a.img", &a).ok());
    QVERIFY(ledger->beginHarvest("XX.VEXB/0001", "XX.VEXB", "XX.VEXB", "b.img", &b).ok());
    LedgerFile one = file("/0001/1.MSD", 8), two = file("/0001/2.MSD", 8), three = file("/0001/1.MSD", 8);
    one.channels = {channel("XX.VEXA..HHZ", {{0, 400 * Sec}, {400 * Sec, 600 * Sec}}), channel("XX.VEXA..HHN", {{0, 500 * Sec}})};
    two.channels = {channel("XX.VEXA..HHZ", {{700 * Sec, 1000 * Sec}}), channel("XX.VEXA..HHN", {{500 * Sec + 4000, 1000 * Sec}})};
    three.station = "XX.VEXB";
    three.channels = {channel("XX.VEXB..HHZ", {{250 * Sec, 500 * Sec}})};
    QVERIFY(ledger->recordFiles(a, {one, two}).ok());
    QVERIFY(ledger->recordFiles(b, {three}).ok());
    QVERIFY(ledger->recordUnmapped(b, {"ZZ.OLD"}).ok());
}

} // namespace

class TestLedger : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void refusesForeignFiles_data()
    {
        QTest::addColumn<int>("kind");
        QTest::newRow("text file") << 0;
        QTest::newRow("SQLite of another program") << 1;
        QTest::newRow("SQLite without a mark, with tables") << 2;
    }
    void refusesForeignFiles()
    {
        QFETCH(int, kind);
        QTemporaryDir archive;
        const QString path = Ledger::path(archive.path());
        if (kind == 0) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("recorded,network,station\nXX.VEXA,XX,VEXA\n");
        } else {
            writeForeignSqlite(path, kind == 1 ? 0x12345 : 0);
        }
        const QByteArray before = contents(path);
        std::unique_ptr<Ledger> ledger;
        const Status status = Ledger::open(archive.path(), &ledger);
        QCOMPARE(status.code, Status::Refused);
        QVERIFY2(status.message.contains(path), qPrintable(status.message));
        QVERIFY(!ledger);
        QCOMPARE(contents(path), before);
        QVERIFY(!QFile::exists(path + QStringLiteral("-wal")));
    }

    void reopenedLedgerKeepsWhatWasHarvested()
    {
        QTemporaryDir archive;
        std::unique_ptr<Ledger> ledger;
        QCOMPARE(Ledger::open(archive.path(), &ledger, Ledger::Mode::ReadOnly).error, ENOENT);
        QVERIFY(Ledger::open(archive.path(), &ledger).ok());
        qint64 harvest = 0;
        QVERIFY(ledger->beginHarvest(QStringLiteral("XX.VEXA/0001"), QStringLiteral("XX.VEXA"), QStringLiteral("XX.VEXA"),
                                     QStringLiteral("/dev/sdc"), &harvest).ok());
        QVERIFY(ledger->recordFiles(harvest, {file(QStringLiteral("/0001/A.MSD"), 8), file(QStringLiteral("/0001/B.MSD"), 4)}).ok());
        QVERIFY(ledger->recordUnmapped(harvest, {QStringLiteral("ZZ.OLD")}).ok());
        QVERIFY(ledger->finishHarvest(harvest, QStringLiteral("complete"), 2, 0).ok());
        ledger.reset();

        QVERIFY(Ledger::open(archive.path(), &ledger).ok());
        QHash<QString, qint64> expected{{QStringLiteral("/0001/A.MSD"), 8}, {QStringLiteral("/0001/B.MSD"), 4}};
        QCOMPARE(ledger->harvestedFiles(QStringLiteral("XX.VEXA/0001")), expected);
        QVERIFY(ledger->harvestedFiles(QStringLiteral("XX.VEXB/0001")).isEmpty());

        // The next visit finds B grown: its new figures replace the old, nothing doubles.
        QVERIFY(ledger->beginHarvest(QStringLiteral("XX.VEXA/0001"), QStringLiteral("XX.VEXA"), QStringLiteral("XX.VEXA"),
                                     QStringLiteral("/dev/sdd"), &harvest).ok());
        QVERIFY(ledger->recordFiles(harvest, {file(QStringLiteral("/0001/B.MSD"), 9)}).ok());
        expected[QStringLiteral("/0001/B.MSD")] = 9;
        QCOMPARE(ledger->harvestedFiles(QStringLiteral("XX.VEXA/0001")), expected);
        QVector<Ledger::CardRow> cards;
        QVERIFY(ledger->cards(&cards).ok());
        QCOMPARE(cards.size(), 1);
        QCOMPARE(cards[0].harvests, 2);
        QCOMPARE(cards[0].files, 2);
        QHash<QString, QVector<LedgerSpan>> segments;
        QVERIFY(ledger->segments(&segments).ok());
        QCOMPARE(segments.value(QStringLiteral("XX.VEXA..HHZ")).size(), 2);
        QVector<Ledger::UnmappedRow> unmapped;
        QVERIFY(ledger->unmapped(&unmapped).ok());
        QCOMPARE(unmapped.size(), 1);
        QCOMPARE(unmapped[0].code, QStringLiteral("ZZ.OLD"));
    }

    void campaignNumbers()
    {
        QTemporaryDir archive;
        writeCampaign(archive.path());
        std::unique_ptr<Ledger> ledger;
        QVERIFY(Ledger::open(archive.path(), &ledger, Ledger::Mode::ReadOnly).ok());
        CampaignReport report;
        QVERIFY(readCampaign(*ledger, &report).ok());
        QCOMPARE(report.start, T0);
        QCOMPARE(report.end, T0 + 1000 * Sec);
        QCOMPARE(report.stations.size(), 2);
        const CampaignStation &a = report.stations[0], &b = report.stations[1];
        QCOMPARE(a.station, QString("XX.VEXA"));
        QCOMPARE(a.files, 2);
        QCOMPARE(a.cards, 1);
        QCOMPARE(a.gaps, 1);
        QCOMPARE(a.channels.size(), 2);
        // HHN: 1000 of 1000 s; HHZ: 900 of 1000 s.
        QVERIFY2(qAbs(a.availabilityPercent - (100.0 + 90.0) / 2) < 1e-9, qPrintable(QString::number(a.availabilityPercent, 'f', 6)));
        QCOMPARE(a.channels[1].gaps, (QVector<LedgerSpan>{{T0 + 600 * Sec, T0 + 700 * Sec}}));
        QCOMPARE(b.station, QString("XX.VEXB"));
        QCOMPARE(b.gaps, 0);
        QVERIFY(qAbs(b.availabilityPercent - 25.0) < 1e-9);
        QCOMPARE(report.unmapped.size(), 1);
        QCOMPARE(report.unmapped[0].cards, QStringList{"XX.VEXB/0001"});
    }

    void campaignCommandDrawsThePicture()
    {
        QTemporaryDir archive;
        writeCampaign(archive.path());
        const QString png = archive.filePath("availability.png");
        QProcess card;
        card.start(VEXA_CARD_PATH, {"campaign", "--json", "--plot", png, archive.path()});
        QVERIFY(card.waitForFinished(60000));
        QCOMPARE(card.exitCode(), 0);
        const QJsonObject json = QJsonDocument::fromJson(card.readAllStandardOutput()).object();
        const QJsonArray stations = json["stations"].toArray();
        QCOMPARE(stations.size(), 2);
        QCOMPARE(stations[0]["availability_percent"].toDouble(), 95.0);
        QCOMPARE(stations[0]["gaps"].toInt(), 1);
        QCOMPARE(stations[1]["last"].toString(), QString("2024-05-01T00:08:19.990000Z"));
        QCOMPARE(json["unmapped"].toArray()[0].toObject()["code"].toString(), QString("ZZ.OLD"));

        const QImage image(png);
        QCOMPARE(image.width(), 1200);
        QVERIFY(image.height() > 60 && image.height() < 400);
        // The row with the gap: its red run is a tenth of its bar, from 600 s to 700 s.
        const QColor red(214, 39, 40);
        int bestY = -1, bestRed = 0;
        for (int y = 0; y < image.height(); ++y) {
            int count = 0;
            for (int x = 0; x < image.width(); ++x)
                count += image.pixelColor(x, y) == red;
            if (count > bestRed) {
                bestRed = count;
                bestY = y;
            }
        }
        QVERIFY(bestY >= 0);
        int redEnd = 0;
        while (image.pixelColor(redEnd, bestY) != red)
            ++redEnd;
        while (image.pixelColor(redEnd, bestY) == red)
            ++redEnd;
        const QColor bar = image.pixelColor(redEnd + 1, bestY);
        int left = 0, right = image.width() - 1;
        while (image.pixelColor(left, bestY) != bar)
            ++left;
        while (image.pixelColor(right, bestY) != bar)
            --right;
        const double share = double(bestRed) / (right - left + 1);
        QVERIFY2(qAbs(share - 0.1) < 0.01, qPrintable(QString::number(share)));
    }

    void stationXmlFromTheLedger()
    {
        QTemporaryDir archive;
        writeCampaign(archive.path());
        const QString table = archive.filePath("stations.csv");
        QFile csv(table);
        QVERIFY(csv.open(QIODevice::WriteOnly));
        csv.write("recorded,network,station,latitude,longitude,elevation,site\n"
                  "XX.VEXA,XX,VEXA,46.5,7.25,1200,Upper meadow\n");
        csv.close();
        QProcess card;
        card.start(VEXA_CARD_PATH, {"stationxml", "--stations", table, archive.path()});
        QVERIFY(card.waitForFinished(60000));
        QCOMPARE(card.exitCode(), 0);
        const QByteArray xml = card.readAllStandardOutput();
        // The channels' epochs and rates come from the ledger, the place from the table.
        QVERIFY2(xml.contains("<Channel code=\"HHZ\" startDate=\"2024-05-01T00:00:00Z\" endDate=\"2024-05-01T00:16:39.990000Z\""),
                 xml.constData());
        QVERIFY(xml.contains("<Station code=\"VEXB\" startDate=\"2024-05-01T00:04:10Z\""));
        QVERIFY(xml.contains("<SampleRate>100</SampleRate>"));
        QVERIFY(xml.contains("<Latitude>46.5</Latitude>"));

        const QString xmllint = QStandardPaths::findExecutable("xmllint");
        if (!QFile::exists(VEXA_STATIONXML_SCHEMA) || xmllint.isEmpty())
            QSKIP("the FDSN StationXML schema (../shared/schemas) or xmllint (libxml2-utils) is missing");
        const QString path = archive.filePath("stations.xml");
        QFile out(path);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(xml);
        out.close();
        QProcess lint;
        lint.start(xmllint, {"--noout", "--schema", VEXA_STATIONXML_SCHEMA, path});
        QVERIFY(lint.waitForFinished(60000));
        QVERIFY2(lint.exitCode() == 0, lint.readAllStandardError().constData());
    }
};

QTEST_GUILESS_MAIN(TestLedger)
#include "tst_ledger.moc"
