// The record checks against records packed here by libmseed: what the scanner finds in a
// stream of sectors, and what `vexa-card inspect` and the export report of a card. The
// expected figures come from the packing parameters, not from the code under test.
#include "backgroundsink.h"
#include "carddevice.h"
#include "cardimage.h"
#include "filesystem.h"
#include "mseedrecords.h"
#include "quickscan.h"
#include "recordscanner.h"

#include <QDateTime>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>

#include <libmseed.h>

#include <cerrno>

namespace {

constexpr qint64 Second = 1000000;
constexpr qint64 T = 1678788000 * Second; // 2023-03-14T10:00:00Z
constexpr qint64 Rec = 112 * Second / 100; // a 512-byte int32 record at 100 Hz: 112 samples, 1.12 s

struct Pack
{
    const char *channel = "HHZ";
    qint64 start = T;
    double rate = 100;
    int samples = 112;
    int sequence = 1;
    int timing = -1;      // blockette 1001 timing quality; -1: no blockette 1001
    bool locked = true;
    bool questionable = false;
    int length = 512;
    int encoding = DE_INT32;
};

// One record, packed by libmseed.
QByteArray pack(const Pack &p)
{
    QVector<qint32> values(p.samples);
    for (int i = 0; i < p.samples; ++i)
        values[i] = (i * 37) % 501 - 250;
    MseedSeries series;
    series.channel = p.channel;
    series.start = p.start;
    series.rate = p.rate;
    series.recordLength = p.length;
    series.encoding = p.encoding;
    series.sequence = p.sequence;
    series.timingQuality = p.timing;
    series.ioFlags = p.locked ? 0x20 : 0;
    series.qualityFlags = p.questionable ? 0x80 : 0;
    return joinRecords(packSeries(series, values));
}

// `count` contiguous records of one channel from `start`, sequence numbers from 1.
QByteArray run(int count, qint64 start = T, const char *channel = "HHZ")
{
    QByteArray out;
    for (int i = 0; i < count; ++i) {
        Pack p;
        p.channel = channel;
        p.start = start + i * Rec;
        p.sequence = i + 1;
        out += pack(p);
    }
    return out;
}

QString iso(qint64 microseconds)
{
    return QDateTime::fromMSecsSinceEpoch(microseconds / 1000, QTimeZone::utc()).toString("yyyy-MM-ddTHH:mm:ss.zzz")
        + QStringLiteral("%1Z").arg(microseconds % 1000, 3, 10, QLatin1Char('0'));
}

QJsonObject gap(const QString &id, qint64 after, qint64 before, qint64 unreadable = 0)
{
    return QJsonObject{{"id", id}, {"after", iso(after)}, {"before", iso(before)},
                       {"seconds", double(before - after) / Second}, {"unreadableSectors", unreadable}};
}

// Every key of `expected` has its value in `actual` (numbers to 1e-6).
QString mismatch(const QJsonObject &actual, const QJsonObject &expected)
{
    for (auto it = expected.begin(); it != expected.end(); ++it) {
        const QJsonValue got = actual.value(it.key());
        const bool same = it.value().isDouble() && got.isDouble() ? qAbs(got.toDouble() - it.value().toDouble()) < 1e-6
                                                                  : got == it.value();
        if (!same)
            return QStringLiteral("%1: %2, expected %3").arg(it.key(), QString::fromUtf8(QJsonDocument(QJsonObject{{"v", got}}).toJson(QJsonDocument::Compact)),
                                                             QString::fromUtf8(QJsonDocument(QJsonObject{{"v", it.value()}}).toJson(QJsonDocument::Compact)));
    }
    return QString();
}

void checkReport(const QJsonObject &report, const QJsonObject &channel, const QJsonArray &gaps, const QJsonObject &file)
{
    QJsonObject got;
    for (const QJsonValue &c : report["channels"].toArray()) {
        if (c["id"] == channel["id"])
            got = c.toObject();
    }
    QVERIFY2(mismatch(got, channel).isEmpty(), qPrintable(mismatch(got, channel)));
    const QJsonArray gotGaps = report["gaps"].toArray();
    QCOMPARE(gotGaps.size(), gaps.size());
    for (int i = 0; i < gaps.size(); ++i)
        QVERIFY2(mismatch(gotGaps.at(i).toObject(), gaps.at(i).toObject()).isEmpty(), qPrintable(mismatch(gotGaps.at(i).toObject(), gaps.at(i).toObject())));
    const QJsonObject gotFile = report["files"].toArray().at(0).toObject();
    QVERIFY2(mismatch(gotFile, file).isEmpty(), qPrintable(mismatch(gotFile, file)));
}

// A card with one sector that cannot be read, as a worn card has.
class FaultyCard : public CardDevice
{
public:
    FaultyCard(const QString &path, quint64 bad) : CardDevice(path), m_bad(bad) {}

