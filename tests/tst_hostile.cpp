// Corrupt records and cards cut short anywhere: every operation ends at once with an outcome
// its caller can read (a hang shows as this test not finishing) and leaves the image as it was.
#include "cardimage.h"
#include "filesystem.h"

#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

static const QString File = QStringLiteral("/20110914_0146/20110914_014640");
static const QString File2 = QStringLiteral("/20110914_0246/20110914_024640");
static const qint64 LogBytes = Card::LogExportSectors * Card::SectorSize;

class TestHostile : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    Filesystem m_fs;
    QString m_image;
    QByteArray m_checksum;

    // Writes the card image and opens it; cleanup() then checks that the image is unchanged.
    bool open(const CardImage &card, bool checksum = true)
    {
        m_image = m_dir.filePath(QStringLiteral("card.img"));
        if (!m_dir.isValid() || !card.write(m_image) || !m_fs.open(m_image))
            return false;
        m_checksum = checksum ? fileChecksum(m_image) : QByteArray();
        return true;
    }

    // Exports `path` into an empty folder: `status`, the destination alone there holding `kept`,
    // the message of a copy cut short by the card's end, and one progress emission per sector
    // kept, whole or cut, then the final (n, n). A failed export (nothing found, or nothing
    // of the file on the card) writes and emits nothing.
    void exportAndCheck(const QString &path, ExportResult::Status status, const QByteArray &kept = {}, qint64 claimed = 0)
    {
        const QString out = m_dir.filePath(QStringLiteral("out"));
        QVERIFY(QDir(out).removeRecursively() && QDir().mkpath(out));
        QSignalSpy spy(&m_fs, &Filesystem::progress);
        const ExportResult result = m_fs.exportFile(path, out);
        QCOMPARE(result.status, status);
        if (status == ExportResult::Failed) {
            QVERIFY(result.message.contains(path) && spy.isEmpty() && QDir(out).isEmpty());
            return;
        }
        QCOMPARE(QDir(out).entryList(QDir::Files), QStringList(QFileInfo(result.destination).fileName()));
        QVERIFY(fileContents(result.destination) == kept);
        if (status == ExportResult::Incomplete)
            QCOMPARE(result.message, QStringLiteral("the card ends after %1 of %2 bytes").arg(kept.size()).arg(claimed));
        QCOMPARE(spy.size(), (kept.size() + 511) / 512 + 1);
        // progress() counts sectors in ints; a record whose last sector lies below its first counts <= 0.
        const int total = spy.last().at(1).toInt();
        QVERIFY(claimed > 0 ? total == qMin<qint64>(claimed / 512, 0x7FFFFFFF) : total <= 0);
        for (int i = 0; i < spy.size(); ++i)
            QCOMPARE(spy.at(i), QVariantList({i + 1 < spy.size() ? i : total, total}));
    }

