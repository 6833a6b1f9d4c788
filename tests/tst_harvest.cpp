// The harvest of cards into one campaign archive: codes rewritten as the station table
// says, raw copies byte for byte, the same card again brings nothing, a card that
// recorded more brings only that, and a stopped harvest is taken up where it ended.
#include "cardimage.h"
#include "cardmodel.h"
#include "harvest.h"
#include "ledger.h"
#include "manifest.h"
#include "mseedrecords.h"
#include "stationtable.h"

#include <QDirIterator>
#include <QTemporaryDir>
#include <QtTest>

namespace {

constexpr qint64 UnixGpsEpoch = 315964800;
constexpr qint64 LeapSeconds = 18;
constexpr quint32 Visit = quint32(1714521600 - UnixGpsEpoch + LeapSeconds); // 2024-05-01 GPS
constexpr quint32 FirstSector = 100000;

// One recording of a card: its start (GPS seconds), its seconds of HHZ at 100 Hz.
struct Recording
{
    quint32 start;
    int seconds;
    int records = -1; // the first records only: a file the recorder is still writing
};

QList<QByteArray> recordsOf(const char *network, const char *station, const Recording &recording)
{
    MseedSeries series;
    series.network = network;
    series.station = station;
    series.start = (qint64(recording.start) + UnixGpsEpoch - LeapSeconds) * HPTMODULUS;
    QVector<qint32> samples(recording.seconds * 100);
    for (int i = 0; i < samples.size(); ++i)
        samples[i] = qint32((i * 37 + recording.start) % 1001) - 500;
    QList<QByteArray> records;
    for (const MseedRecord &record : packSeries(series, samples))
        records.append(record.bytes);
    return records;
}

// A card of recorder NETWORK.STATION holding `recordings` in one directory; the records
// of each file by its name (YYYYMMDD_HHMMSS.mseed).
QMap<QString, QByteArray> writeCard(const QString &path, const char *network, const char *station,
                                    const QList<Recording> &recordings)
{
    CardImage card;
    card.setDirectory(1, recordings.constFirst().start);
    quint32 sector = FirstSector;
    QMap<QString, QByteArray> files;
    for (int i = 0; i < recordings.size(); ++i) {
        const QList<QByteArray> records = recordsOf(network, station, recordings.at(i));
        const QByteArray data = records.mid(0, recordings.at(i).records).join();
        const quint32 sectors = quint32(data.size() / 512);
        FileRecord record;
        record.startTime = recordings.at(i).start;
        record.firstSector = sector;
        record.lastSector = sector + sectors - 1;
        card.setRecord(1, i, record);
        card.put(qint64(sector) * 512, data);
        files.insert(cardFileName(record.startTime) + QStringLiteral(".mseed"), data);
        sector += sectors + 8;
    }
    card.fillLog();
    QFile::remove(path);
    card.write(path);
    return files;
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Every day file below `root` (relative path) with its content.
QMap<QString, QByteArray> dayFiles(const QString &root)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(root, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString relative = QDir(root).relativeFilePath(it.next());
        if (relative.contains(QStringLiteral(".D/")))
            files.insert(relative, contents(it.filePath()));
    }
    return files;
}

// The codes of every record in a day file, "NET.STA.LOC.CHA", and their sample count.
QStringList codesIn(const QByteArray &file, qint64 *samples)
{
    QStringList codes;
    QByteArray bytes = file;
    for (int offset = 0; offset + 512 <= bytes.size(); offset += 512) {
        MSRecord *msr = nullptr;
        if (msr_parse(bytes.data() + offset, 512, &msr, 512, 0, 0) != MS_NOERROR)
            return {QStringLiteral("unparsable")};
        codes.append(QStringLiteral("%1.%2.%3.%4").arg(QLatin1String(msr->network), QLatin1String(msr->station),
                                                       QLatin1String(msr->location), QLatin1String(msr->channel)));
        *samples += msr->samplecnt;
        msr_free(&msr);
    }
    codes.removeDuplicates();
    return codes;
}

} // namespace

class HarvestTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void twoRecordersIntoOneArchive();
    void sameCardAgainAndMore();
    void stoppedHarvestTakenUp();
    void manyCardsIntoNewArchive();
};