    SectorRead readSectors(quint64 sector, qint64 count, char *data) override
    {
        if (sector <= m_bad && sector + quint64(count) > m_bad)
            return SectorRead{SectorRead::Unreadable, 0, EIO};
        return CardDevice::readSectors(sector, count, data);
    }

private:
    quint64 m_bad;
};

} // namespace

class TestQuality : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void scanner_data();
    void scanner();
    void inspectCard();
    void exportReport();
    void unreadableThroughCopy();
    void demoCard();
    void quickScanAgrees();
    void jsonTextOfFiles_data();
    void jsonTextOfFiles();
};

void TestQuality::scanner_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QVector<qint64>>("unreadable"); // sectors of the file
    QTest::addColumn<int>("chunkSectors");
    QTest::addColumn<QJsonObject>("channel");
    QTest::addColumn<QJsonArray>("gaps");
    QTest::addColumn<QJsonObject>("file");
    const QString z = QStringLiteral("XX.VEXA..HHZ");
    const QByteArray zero(512, '\0');
    const auto packs = [](std::initializer_list<Pack> list) {
        QByteArray out;
        for (const Pack &p : list)
            out += pack(p);
        return out;
    };

    QTest::newRow("continuous") << run(5) << QVector<qint64>{} << 2
        << QJsonObject{{"id", z}, {"network", "XX"}, {"station", "VEXA"}, {"location", ""}, {"channel", "HHZ"},
                       {"sampleRate", 100}, {"start", iso(T)}, {"end", iso(T + 5 * Rec - 10000)}, {"samples", 560},
                       {"records", 5}, {"segments", 1}, {"gaps", 0}, {"overlaps", 0}, {"largestGap", 0},
                       {"availability", 100}, {"timingQuality", QJsonValue()}, {"clockLocked", 100},
                       {"questionableTime", QJsonValue()}, {"duplicates", 0}, {"decodeFailures", 0}, {"sequenceBreaks", 0}}
        << QJsonArray{} << QJsonObject{{"records", 5}, {"otherSectors", 0}, {"unreadableSectors", 0}, {"channels", QJsonArray{z}}};
    QTest::newRow("gap") << run(2) + packs({{"HHZ", T + 5 * Rec, 100, 112, 3}, {"HHZ", T + 6 * Rec, 100, 112, 4}})
        << QVector<qint64>{} << 2048
        << QJsonObject{{"id", z}, {"segments", 2}, {"gaps", 1}, {"overlaps", 0}, {"largestGap", double(3 * Rec + 10000) / Second},
                       {"availability", 400.0 / 7}, {"sequenceBreaks", 0}}
        << QJsonArray{gap(z, T + 2 * Rec - 10000, T + 5 * Rec)} << QJsonObject{};
    // Other samples for a time already recorded: an overlap, not a duplicate.
    QTest::newRow("overlap") << run(3) + pack({"HHZ", T + Rec, 100, 100, 4}) << QVector<qint64>{} << 2048
        << QJsonObject{{"id", z}, {"segments", 2}, {"gaps", 0}, {"overlaps", 1}, {"largestGap", 0}, {"availability", 100}, {"records", 4}}
        << QJsonArray{gap(z, T + 3 * Rec - 10000, T + Rec)} << QJsonObject{};
    QTest::newRow("sample rate change") << run(3) + packs({{"HHZ", T + 3 * Rec, 50, 112, 4}, {"HHZ", T + 3 * Rec + 2240000, 50, 112, 5}})
        << QVector<qint64>{} << 2048
        << QJsonObject{{"id", z}, {"sampleRate", 100}, {"segments", 2}, {"gaps", 0}, {"overlaps", 0}, {"samples", 560},
                       {"end", iso(T + 3 * Rec + 2 * 2240000 - 20000)}, {"availability", 100}}
        << QJsonArray{} << QJsonObject{};
    QByteArray badEncoding = run(3);
    badEncoding[512 + 52] = 99; // blockette 1000 of the second record names no known encoding
    QTest::newRow("undecodable record") << badEncoding << QVector<qint64>{} << 2048
        << QJsonObject{{"id", z}, {"records", 3}, {"decodeFailures", 1}, {"segments", 1}} << QJsonArray{}
        << QJsonObject{{"records", 3}, {"otherSectors", 0}};
    Pack steim;
    steim.encoding = DE_STEIM2;
    QByteArray badSteim = pack(steim);
    badSteim[75] = char(badSteim[75] ^ 1); // the last sample the frames promise (Xn)
    QTest::newRow("Steim integrity") << badSteim + pack({"HHZ", T + Rec, 100, 112, 2}) << QVector<qint64>{} << 2048
        << QJsonObject{{"id", z}, {"records", 2}, {"decodeFailures", 1}} << QJsonArray{} << QJsonObject{};
    QByteArray unlocked;
    for (int i = 0; i < 6; ++i) {
        Pack p{"HHZ", T + i * Rec, 100, 112, i + 1};
        p.locked = i != 2 && i != 3;
        p.questionable = i == 5;
        unlocked += pack(p);
    }
    QTest::newRow("clock unlocked") << unlocked << QVector<qint64>{} << 2048
        << QJsonObject{{"id", z}, {"clockLocked", 400.0 / 6}, {"questionableTime", 100.0 / 6},
                       {"flagCounts", QJsonObject{{"activity", QJsonArray{0, 0, 0, 0, 0, 0, 0, 0}},
                                                  {"io", QJsonArray{0, 0, 0, 0, 0, 4, 0, 0}},
                                                  {"quality", QJsonArray{0, 0, 0, 0, 0, 0, 0, 1}}}}}
        << QJsonArray{} << QJsonObject{};
    // A recorder that never sets the lock bit says nothing of its clock.
    QByteArray neverLocked;
    for (int i = 0; i < 3; ++i) {
        Pack p{"HHZ", T + i * Rec, 100, 112, i + 1};
        p.locked = false;
        neverLocked += pack(p);
    }
    QTest::newRow("lock bit never used") << neverLocked << QVector<qint64>{} << 2048
        << QJsonObject{{"id", z}, {"clockLocked", QJsonValue()}, {"questionableTime", QJsonValue()}} << QJsonArray{} << QJsonObject{};
    // The second record written twice, sequence number and all: counted once, apart.
    QTest::newRow("duplicate record") << run(3) + pack({"HHZ", T + Rec, 100, 112, 2}) + pack({"HHZ", T + 3 * Rec, 100, 112, 4})
        << QVector<qint64>{} << 2048
        << QJsonObject{{"id", z}, {"records", 5}, {"duplicates", 1}, {"samples", 448}, {"segments", 1}, {"gaps", 0},
                       {"overlaps", 0}, {"availability", 100}, {"sequenceBreaks", 0}}
        << QJsonArray{} << QJsonObject{{"records", 5}};
    QByteArray timing;
    const int qualities[] = {10, 50, 40, 90};
    for (int i = 0; i < 4; ++i) {
        Pack p{"HHZ", T + i * Rec, 100, 112, i + 1};
        p.timing = qualities[i];
        timing += pack(p);
    }
    QTest::newRow("timing quality") << timing << QVector<qint64>{} << 2048
        << QJsonObject{{"id", z}, {"timingQuality", QJsonObject{{"min", 10}, {"q1", 32.5}, {"median", 45}, {"mean", 47.5},
                                                                {"q3", 60}, {"max", 90}}}}
        << QJsonArray{} << QJsonObject{};
    QByteArray three;
    for (int i = 0; i < 3; ++i) {
        for (const char *c : {"HHZ", "HHN", "HHE"})
            three += pack({c, T + i * Rec, 100, 112, i + 1});
    }
    QTest::newRow("three channels") << three << QVector<qint64>{} << 4
        << QJsonObject{{"id", "XX.VEXA..HHN"}, {"records", 3}, {"samples", 336}, {"segments", 1}, {"sequenceBreaks", 0}} << QJsonArray{}
        << QJsonObject{{"records", 9}, {"channels", QJsonArray{"XX.VEXA..HHE", "XX.VEXA..HHN", z}}, {"start", iso(T)}, {"end", iso(T + 3 * Rec - 10000)}};
    // HHZ's second record lies in an unreadable sector: the gap it leaves is the card's.
    QByteArray lost;
    for (int i = 0; i < 3; ++i)
        lost += i == 1 ? zero + pack({"HHN", T + i * Rec, 100, 112, i + 1}) : pack({"HHZ", T + i * Rec, 100, 112, i + 1}) + pack({"HHN", T + i * Rec, 100, 112, i + 1});
    QTest::newRow("gap from unreadable sector") << lost << QVector<qint64>{2} << 1
        << QJsonObject{{"id", z}, {"records", 2}, {"gaps", 1}, {"sequenceBreaks", 1}}
        << QJsonArray{gap(z, T + Rec - 10000, T + 2 * Rec, 1)} << QJsonObject{{"records", 5}, {"unreadableSectors", 1}, {"otherSectors", 0}};
    // The recorder's own gap, and an unreadable sector after it that explains nothing.
    QTest::newRow("gap not from the card") << run(2) + pack({"HHZ", T + 3 * Rec, 100, 112, 3}) + zero << QVector<qint64>{3} << 2048
        << QJsonObject{{"id", z}, {"gaps", 1}} << QJsonArray{gap(z, T + 2 * Rec - 10000, T + 3 * Rec, 0)}
        << QJsonObject{{"records", 3}, {"unreadableSectors", 1}, {"otherSectors", 0}};
    QTest::newRow("sectors that are no records") << QByteArray(512, 'L') + zero + run(1) + QByteArray(300, 'x') << QVector<qint64>{} << 1
        << QJsonObject{{"id", z}, {"records", 1}} << QJsonArray{}
        << QJsonObject{{"records", 1}, {"otherSectors", 3}, {"unreadableSectors", 0}};
    const qint64 midnight = T + 14 * 3600 * Second;
    QTest::newRow("across midnight") << run(3, midnight - Rec) << QVector<qint64>{} << 2048
        << QJsonObject{{"id", z}, {"start", "2023-03-14T23:59:58.880000Z"}, {"end", "2023-03-15T00:00:02.230000Z"}} << QJsonArray{}
        << QJsonObject{{"start", "2023-03-14T23:59:58.880000Z"}, {"end", "2023-03-15T00:00:02.230000Z"}};
    // 1024-byte records (blockette 1000) cut by every chunk boundary of three sectors.
    QByteArray long1024;
    for (int i = 0; i < 4; ++i) {
        Pack p{"HHZ", T + i * 2400000, 100, 240, i + 1};
        p.length = 1024;
        long1024 += pack(p);
    }
    QTest::newRow("1024-byte records") << long1024 << QVector<qint64>{} << 3
        << QJsonObject{{"id", z}, {"records", 4}, {"samples", 960}, {"segments", 1}, {"decodeFailures", 0}} << QJsonArray{}
        << QJsonObject{{"records", 4}, {"otherSectors", 0}};
}

