#include "cardimage.h"
#include "filesystem.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

// A card image with sectors that cannot be read, as a worn card has: every read that
// touches the bad range fails, as the system reports an I/O error.
class FaultyCard : public QFile
{
public:
    FaultyCard(const QString &path, quint64 firstBad, quint64 lastBad)
        : QFile(path), m_badBegin(Card::sectorOffset(firstBad)), m_badEnd(Card::sectorOffset(lastBad + 1))
    {
    }

    bool seek(qint64 offset) override
    {
        m_position = offset;
        return QFile::seek(offset);
    }

protected:
    qint64 readData(char *data, qint64 length) override
    {
        if (m_position >= m_badBegin && m_position < m_badEnd)
            return -1;
        if (m_position < m_badBegin)
            length = qMin(length, m_badBegin - m_position);
        const qint64 got = QFile::readData(data, length);
        if (got > 0)
            m_position += got;
        return got;
    }

private:
    qint64 m_badBegin;
    qint64 m_badEnd;
    qint64 m_position = 0;
};

QList<QPair<int, int>> emissions(const QSignalSpy &spy)
{
    QList<QPair<int, int>> list;
    for (const QList<QVariant> &args : spy)
        list.append({args.at(0).toInt(), args.at(1).toInt()});
    return list;
}

QList<QPair<int, int>> fullSequence(int n)
{
    QList<QPair<int, int>> list;
    for (int i = 0; i < n; ++i)
        list.append({i, n});
    list.append({n, n});
    return list;
}

} // namespace

class TestExport : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void fileByteExact();
    void degenerateRecords();
    void log();
    void beyondFourGiB();
    void replacesExistingDestination();
    void destinationNotWritable();
    void diskFull();
    void cardEndsInsideFile();
    void unreadableSectors();
    void sameMinuteDirectories();
    void lookupFailures_data();
    void lookupFailures();
    void stop();

private:
    Filesystem m_fs;
    QTemporaryDir m_dir;
    QString m_image;
    QByteArray m_checksum;
    QString m_out;
};

void TestExport::initTestCase()
{
    QVERIFY(m_dir.isValid());
    CardImage card = minimalCard();
    card.addFile(1, 1, 1000000010, 31000, 3000);             // 20110914_014650, 3000 sectors
    card.setRecord(1, 2, FileRecord{1000000020, 32000, 32000, 0}); // one sector, listed as 0
    card.put(Card::sectorOffset(32000), CardImage::pattern(32000));
    card.setRecord(1, 3, FileRecord{1000000030, 33000, 32999, 0}); // last one below first
    card.setRecord(1, 4, FileRecord{1000000040, 33000, 32990, 0}); // ten below
    card.fillLog();
    m_image = m_dir.filePath(QStringLiteral("card.img"));
    QVERIFY(card.write(m_image));
    m_checksum = fileChecksum(m_image);
    QVERIFY(m_fs.open(m_image));
    m_out = m_dir.filePath(QStringLiteral("out"));
    QVERIFY(QDir().mkpath(m_out));
}

void TestExport::cleanupTestCase()
{
    // Nothing the reader did may have changed the card.
    QCOMPARE(fileChecksum(m_image), m_checksum);
}

void TestExport::fileByteExact()
{
    QSignalSpy spy(&m_fs, &Filesystem::progress);
    ExportResult result = m_fs.exportFile(QStringLiteral("/20110914_0146/20110914_014650"), m_out);
    QVERIFY2(result.isComplete(), qPrintable(result.message));
    QCOMPARE(result.destination, m_out + QStringLiteral("/20110914_014650.mseed"));
    QCOMPARE(fileContents(result.destination), CardImage::patternRun(31000, 3000));
    QCOMPARE(result.bytesWritten, 3000 * 512);
    QCOMPARE(emissions(spy), fullSequence(3000));

    spy.clear();
    result = m_fs.exportFile(QStringLiteral("/20110914_0146/20110914_014640"), m_out);
    QVERIFY(result.isComplete());
    QCOMPARE(fileContents(result.destination), CardImage::patternRun(30000, 10));
    QCOMPARE(emissions(spy), fullSequence(10));
}

void TestExport::degenerateRecords()
{
    // One sector: listed as 0 bytes, copied as 512.
    QSignalSpy spy(&m_fs, &Filesystem::progress);
    ExportResult result = m_fs.exportFile(QStringLiteral("/20110914_0146/20110914_014700"), m_out);
    QVERIFY(result.isComplete());
    QCOMPARE(fileContents(result.destination), CardImage::pattern(32000));
    QCOMPARE(emissions(spy), fullSequence(1));

    // Last sector below the first: an empty file and the lone final emission (n, n).
    const QList<QPair<QString, int>> cases{{QStringLiteral("20110914_014710"), 0},
                                           {QStringLiteral("20110914_014720"), -9}};
    for (const auto &c : cases) {
        spy.clear();
        result = m_fs.exportFile(QStringLiteral("/20110914_0146/") + c.first, m_out);
        QVERIFY(result.isComplete());
        QVERIFY(QFile::exists(result.destination));
        QCOMPARE(QFileInfo(result.destination).size(), 0);
        QCOMPARE(emissions(spy), (QList<QPair<int, int>>{{c.second, c.second}}));
    }
}

