// Cards that a recorder in the field may hand over: corrupt headers and records, cards cut
// short anywhere. Every operation must end at once with an outcome its caller can read;
// a hang shows as this test not finishing.
#include "cardimage.h"
#include "filesystem.h"

#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <limits>

namespace {

const QString File = QStringLiteral("/20110914_0146/20110914_014640");

QByteArray contentsOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QPair<int, int> emission(const QSignalSpy &spy, int i)
{
    return {spy.at(i).at(0).toInt(), spy.at(i).at(1).toInt()};
}

} // namespace

class TestHostile : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void tableAtTopOfSectorRange();
    void tableBeyondEndOfCard();
    void hugeRecords_data();
    void hugeRecords();
    void lastFarBelowFirst();
    void everySlotPastEnd();
    void cardEndsInsideTable();
    void cardEndsInsideDirectoryBlock();
    void cardEndsInsideLog();

private:
    QString write(const CardImage &card, const QString &name = QStringLiteral("card.img"));
    QTemporaryDir m_dir;
    QString m_out;
};

void TestHostile::init()
{
    QVERIFY(m_dir.isValid());
    // A fresh folder for each test, so that no file from an earlier one is found.
    m_out = m_dir.filePath(QStringLiteral("out"));
    QVERIFY(QDir(m_out).removeRecursively());
    QVERIFY(QDir().mkpath(m_out));
}

QString TestHostile::write(const CardImage &card, const QString &name)
{
    const QString path = m_dir.filePath(name);
    return card.write(path) ? path : QString();
}

void TestHostile::tableAtTopOfSectorRange()
{
    // The table in the last block of the 32-bit sector range (byte 2 TiB of a sparse
    // image): the blocks of slots 1 and 2 lie beyond sector 2^32 - 1 and must be read
    // there, not at a sector that wrapped round to the start of the card.
    CardImage card(0xFFFFFFF8u);
    card.setDirectory(1, 1000000000);
    card.setDirectory(2, 1000003600);
    card.addFile(1, 0, 1000000000, 30000, 4);
    card.addFile(2, 0, 1000003600, 30010, 3);
    // What a wrapped block number would find: sector (2^32 + 8) mod 2^32 = 8.
    QByteArray decoy(int(Card::BlockSize), '\0');
    encodeFileRecord(decoy.data(), 0, FileRecord{1000003600, 40000, 40009, 0});
    card.put(Card::sectorOffset(8), decoy);
    const QString path = write(card);
    QVERIFY(!path.isEmpty());

    Filesystem fs;
    QVERIFY(fs.open(path));
    const QList<EntryInfo> root = fs.listRoot();
    QCOMPARE(root.size(), 3);
    QCOMPARE(fs.listDirectory(1).size(), 1);
    QCOMPARE(fs.listDirectory(1)[0].size, 3 * 512);
    QCOMPARE(fs.listDirectory(2)[0].size, 2 * 512);
    QCOMPARE(fs.readFile(File), CardImage::patternRun(30000, 4));

    const ExportResult first = fs.exportFile(File, m_out);
    QVERIFY2(first.isComplete(), qPrintable(first.message));
    QCOMPARE(contentsOf(first.destination), CardImage::patternRun(30000, 4));
    const ExportResult second = fs.exportFile(QStringLiteral("/20110914_0246/20110914_024640"), m_out);
    QVERIFY2(second.isComplete(), qPrintable(second.message));
    QCOMPARE(contentsOf(second.destination), CardImage::patternRun(30010, 3));
}