void TestQuality::scanner()
{
    QFETCH(QByteArray, data);
    QFETCH(QVector<qint64>, unreadable);
    QFETCH(int, chunkSectors);
    QFETCH(QJsonObject, channel);
    QFETCH(QJsonArray, gaps);
    QFETCH(QJsonObject, file);

    // Directly, and on a thread of its own as an export runs it: the same report.
    RecordScanner scanner;
    RecordScanner threaded;
    BackgroundSink background(threaded, 2);
    int handled = 0;
    scanner.setRecordHandler([&handled](const char *raw, int length, const MSRecord *msr) {
        handled += raw && length == msr->reclen;
    });
    const CopySource source{"/20230314_1000/20230314_100018", "20230314_100018.mseed", 5000, data.size() / 512};
    QVERIFY(scanner.begin(source) && background.begin(source));
    for (qint64 at = 0; at < data.size(); at += chunkSectors * 512) {
        SectorChunk chunk;
        chunk.data = data.constData() + at;
        chunk.length = qMin<qint64>(chunkSectors * 512, data.size() - at);
        chunk.firstSector = at / 512;
        for (qint64 s : unreadable) {
            if (s >= chunk.firstSector && s * 512 < at + chunk.length)
                chunk.unreadable.append(s);
        }
        QVERIFY(scanner.consume(chunk) && background.consume(chunk));
    }
    QVERIFY(scanner.finish(CopyEnd::Complete) && background.finish(CopyEnd::Complete));
    background.drain();
    const QualityReport report = scanner.report();
    checkReport(qualityJson(report), channel, gaps, file);
    QCOMPARE(qualityJson(threaded.report()), qualityJson(report));
    QCOMPARE(handled, int(report.files.at(0).records));

    if (QByteArray(QTest::currentDataTag()) == "clock unlocked") {
        // The timeline's picture: one unlocked stretch, the third and fourth records.
        const ChannelQuality &c = report.channels.at(0);
        QCOMPARE(c.clockUnlocked.size(), 1);
        QCOMPARE(c.clockUnlocked.at(0).start, T + 2 * Rec);
        QCOMPARE(c.clockUnlocked.at(0).end, T + 4 * Rec - 10000);
    }
    if (QByteArray(QTest::currentDataTag()) == "lock bit never used") {
        QVERIFY(report.channels.at(0).clockUnlocked.isEmpty());
        QVERIFY(qualityText(report, false).contains(QStringLiteral("  \u2014 ")));
    }
}

