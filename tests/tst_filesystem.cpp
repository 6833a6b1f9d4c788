#include "cardimage.h"
#include "filesystem.h"
#include "gpstime.h"

#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <thread>

// Names a listed entry in failure messages.
char *toString(const EntryInfo &e)
{
    return QTest::toString(QStringLiteral("%1 %2 dir=%3 flag=%4 slot=%5").arg(e.name).arg(e.size)
                               .arg(e.isDirectory).arg(e.fileFlag).arg(e.index));
}

// A listed entry by its listed columns.
EntryInfo listed(const char *name, qint64 size, bool isDirectory, bool fileFlag, int index)
{
    EntryInfo e;
    e.name = QString::fromLatin1(name);
    e.size = size;
    e.isDirectory = isDirectory;
    e.fileFlag = fileFlag;
    e.index = index;
    return e;
}

class TestFilesystem : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void minimalCard();
    void tableWalk();
    void directoryBlockSkipsEmptySlots();
    void directoryWindow();
    void malformedNames_data();
    void malformedNames();
    void fileLookup();
    void secondDirectoryOfAMinute();
    void sizes();
    void readFileLimitedByDevice();
    void beyondFourGiB();
    void notACard_data();
    void notACard();
    void reopen();
    void oneOperationAtATime();

private:
    QString image(const CardImage &card, const QString &name = QStringLiteral("card.img"));
    QTemporaryDir m_dir;
};

QString TestFilesystem::image(const CardImage &card, const QString &name)
{
    const QString path = m_dir.filePath(name);
    if (!card.write(path))
        return {};
    return path;
}

void TestFilesystem::init()
{
    QVERIFY(m_dir.isValid());
}

void TestFilesystem::minimalCard()
{
    Filesystem fs;
    QVERIFY(fs.open(image(::minimalCard())));
    QCOMPARE(fs.list(QStringLiteral("/")), (QList<EntryInfo>{listed("20110914_0146", 0, true, false, 1),
                                                            listed("log", 2097152, false, false, 0)}));
    const QList<EntryInfo> files{listed("20110914_014640", 4608, false, true, 1)};
    QCOMPARE(fs.list(QStringLiteral("/20110914_0146")), files);
    QCOMPARE(fs.list(QStringLiteral("20110914_0146")), files);
    QCOMPARE(fs.readFile(QStringLiteral("/20110914_0146/20110914_014640")), CardImage::patternRun(30000, 10));
}

void TestFilesystem::tableWalk()
{
    // Slot 1 free: the list ends at once, whatever follows; only the log remains.
    CardImage empty;
    empty.setDirectory(0, 1000000000);
    empty.setDirectory(1, 1000000000, 0);
    empty.setDirectory(2, 1000000600);
    Filesystem fs;
    QVERIFY(fs.open(image(empty)));
    QList<EntryInfo> root = fs.listRoot();
    QCOMPARE(root.size(), 1);
    QCOMPARE(root[0].name, QStringLiteral("log"));

    // Every slot taken: exactly 255 directories, slot 0 never among them.
    CardImage full;
    full.setDirectory(0, 5);
    for (int slot = 1; slot <= 255; ++slot)
        full.setDirectory(slot, 1000000000 + quint32(slot) * 3600);
    QVERIFY(fs.open(image(full)));
    root = fs.listRoot();
    QCOMPARE(root.size(), 256);
    for (int slot = 1; slot <= 255; ++slot) {
        GpsTime t;
        gpsToCalendar(1000000000 + quint32(slot) * 3600, t);
        QCOMPARE(root[slot - 1].index, slot);
        QCOMPARE(root[slot - 1].name, QString::asprintf("%04u%02u%02u_%02u%02u", t.year, t.month, t.day, t.hour, t.minute));
    }
    QCOMPARE(root.last().name, QStringLiteral("log"));

    // A free slot in the middle ends the list there.
    full.setDirectory(100, 0, 0);
    QVERIFY(fs.open(image(full)));
    QCOMPARE(fs.listRoot().size(), 99 + 1);
}

