// What an export files and proves: SHA-256 digests, the sha256sum manifest, and the SDS
// day files, checked against records packed by libmseed here and against sha256sum.
#include "archiveexport.h"
#include "archivesinks.h"
#include "cardimage.h"
#include "destinationwriter.h"
#include "filesystem.h"
#include "manifest.h"
#include "mseedrecords.h"
#include "platform.h"
#include "recordscanner.h"
#include "sdsarchive.h"
#include "sha256.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <libmseed.h>

#include <cmath>
#include <csignal>
#include <cstring>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// One record as the test packs it, with where an independent filing puts it.
struct Packed
{
    QByteArray bytes;
    QString dayFile;
};

qint64 utc(const char *iso)
{
    return QDateTime::fromString(QString::fromLatin1(iso), Qt::ISODateWithMs).toMSecsSinceEpoch() * 1000;
}

// A quiet signal with a slow swing, as a broadband channel records it: Steim-2 packs
// a few hundred samples into a 512-byte record.
QVector<qint32> series(int count, int seed)
{
    QVector<qint32> samples(count);
    for (int i = 0; i < count; ++i)
        samples[i] = qint32(400 * std::sin(i / 70.0 + seed) + ((qint64(i) * 7919 + seed * 31) % 23) - 11);
    return samples;
}

QList<QByteArray> bytesOf(const QList<MseedRecord> &packed)
{
    QList<QByteArray> records;
    for (const MseedRecord &record : packed)
        records.append(record.bytes);
    return records;
}

// Records of one channel at 100 Hz from `start` (hptime), Steim-2, 512 bytes, with a
// timing-quality blockette, packed by libmseed.
QList<QByteArray> pack(const char *net, const char *sta, const char *loc, const char *cha, qint64 start,
                       QVector<qint32> samples, int sequence = 1)
{
    MseedSeries series;
    series.network = net;
    series.station = sta;
    series.location = loc;
    series.channel = cha;
    series.start = start;
    series.sequence = sequence;
    series.timingQuality = 87;
    return bytesOf(packSeries(series, samples));
}

// The record's start time and samples, as libmseed decodes them.
struct Decoded
{
    qint64 start = 0;
    QVector<qint32> samples;
    int sequence = 0;
    int timingQuality = -1;
};

QList<Decoded> decodeAll(const QByteArray &file)
{
    QList<Decoded> records;
    QByteArray bytes = file;
    for (int offset = 0; offset + 512 <= bytes.size(); offset += 512) {
        MSRecord *msr = nullptr;
        if (msr_parse(bytes.data() + offset, 512, &msr, 512, 1, 0) != MS_NOERROR)
            return {};
        Decoded record;
        record.start = msr->starttime;
        record.sequence = msr->sequence_number;
        record.timingQuality = msr->Blkt1001 ? msr->Blkt1001->timing_qual : -1;
        const qint32 *data = static_cast<const qint32 *>(msr->datasamples);
        record.samples = QVector<qint32>(data, data + msr->numsamples);
        records.append(record);
        msr_free(&msr);
    }
    return records;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Every file below `root` (relative path) with its content; the manifest left out.
QMap<QString, QByteArray> tree(const QString &root)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(root, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = QDir(root).relativeFilePath(path);
        if (relative != Manifest::fileName())
            files.insert(relative, readAll(path));
    }
    return files;
}

int sha256sumCheck(const QString &folder)
{
    QProcess check;
    check.setWorkingDirectory(folder);
    check.start(QStringLiteral("sha256sum"), {QStringLiteral("--check"), QStringLiteral("--strict"), Manifest::fileName()});
    if (!check.waitForFinished(30000))
        return -1;
    return check.exitStatus() == QProcess::NormalExit ? check.exitCode() : -1;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

#ifdef Q_OS_UNIX
// A file size limit for this process while it lives: writes past it fail with EFBIG, as
// they do on a full disk.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit;
        set = ::getrlimit(RLIMIT_FSIZE, &m_before) == 0;
        limit = m_before;
        limit.rlim_cur = bytes;
        set = set && ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimit() { lift(); }
    void lift()
    {
        if (set)
            ::setrlimit(RLIMIT_FSIZE, &m_before);
        set = false;
    }
    bool set = false;

private:
    struct rlimit m_before;
};
#endif

// vexa-card with a time limit: a run that blocks (on a FIFO) is killed and reads as -1.
CardRun runBriefly(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral(VEXA_CARD_PATH), arguments);
    CardRun run;
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

} // namespace

class TestArchive : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void digests_data();
    void digests();
    void manifestChecksBySha256sum();
    void dayFiles_data();
    void dayFiles();
    void splitAtMidnight();
    void failedRunLeavesDayFilesAsTheyWere();
    void sinkFindsRecordsInChunks_data();
    void sinkFindsRecordsInChunks();
    void sdsExportOfTheDemoCard_data();
    void sdsExportOfTheDemoCard();
    void verifyNamesWhatChanged();
    void dayFileNotWholeRecords_data();
    void dayFileNotWholeRecords();
    void locksHeldForTheWholeBatch();
    void manifestTrueAfterKilledRun();
    void overlappingExportsLeaveATrueManifest();
    // Hostile folders: links, FIFOs, a full disk, a killed run.
    void reportsOnAFullDisk();
    void smallCopiesFailAlone();
    void verifyRefuses_data();
    void verifyRefuses();
    void nothingWrittenThroughLinks_data();
    void nothingWrittenThroughLinks();
    void logsOfCardsOfOneSecond();
    void leftoversOfAKilledRun();
    void aNameTakenMeanwhileIsNotReplaced();
    void copiesStayInTheFolderOpened();
};