// Two files: three channels with a recorder's gap in HHN; then a log sector and records
// of HHZ across midnight.
QString writeCard(const QString &image)
{
    QByteArray first;
    for (int i = 0; i < 4; ++i) {
        for (const char *c : {"HHZ", "HHN", "HHE"}) {
            if (!(i == 2 && QByteArray(c) == "HHN"))
                first += pack({c, T + i * Rec, 100, 112, i + 1});
        }
    }
    const qint64 midnight = T + 14 * 3600 * Second;
    const QByteArray second = QByteArray(512, 'L') + run(2, midnight - Rec);
    CardImage card;
    card.setDirectory(1, 1362823218);
    card.setRecord(1, 0, FileRecord{1362823218, 30000, quint32(30000 + first.size() / 512 - 1), 1});
    card.setRecord(1, 1, FileRecord{1362823228, 31000, quint32(31000 + second.size() / 512 - 1), 1});
    card.put(Card::sectorOffset(30000), first);
    card.put(Card::sectorOffset(31000), second);
    return card.write(image) ? image : QString();
}

void TestQuality::inspectCard()
{
    QTemporaryDir dir;
    const QString image = writeCard(dir.filePath("card.img"));
    QVERIFY(!image.isEmpty());
    const qint64 midnight = T + 14 * 3600 * Second;
    CardRun inspect = runVexaCard({"inspect", "--json", image});
    QCOMPARE(inspect.status, 0);
    const QJsonObject report = QJsonDocument::fromJson(inspect.out).object();
    QCOMPARE(report.keys(), (QStringList{"channels", "files", "gaps"}));
    const QJsonArray files = report["files"].toArray();
    QCOMPARE(files.size(), 2);
    QCOMPARE(files.at(0).toObject().keys(), (QStringList{"badRecordList", "badRecords", "channels", "end", "otherSectors", "path", "records", "start", "unreadableSectors"}));
    QVERIFY(mismatch(files.at(1).toObject(), {{"path", "/20230314_1000/20230314_100028"}, {"records", 2}, {"otherSectors", 1},
                                              {"start", "2023-03-14T23:59:58.880000Z"}, {"channels", QJsonArray{"XX.VEXA..HHZ"}}}).isEmpty());
    const QJsonArray channels = report["channels"].toArray();
    QCOMPARE(channels.size(), 3);
    QCOMPARE(channels.at(0)["id"], "XX.VEXA..HHE");
    checkReport(report, {{"id", "XX.VEXA..HHN"}, {"records", 3}, {"gaps", 1}, {"availability", 75}, {"start", iso(T)}},
                {gap("XX.VEXA..HHN", T + 2 * Rec - 10000, T + 3 * Rec), gap("XX.VEXA..HHZ", T + 4 * Rec - 10000, midnight - Rec)},
                {{"records", 11}, {"otherSectors", 0}, {"unreadableSectors", 0}, {"start", iso(T)}, {"end", iso(T + 4 * Rec - 10000)}});
    QCOMPARE(channels.at(2)["records"], 6);

    // One file chosen; one missing: exit 1 with the report of what was read.
    inspect = runVexaCard({"inspect", image, "/20230314_1000/20230314_100028", "/20230314_1000/20230314_100029"});
    QCOMPARE(inspect.status, 1);
    QVERIFY(inspect.out.startsWith("Source") && inspect.out.contains("XX.VEXA..HHZ") && !inspect.out.contains("HHN"));
    QVERIFY(inspect.err.contains("100029"));
    QCOMPARE(runVexaCard({"inspect", "--gap", image}).status, 2);
    QCOMPARE(runVexaCard({"inspect"}).status, 2);
}