void HarvestTest::twoRecordersIntoOneArchive()
{
    QTemporaryDir dir;
    const QString archive = dir.filePath(QStringLiteral("archive"));
    const QMap<QString, QByteArray> one = writeCard(dir.filePath(QStringLiteral("one.img")), "XX", "REC1",
                                                    {{Visit, 60}, {Visit + 600, 45}});
    writeCard(dir.filePath(QStringLiteral("two.img")), "XX", "REC2", {{Visit + 30, 50}});
    writeCard(dir.filePath(QStringLiteral("three.img")), "XX", "REC3", {{Visit + 60, 20}});
    StationTable table;
    QVERIFY(StationTable::parse("recorded,network,station,location\nXX.REC1,ZQ,ALPHA,00\nXX.REC2,ZQ,BETA,\n",
                                QStringLiteral("stations.csv"), &table));

    Harvest harvest(archive);
    harvest.setStations(&table);
    const QVector<HarvestReceipt> receipts = harvest.harvestCards(
        {dir.filePath(QStringLiteral("one.img")), dir.filePath(QStringLiteral("two.img")), dir.filePath(QStringLiteral("three.img"))});
    QCOMPARE(receipts.size(), 3);
    const QStringList stations{QStringLiteral("ZQ.ALPHA"), QStringLiteral("ZQ.BETA"), QStringLiteral("XX.REC3")};
    const int newFiles[] = {3, 2, 2}; // the recordings and the log
    for (int i = 0; i < 3; ++i) {
        QVERIFY2(receipts[i].isWhole(), qPrintable(receipts[i].problems.join(QLatin1Char('\n'))));
        QCOMPARE(receipts[i].station, stations[i]);
        QCOMPARE(receipts[i].newFiles, newFiles[i]);
        QVERIFY(receipts[i].verified);
    }
    // A recorder the table does not name is filed as recorded, and said so.
    QVERIFY(receipts[2].warnings.join(QString()).contains(QStringLiteral("XX.REC3")));
    std::unique_ptr<Ledger> ledger;
    QVERIFY(Ledger::open(archive, &ledger, Ledger::Mode::ReadOnly));
    QVector<Ledger::UnmappedRow> unmapped;
    QVERIFY(ledger->unmapped(&unmapped));
    QCOMPARE(unmapped.size(), 1);
    QCOMPARE(unmapped[0].code, QStringLiteral("XX.REC3"));
    // The ledger's channels are those filed, with every sample of the cards.
    QVector<Ledger::ChannelRow> channels;
    QVERIFY(ledger->channels(&channels));
    QStringList ids;
    qint64 filed = 0;
    for (const Ledger::ChannelRow &row : std::as_const(channels)) {
        ids.append(row.id);
        filed += row.samples;
    }
    ids.sort();
    QCOMPARE(ids, (QStringList{QStringLiteral("XX.REC3..HHZ"), QStringLiteral("ZQ.ALPHA.00.HHZ"), QStringLiteral("ZQ.BETA..HHZ")}));
    QCOMPARE(filed, qint64(60 + 45 + 50 + 20) * 100);
    ledger.reset();

    // Day files under the codes as filed, every sample of the card in them once.
    const QMap<QString, QByteArray> days = dayFiles(archive);
    const struct
    {
        const char *path;
        const char *codes;
        qint64 samples;
    } expected[] = {
        {"2024/ZQ/ALPHA/HHZ.D/ZQ.ALPHA.00.HHZ.D.2024.122", "ZQ.ALPHA.00.HHZ", 10500},
        {"2024/ZQ/BETA/HHZ.D/ZQ.BETA..HHZ.D.2024.122", "ZQ.BETA..HHZ", 5000},
        {"2024/XX/REC3/HHZ.D/XX.REC3..HHZ.D.2024.122", "XX.REC3..HHZ", 2000},
    };
    QCOMPARE(days.size(), 3);
    for (const auto &day : expected) {
        qint64 samples = 0;
        QCOMPARE(codesIn(days.value(QLatin1String(day.path)), &samples), QStringList{QLatin1String(day.codes)});
        QCOMPARE(samples, day.samples);
    }
    // The raw copies are the card's files byte for byte, under the station as filed.
    for (auto it = one.cbegin(); it != one.cend(); ++it)
        QCOMPARE(contents(archive + QStringLiteral("/raw/ZQ.ALPHA/") + cardDirectoryName(Visit) + QLatin1Char('/') + it.key()), it.value());
    const QByteArray manifest = contents(archive + QLatin1Char('/') + Manifest::fileName());
    QVERIFY(manifest.contains(QStringLiteral("raw/ZQ.ALPHA/%1/log").arg(cardDirectoryName(Visit)).toLatin1()));
    QVERIFY(manifest.contains("2024/ZQ/BETA/HHZ.D/ZQ.BETA..HHZ.D.2024.122"));
}