void TestArchive::digests_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("chunk");
    QTest::addColumn<QByteArray>("digest");
    QTest::newRow("empty") << QByteArray() << 512
                           << QByteArray("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    QTest::newRow("abc in single bytes") << QByteArray("abc") << 1
                                         << QByteArray("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    QTest::newRow("a million a, chunks of 4096")
        << QByteArray(1000000, 'a') << 4096 << QByteArray("cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

void TestArchive::digests()
{
    QFETCH(QByteArray, data);
    QFETCH(int, chunk);
    QFETCH(QByteArray, digest);
    HashSink sink;
    QVERIFY(sink.begin(CopySource{}));
    for (int offset = 0; offset < data.size(); offset += chunk) {
        SectorChunk part;
        part.data = data.constData() + offset;
        part.length = qMin(chunk, int(data.size()) - offset);
        QVERIFY(sink.consume(part));
    }
    QVERIFY(sink.finish(CopyEnd::Incomplete));
    QCOMPARE(sink.hexDigest(), digest);
    QCOMPARE(Sha256::hexDigest(data.constData(), data.size()), digest);

    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("f"), data));
    QByteArray read;
    QVERIFY(sha256OfFile(dir.filePath("f"), &read));
    QCOMPARE(read, digest);
    const Status missing = sha256OfFile(dir.filePath("missing"), &read);
    QVERIFY(!missing && missing.error == ENOENT && read.isEmpty());
    QVERIFY(missing.message.contains("No such file or directory"));
    // A stopped copy leaves no digest to list.
    QVERIFY(sink.begin(CopySource{}) && sink.finish(CopyEnd::Stopped) && sink.hexDigest().isEmpty());
}

void TestArchive::manifestChecksBySha256sum()
{
    QTemporaryDir dir;
    const QMap<QString, QByteArray> first{{"b.mseed", "bravo"}, {"2023/XX/VEXA/HHZ.D/XX.VEXA..HHZ.D.2023.073", "day"},
                                          {"odd\\name", "backslash"}, {"new\nline", "newline"}};
    Manifest manifest(dir.path());
    for (auto it = first.cbegin(); it != first.cend(); ++it) {
        QVERIFY(writeFile(dir.filePath(it.key()), it.value()));
        QVERIFY(manifest.addFile(it.key()));
    }
    QVERIFY(!manifest.setDigest("../outside", QByteArray(64, 'a')));
    QVERIFY(!manifest.setDigest("/abs", QByteArray(64, 'a')));
    QVERIFY(!manifest.setDigest("carriage\rreturn", QByteArray(64, 'a')));
    const Status saved = manifest.save();
    QVERIFY2(saved, qPrintable(saved.message));
    QCOMPARE(sha256sumCheck(dir.path()), 0);

    // A second export: one file written again, one new; the others' lines stay.
    QVERIFY(writeFile(dir.filePath("b.mseed"), "bravo, again"));
    QVERIFY(writeFile(dir.filePath("a.mseed"), "alpha"));
    Manifest merge(dir.path());
    QVERIFY(merge.addFile("b.mseed") && merge.addFile("a.mseed") && merge.save());
    QCOMPARE(sha256sumCheck(dir.path()), 0);
    const QList<QByteArray> lines = readAll(merge.path()).split('\n');
    QCOMPARE(lines.size(), 6); // five lines and the empty rest after the last newline
    QVERIFY(lines[0].endsWith("  2023/XX/VEXA/HHZ.D/XX.VEXA..HHZ.D.2023.073"));
    QVERIFY(lines[1].endsWith("  a.mseed") && lines[2].endsWith("  b.mseed"));
    QVERIFY(lines[3].startsWith('\\') && lines[3].endsWith("  new\\nline"));
    QVERIFY(lines[4].startsWith('\\') && lines[4].endsWith("  odd\\\\name"));

    // sha256sum notices a changed file in what we listed.
    QVERIFY(writeFile(dir.filePath("a.mseed"), "alphA"));
    QCOMPARE(sha256sumCheck(dir.path()), 1);

    // A link planted as the manifest is not written through.
    QTemporaryDir other;
    QVERIFY(writeFile(other.filePath("target"), "keep"));
    QVERIFY(QFile::remove(merge.path()) && QFile::link(other.filePath("target"), merge.path()));
    QVERIFY(!merge.save());
    QCOMPARE(readAll(other.filePath("target")), QByteArray("keep"));
}

void TestArchive::dayFiles_data()
{
    QTest::addColumn<bool>("splitMidnight");
    QTest::newRow("whole records") << false;
    QTest::newRow("split at midnight") << true;
}

void TestArchive::dayFiles()
{
    QFETCH(bool, splitMidnight);
    // Four channels, interleaved as a recorder writes them: across a midnight, across a
    // year end, an empty location code, two networks.
    struct Stream
    {
        const char *net, *sta, *loc, *cha, *start;
        int samples;
    };
    const Stream streams[] = {
        {"XX", "VEXA", "", "HHZ", "2023-03-14T23:58:00", 30000},
        {"XX", "VEXA", "", "HHN", "2023-03-14T23:58:00", 30000},
        {"YY", "KOR2", "00", "BHZ", "2022-12-31T23:59:30", 9000},
        {"XX", "VEXA", "", "HHZ", "2024-02-28T08:00:00", 2000}, // another day of the first channel
    };
    QList<QList<QByteArray>> perStream;
    for (int i = 0; i < 4; ++i) {
        const Stream &s = streams[i];
        perStream.append(pack(s.net, s.sta, s.loc, s.cha, utc(s.start), series(s.samples, i)));
    }
    QList<Packed> card;
    for (int round = 0; card.size() < perStream[0].size() + perStream[1].size() + perStream[2].size() + perStream[3].size(); ++round) {
        for (int i = 0; i < 4; ++i) {
            if (round >= perStream[i].size())
                continue;
            Packed record;
            record.bytes = perStream[i][round];
            // The independent filing: the day of the record's start in UTC, from Qt's calendar.
            QByteArray bytes = record.bytes;
            MSRecord *msr = nullptr;
            QCOMPARE(msr_parse(bytes.data(), 512, &msr, 512, 0, 0), MS_NOERROR);
            const QDate day = QDateTime::fromMSecsSinceEpoch(msr->starttime / 1000, Qt::UTC).date();
            msr_free(&msr);
            const Stream &s = streams[i];
            record.dayFile = QStringLiteral("%1/%2/%3/%4.D/%2.%3.%5.%4.D.%1.%6")
                                 .arg(day.year())
                                 .arg(QLatin1String(s.net), QLatin1String(s.sta), QLatin1String(s.cha), QLatin1String(s.loc))
                                 .arg(day.dayOfYear(), 3, 10, QLatin1Char('0'));
            card.append(record);
        }
    }

    QTemporaryDir dir;
    const QString root = dir.filePath("archive");
    QMap<QString, QByteArray> checksums;
    for (int run = 0; run < 2; ++run) {
        SdsArchive archive(root, splitMidnight);
        for (const Packed &record : std::as_const(card))
            QCOMPARE(archive.addRecord(record.bytes.constData(), 512), run == 0 ? SdsArchive::Archived : SdsArchive::AlreadyThere);
        const QList<SdsDayFile> changed = archive.close();
        if (run == 1) {
            // The second export of the same card changes nothing.
            QVERIFY(changed.isEmpty());
            QCOMPARE(archive.recordsArchived(), 0);
            QCOMPARE(tree(root), checksums);
            break;
        }
        QCOMPARE(archive.logFileName(), QStringLiteral("log.20230314T235800Z"));
        QCOMPARE(changed.size(), archive.dayFilesTouched());
        for (const SdsDayFile &file : changed)
            QCOMPARE(file.sha256, Sha256::hexDigest(readAll(QDir(root).filePath(file.relativePath)).constData(),
                                                    readAll(QDir(root).filePath(file.relativePath)).size()));
        checksums = tree(root);
    }

    const QStringList expectedNames{
        "2022/YY/KOR2/BHZ.D/YY.KOR2.00.BHZ.D.2022.365", "2023/YY/KOR2/BHZ.D/YY.KOR2.00.BHZ.D.2023.001",
        "2023/XX/VEXA/HHZ.D/XX.VEXA..HHZ.D.2023.073",   "2023/XX/VEXA/HHZ.D/XX.VEXA..HHZ.D.2023.074",
        "2023/XX/VEXA/HHN.D/XX.VEXA..HHN.D.2023.073",   "2023/XX/VEXA/HHN.D/XX.VEXA..HHN.D.2023.074",
        "2024/XX/VEXA/HHZ.D/XX.VEXA..HHZ.D.2024.059"};
    QStringList names = checksums.keys();
    QStringList sortedExpected = expectedNames;
    names.sort();
    sortedExpected.sort();
    QCOMPARE(names, sortedExpected);
    if (splitMidnight)
        return; // the split day files are checked by splitAtMidnight()
    QMap<QString, QByteArray> expected;
    for (const Packed &record : std::as_const(card))
        expected[record.dayFile] += record.bytes;
    QCOMPARE(checksums, expected);
}

void TestArchive::splitAtMidnight()
{
    // 100 Hz from 23:59:55 for 20 s: records lie across midnight.
    const qint64 start = utc("2023-03-14T23:59:55");
    const QVector<qint32> original = series(2000, 5);
    const QList<QByteArray> records = pack("XX", "VEXA", "", "HHZ", start, original, 41);
    QTemporaryDir dir;
    SdsArchive archive(dir.path(), true);
    for (const QByteArray &record : records)
        QCOMPARE(archive.addRecord(record.constData(), int(record.size())), SdsArchive::Archived);
    QCOMPARE(archive.close().size(), 2);
    QCOMPARE(archive.recordsSplit(), 1);

    const QList<Decoded> before = decodeAll(readAll(dir.filePath("2023/XX/VEXA/HHZ.D/XX.VEXA..HHZ.D.2023.073")));
    const QList<Decoded> after = decodeAll(readAll(dir.filePath("2023/XX/VEXA/HHZ.D/XX.VEXA..HHZ.D.2023.074")));
    QVERIFY(!before.isEmpty() && !after.isEmpty());
    QCOMPARE(before.size() + after.size(), records.size() + 1);
    QVector<qint32> joined;
    for (const Decoded &record : before + after)
        joined += record.samples;
    QCOMPARE(joined, original);
    // The last sample of the 14th at 23:59:59.99, the first of the 15th at 00:00:00.00.
    const Decoded &last = before.last();
    QCOMPARE(last.start + (last.samples.size() - 1) * 10000, utc("2023-03-14T23:59:59.990"));
    QCOMPARE(after.first().start, utc("2023-03-15T00:00:00"));
    // Both halves keep the record's sequence number and its timing blockette.
    QCOMPARE(last.sequence, after.first().sequence);
    QCOMPARE(last.sequence, 41 + before.size() - 1);
    QCOMPARE(after.first().timingQuality, 87);
}

void TestArchive::failedRunLeavesDayFilesAsTheyWere()
{
    const QList<QByteArray> monday = pack("XX", "VEXA", "", "HHZ", utc("2023-03-13T10:00:00"), series(3000, 1));
    // Enough records that part of them reach the disk before the run ends.
    const QList<QByteArray> tuesday = pack("XX", "VEXA", "", "HHZ", utc("2023-03-14T10:00:00"), series(400000, 2));
    QTemporaryDir dir;
    const QString mondayFile = dir.filePath("2023/XX/VEXA/HHZ.D/XX.VEXA..HHZ.D.2023.072");
    {
        SdsArchive archive(dir.path());
        QCOMPARE(archive.addRecord(monday[0].constData(), 512), SdsArchive::Archived);
        QVERIFY(archive.commit());
        archive.close();
    }
    const QByteArray mondayBefore = readAll(mondayFile);
    {
        SdsArchive archive(dir.path());
        for (const QByteArray &record : monday + tuesday)
            QVERIFY(archive.addRecord(record.constData(), 512) != SdsArchive::Failed);
        QVERIFY(QFileInfo(dir.filePath("2023/XX/VEXA/HHZ.D/XX.VEXA..HHZ.D.2023.073")).size() > 0);
        archive.rollback();
        QCOMPARE(readAll(mondayFile), mondayBefore);
        QVERIFY(!QFile::exists(dir.filePath("2023/XX/VEXA/HHZ.D/XX.VEXA..HHZ.D.2023.073")));
    }
    // Dropped without close(): what was not committed goes too.
    {
        SdsArchive archive(dir.path());
        for (const QByteArray &record : monday)
            archive.addRecord(record.constData(), 512);
    }
    QCOMPARE(readAll(mondayFile), mondayBefore);

    // A link planted at a day file's name is not written through.
    QTemporaryDir other;
    QVERIFY(writeFile(other.filePath("target"), "keep"));
    const QString tuesdayFile = dir.filePath("2023/XX/VEXA/HHZ.D/XX.VEXA..HHZ.D.2023.073");
    QVERIFY(QFile::link(other.filePath("target"), tuesdayFile));
    SdsArchive archive(dir.path());
    QCOMPARE(archive.addRecord(tuesday[0].constData(), 512), SdsArchive::Failed);
    QVERIFY(archive.errorString().contains("symbolic link"));
    QCOMPARE(readAll(other.filePath("target")), QByteArray("keep"));

    // Two exports into one day file at once: the second is kept out while the first writes.
    SdsArchive first(dir.path());
    SdsArchive second(dir.path());
    QCOMPARE(first.addRecord(monday[0].constData(), 512), SdsArchive::AlreadyThere);
    QCOMPARE(second.addRecord(monday[0].constData(), 512), SdsArchive::Failed);
    QVERIFY2(second.errorString().contains("another export is writing it"), qPrintable(second.errorString()));
    first.close();
    QCOMPARE(second.addRecord(monday[0].constData(), 512), SdsArchive::AlreadyThere);
}

void TestArchive::sinkFindsRecordsInChunks_data()
{
    QTest::addColumn<int>("chunkSectors");
    QTest::addColumn<int>("end");
    QTest::addColumn<bool>("kept");
    QTest::newRow("one sector a chunk") << 1 << int(CopyEnd::Incomplete) << true;
    QTest::newRow("three sectors a chunk") << 3 << int(CopyEnd::Complete) << true;
    QTest::newRow("stopped") << 3 << int(CopyEnd::Stopped) << false;
    QTest::newRow("failed") << 1 << int(CopyEnd::Failed) << false;
}

void TestArchive::sinkFindsRecordsInChunks()
{
    QFETCH(int, chunkSectors);
    QFETCH(int, end);
    QFETCH(bool, kept);
    // A card file: records of 4096 bytes across chunk ends, a sector of the recorder's
    // padding, and a record with an unreadable sector (zeros), which is not filed.
    MseedSeries hhe;
    hhe.channel = "HHE";
    hhe.start = utc("2023-03-14T09:25:49");
    hhe.recordLength = 4096;
    const QList<QByteArray> records = bytesOf(packSeries(hhe, series(20000, 3)));
    QVERIFY(records.size() >= 4);
    QByteArray file = records[0] + QByteArray(512, char(0xa5)) + records[1] + records[2] + records[3];
    const qint64 unreadable = (4096 + 512 + 4096 + 1024) / 512; // inside records[2]
    std::fill_n(file.data() + unreadable * 512, 512, '\0');

    QTemporaryDir dir;
    SdsArchive archive(dir.path());
    RecordScanner scanner;
    SdsSink sink(archive, scanner);
    QVERIFY(sink.begin(CopySource{}));
    for (qint64 offset = 0; offset < file.size(); offset += chunkSectors * 512) {
        SectorChunk chunk;
        chunk.data = file.constData() + offset;
        chunk.length = qMin<qint64>(chunkSectors * 512, file.size() - offset);
        chunk.firstSector = offset / 512;
        if (unreadable >= chunk.firstSector && unreadable < chunk.firstSector + chunk.length / 512)
            chunk.unreadable = {unreadable};
        QVERIFY(sink.consume(chunk));
    }
    QVERIFY(sink.finish(CopyEnd(end)));
    QCOMPARE(sink.recordsLeftOut(), 1);
    archive.close();
    const QString dayFile = dir.filePath("2023/XX/VEXA/HHE.D/XX.VEXA..HHE.D.2023.073");
    QCOMPARE(readAll(dayFile), kept ? records[0] + records[1] + records[3] : QByteArray());
    QCOMPARE(QFile::exists(dayFile), kept);
}

void TestArchive::sdsExportOfTheDemoCard_data()
{
    QTest::addColumn<bool>("splitMidnight");
    QTest::newRow("whole records") << false;
    QTest::newRow("split at midnight") << true;
}

void TestArchive::sdsExportOfTheDemoCard()
{
    QFETCH(bool, splitMidnight);
    QTemporaryDir dir;
    const QString card = dir.filePath("demo.img");
    const QString archive = dir.filePath("archive");
    QCOMPARE(runVexaCard({"sample", card}).status, 0);
    QStringList arguments{"export", "--sds", archive, "--all", card};
    if (splitMidnight)
        arguments.insert(3, "--split-midnight");
    const CardRun first = runVexaCard(arguments);
    QVERIFY2(first.status == 0, first.err.constData());
    QCOMPARE(sha256sumCheck(archive), 0);
    const QMap<QString, QByteArray> filed = tree(archive);
    QVERIFY(filed.contains("log/log.20230314T092549Z") && filed.contains("quality.json") && filed.contains("quality.txt"));

    // Every channel of the demo in its two days; with the split, no record of the 14th
    // runs into the 15th.
    const qint64 midnight = utc("2023-03-15T00:00:00");
    int dayFiles = 0;
    for (auto it = filed.cbegin(); it != filed.cend(); ++it) {
        if (it.key().startsWith("log/") || it.key().startsWith("quality."))
            continue;
        ++dayFiles;
        QVERIFY2(it.key().contains(QRegularExpression("^2023/XX/VEXA/HH(.)\\.D/XX\\.VEXA\\.\\.HH\\1\\.D\\.2023\\.07[34]$")),
                 qPrintable(it.key()));
        const QList<Decoded> records = decodeAll(it.value());
        QVERIFY(!records.isEmpty());
        for (const Decoded &record : records) {
            const qint64 last = record.start + (record.samples.size() - 1) * 10000;
            QVERIFY(it.key().endsWith("073") ? record.start < midnight : last >= midnight);
            if (splitMidnight)
                QVERIFY(it.key().endsWith("073") ? last < midnight : record.start >= midnight);
        }
    }
    QCOMPARE(dayFiles, 6); // three channels, two days

    // Again: nothing changes.
    const CardRun second = runVexaCard(arguments);
    QVERIFY2(second.status == 0, second.err.constData());
    QVERIFY(second.out.startsWith("0 records filed into 0 day files"));
    QCOMPARE(tree(archive), filed);
    QCOMPARE(sha256sumCheck(archive), 0);
}

void TestArchive::verifyNamesWhatChanged()
{
    QTemporaryDir dir;
    const QString card = dir.filePath("demo.img");
    const QString out = dir.filePath("out");
    QCOMPARE(runVexaCard({"sample", card}).status, 0);
    QCOMPARE(runVexaCard({"export", "--all", "-o", out, card}).status, 0);
    QCOMPARE(sha256sumCheck(out), 0);
    QCOMPARE(QDir(out).entryList(QDir::Dirs | QDir::NoDotAndDotDot), QStringList()); // files only
    const CardRun clean = runVexaCard({"verify", "--card", card, out});
    QVERIFY2(clean.status == 0, clean.err.constData());
    QVERIFY(clean.out.contains("\n12 OK, 0 FAILED, 0 MISSING\n")); // the quality report too
    QVERIFY(clean.out.endsWith("card: 10 same, 0 differ, 0 missing from the folder\n"));

    // One file exported again: merged into the manifest, which still lists all twelve.
    QCOMPARE(runVexaCard({"export", "-o", out, card, "/20230314_1302/20230314_130601"}).status, 0);
    QCOMPARE(sha256sumCheck(out), 0);
    QCOMPARE(readAll(QDir(out).filePath(Manifest::fileName())).count('\n'), 12);

    // A changed byte, a file gone.
    QFile changed(QDir(out).filePath("20230314_130241.mseed"));
    QVERIFY(changed.open(QIODevice::ReadWrite) && changed.seek(1000));
    const char byte = changed.read(1).at(0);
    QVERIFY(changed.seek(1000) && changed.putChar(char(byte ^ 1)));
    changed.close();
    QVERIFY(QFile::remove(QDir(out).filePath("20230315_000000.mseed")));

    const CardRun manifestOnly = runVexaCard({"verify", out});
    QCOMPARE(manifestOnly.status, 1);
    QVERIFY(manifestOnly.out.contains("20230314_130241.mseed: FAILED\n"));
    QVERIFY(manifestOnly.out.contains("20230315_000000.mseed: MISSING\n"));
    QVERIFY(manifestOnly.out.contains("20230314_130601.mseed: OK\n"));
    QVERIFY(manifestOnly.out.endsWith("10 OK, 1 FAILED, 1 MISSING\n"));

    const CardRun withCard = runVexaCard({"verify", "--card", card, out});
    QCOMPARE(withCard.status, 1);
    QVERIFY(withCard.out.contains("20230314_130241.mseed: differs from the card at byte 1000 (/20230314_1302/20230314_130241)\n"));
    QVERIFY(withCard.out.contains("/20230314_2358/20230315_000000: missing from the folder (20230315_000000.mseed)\n"));
    QVERIFY(withCard.out.endsWith("card: 8 same, 1 differ, 1 missing from the folder\n"));

    // A card image that bears the manifest's name in the folder is not replaced by it.
    const QString named = QDir(out).filePath(Manifest::fileName());
    QVERIFY(QFile::remove(named) && QFile::copy(card, named));
    const QByteArray before = fileChecksum(named);
    const CardRun own = runVexaCard({"export", "-o", out, named, "/20230314_1302/20230314_130601"});
    QCOMPARE(own.status, 1);
    QVERIFY(own.err.contains("it is the card being read"));
    QCOMPARE(fileChecksum(named), before);
}

void TestArchive::dayFileNotWholeRecords_data()
{
    QTest::addColumn<QByteArray>("prefix");
    QTest::addColumn<int>("cut");
    QTest::addColumn<bool>("ourMarker");
    QTest::newRow("torn last record") << QByteArray() << 300 << false;
    QTest::newRow("foreign prefix of 110 bytes") << QByteArray(110, 'f') << 0 << false;
    QTest::newRow("torn by our own killed run") << QByteArray() << 300 << true;
}

void TestArchive::dayFileNotWholeRecords()
{
    QFETCH(QByteArray, prefix);
    QFETCH(int, cut);
    QFETCH(bool, ourMarker);
    QTemporaryDir dir;
    const QString card = dir.filePath("demo.img");
    const QString archive = dir.filePath("archive");
    QCOMPARE(runVexaCard({"sample", card}).status, 0);
    const QStringList arguments{"export", "--sds", archive, "--all", card};
    QCOMPARE(runVexaCard(arguments).status, 0);
    const QMap<QString, QByteArray> filed = tree(archive);
    const QString name = "2023/XX/VEXA/HHZ.D/XX.VEXA..HHZ.D.2023.073";
    const QString path = QDir(archive).filePath(name);
    const QByteArray whole = filed.value(name);
    const QByteArray damaged = prefix + whole.left(whole.size() - cut);
    QVERIFY(writeFile(path, damaged));
    if (ourMarker) // what an export leaves beside a day file it is appending to
        QVERIFY(writeFile(QDir(archive).filePath("2023/XX/VEXA/HHZ.D/.XX.VEXA..HHZ.D.2023.073.appending"), "0\n"));
    for (int run = 0; run < 2; ++run) {
        const CardRun again = runVexaCard(arguments);
        if (ourMarker) {
            QVERIFY2(again.status == 0, again.err.constData());
            QCOMPARE(tree(archive), filed);
            QCOMPARE(sha256sumCheck(archive), 0);
            continue;
        }
        QCOMPARE(again.status, 1);
        QVERIFY2(again.err.contains(QStringLiteral("cannot append to %1: not whole miniSEED records at byte %2")
                                        .arg(path)
                                        .arg(prefix.isEmpty() ? whole.size() - 512 : 0)
                                        .toUtf8()),
                 again.err.constData());
        QCOMPARE(readAll(path), damaged);
        QMap<QString, QByteArray> others = tree(archive);
        others.insert(name, whole);
        QCOMPARE(others, filed); // the other day files as they were
    }
}

void TestArchive::locksHeldForTheWholeBatch()
{
    // A card of 70 days: more day files than are kept open at once.
    QList<QByteArray> days;
    for (int day = 0; day < 70; ++day)
        days.append(pack("XX", "VEXA", "", "HHZ", utc("2023-01-01T12:00:00") + day * 86400LL * 1000000, series(100, day))[0]);
    const QByteArray laterOnDayOne = pack("XX", "VEXA", "", "HHZ", utc("2023-01-01T18:00:00"), series(100, 99))[0];
    QTemporaryDir dir;
    const QString dayOne = dir.filePath("2023/XX/VEXA/HHZ.D/XX.VEXA..HHZ.D.2023.001");
    SdsArchive first(dir.path());
    for (const QByteArray &record : std::as_const(days))
        QCOMPARE(first.addRecord(record.constData(), 512), SdsArchive::Archived);
    SdsArchive second(dir.path());
    QCOMPARE(second.addRecord(laterOnDayOne.constData(), 512), SdsArchive::Failed);
    QVERIFY2(second.errorString().contains("another export is writing it"), qPrintable(second.errorString()));

    // A program that takes no locks appends meanwhile: the stopped batch takes back what
    // it can and deletes no file holding another's bytes.
    QFile other(dayOne);
    QVERIFY(other.open(QIODevice::Append) && other.write("foreign") == 7);
    other.close();
    first.rollback();
    QCOMPARE(readAll(dayOne), days[0] + "foreign");
    QVERIFY(first.errorString().contains(dayOne));
    QVERIFY(!QFile::exists(dir.filePath("2023/XX/VEXA/HHZ.D/XX.VEXA..HHZ.D.2023.070")));
}

void TestArchive::manifestTrueAfterKilledRun()
{
    QTemporaryDir dir;
    const QString card = dir.filePath("demo.img");
    const QString archive = dir.filePath("archive");
    const QString manifest = QDir(archive).filePath(Manifest::fileName());
    QCOMPARE(runVexaCard({"sample", card}).status, 0);
    QCOMPARE(runVexaCard({"export", "--sds", archive, card, "/20230314_1302/20230314_130601"}).status, 0);
    const QByteArray earlier = readAll(manifest);
    // The run of the whole card is killed after filing its records, before its manifest.
    const QStringList all{"export", "--sds", archive, "--all", card};
    QCOMPARE(runVexaCard(all).status, 0);
    QVERIFY(writeFile(manifest, earlier));
    QCOMPARE(sha256sumCheck(archive), 1);
    const CardRun rerun = runVexaCard(all);
    QVERIFY2(rerun.status == 0, rerun.err.constData());
    QCOMPARE(sha256sumCheck(archive), 0);
}

void TestArchive::overlappingExportsLeaveATrueManifest()
{
    QTemporaryDir dir;
    const QString card = dir.filePath("demo.img");
    const QString archive = dir.filePath("archive");
    QCOMPARE(runVexaCard({"sample", card}).status, 0);
    const QStringList all{"export", "--sds", archive, "--all", card};
    Filesystem fs;
    QVERIFY(fs.open(card));
    ExportBatch batch(fs, archive, ExportBatch::Sds);
    CardRun overlapping;
    batch.setFileFinished([&](const ExportFileOutcome &file) {
        // Another export of the whole card runs once this one has filed its records and
        // its log, before it lists them.
        if (file.cardPath == QLatin1String("/log"))
            overlapping = runVexaCard(all);
    });
    const ExportSummary summary = batch.run({"/20230314_1302/20230314_130601", "/log"}, {});
    QVERIFY2(summary.isComplete(), qPrintable(summary.problems.join('\n')));
    QCOMPARE(overlapping.status, 1);
    QVERIFY2(overlapping.err.contains("another export is writing it"), overlapping.err.constData());
    QCOMPARE(sha256sumCheck(archive), 0);
    QCOMPARE(runVexaCard(all).status, 0);
    QCOMPARE(sha256sumCheck(archive), 0);
}

void TestArchive::reportsOnAFullDisk()
{
#ifdef Q_OS_UNIX
    // A file size limit fails the writes as a full disk does (EFBIG): the earlier manifest
    // and reports stay as they were, and nothing is left beside them.
    QTemporaryDir dir;
    const QByteArray earlier = QByteArray(64, 'b') + "  earlier.mseed\n";
    for (const char *name : {"manifest-sha256.txt", "quality.json", "quality.txt"})
        QVERIFY(writeFile(dir.filePath(name), earlier));
    Manifest manifest(dir.path());
    QualityReport report;
    for (int i = 0; i < 200; ++i) {
        QVERIFY(manifest.setDigest(QStringLiteral("file%1.mseed").arg(i), QByteArray(64, 'a')));
        report.files.append(FileQuality{});
        report.files.last().path = QStringLiteral("/card/file%1").arg(i);
    }
    FileSizeLimit limit(1024);
    QVERIFY(limit.set);
    const Status saved = manifest.save();
    const Status reported = writeQualityFiles(report, dir.path());
    limit.lift();
    const QString tooLarge = QString::fromLocal8Bit(std::strerror(EFBIG));
    QVERIFY2(!saved && saved.error == EFBIG && saved.message.endsWith(tooLarge), qPrintable(saved.message));
    QVERIFY2(!reported && reported.error == EFBIG && reported.message.endsWith(tooLarge), qPrintable(reported.message));
    for (const char *name : {"manifest-sha256.txt", "quality.json", "quality.txt"})
        QCOMPARE(readAll(dir.filePath(name)), earlier);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 3);
#else
    QSKIP("needs a file size limit");
#endif
}