void TestHostile::tableBeyondEndOfCard()
{
    // The header points at the top of the sector range on a card of a few megabytes:
    // nothing to list or find, but the log lies where it always does.
    for (const quint32 tableSector : {0xFFFFFFFFu, 0xFFFFFFF8u, 0x80000000u}) {
        CardImage card(tableSector);
        card.fillLog();
        card.setLength(Card::LogOffset + Card::LogExportSectors * Card::SectorSize);
        const QString path = write(card);
        QVERIFY(!path.isEmpty());
        const QByteArray checksum = fileChecksum(path);

        Filesystem fs;
        QVERIFY(fs.open(path));
        QVERIFY(fs.listRoot().isEmpty());
        QVERIFY(fs.list(QStringLiteral("20110914_0146")).isEmpty());
        QVERIFY(fs.listDirectory(255).isEmpty());
        QCOMPARE(fs.directoryIndex(QStringLiteral("20110914_0146")), -1);
        QVERIFY(fs.readFile(File).isEmpty());

        QSignalSpy spy(&fs, &Filesystem::progress);
        const ExportResult missing = fs.exportFile(File, m_out);
        QCOMPARE(missing.status, ExportResult::Failed);
        QVERIFY(missing.message.contains(File));
        QVERIFY(spy.isEmpty());
        QVERIFY(!QFile::exists(m_out + QStringLiteral("/20110914_014640.mseed")));

        const ExportResult log = fs.exportLog(m_out);
        QVERIFY2(log.isComplete(), qPrintable(log.message));
        QVERIFY(contentsOf(log.destination) == CardImage::patternRun(Card::LogOffset / Card::SectorSize, Card::LogExportSectors));
        QCOMPARE(fileChecksum(path), checksum);
    }
}

void TestHostile::hugeRecords_data()
{
    QTest::addColumn<quint32>("firstSector");
    QTest::addColumn<quint32>("lastSector");
    QTest::addColumn<qint64>("cardBytes");
    const qint64 card = 3050 * Card::SectorSize;
    // 2^31 sectors: one more than progress() can count in an int.
    QTest::newRow("2^31 sectors") << 3000u << 3000u + 0x7FFFFFFFu << card;
    QTest::newRow("to the last sector") << 3000u << 0xFFFFFFFFu << card;
    QTest::newRow("card ends in a sector") << 3000u << 0x80000000u << 3040 * Card::SectorSize + 1;
    // The file starts beyond the end of the card: nothing to keep, still the end.
    QTest::newRow("starts past the end") << 0x80000000u << 0xFFFFFFFFu << card;
    QTest::newRow("starts at the end") << 3050u << 0x80000000u << card;
}

void TestHostile::hugeRecords()
{
    // A corrupt record claims far more sectors than the card has: the copy keeps what the
    // card holds, stops at its end and says so; it never walks the missing sectors.
    QFETCH(quint32, firstSector);
    QFETCH(quint32, lastSector);
    QFETCH(qint64, cardBytes);
    CardImage card(32);
    card.setDirectory(1, 1000000000);
    card.setRecord(1, 0, FileRecord{1000000000, firstSector, lastSector, 0});
    const qint64 first = Card::sectorOffset(firstSector);
    if (first < cardBytes)
        card.put(first, CardImage::patternRun(firstSector, (cardBytes - first + 511) / 512));
    card.setLength(cardBytes);
    const QString path = write(card);
    QVERIFY(!path.isEmpty());
    const QByteArray checksum = fileChecksum(path);

    const qint64 kept = qMax<qint64>(0, cardBytes - first);
    const QByteArray expected = kept > 0 ? CardImage::patternRun(firstSector, (kept + 511) / 512).left(int(kept)) : QByteArray();
    const qint64 claimed = (qint64(lastSector) - qint64(firstSector) + 1) * Card::SectorSize;

    Filesystem fs;
    QVERIFY(fs.open(path));
    QCOMPARE(fs.listDirectory(1)[0].size, claimed - Card::SectorSize);
    QCOMPARE(fs.readFile(File), expected);

    QSignalSpy spy(&fs, &Filesystem::progress);
    const ExportResult result = fs.exportFile(File, m_out);
    QCOMPARE(result.status, ExportResult::Incomplete);
    QCOMPARE(result.message, QStringLiteral("the card ends after %1 of %2 bytes").arg(kept).arg(claimed));
    QCOMPARE(result.bytesWritten, kept);
    QCOMPARE(result.bytesExpected, claimed);
    QVERIFY(contentsOf(result.destination) == expected);

    // One emission per sector kept, whole or cut short, then the final one.
    const qint64 sectorsKept = (kept + 511) / 512;
    QCOMPARE(spy.size(), int(sectorsKept) + 1);
    const QPair<int, int> last = emission(spy, spy.size() - 1);
    QCOMPARE(last.first, last.second);
    QVERIFY(last.second > 0);
    for (int i = 0; i + 1 < spy.size(); ++i)
        QCOMPARE(emission(spy, i), qMakePair(i, last.second));
    QCOMPARE(fileChecksum(path), checksum);
}