void TestFilesystem::directoryBlockSkipsEmptySlots()
{
    CardImage card;
    card.setDirectory(1, 1000000000);
    card.addFile(1, 0, 1000000000, 40000, 2);
    card.addFile(1, 5, 1000000100, 40010, 2, 2); // only bit 0 of the flags counts
    card.addFile(1, 127, 1000000200, 40020, 2);
    // Slot 9 holds a start time but no sectors: an empty slot.
    card.setRecord(1, 9, FileRecord{1000000300, 0, 40100, 1});
    Filesystem fs;
    QVERIFY(fs.open(image(card)));
    QCOMPARE(fs.listDirectory(1), (QList<EntryInfo>{listed("20110914_014640", 512, false, false, 1),
                                                    listed("20110914_014820", 512, false, false, 1),
                                                    listed("20110914_015000", 512, false, false, 1)}));
    QVERIFY(fs.listDirectory(0).isEmpty());
    QVERIFY(fs.listDirectory(-1).isEmpty());
    QVERIFY(fs.list(QStringLiteral("/20200101_0000")).isEmpty());
}

void TestFilesystem::directoryWindow()
{
    // 20110914_0146 begins at 999999960; the window reaches 61 seconds past it.
    const quint32 minute = 999999960;
    CardImage card;
    card.setDirectory(1, minute - 1);  // 01:45:59
    card.setDirectory(2, minute + 62); // 01:47:02, outside
    card.setDirectory(3, minute + 61); // 01:47:01, inside
    card.setDirectory(4, 0, 0);
    card.setDirectory(5, minute); // past the list's end, but lookups don't stop there
    Filesystem fs;
    QVERIFY(fs.open(image(card)));
    QCOMPARE(fs.findDirectory(2011, 9, 14, 1, 46), 3);
    QCOMPARE(fs.directoryIndex(QStringLiteral("/20110914_0146")), 3);
    QCOMPARE(fs.findDirectory(2011, 9, 14, 1, 45), 1);
    QCOMPARE(fs.findDirectory(2011, 9, 14, 1, 48), -1);
    card.setDirectory(3, minute + 120);
    QVERIFY(fs.open(image(card)));
    QCOMPARE(fs.findDirectory(2011, 9, 14, 1, 46), 5);

    // Two recordings of the same minute share a name: a lookup finds the lower slot,
    // a listing by slot shows each one's own files.
    card.setDirectory(2, minute + 10);
    card.addFile(2, 0, minute + 10, 50000, 1);
    card.addFile(5, 0, minute, 50010, 1);
    QVERIFY(fs.open(image(card)));
    QCOMPARE(fs.listRoot()[1].name, QStringLiteral("20110914_0146"));
    QCOMPARE(fs.directoryIndex(QStringLiteral("20110914_0146")), 2);
    QCOMPARE(fs.listDirectory(2)[0].name, QStringLiteral("20110914_014610"));
    QCOMPARE(fs.listDirectory(5)[0].name, QStringLiteral("20110914_014600"));
}

void TestFilesystem::malformedNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("index");
    QTest::newRow("plain") << "20110914_0146" << 1;
    QTest::newRow("slash") << "/20110914_0146" << 1;
    QTest::newRow("trailing text") << "20110914_0146xyz" << -1;
    QTest::newRow("seconds on a directory") << "20110914_014640" << -1;
    QTest::newRow("sign in a field") << "20110914_+146" << -1;
    QTest::newRow("day past the month's end") << "20110931_0146" << -1;
    QTest::newRow("impossible fields") << "20119999_9999" << -1;
    QTest::newRow("beyond 32-bit GPS seconds") << "21170101_0000" << -1;
    QTest::newRow("newline") << "20110914_0146\n" << -1;
    QTest::newRow("two slashes") << "//20110914_0146" << -1;
    QTest::newRow("underscore misplaced") << "2011091401_46" << -1;
    QTest::newRow("dash") << "20110914-0146" << -1;
    QTest::newRow("letter O") << "2011O914_0146" << -1;
    QTest::newRow("minute missing") << "20110914_01" << -1;
    QTest::newRow("too short") << "20110914" << -1;
    QTest::newRow("empty") << "" << -1;
    QTest::newRow("out of range") << "20111314_0146" << -1;
}

void TestFilesystem::malformedNames()
{
    QFETCH(QString, name);
    QFETCH(int, index);
    static const QString path = image(::minimalCard(), QStringLiteral("names.img"));
    Filesystem fs;
    QVERIFY(fs.open(path));
    QCOMPARE(fs.directoryIndex(name), index);
}