void TestArchive::smallCopiesFailAlone()
{
#ifdef Q_OS_UNIX
    // Copies of small files are put in place on a thread of their own. A write that fails
    // there (a file size limit, as a full disk) fails that file only, told with it and in
    // the batch's order, and leaves nothing beside the copies.
    QTemporaryDir dir;
    CardImage card;
    card.setDirectory(1, 1000000000);
    const QList<quint32> sectors{2, 8, 2, 8, 2};
    for (int slot = 0; slot < sectors.size(); ++slot)
        card.addFile(1, slot, 1000000000 + 30 * slot, 30000 + 100 * slot, sectors.at(slot));
    QVERIFY(card.write(dir.filePath("card.img")));
    QVERIFY(QDir(dir.path()).mkdir("out"));
    Filesystem fs;
    QVERIFY(fs.open(dir.filePath("card.img")));
    const QList<EntryInfo> files = fs.listFiles();
    QStringList paths;
    for (const EntryInfo &file : files)
        paths.append(fs.cardPath(file));
    ExportBatch batch(fs, dir.filePath("out"), ExportBatch::Files);
    QStringList told;
    batch.setFileFinished([&](const ExportFileOutcome &file) {
        told.append(file.cardPath.section('_', -1) + (file.copy.isComplete() ? " copied" : " failed"));
    });
    FileSizeLimit limit(2048);
    QVERIFY(limit.set);
    const ExportSummary summary = batch.run(paths, files);
    limit.lift();

    QCOMPARE(told, (QStringList{"014640 copied", "014710 failed", "014740 copied", "014810 failed", "014840 copied", "/log failed"}));
    for (int slot = 0; slot < sectors.size(); ++slot) {
        const ExportFileOutcome &file = summary.files.at(slot);
        if (sectors.at(slot) == 8) {
            QVERIFY2(file.written.isEmpty() && file.copy.message.endsWith(QString::fromLocal8Bit(std::strerror(EFBIG))),
                     qPrintable(file.copy.message));
        } else {
            QCOMPARE(readAll(dir.filePath("out/" + file.written)), CardImage::patternRun(30000 + 100 * slot, 2));
        }
    }
    QCOMPARE(QDir(dir.filePath("out")).entryList({"*.part"}, QDir::Files | QDir::Hidden), QStringList());
#else
    QSKIP("needs a file size limit");
#endif
}

