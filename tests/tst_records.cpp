// Records a damaged card can hold, each between two good ones on a card: every command
// ends, the good records are read and filed, the damaged one is named and never decoded.
// The damage is made by patching bytes of records packed by libmseed (big-endian).
#include "cardimage.h"
#include "mseedrecords.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <sys/resource.h>

#include <cstring>

namespace {

constexpr qint64 Second = 1000000;
constexpr qint64 T = 1678788000 * Second; // 2023-03-14T10:00:00Z
const QString Path = QStringLiteral("/20230314_1000/20230314_100018");
constexpr quint32 FirstSector = 30000;

void put16(QByteArray &record, int offset, quint16 value)
{
    record[offset] = char(value >> 8);
    record[offset + 1] = char(value & 0xff);
}

// Three records of 112 samples (int32 unless `encoding` says otherwise), 512 bytes each.
QList<QByteArray> records(int encoding = DE_INT32, qint64 start = T, double rate = 100, int samples = 336)
{
    MseedSeries series;
    series.start = start;
    series.rate = rate;
    series.encoding = encoding;
    QVector<qint32> values(samples);
    for (int i = 0; i < samples; ++i)
        values[i] = (i * 37) % 501 - 250;
    QList<QByteArray> out;
    for (const MseedRecord &r : packSeries(series, values))
        out.append(r.bytes);
    return out;
}

// A record whose sample rate is blockette 100's `rate`: the data moved back to make room.
QByteArray withBlockette100(float rate)
{
    QByteArray r = records(DE_INT32, T, 100, 50).value(0);
    const QByteArray data = r.mid(64, 200);
    r.replace(64, 448, QByteArray(448, '\0'));
    r.replace(128, 200, data);
    r[39] = 2;             // two blockettes
    put16(r, 44, 128);     // data offset
    put16(r, 50, 56);      // blockette 1000 leads on to blockette 100 at 56
    quint32 bits;
    std::memcpy(&bits, &rate, 4);
    const QByteArray b100 = QByteArray::fromHex("00640000")
        + QByteArray::fromHex(QByteArray::number(bits, 16).rightJustified(8, '0')) + QByteArray(4, '\0');
    r.replace(56, 12, b100);
    return r;
}

QString writeCard(const QString &image, const QByteArray &data)
{
    CardImage card;
    card.setDirectory(1, 1362823218);
    card.setRecord(1, 0, FileRecord{1362823218, FirstSector, quint32(FirstSector + data.size() / 512 - 1), 1});
    card.put(Card::sectorOffset(FirstSector), data);
    return card.write(image) ? image : QString();
}

} // namespace