void TestQuality::exportReport()
{
    // The export checks what it copies: its quality.json is inspect's report of those files.
    QTemporaryDir dir;
    const QString image = writeCard(dir.filePath("card.img"));
    QVERIFY(!image.isEmpty());
    const QString out = dir.filePath("out");
    const CardRun copy = runVexaCard({"export", "--quiet", "-o", out, image, "/20230314_1000/20230314_100028", "/log"});
    QVERIFY2(copy.status == 0, copy.err.constData());
    const QJsonObject report = QJsonDocument::fromJson(fileContents(out + "/quality.json")).object();
    QCOMPARE(report, QJsonDocument::fromJson(runVexaCard({"inspect", "--json", image, "/20230314_1000/20230314_100028"}).out).object());
    checkReport(report, {{"id", "XX.VEXA..HHZ"}, {"records", 2}, {"end", "2023-03-15T00:00:01.110000Z"}}, {},
                {{"path", "/20230314_1000/20230314_100028"}, {"otherSectors", 1}});
    const QByteArray text = fileContents(out + "/quality.txt");
    QVERIFY(text.startsWith("Source") && text.contains("Total: 0 gap(s), 0 overlap(s)"));
}

void TestQuality::unreadableThroughCopy()
{
    // The second HHN record of the first file (card sector 30004) cannot be read: the
    // copy hands on zeros, and the gap HHN shows from its first record to its fourth (the
    // third the recorder never wrote) names that sector.
    QTemporaryDir dir;
    const QString image = writeCard(dir.filePath("card.img"));
    QVERIFY(!image.isEmpty());
    Filesystem card;
    QVERIFY(card.openDevice(std::make_unique<FaultyCard>(image, 30004)));
    RecordScanner scanner;
    BackgroundSink check(scanner);
    const ExportResult copy = card.exportFile("/20230314_1000/20230314_100018", dir.path(), {&check});
    QVERIFY2(copy.status == ExportResult::Incomplete, qPrintable(copy.message));
    check.drain();
    const QualityReport report = scanner.report();
    checkReport(qualityJson(report), {{"id", "XX.VEXA..HHN"}, {"records", 2}, {"gaps", 1}, {"availability", 50}},
                {gap("XX.VEXA..HHN", T + Rec - 10000, T + 3 * Rec, 1)},
                {{"records", 10}, {"unreadableSectors", 1}, {"otherSectors", 0}});
    QVERIFY(!report.allComplete());
}