void TestArchive::verifyRefuses_data()
{
    QTest::addColumn<QString>("place"); // what the folder holds
    QTest::addColumn<QString>("refusal");
    QTest::newRow("a manifest without entries") << "empty" << "has no entries";
    QTest::newRow("a manifest that is a FIFO") << "fifo manifest" << "FIFO";
    QTest::newRow("a line naming a FIFO") << "fifo line" << "not a regular file";
    QTest::newRow("a line naming a link to /dev/zero") << "zero line" << "not a regular file";
    QTest::newRow("a copy that is a FIFO, --card") << "fifo copy" << "not a regular file";
}

void TestArchive::verifyRefuses()
{
    QFETCH(QString, place);
    QFETCH(QString, refusal);
    QTemporaryDir dir;
    const QString manifest = dir.filePath(Manifest::fileName());
    const QByteArray line = QByteArray(64, '0') + "  data\n";
    if (place == "empty")
        QVERIFY(writeFile(manifest, QByteArray()));
    else if (place == "fifo manifest")
        QCOMPARE(::mkfifo(QFile::encodeName(manifest).constData(), 0600), 0);
    else if (place == "fifo line")
        QVERIFY(writeFile(manifest, line) && ::mkfifo(QFile::encodeName(dir.filePath("data")).constData(), 0600) == 0);
    else if (place == "zero line")
        QVERIFY(writeFile(manifest, line) && QFile::link("/dev/zero", dir.filePath("data")));
    QStringList arguments{"verify", dir.path()};
    if (place == "fifo copy") {
        const QString card = dir.filePath("demo.img");
        QCOMPARE(runVexaCard({"sample", card}).status, 0);
        QCOMPARE(::mkfifo(QFile::encodeName(dir.filePath("20230314_130601.mseed")).constData(), 0600), 0);
        arguments = QStringList{"verify", "--card", card, dir.path()};
    }
    const CardRun run = runBriefly(arguments);
    QCOMPARE(run.status, 1);
    QVERIFY2(run.err.contains(refusal.toUtf8()), run.err.constData());
}