void TestHostile::lastFarBelowFirst()
{
    // lastSector - firstSector + 1 below what an int holds: still an empty file, one
    // emission (n, n) with n <= 0, and a complete copy.
    CardImage card(32);
    card.setDirectory(1, 1000000000);
    card.setRecord(1, 0, FileRecord{1000000000, 0xFFFFFFFFu, 0, 0});
    card.setRecord(1, 1, FileRecord{1000000001, 0x80000001u, 1, 0});
    const QString path = write(card);
    QVERIFY(!path.isEmpty());
    Filesystem fs;
    QVERIFY(fs.open(path));
    QCOMPARE(fs.listDirectory(1).size(), 2);
    QCOMPARE(fs.listDirectory(1)[0].size, -qint64(0xFFFFFFFFu) * 512);

    for (const QString &name : {QStringLiteral("20110914_014640"), QStringLiteral("20110914_014641")}) {
        const QString filePath = QStringLiteral("/20110914_0146/") + name;
        QVERIFY(fs.readFile(filePath).isEmpty());
        QSignalSpy spy(&fs, &Filesystem::progress);
        const ExportResult result = fs.exportFile(filePath, m_out);
        QVERIFY2(result.isComplete(), qPrintable(result.message));
        QVERIFY(QFile::exists(result.destination));
        QCOMPARE(QFileInfo(result.destination).size(), 0);
        QCOMPARE(result.bytesExpected, 0);
        QCOMPARE(spy.size(), 1);
        QCOMPARE(emission(spy, 0).first, emission(spy, 0).second);
        QVERIFY(emission(spy, 0).second <= 0);
    }
}

void TestHostile::everySlotPastEnd()
{
    // A full table, 128 records in each block, and every record pointing beyond the end
    // of the card: 32,640 listed files, none with a byte to copy.
    CardImage card(32);
    for (int slot = 1; slot <= 255; ++slot) {
        card.setDirectory(slot, 1000000000 + quint32(slot) * 3600);
        for (int k = 0; k < Card::RecordsPerBlock; ++k) {
            const quint32 first = 0x10000000u + quint32(slot * 1000 + k * 4);
            card.setRecord(slot, k, FileRecord{1000000000 + quint32(slot) * 3600 + quint32(k), first, first + 3, 0});
        }
    }
    const QString path = write(card);
    QVERIFY(!path.isEmpty());
    const QByteArray checksum = fileChecksum(path);

    Filesystem fs;
    QVERIFY(fs.open(path));
    const QList<EntryInfo> root = fs.listRoot();
    QCOMPARE(root.size(), 256);
    int listed = 0;
    for (const EntryInfo &dir : root) {
        if (!dir.isDirectory)
            continue;
        const QList<EntryInfo> files = fs.listDirectory(dir.index);
        listed += files.size();
        // The first and last file of each directory, and every file of the last one.
        for (int k = 0; k < files.size(); ++k) {
            if (k != 0 && k != files.size() - 1 && dir.index != 255)
                continue;
            const QString filePath = QLatin1Char('/') + dir.name + QLatin1Char('/') + files[k].name;
            QVERIFY(fs.readFile(filePath).isEmpty());
            QSignalSpy spy(&fs, &Filesystem::progress);
            const ExportResult result = fs.exportFile(filePath, m_out);
            QCOMPARE(result.status, ExportResult::Incomplete);
            QCOMPARE(result.message, QStringLiteral("the card ends after 0 of 2048 bytes"));
            QCOMPARE(QFileInfo(result.destination).size(), 0);
            QCOMPARE(spy.size(), 1);
            QCOMPARE(emission(spy, 0), qMakePair(4, 4));
        }
    }
    QCOMPARE(listed, 255 * 128);
    // The card ends before the log area too.
    const ExportResult log = fs.exportLog(m_out);
    QCOMPARE(log.status, ExportResult::Incomplete);
    QCOMPARE(log.message, QStringLiteral("the card ends after 0 of 2097664 bytes"));
    QCOMPARE(fileChecksum(path), checksum);
}