void TestQuality::demoCard()
{
    QTemporaryDir dir;
    const QString image = dir.filePath("demo.img");
    QCOMPARE(runVexaCard({"sample", image}).status, 0);
    const CardRun inspect = runVexaCard({"inspect", "--gaps", image});
    QCOMPARE(inspect.status, 0);
    const QString text = QString::fromUtf8(inspect.out);
    for (const char *id : {"XX.VEXA..HHE", "XX.VEXA..HHN", "XX.VEXA..HHZ"}) {
        // 09:26:07 GPS is 09:25:49 UTC; the file after it lost its lock from 60 s to 180 s;
        // the second recording's second file misses 7 s from 120 s on.
        QVERIFY2(text.contains(QStringLiteral("%1    2023-03-14T09:25:49.000000Z  2023-03-15T00:03:41.990000Z").arg(id)), qPrintable(text));
        QVERIFY(text.contains(QStringLiteral("%1    clock unlocked 2023-03-14T09:28:49.000000Z to 2023-03-14T09:30:48.990000Z").arg(id)));
        QVERIFY(text.contains(QStringLiteral("%1    2023-03-14T13:07:42.990000Z  2023-03-14T13:07:50.000000Z      7.010000").arg(id)));
    }
    QVERIFY(text.contains(" 25/"));
}