class TestRecords : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // First: the peak memory of every command run so far is this one's.
    void headerWithoutLength()
    {
        // A fixed header without blockette 1000 at a file's start, then 128 MiB of zeros:
        // the scanner gives the header up instead of keeping the file for it.
        QTemporaryDir dir;
        QByteArray header = records().value(0).left(512);
        header[39] = 0;
        put16(header, 46, 0);
        CardImage card;
        card.setDirectory(1, 1362823218);
        card.setRecord(1, 0, FileRecord{1362823218, FirstSector, FirstSector + 262143, 1});
        card.put(Card::sectorOffset(FirstSector), header);
        card.setLength(Card::sectorOffset(FirstSector + 262144));
        QVERIFY(card.write(dir.filePath("card.img")));
        const CardRun run = runVexaCard({"inspect", "--json", dir.filePath("card.img")});
        QCOMPARE(run.status, 0);
        rusage usage{};
        QCOMPARE(getrusage(RUSAGE_CHILDREN, &usage), 0);
        QVERIFY2(usage.ru_maxrss < 100 * 1024, qPrintable(QStringLiteral("%1 KiB").arg(usage.ru_maxrss)));
        const QJsonObject file = QJsonDocument::fromJson(run.out).object()["files"].toArray().at(0).toObject();
        QCOMPARE(file["records"].toInt(), 0);
        QCOMPARE(file["otherSectors"].toInt(), 262144);
    }

    void hostileRecord_data()
    {
        QTest::addColumn<QByteArray>("hostile");
        const auto patched = [](int encoding, std::initializer_list<QPair<int, quint16>> words, std::initializer_list<QPair<int, char>> bytes = {}) {
            QByteArray r = records(encoding).value(0);
            for (const auto &w : words)
                put16(r, w.first, w.second);
            for (const auto &b : bytes)
                r[b.first] = b.second;
            return r;
        };
        // Samples beyond the data area (encoding in blockette 1000, byte 52).
        QTest::newRow("int32 65535") << patched(DE_INT32, {{30, 65535}});
        QTest::newRow("int32 60000") << patched(DE_INT32, {{30, 60000}});
        QTest::newRow("int16") << patched(DE_INT16, {{30, 65535}});
        QTest::newRow("float32") << patched(DE_INT32, {{30, 65535}}, {{52, char(DE_FLOAT32)}});
        QTest::newRow("text") << patched(DE_INT32, {{30, 65535}}, {{52, char(DE_ASCII)}});
        QTest::newRow("steim1") << patched(DE_INT32, {{30, 65535}}, {{52, char(DE_STEIM1)}});
        QTest::newRow("steim2") << patched(DE_STEIM2, {{30, 65535}});
        QTest::newRow("data offset past the record") << patched(DE_INT32, {{44, 600}});
        // Dates no recorder wrote.
        for (const quint16 year : {9999, 0, 65535, 1969})
            QTest::addRow("year %u", year) << patched(DE_INT32, {{20, year}});
        QTest::newRow("day 65535") << patched(DE_INT32, {{22, 65535}});
        QTest::newRow("leap second on a day without one") << patched(DE_INT32, {}, {{24, 23}, {25, 59}, {26, 60}});
        // Rates: 1/2^30 Hz (period factor and multiplier -32768), NaN and infinity.
        QTest::newRow("rate 1/2^30") << patched(DE_INT32, {{32, 0x8000}, {34, 0x8000}});
        QTest::newRow("rate NaN") << withBlockette100(std::numeric_limits<float>::quiet_NaN());
        QTest::newRow("rate infinite") << withBlockette100(std::numeric_limits<float>::infinity());
        // Codes: a newline, a terminal escape, a NUL inside.
        QTest::newRow("newline in station") << patched(DE_INT32, {}, {{10, '\n'}});
        QTest::newRow("escape in channel") << patched(DE_INT32, {}, {{15, '\x1b'}});
        QTest::newRow("NUL in station") << patched(DE_INT32, {}, {{9, '\0'}});
        QTest::newRow("no blockette 1000") << patched(DE_INT32, {{46, 0}}, {{39, 0}});
    }

    void hostileRecord()
    {
        QFETCH(QByteArray, hostile);
        QCOMPARE(hostile.size(), 512);
        const QList<QByteArray> good = records();
        const QByteArray data = good.at(0) + hostile + good.at(2);
        QTemporaryDir dir;
        const QString image = writeCard(dir.filePath("card.img"), data);
        QVERIFY(!image.isEmpty());

        const CardRun inspect = runVexaCard({"inspect", "--json", image});
        QCOMPARE(inspect.status, 0);
        const QJsonObject report = QJsonDocument::fromJson(inspect.out).object();
        const QJsonObject file = report["files"].toArray().at(0).toObject();
        QCOMPARE(file["records"].toInt(), 2);
        QCOMPARE(file["badRecords"].toInt(), 1);
        QCOMPARE(file["badRecordList"].toArray().at(0)["sector"].toInt(), int(FirstSector + 1));
        QCOMPARE(report["channels"].toArray().size(), 1);
        QCOMPARE(report["channels"].toArray().at(0)["records"].toInt(), 2);

        // The text names it, and no byte of the card starts a line or drives the terminal.
        const CardRun text = runVexaCard({"inspect", image});
        QCOMPARE(text.status, 0);
        QVERIFY2(text.out.contains(QStringLiteral("bad record at card sector %1").arg(FirstSector + 1).toUtf8()), text.out);
        QVERIFY(std::none_of(text.out.cbegin(), text.out.cend(), [](char c) { return c != '\n' && uchar(c) < 0x20; }));

        // The archive holds the good two; the bad one is named, exit 1.
        const QString archive = dir.filePath("sds");
        const CardRun sds = runVexaCard({"export", "--quiet", "--sds", archive, "--split-midnight", image, Path});
        QCOMPARE(sds.status, 1);
        QVERIFY2(sds.err.contains(QStringLiteral("card sector %1 left out").arg(FirstSector + 1).toUtf8()), sds.err);
        QCOMPARE(fileContents(archive + "/2023/XX/VEXA/HHZ.D/XX.VEXA..HHZ.D.2023.073"), good.at(0) + good.at(2));

        // A plain copy keeps the card's bytes as they are.
        const QString out = dir.filePath("out");
        const CardRun copy = runVexaCard({"export", "--quiet", "-o", out, image, Path});
        QCOMPARE(copy.status, 0);
        QVERIFY(fileContents(out + "/20230314_100018.mseed") == data);
    }

    void midnightSplitBound()
    {
        // 112 samples an hour apart from 23:00: 111 hours, five days. Filed whole, not in five pieces.
        const QByteArray record = records(DE_INT32, T + 13 * 3600 * Second, 1.0 / 3600, 112).value(0);
        QTemporaryDir dir;
        const QString image = writeCard(dir.filePath("card.img"), record);
        const QString archive = dir.filePath("sds");
        const CardRun sds = runVexaCard({"export", "--quiet", "--sds", archive, "--split-midnight", image, Path});
        QCOMPARE(sds.status, 0);
        QCOMPARE(QDir(archive + "/2023/XX/VEXA/HHZ.D").entryList(QDir::Files), QStringList{"XX.VEXA..HHZ.D.2023.073"});
        QVERIFY(fileContents(archive + "/2023/XX/VEXA/HHZ.D/XX.VEXA..HHZ.D.2023.073") == record);
    }

    void escapedCodes()
    {
        // A backslash is printable, yet shown escaped: no code can imitate an escape.
        QByteArray record = records().value(0);
        record[10] = '\\';
        QTemporaryDir dir;
        const CardRun text = runVexaCard({"inspect", writeCard(dir.filePath("card.img"), record)});
        QVERIFY2(text.out.contains("XX.VE\\x5cA..HHZ") && !text.out.contains("VE\\A"), text.out);
    }
};

QTEST_GUILESS_MAIN(TestRecords)
#include "tst_records.moc"