void TestFilesystem::fileLookup()
{
    CardImage card = ::minimalCard();
    // A stale start time in an empty slot ahead of the real record must not match.
    card.setRecord(1, 0, FileRecord{1000000000, 0, 0, 0});
    card.addFile(1, 3, 1000000000, 30000, 10, 1);
    Filesystem fs;
    QVERIFY(fs.open(image(card)));

    FileRecord record;
    QCOMPARE(fs.findFileRecord(1, QStringLiteral("20110914_014640"), &record), 3);
    QCOMPARE(record.firstSector, 30000u);
    QCOMPARE(record.lastSector, 30009u);
    QCOMPARE(record.flags, 1u);

    FileRecord untouched{7, 7, 7, 7};
    QCOMPARE(fs.findFileRecord(1, QStringLiteral("/20110914_014640"), &untouched), -1);
    QCOMPARE(fs.findFileRecord(1, QStringLiteral("20110914_014641"), &untouched), -1);
    QCOMPARE(fs.findFileRecord(1, QStringLiteral("20110914_0146"), &untouched), -1);
    QCOMPARE(fs.findFileRecord(0, QStringLiteral("20110914_014640"), &untouched), -1);
    QCOMPARE(untouched.firstSector, 7u);

    QCOMPARE(fs.readFile(QStringLiteral("/20110914_0146/20110914_014640")), CardImage::patternRun(30000, 10));
    QVERIFY(fs.readFile(QStringLiteral("/20110914_0146/20110914_014641")).isEmpty());
    QVERIFY(fs.readFile(QStringLiteral("/20110914_0146")).isEmpty());
}

void TestFilesystem::secondDirectoryOfAMinute()
{
    // Two recordings began in the same minute: both directories are named 20110914_0146,
    // and a file of the second is found, read and scanned by its path like any other.
    CardImage card = ::minimalCard();
    card.setDirectory(2, 1000000010);
    card.addFile(2, 0, 1000000012, 40000, 3);
    Filesystem fs;
    QVERIFY(fs.open(image(card)));
    const QString path = QStringLiteral("/20110914_0146/20110914_014652");
    const std::optional<EntryInfo> entry = fs.resolve(path);
    QVERIFY(entry);
    QCOMPARE(entry->index, 2);
    QCOMPARE(fs.readFile(path), CardImage::patternRun(40000, 3));

    struct Collect : CopySink
    {
        QByteArray bytes;
        Status begin(const CopySource &) override { return Status(); }
        Status consume(const SectorChunk &chunk) override
        {
            bytes.append(chunk.data, chunk.length);
            return Status();
        }
        Status finish(CopyEnd) override { return Status(); }
    } collect;
    QCOMPARE(fs.scanFile(path, {&collect}).status, ExportResult::Complete);
    QCOMPARE(collect.bytes, CardImage::patternRun(40000, 3));
    QVERIFY(!fs.resolve(QStringLiteral("/20110914_0146/20110914_014653")));
}

void TestFilesystem::sizes()
{
    CardImage card;
    card.setDirectory(1, 1000000000);
    card.setRecord(1, 0, FileRecord{1000000000, 1000, 1009, 0});    // 10 sectors
    card.setRecord(1, 1, FileRecord{1000000001, 2000, 2000, 0});    // one sector, listed as 0
    card.setRecord(1, 2, FileRecord{1000000002, 3000, 2995, 0});    // last below first
    card.setRecord(1, 3, FileRecord{1000000003, 1, 0xFFFFFFFF, 0}); // beyond 32-bit sizes
    card.put(Card::sectorOffset(1000), CardImage::patternRun(1000, 10));
    card.put(Card::sectorOffset(2000), CardImage::patternRun(2000, 1));
    Filesystem fs;
    QVERIFY(fs.open(image(card)));
    QList<qint64> sizes;
    for (const EntryInfo &file : fs.listDirectory(1))
        sizes.append(file.size);
    QCOMPARE(sizes, (QList<qint64>{4608, 0, -2560, qint64(0xFFFFFFFE) * 512}));
    QCOMPARE(fs.readFile(QStringLiteral("/20110914_0146/20110914_014640")).size(), 5120);
    QCOMPARE(fs.readFile(QStringLiteral("/20110914_0146/20110914_014641")), CardImage::pattern(2000));
    QVERIFY(fs.readFile(QStringLiteral("/20110914_0146/20110914_014642")).isEmpty());
}

void TestFilesystem::readFileLimitedByDevice()
{
    // A corrupt record claiming a terabyte on a small card yields what the card holds,
    // without asking for a terabyte of memory first.
    CardImage card;
    card.setDirectory(1, 1000000000);
    card.setRecord(1, 0, FileRecord{1000000000, 30000, 0x7FFFFFF0, 0});
    card.put(Card::sectorOffset(30000), CardImage::patternRun(30000, 3));
    card.setLength(Card::sectorOffset(30003) - 100);
    Filesystem fs;
    QVERIFY(fs.open(image(card)));
    const QByteArray data = fs.readFile(QStringLiteral("/20110914_0146/20110914_014640"));
    QCOMPARE(data, CardImage::patternRun(30000, 3).left(3 * 512 - 100));
}