void TestArchive::nothingWrittenThroughLinks_data()
{
    QTest::addColumn<bool>("sds");
    QTest::addColumn<QString>("link"); // below the folder, pointing outside it
    QTest::addColumn<QString>("refusal");
    QTest::newRow("YEAR") << true << "2023" << "symbolic link";
    QTest::newRow("CHA.D") << true << "2023/XX/VEXA/HHZ.D" << "symbolic link";
    QTest::newRow("log") << true << "log" << "symbolic link";
    QTest::newRow("quality.json") << false << "quality.json" << "symbolic link";
    QTest::newRow("quality.txt") << true << "quality.txt" << "symbolic link";
    QTest::newRow("a day file of two hard links") << true << "hard:2023/XX/VEXA/HHZ.D/XX.VEXA..HHZ.D.2023.073"
                                                   << "more than one hard link";
    QTest::newRow("manifest, a FIFO") << false << "fifo:manifest-sha256.txt" << "FIFO";
    QTest::newRow("manifest, a FIFO, SDS") << true << "fifo:manifest-sha256.txt" << "FIFO";
}

void TestArchive::nothingWrittenThroughLinks()
{
    QFETCH(bool, sds);
    QFETCH(QString, link);
    QFETCH(QString, refusal);
    QTemporaryDir dir;
    const QString card = dir.filePath("demo.img");
    const QString out = dir.filePath("out");
    const QString outside = dir.filePath("outside");
    QCOMPARE(runVexaCard({"sample", card}).status, 0);
    QVERIFY(QDir().mkpath(outside) && writeFile(outside + "/kept", "kept"));
    const QString at = QDir(out).filePath(link.section(':', -1));
    QVERIFY(QDir().mkpath(QFileInfo(at).path()));
    if (link.startsWith("fifo:"))
        QCOMPARE(::mkfifo(QFile::encodeName(at).constData(), 0600), 0);
    else if (link.startsWith("hard:"))
        QCOMPARE(::link(QFile::encodeName(outside + "/kept").constData(), QFile::encodeName(at).constData()), 0);
    else
        QVERIFY(QFile::link(link.startsWith("quality") ? outside + "/kept" : outside, at));
    const CardRun run = runBriefly(sds ? QStringList{"export", "-q", "--all", "--sds", out, card}
                                       : QStringList{"export", "-q", "--all", "-o", out, card});
    QCOMPARE(run.status, 1);
    QVERIFY2(run.err.contains(refusal.toUtf8()), run.err.constData());
    QCOMPARE(QDir(outside).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{"kept"});
    QCOMPARE(readAll(outside + "/kept"), QByteArray("kept"));
}