void HarvestTest::sameCardAgainAndMore()
{
    QTemporaryDir dir;
    const QString archive = dir.filePath(QStringLiteral("archive"));
    const QString card = dir.filePath(QStringLiteral("card.img"));
    writeCard(card, "XX", "REC1", {{Visit, 60}, {Visit + 600, 50, 3}});
    QCOMPARE(Harvest(archive).harvestCard(card).outcome, QStringLiteral("complete"));
    const QMap<QString, QByteArray> before = dayFiles(archive);

    const HarvestReceipt again = Harvest(archive).harvestCard(card);
    QCOMPARE(again.outcome, QStringLiteral("nothing new"));
    QCOMPARE(again.newFiles, 0);
    QCOMPARE(again.skippedFiles, 3);
    QCOMPARE(dayFiles(archive), before);

    // The recorder went on: its second file grew, a third began. Only those are read.
    writeCard(card, "XX", "REC1", {{Visit, 60}, {Visit + 600, 50}, {Visit + 1200, 20}});
    const HarvestReceipt more = Harvest(archive).harvestCard(card);
    QVERIFY2(more.isWhole(), qPrintable(more.problems.join(QLatin1Char('\n'))));
    QCOMPARE(more.newFiles, 3); // the grown file, the new one, the log
    QCOMPARE(more.skippedFiles, 1);
    qint64 samples = 0;
    codesIn(dayFiles(archive).value(QStringLiteral("2024/XX/REC1/HHZ.D/XX.REC1..HHZ.D.2024.122")), &samples);
    QCOMPARE(samples, qint64(60 + 50 + 20) * 100); // each record once
}

void HarvestTest::stoppedHarvestTakenUp()
{
    QTemporaryDir dir;
    const QString card = dir.filePath(QStringLiteral("card.img"));
    const QList<Recording> recordings{{Visit, 40}, {Visit + 600, 40}, {Visit + 1200, 40}, {Visit + 1800, 40}};
    writeCard(card, "XX", "REC1", recordings);

    // Stopped once its second file is read: those two are harvested, the rest are not.
    const QString stopped = dir.filePath(QStringLiteral("stopped"));
    Harvest first(stopped);
    StopToken stop;
    first.setStopToken(stop);
    int read = 0;
    first.setFileRead([&](const QString &, const QString &) {
        if (++read == 2)
            stop.requestStop();
    });
    const HarvestReceipt cut = first.harvestCard(card);
    QCOMPARE(cut.outcome, QStringLiteral("stopped"));
    QCOMPARE(cut.newFiles, 2);

    const HarvestReceipt rest = Harvest(stopped).harvestCard(card);
    QVERIFY2(rest.isWhole(), qPrintable(rest.problems.join(QLatin1Char('\n'))));
    QCOMPARE(rest.newFiles, 3); // two recordings and the log
    QCOMPARE(rest.skippedFiles, 2);

    const QString whole = dir.filePath(QStringLiteral("whole"));
    QVERIFY(Harvest(whole).harvestCard(card).isWhole());
    QCOMPARE(dayFiles(stopped), dayFiles(whole));
    const QString last = QStringLiteral("/raw/XX.REC1/%1/%2.mseed").arg(cardDirectoryName(Visit), cardFileName(Visit + 1800));
    QVERIFY(!contents(whole + last).isEmpty());
    QCOMPARE(contents(stopped + last), contents(whole + last));
}

QTEST_GUILESS_MAIN(HarvestTest)
#include "tst_harvest.moc"

// Cards harvested together into an archive none of them finds made: each one whole, its
// long recording (chunks written past the page cache, a tail that is not) byte for byte.
void HarvestTest::manyCardsIntoNewArchive()
{
    QTemporaryDir dir;
    QStringList cards;
    QList<QMap<QString, QByteArray>> files;
    for (int i = 0; i < 6; ++i) {
        cards.append(dir.filePath(QStringLiteral("card%1.img").arg(i)));
        const QByteArray station = "REC" + QByteArray::number(i);
        files.append(writeCard(cards.last(), "XX", station.constData(), {{Visit, i == 0 ? 6 * 3600 : 30}}));
    }
    QVERIFY(files[0].first().size() > 2 * 1024 * 1024 && files[0].first().size() % 4096 != 0);
    for (int round = 0; round < 8; ++round) {
        const QString archive = dir.filePath(QStringLiteral("archive%1").arg(round));
        const QVector<HarvestReceipt> receipts = Harvest(archive).harvestCards(cards);
        for (const HarvestReceipt &receipt : receipts)
            QVERIFY2(receipt.isWhole() && receipt.verified, qPrintable(receipt.problems.join(QLatin1Char('\n'))));
        for (int i = 0; round == 0 && i < cards.size(); ++i) {
            const QString raw = QStringLiteral("%1/raw/XX.REC%2/%3/").arg(archive).arg(i).arg(cardDirectoryName(Visit));
            QCOMPARE(contents(raw + files[i].firstKey()), files[i].first());
        }
    }
}