void TestQuality::quickScanAgrees()
{
    // A small file read whole: its headers alone give the figures the full pass gives
    // (a duplicate, a gap, an overlap, a channel that never sets the lock bit, timing quality).
    QByteArray file = run(3);
    file += pack({"HHZ", T + Rec, 100, 112, 2});
    file += pack({"HHZ", T + 5 * Rec, 100, 112, 4});
    file += pack({"HHZ", T + 5 * Rec + 560000, 100, 112, 5});
    for (int i = 0; i < 4; ++i) {
        Pack p{"HHN", T + i * Rec, 100, 112, i + 1, 30 + 20 * i};
        p.locked = false;
        p.questionable = i == 1;
        file += pack(p);
    }
    RecordScanner scanner;
    QVERIFY(scanner.begin({"/20230314_1000/20230314_100018", "20230314_100018.mseed", 0, file.size() / 512}));
    SectorChunk chunk;
    chunk.data = file.constData();
    chunk.length = file.size();
    QVERIFY(scanner.consume(chunk) && scanner.finish(CopyEnd::Complete));
    const QualityReport full = scanner.report();
    QualityReport quick;
    quick.files = full.files;
    quick.channels = QuickScan::channelFigures(file, QByteArray(), true, {}, &quick.gaps);
    QCOMPARE(quick.channels.size(), 2);
    QCOMPARE(full.channels.at(1).duplicates, 1);
    QCOMPARE(full.channels.at(1).overlaps, 1);
    QCOMPARE(qualityJson(quick), qualityJson(full));
}

void TestQuality::jsonTextOfFiles_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QByteArray>("line"); // the file's line of quality.json, as written by hand

    QTest::newRow("plain") << QStringLiteral("/20230314_1000/20230314_100028") << QString()
                           << QByteArray(R"({"badRecordList":[],"badRecords":0,"channels":[],"end":null,"otherSectors":8,)"
                                         R"("path":"/20230314_1000/20230314_100028","records":0,"start":null,"unreadableSectors":2})");
    // Escaping: a quote or backslash alone, then control and non-ASCII characters.
    QTest::newRow("quote") << QStringLiteral("/a\"b\\c") << QStringLiteral("CRC \"bad\"")
                           << QByteArray(R"({"badRecordList":[{"reason":"CRC \"bad\"","sector":4294967296}],"badRecords":3,)"
                                         R"("channels":[],"end":null,"otherSectors":8,"path":"/a\"b\\c","records":0,"start":null,)"
                                         R"("unreadableSectors":2})");
    QTest::newRow("control") << QString::fromUtf8("/d\te\x01" "f\u00e9") << QStringLiteral("line\nbreak")
                             << QByteArray(R"({"badRecordList":[{"reason":"line\nbreak","sector":4294967296}],"badRecords":3,)"
                                           R"("channels":[],"end":null,"otherSectors":8,"path":"/d\te\u0001f)" "\xc3\xa9"
                                           R"(","records":0,"start":null,"unreadableSectors":2})");
}

void TestQuality::jsonTextOfFiles()
{
    QFETCH(QString, path);
    QFETCH(QString, reason);
    QFETCH(QByteArray, line);
    FileQuality file;
    file.path = path;
    file.otherSectors = 8;
    file.unreadableSectors = 2;
    if (!reason.isEmpty()) {
        file.badRecords = 3;
        file.badRecordList.append(BadRecord{quint64(1) << 32, reason});
    }
    FileQuality recorded;
    recorded.path = QStringLiteral("/20230314_1000/20230314_100128");
    recorded.records = 7;
    recorded.channels = QStringList{QStringLiteral("XX.VEXA..HHN"), QStringLiteral("XX.VEXA..HHZ")};
    recorded.hasRecords = true;
    recorded.start = T;
    recorded.end = T + Rec;
    QualityReport report;
    report.files = {file, recorded};
    const QByteArray text = qualityJsonText(report);
    const QByteArray expected = "{\n  \"files\": [\n    " + line
        + ",\n    {\"badRecordList\":[],\"badRecords\":0,\"channels\":[\"XX.VEXA..HHN\",\"XX.VEXA..HHZ\"],"
          "\"end\":\"2023-03-14T10:00:01.120000Z\",\"otherSectors\":0,\"path\":\"/20230314_1000/20230314_100128\","
          "\"records\":7,\"start\":\"2023-03-14T10:00:00.000000Z\",\"unreadableSectors\":0}\n  ],\n"
          "  \"channels\": [],\n  \"gaps\": []\n}\n";
    QCOMPARE(text, expected);
    // And the text reads back as the report's document.
    QJsonParseError error;
    QCOMPARE(QJsonDocument::fromJson(text, &error).object(), qualityJson(report));
    QCOMPARE(error.error, QJsonParseError::NoError);
}

QTEST_GUILESS_MAIN(TestQuality)
#include "tst_quality.moc"