void TestArchive::logsOfCardsOfOneSecond()
{
    // Another card's log that began in the same second is kept; this card's own log,
    // exported again, is recognised and not written twice.
    QTemporaryDir dir;
    const QString card = dir.filePath("demo.img");
    const QString archive = dir.filePath("archive");
    QCOMPARE(runVexaCard({"sample", card}).status, 0);
    const QStringList arguments{"export", "-q", "--all", "--sds", archive, card};
    QCOMPARE(runVexaCard(arguments).status, 0);
    const QString log = archive + "/log/log.20230314T092549Z";
    const QByteArray own = readAll(log);
    QVERIFY(!own.isEmpty() && writeFile(log, "the log of another card\n"));
    for (int run = 0; run < 2; ++run) {
        const CardRun again = runVexaCard(arguments);
        QVERIFY2(again.status == 0, again.err.constData());
        QCOMPARE(QDir(archive + "/log").entryList(QDir::Files | QDir::Hidden),
                 (QStringList{"log.20230314T092549Z", "log.20230314T092549Z.2"}));
        QCOMPARE(readAll(log), QByteArray("the log of another card\n"));
        QCOMPARE(readAll(log + ".2"), own);
    }
}

void TestArchive::leftoversOfAKilledRun()
{
#ifdef Q_OS_UNIX
    // A temporary file no one holds is a killed run's and goes; one a running export
    // holds stays, and so does a file of another pattern.
    QTemporaryDir dir;
    const QString card = dir.filePath("demo.img");
    const QString out = dir.filePath("out");
    QCOMPARE(runVexaCard({"sample", card}).status, 0);
    const QStringList names{".20230314_130601.mseed.aB3dE9.part", ".log.Zx81Qq.part", ".notes.part"};
    for (const QString &name : names)
        QVERIFY(writeFile(QDir(out).filePath(name), "partial"));
    const int held = ::open(QFile::encodeName(QDir(out).filePath(names.at(1))).constData(), O_RDONLY | O_CLOEXEC);
    QVERIFY(held >= 0 && ::flock(held, LOCK_EX | LOCK_NB) == 0);
    const CardRun run = runVexaCard({"export", "-q", "-o", out, card, "/20230314_1302/20230314_130601"});
    ::close(held);
    QVERIFY2(run.status == 0, run.err.constData());
    const QStringList left = QDir(out).entryList({".*.part"}, QDir::Files | QDir::Hidden);
    QCOMPARE(left, (QStringList{".log.Zx81Qq.part", ".notes.part"}));
#else
    QSKIP("needs flock");
#endif
}