void TestExport::log()
{
    QSignalSpy spy(&m_fs, &Filesystem::progress);
    const ExportResult result = m_fs.exportFile(QStringLiteral("/log"), m_out);
    QVERIFY2(result.isComplete(), qPrintable(result.message));
    QCOMPARE(result.destination, m_out + QStringLiteral("/log"));
    const QByteArray log = fileContents(result.destination);
    QCOMPARE(log.size(), 2097664);
    QVERIFY(log == CardImage::patternRun(8192, 4097));
    QCOMPARE(spy.size(), 4098);
    QCOMPARE(emissions(spy), fullSequence(4097));
}

void TestExport::beyondFourGiB()
{
    CardImage card(9000000);
    card.setDirectory(1, 1000000000);
    card.addFile(1, 0, 1000000000, 0xF0000000u, 5);
    const QString path = m_dir.filePath(QStringLiteral("large.img"));
    QVERIFY(card.write(path));
    Filesystem fs;
    QVERIFY(fs.open(path));
    const ExportResult result = fs.exportFile(QStringLiteral("/20110914_0146/20110914_014640"), m_out);
    QVERIFY(result.isComplete());
    QCOMPARE(fileContents(result.destination), CardImage::patternRun(0xF0000000u, 5));
}

void TestExport::replacesExistingDestination()
{
    const QString destination = m_out + QStringLiteral("/20110914_014640.mseed");
    QFile old(destination);
    QVERIFY(old.open(QIODevice::WriteOnly | QIODevice::Truncate));
    old.write(QByteArray(100000, 'x'));
    old.close();
    QVERIFY(m_fs.exportFile(QStringLiteral("/20110914_0146/20110914_014640"), m_out).isComplete());
    QCOMPARE(fileContents(destination), CardImage::patternRun(30000, 10));
}

void TestExport::destinationNotWritable()
{
    QSignalSpy spy(&m_fs, &Filesystem::progress);
    const QString missing = m_dir.filePath(QStringLiteral("no/such/folder"));
    ExportResult result = m_fs.exportFile(QStringLiteral("/20110914_0146/20110914_014640"), missing);
    QCOMPARE(result.status, ExportResult::Failed);
    QVERIFY(result.message.contains(missing + QStringLiteral("/20110914_014640.mseed")));
    QVERIFY(spy.isEmpty()); // no pretended copy

    result = m_fs.exportLog(missing);
    QCOMPARE(result.status, ExportResult::Failed);
    QVERIFY(result.message.contains(missing + QStringLiteral("/log")));
    QVERIFY(spy.isEmpty());
}

void TestExport::diskFull()
{
#ifdef Q_OS_LINUX
    // The destination name leads to a device that answers every write with "no space".
    const QString folder = m_dir.filePath(QStringLiteral("full"));
    QVERIFY(QDir().mkpath(folder));
    const QString destination = folder + QStringLiteral("/20110914_014650.mseed");
    QVERIFY(QFile::link(QStringLiteral("/dev/full"), destination));
    QSignalSpy spy(&m_fs, &Filesystem::progress);
    const ExportResult result = m_fs.exportFile(QStringLiteral("/20110914_0146/20110914_014650"), folder);
    QCOMPARE(result.status, ExportResult::Failed);
    QVERIFY2(result.message.startsWith(QStringLiteral("cannot write ") + destination), qPrintable(result.message));
    QVERIFY(!spy.contains(QList<QVariant>{3000, 3000}));
    // The half-written copy is gone (here: the link), the device itself untouched.
    QVERIFY(!QFileInfo(destination).exists() && !QFileInfo(destination).isSymLink());
    QVERIFY(QFileInfo(QStringLiteral("/dev/full")).exists());
#else
    QSKIP("needs /dev/full");
#endif
}