void TestHostile::cardEndsInsideTable()
{
    // The table at 10 MiB, the card cut 1000 bytes into it: no directory to list or
    // find, while the log area before it is whole.
    CardImage card = ::minimalCard();
    card.fillLog();
    card.setLength(Card::sectorOffset(card.tableSector()) + 1000);
    const QString path = write(card);
    QVERIFY(!path.isEmpty());
    const QByteArray checksum = fileChecksum(path);

    Filesystem fs;
    QVERIFY(fs.open(path));
    QVERIFY(fs.listRoot().isEmpty());
    QCOMPARE(fs.directoryIndex(QStringLiteral("20110914_0146")), -1);
    QVERIFY(fs.readFile(File).isEmpty());
    QSignalSpy spy(&fs, &Filesystem::progress);
    const ExportResult result = fs.exportFile(File, m_out);
    QCOMPARE(result.status, ExportResult::Failed);
    QVERIFY(result.message.contains(File));
    QVERIFY(spy.isEmpty());
    QVERIFY(fs.exportLog(m_out).isComplete());
    QCOMPARE(fileChecksum(path), checksum);
}

void TestHostile::cardEndsInsideDirectoryBlock()
{
    // The directory is listed, but its block is cut: no file in it can be found.
    CardImage card;
    card.setDirectory(1, 1000000000);
    card.addFile(1, 0, 1000000000, 3000, 10);
    card.setDirectory(2, 1000003600);
    card.addFile(2, 0, 1000003600, 30100, 2);
    card.setLength(Card::sectorOffset(Card::directoryBlockSector(card.tableSector(), 2)) + 4095);
    const QString path = write(card);
    QVERIFY(!path.isEmpty());
    const QByteArray checksum = fileChecksum(path);

    Filesystem fs;
    QVERIFY(fs.open(path));
    QCOMPARE(fs.listRoot().size(), 3);
    QCOMPARE(fs.listDirectory(1).size(), 1);
    QVERIFY(fs.listDirectory(2).isEmpty());
    // The file of the whole block lies before the cut and is copied whole.
    QVERIFY(fs.exportFile(File, m_out).isComplete());
    const QString cut = QStringLiteral("/20110914_0246/20110914_024640");
    QVERIFY(fs.readFile(cut).isEmpty());
    QSignalSpy spy(&fs, &Filesystem::progress);
    const ExportResult result = fs.exportFile(cut, m_out);
    QCOMPARE(result.status, ExportResult::Failed);
    QVERIFY(result.message.contains(cut));
    QVERIFY(spy.isEmpty());
    QVERIFY(!QFile::exists(m_out + QStringLiteral("/20110914_024640.mseed")));
    QCOMPARE(fileChecksum(path), checksum);
}

void TestHostile::cardEndsInsideLog()
{
    // Cut 100 bytes into the log's sector 1000: 1000 whole sectors and 100 bytes kept.
    CardImage card(32);
    card.setDirectory(1, 1000000000);
    card.fillLog();
    const qint64 kept = 1000 * Card::SectorSize + 100;
    card.setLength(Card::LogOffset + kept);
    const QString path = write(card);
    QVERIFY(!path.isEmpty());
    const QByteArray checksum = fileChecksum(path);

    Filesystem fs;
    QVERIFY(fs.open(path));
    QCOMPARE(fs.listRoot().last().name, QStringLiteral("log"));
    QSignalSpy spy(&fs, &Filesystem::progress);
    const ExportResult result = fs.exportFile(QStringLiteral("/log"), m_out);
    QCOMPARE(result.status, ExportResult::Incomplete);
    QCOMPARE(result.message, QStringLiteral("the card ends after %1 of 2097664 bytes").arg(kept));
    QVERIFY(contentsOf(result.destination) == CardImage::patternRun(Card::LogOffset / Card::SectorSize, 1001).left(int(kept)));
    QCOMPARE(spy.size(), 1001 + 1);
    QCOMPARE(emission(spy, 1000), qMakePair(1000, 4097));
    QCOMPARE(emission(spy, 1001), qMakePair(4097, 4097));
    QCOMPARE(fileChecksum(path), checksum);
}

QTEST_GUILESS_MAIN(TestHostile)
#include "tst_hostile.moc"