void TestArchive::aNameTakenMeanwhileIsNotReplaced()
{
    // Another export takes the chosen name between the look and the rename (two cards'
    // logs of one second): its file stays, and the copy goes under another name.
    QTemporaryDir dir;
    Status status;
    const FolderHandle folder = openFolderBelow(dir.path(), QString(), CreateFolders::No, &status);
    QVERIFY2(status, qPrintable(status.message));
    DestinationWriter writer(folder, FileIdentity());
    CopySource source;
    source.outputName = "log.20230314T092549Z";
    QVERIFY(writer.begin(source));
    const QByteArray ours(1024, 'o');
    SectorChunk chunk;
    chunk.data = ours.constData();
    chunk.length = ours.size();
    QVERIFY(writer.consume(chunk));
    QVERIFY(writeFile(dir.filePath("log.20230314T092549Z"), "the other card's log"));
    bool taken = false;
    QVERIFY(!writer.finishAsNew("log.20230314T092549Z", &taken));
    QVERIFY(taken);
    QVERIFY(writer.finishAsNew("log.20230314T092549Z.2", &taken));
    QCOMPARE(readAll(dir.filePath("log.20230314T092549Z")), QByteArray("the other card's log"));
    QCOMPARE(readAll(dir.filePath("log.20230314T092549Z.2")), ours);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 2);
}