void TestExport::cardEndsInsideFile()
{
    // A record that claims two thousand million sectors on a card of a few megabytes:
    // the copy keeps what the card holds and stops at its end, at once.
    CardImage card(32); // the table right after the header, so the short card still has it
    card.setDirectory(1, 1000000000);
    card.setRecord(1, 0, FileRecord{1000000000, 100, 0x7FFFFFF0, 0});
    card.put(Card::sectorOffset(100), CardImage::patternRun(100, 50));
    card.setLength(Card::sectorOffset(150) + 200);
    const QString path = m_dir.filePath(QStringLiteral("short.img"));
    QVERIFY(card.write(path));
    Filesystem fs;
    QVERIFY(fs.open(path));
    QSignalSpy spy(&fs, &Filesystem::progress);
    const ExportResult result = fs.exportFile(QStringLiteral("/20110914_0146/20110914_014640"), m_out);
    QCOMPARE(result.status, ExportResult::Incomplete);
    const qint64 expected = (qint64(0x7FFFFFF0) - 100 + 1) * 512;
    QCOMPARE(result.message, QStringLiteral("the card ends after %1 of %2 bytes").arg(50 * 512 + 200).arg(expected));
    QCOMPARE(fileContents(result.destination), CardImage::patternRun(100, 50) + QByteArray(200, '\0'));
    QCOMPARE(spy.size(), 52);
    QCOMPARE(spy.last(), (QList<QVariant>{0x7FFFFFF0 - 99, 0x7FFFFFF0 - 99}));
    QCOMPARE(spy.at(50), (QList<QVariant>{50, 0x7FFFFFF0 - 99}));
}

void TestExport::unreadableSectors()
{
    // Sectors 30003 and 30004 of the 10-sector file cannot be read: they become zeros
    // and every later sector keeps its place, as "dd conv=noerror,sync" would do.
    auto device = std::make_unique<FaultyCard>(m_image, 30003, 30004);
    Filesystem fs;
    QVERIFY(fs.openDevice(std::move(device)));
    QSignalSpy spy(&fs, &Filesystem::progress);
    const ExportResult result = fs.exportFile(QStringLiteral("/20110914_0146/20110914_014640"), m_out);
    QCOMPARE(result.status, ExportResult::Incomplete);
    QCOMPARE(result.sectorsReplaced, 2);
    QVERIFY(result.message.contains(QStringLiteral("2 unreadable sectors")));
    QByteArray expected = CardImage::patternRun(30000, 10);
    expected.replace(3 * 512, 2 * 512, QByteArray(2 * 512, '\0'));
    QCOMPARE(fileContents(result.destination), expected);
    QCOMPARE(emissions(spy), fullSequence(10));
}

void TestExport::sameMinuteDirectories()
{
    // Two recordings began in the same minute; both directories carry one name.
    CardImage card;
    card.setDirectory(1, 1000000000);
    card.setDirectory(2, 1000000010);
    card.addFile(1, 0, 1000000000, 40000, 2);
    card.addFile(2, 0, 1000000010, 40010, 3);
    const QString path = m_dir.filePath(QStringLiteral("twins.img"));
    QVERIFY(card.write(path));
    Filesystem fs;
    QVERIFY(fs.open(path));
    const ExportResult result = fs.exportFile(QStringLiteral("/20110914_0146/20110914_014650"), m_out);
    QVERIFY2(result.isComplete(), qPrintable(result.message));
    QCOMPARE(fileContents(result.destination), CardImage::patternRun(40010, 3));
}

void TestExport::lookupFailures_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("no such file") << "/20110914_0146/20110914_014641";
    QTest::newRow("no such directory") << "/20200101_0000/20200101_000000";
    QTest::newRow("no file segment") << "/20110914_0146";
    QTest::newRow("malformed directory") << "/2011O914_0146/20110914_014640";
    QTest::newRow("empty") << "";
}

void TestExport::lookupFailures()
{
    QFETCH(QString, path);
    const QStringList before = QDir(m_out).entryList(QDir::Files);
    QSignalSpy spy(&m_fs, &Filesystem::progress);
    const ExportResult result = m_fs.exportFile(path, m_out);
    QCOMPARE(result.status, ExportResult::Failed);
    QVERIFY(result.message.contains(path));
    QVERIFY(spy.isEmpty());
    QCOMPARE(QDir(m_out).entryList(QDir::Files), before);
}

void TestExport::stop()
{
    Filesystem fs;
    QVERIFY(fs.open(m_image));
    // Asked to stop while sector 1000 is being copied, as a closing window does.
    connect(&fs, &Filesystem::progress, &fs, [&fs](int current, int) {
        if (current == 1000)
            fs.requestStop();
    }, Qt::DirectConnection);
    QSignalSpy spy(&fs, &Filesystem::progress);
    const QString destination = m_out + QStringLiteral("/20110914_014650.mseed");
    QFile::remove(destination);
    ExportResult result = fs.exportFile(QStringLiteral("/20110914_0146/20110914_014650"), m_out);
    QCOMPARE(result.status, ExportResult::Stopped);
    QVERIFY(!QFile::exists(destination));
    QVERIFY(!spy.contains(QList<QVariant>{3000, 3000}));

    // The request holds for the next copy until cleared.
    result = fs.exportFile(QStringLiteral("/20110914_0146/20110914_014640"), m_out);
    QCOMPARE(result.status, ExportResult::Stopped);
    fs.clearStopRequest();
    QVERIFY(fs.exportFile(QStringLiteral("/20110914_0146/20110914_014640"), m_out).isComplete());
}

QTEST_GUILESS_MAIN(TestExport)
#include "tst_export.moc"