void TestFilesystem::beyondFourGiB()
{
    // The table at sector 9,000,000 (byte 4.6 GB) and data near sector 12,000,000.
    CardImage card(9000000);
    card.setDirectory(1, 1000000000);
    card.addFile(1, 0, 1000000000, 12000000, 4);
    card.addFile(1, 1, 1000000060, 0xFFFFFF00u, 2); // near the top of the sector range
    const QString path = image(card);
    Filesystem fs;
    QVERIFY(fs.open(path));
    QCOMPARE(fs.listRoot().size(), 2);
    QCOMPARE(fs.listDirectory(1).size(), 2);
    QCOMPARE(fs.readFile(QStringLiteral("/20110914_0146/20110914_014640")), CardImage::patternRun(12000000, 4));
    QCOMPARE(fs.readFile(QStringLiteral("/20110914_0146/20110914_014740")), CardImage::patternRun(0xFFFFFF00u, 2));
}

void TestFilesystem::notACard_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QByteArray zeros(9000, '\0');
    QTest::newRow("zeros") << zeros;
    QByteArray wrongMagic = zeros;
    wrongMagic.replace(8192, 4, QByteArray::fromHex("BABAADDF"));
    QTest::newRow("wrong magic") << wrongMagic;
    QByteArray shortHeader = zeros.left(8192 + 23);
    shortHeader.replace(8192, 4, QByteArray::fromHex("BABAADDE"));
    QTest::newRow("ends inside the header") << shortHeader;
    QTest::newRow("empty") << QByteArray();
    QByteArray bigEndian = zeros;
    bigEndian.replace(8192, 4, QByteArray::fromHex("DEADBABA"));
    QTest::newRow("big-endian magic") << bigEndian;
}

void TestFilesystem::notACard()
{
    QFETCH(QByteArray, bytes);
    const QString path = m_dir.filePath(QStringLiteral("not-a-card.img"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
    file.close();
    Filesystem fs;
    QVERIFY(!fs.open(path));
    QVERIFY(fs.errorString().contains(QStringLiteral("not a card volume")));
}

void TestFilesystem::reopen()
{
    Filesystem fs;
    QVERIFY(fs.listRoot().isEmpty()); // nothing open: not even the log
    QVERIFY(fs.readFile(QStringLiteral("/20110914_0146/20110914_014640")).isEmpty());

    QVERIFY(!fs.open(m_dir.filePath(QStringLiteral("missing.img"))));
    QVERIFY(fs.errorString().contains(QStringLiteral("missing.img")));
    QVERIFY(fs.listRoot().isEmpty());

    QVERIFY(fs.open(image(::minimalCard())));
    QCOMPARE(fs.listRoot().size(), 2);
    QVERIFY(fs.errorString().isEmpty());
}

void TestFilesystem::oneOperationAtATime()
{
    // Listings on one thread while files are read on another: each seek and the reads
    // after it must stay together, or one reads the other's sectors.
    CardImage card;
    for (int slot = 1; slot <= 20; ++slot) {
        card.setDirectory(slot, 1000000000 + quint32(slot) * 3600);
        for (int k = 0; k < 8; ++k)
            card.addFile(slot, k, 1000000000 + quint32(slot) * 3600 + quint32(k), 100000 + quint32(slot * 100 + k * 8), 8);
    }
    Filesystem fs;
    QVERIFY(fs.open(image(card)));
    const QList<EntryInfo> root = fs.listRoot();
    const QString dir = root[4].name;
    const QString path = QLatin1Char('/') + dir + QLatin1Char('/') + fs.listDirectory(5)[2].name;
    const QByteArray expected = CardImage::patternRun(100000 + 5 * 100 + 2 * 8, 8);

    // Bounded on both sides: the lock need not be fair, and a busy machine must not
    // turn this into a wait for one thread to starve the other.
    std::atomic<int> badReads{0};
    std::thread reader([&] {
        for (int i = 0; i < 2000; ++i)
            if (fs.readFile(path) != expected)
                ++badReads;
    });
    int badListings = 0;
    for (int i = 0; i < 2000; ++i)
        if (fs.listRoot() != root)
            ++badListings;
    reader.join();
    QCOMPARE(badReads.load(), 0);
    QCOMPARE(badListings, 0);
}

QTEST_GUILESS_MAIN(TestFilesystem)
#include "tst_filesystem.moc"