void TestArchive::copiesStayInTheFolderOpened()
{
    // The output folder is moved away and a link put at its name once the batch began:
    // the copies still go into the folder the batch opened, none where the link leads.
    QTemporaryDir dir;
    const QString card = dir.filePath("demo.img");
    const QString output = dir.filePath("out");
    const QString moved = dir.filePath("moved");
    const QString elsewhere = dir.filePath("elsewhere");
    QCOMPARE(runVexaCard({"sample", card}).status, 0);
    QVERIFY(QDir().mkdir(output) && QDir().mkdir(elsewhere));
    Filesystem fs;
    QVERIFY(fs.open(card));
    ExportBatch batch(fs, output, ExportBatch::Files);
    batch.setFileStarted([&](int index, int, const QString &) {
        if (index == 0)
            QVERIFY(QDir().rename(output, moved) && QFile::link(elsewhere, output));
    });
    const ExportSummary summary = batch.run({"/20230314_1302/20230314_130601", "/log"}, {});
    QCOMPARE(summary.files.size(), 2);
    for (const QString &name : {QStringLiteral("20230314_130601.mseed"), QStringLiteral("log")}) {
        QVERIFY2(QFileInfo::exists(QDir(moved).filePath(name)), qPrintable(name));
        QVERIFY2(!QFileInfo::exists(QDir(elsewhere).filePath(name)), qPrintable(name));
    }
}

QTEST_GUILESS_MAIN(TestArchive)
#include "tst_archive.moc"