private Q_SLOTS:
    void cleanup()
    {
        if (!m_checksum.isEmpty())
            QCOMPARE(fileChecksum(m_image), m_checksum);
        m_checksum.clear();
    }

    void hugeRecords_data()
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
        // last - first + 1 below what an int holds: an empty file and a complete copy.
        QTest::newRow("last far below first") << 0xFFFFFFFFu << 0u << card;
        QTest::newRow("last 2^31 below first") << 0x80000001u << 1u << card;
    }

    void hugeRecords()
    {
        // A corrupt record claims far more sectors than the card has: the copy keeps what
        // the card holds, stops at its end and says so; it never walks the missing sectors.
        QFETCH(quint32, firstSector);
        QFETCH(quint32, lastSector);
        QFETCH(qint64, cardBytes);
        CardImage card(32);
        card.setDirectory(1, 1000000000);
        card.setRecord(1, 0, FileRecord{1000000000, firstSector, lastSector, 0});
        const qint64 kept = qMax<qint64>(0, cardBytes - Card::sectorOffset(firstSector));
        const QByteArray expected = CardImage::patternRun(firstSector, (kept + 511) / 512).left(int(kept));
        card.put(Card::sectorOffset(firstSector), expected);
        card.setLength(cardBytes);
        QVERIFY(open(card));

        const qint64 claimed = (qint64(lastSector) - qint64(firstSector) + 1) * Card::SectorSize;
        QCOMPARE(m_fs.listDirectory(1).value(0).size, claimed - Card::SectorSize);
        QVERIFY(m_fs.readFile(File) == expected);
        // Not one byte there: no file at all.
        exportAndCheck(File, claimed <= 0 ? ExportResult::Complete : kept > 0 ? ExportResult::Incomplete : ExportResult::Failed,
                       expected, qMax<qint64>(0, claimed));
    }

    void everySlotPastEnd()
    {
        // A full table, 128 records in each block, and every record pointing beyond the
        // end of the card: 32,640 listed files, none with a byte to copy.
        CardImage card(32);
        for (quint32 n = 0; n < 255 * 128; ++n) {
            const quint32 start = 1000000000 + (n / 128 + 1) * 3600, first = 0x10000000u + n * 4;
            card.setDirectory(int(n / 128) + 1, start);
            card.setRecord(int(n / 128) + 1, int(n % 128), FileRecord{start + n % 128, first, first + 3, 0});
        }
        QVERIFY(open(card));
        const QList<EntryInfo> root = m_fs.listRoot();
        QCOMPARE(root.size(), 256);
        for (int slot = 1; slot <= 255 && !QTest::currentTestFailed(); ++slot) {
            const QList<EntryInfo> files = m_fs.listDirectory(slot);
            QCOMPARE(files.size(), 128);
            // The first and last file of each directory, and every file of the last one.
            for (int k = 0; k < 128 && !QTest::currentTestFailed(); k += slot == 255 ? 1 : 127)
                exportAndCheck('/' + root[slot - 1].name + '/' + files[k].name, ExportResult::Failed);
        }
        exportAndCheck(QStringLiteral("/log"), ExportResult::Failed); // the card ends before it
    }

    void cardEnds_data()
    {
        QTest::addColumn<quint32>("tableSector");
        QTest::addColumn<qint64>("cardBytes"); // 0: the card is whole
        QTest::addColumn<int>("filesFound"); // 0: no table; 1: the file of slot 1 only; 2: both
        // The table in the last block of the 32-bit sector range, its blocks beyond it (sparse, 2 TiB).
        QTest::newRow("table at the top of the sector range") << 0xFFFFFFF8u << qint64(0) << 2;
        // The table at 10 MiB, the card cut 1000 bytes into it; the log before it is whole.
        QTest::newRow("inside the table") << 20480u << Card::sectorOffset(20480) + 1000 << 0;
        // The header points at the top of the sector range on a card of a few megabytes.
        for (const quint32 table : {0xFFFFFFFFu, 0xFFFFFFF8u, 0x80000000u})
            QTest::addRow("table at sector %u", table) << table << Card::LogOffset + LogBytes << 0;
        // Both directories are listed, but the block of slot 2 is cut.
        QTest::newRow("inside a directory block") << 20480u << Card::sectorOffset(20480 + 16) + 4095 << 1;
        // Cut 100 bytes into the log's sector 1000: 1000 whole sectors and 100 bytes kept.
        QTest::newRow("inside the log") << 32u << Card::LogOffset + 512100 << 2;
    }

    void cardEnds()
    {
        QFETCH(quint32, tableSector);
        QFETCH(qint64, cardBytes);
        QFETCH(int, filesFound);
        // The files lie before the log area; the table and its blocks before or after it.
        CardImage card(tableSector);
        card.setDirectory(1, 1000000000);
        card.addFile(1, 0, 1000000000, 3000, 10);
        card.setDirectory(2, 1000003600);
        card.addFile(2, 0, 1000003600, 3100, 2);
        card.fillLog();
        card.setLength(cardBytes);
        // What a block number that wrapped round at 2^32 would find: sector 8.
        QByteArray decoy(int(Card::BlockSize), '\0');
        encodeFileRecord(decoy.data(), 0, FileRecord{1000003600, 40000, 40009, 0});
        card.put(Card::sectorOffset(8), decoy);
        QVERIFY(open(card, cardBytes > 0)); // no checksum of 2 TiB

        QCOMPARE(m_fs.listRoot().size(), filesFound > 0 ? 3 : 0);
        QCOMPARE(m_fs.list(QStringLiteral("20110914_0246")).size(), filesFound > 1 ? 1 : 0);
        const auto found = [&](int n) { return filesFound >= n ? ExportResult::Complete : ExportResult::Failed; };
        exportAndCheck(File, found(1), CardImage::patternRun(3000, 10), 10 * 512);
        exportAndCheck(File2, found(2), CardImage::patternRun(3100, 2), 2 * 512);
        // The log lies at a fixed place, whatever the table: whole unless the card ends in it.
        const qint64 logKept = cardBytes > 0 ? qMin(LogBytes, cardBytes - Card::LogOffset) : LogBytes;
        exportAndCheck(QStringLiteral("/log"), logKept < LogBytes ? ExportResult::Incomplete : ExportResult::Complete,
                       CardImage::patternRun(Card::LogOffset / 512, Card::LogExportSectors).left(int(logKept)), LogBytes);
    }
};

QTEST_GUILESS_MAIN(TestHostile)
#include "tst_hostile.moc"
