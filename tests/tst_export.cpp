#include "cardimage.h"
#include "copyjob.h"
#include "copysink.h"
#include "filesystem.h"

#include <QDir>
#include <QProcess>
#include <QScopeGuard>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <cerrno>
#include <functional>
#include <csignal>
#include <cstring>
#include <thread>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace {

// A card image with sectors that cannot be read, as a worn card has: every read that
// touches the bad range fails, as the system reports an I/O error.
class FaultyCard : public CardDevice
{
public:
    FaultyCard(const QString &path, quint64 firstBad, quint64 lastBad)
        : CardDevice(path), m_firstBad(firstBad), m_lastBad(lastBad)
    {
    }

    SectorRead readSectors(quint64 sector, qint64 count, char *data) override
    {
        if (sector <= m_lastBad && sector + quint64(count) > m_firstBad) {
            if (onFailure)
                onFailure(++failures);
            return SectorRead{SectorRead::Unreadable, 0, EIO};
        }
        return CardDevice::readSectors(sector, count, data);
    }

    int failures = 0;
    std::function<void(int)> onFailure;

private:
    quint64 m_firstBad;
    quint64 m_lastBad;
};

// A card taken out, or failing every read, from sector `from` on.
class PulledCard : public CardDevice
{
public:
    PulledCard(const QString &path, quint64 from, int error) : CardDevice(path), m_from(from), m_error(error) {}

    SectorRead readSectors(quint64 sector, qint64 count, char *data) override
    {
        if (sector + quint64(count) <= m_from)
            return CardDevice::readSectors(sector, count, data);
        ++failures;
        return SectorRead{SectorRead::Unreadable, 0, m_error};
    }

    std::atomic<int> failures{0};

private:
    quint64 m_from;
    int m_error;
};

// A consumer that holds the copy after its first chunk until it is let go on.
class HeldSink : public CopySink
{
public:
    Status begin(const CopySource &) override { return Status(); }
    Status consume(const SectorChunk &) override
    {
        if (++chunks == 1) {
            firstChunk.release();
            goOn.acquire();
        }
        return Status();
    }
    Status finish(CopyEnd) override { return Status(); }

    QSemaphore firstChunk, goOn;
    std::atomic<int> chunks{0};
};

// A consumer beside the destination: keeps what it is handed, or refuses to begin.
class CollectingSink : public CopySink
{
public:
    Status begin(const CopySource &source) override
    {
        outputName = source.outputName;
        return refuse ? Status::refused(refusal()) : Status();
    }
    Status consume(const SectorChunk &chunk) override
    {
        if (chunk.firstSector * 512 != bytes.size())
            return Status::refused(refusal()); // out of order
        bytes.append(chunk.data, int(chunk.length));
        unreadable += chunk.unreadable;
        return Status();
    }
    Status finish(CopyEnd how) override
    {
        ends.append(how);
        return Status();
    }
    static QString refusal() { return QStringLiteral("refused by the sink"); }

    bool refuse = false;
    QString outputName;
    QByteArray bytes;
    QVector<qint64> unreadable;
    QList<CopyEnd> ends;
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
    void copies_data();
    void copies();
    void beyondFourGiB();
    void destinationNotWritable();
    void diskFull();
    void unreadableSectors();
    void sameMinuteDirectories();
    void lookupFailures_data();
    void lookupFailures();
    void stop();
    void refusedDestinations_data();
    void refusedDestinations();
    void concurrentWriters();
    void cardStopsAnswering_data();
    void cardStopsAnswering();
    void loopDevice();
    void sinks();
    void stopInRetry();

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

void TestExport::copies_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("destination");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("sectors");
    QTest::newRow("file") << "/20110914_0146/20110914_014650" << "20110914_014650.mseed" << CardImage::patternRun(31000, 3000) << 3000;
    QTest::newRow("one sector, listed as 0") << "/20110914_0146/20110914_014700" << "20110914_014700.mseed" << CardImage::pattern(32000) << 1;
    QTest::newRow("last one below first") << "/20110914_0146/20110914_014710" << "20110914_014710.mseed" << QByteArray() << 0;
    QTest::newRow("last ten below first") << "/20110914_0146/20110914_014720" << "20110914_014720.mseed" << QByteArray() << -9;
    QTest::newRow("log, one sector more than listed") << "/log" << "log" << CardImage::patternRun(8192, 4097) << 4097;
}

void TestExport::copies()
{
    QFETCH(QString, path);
    QFETCH(QString, destination);
    QFETCH(QByteArray, bytes);
    QFETCH(int, sectors);
    // An older, longer file of the same name is replaced.
    QFile old(m_out + QLatin1Char('/') + destination);
    QVERIFY(old.open(QIODevice::WriteOnly | QIODevice::Truncate));
    old.write(QByteArray(3 * 1024 * 1024, 'x'));
    old.close();

    QSignalSpy spy(&m_fs, &Filesystem::progress);
    const ExportResult result = m_fs.exportFile(path, m_out);
    QVERIFY2(result.isComplete(), qPrintable(result.message));
    QCOMPARE(result.destination, old.fileName());
    QVERIFY(fileContents(result.destination) == bytes);
    // n + 1 emissions for n sectors, the last (n, n); (n, n) alone when n <= 0.
    QCOMPARE(emissions(spy), sectors > 0 ? fullSequence(sectors) : (QList<QPair<int, int>>{{sectors, sectors}}));
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
#ifdef Q_OS_UNIX
    // A re-download that cannot be written: the system's reason, and the earlier copy as
    // it was. A file size limit makes writes fail as a full disk does, with EFBIG.
    const QString folder = m_dir.filePath(QStringLiteral("full"));
    QVERIFY(QDir().mkpath(folder));
    const QString destination = folder + QStringLiteral("/20110914_014650.mseed");
    QFile earlier(destination);
    QVERIFY(earlier.open(QIODevice::WriteOnly) && earlier.write("earlier copy") == 12);
    earlier.close();
    struct rlimit before;
    QVERIFY(::getrlimit(RLIMIT_FSIZE, &before) == 0);
    struct rlimit limit = before;
    limit.rlim_cur = 64 * 1024;
    std::signal(SIGXFSZ, SIG_IGN);
    QVERIFY(::setrlimit(RLIMIT_FSIZE, &limit) == 0);
    QSignalSpy spy(&m_fs, &Filesystem::progress);
    const ExportResult result = m_fs.exportFile(QStringLiteral("/20110914_0146/20110914_014650"), folder);
    ::setrlimit(RLIMIT_FSIZE, &before);
    QCOMPARE(result.status, ExportResult::Failed);
    QCOMPARE(result.message, QStringLiteral("cannot write %1: %2").arg(destination, QString::fromLocal8Bit(std::strerror(EFBIG))));
    QVERIFY(!spy.contains(QList<QVariant>{3000, 3000}));
    QCOMPARE(fileContents(destination), QByteArray("earlier copy"));
    QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{"20110914_014650.mseed"});
#else
    QSKIP("needs a file size limit");
#endif
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
    // Typed names are taken exactly or not at all.
    QTest::newRow("trailing text") << "/20110914_0146/20110914_014640extra";
    QTest::newRow("sign in a field") << "/20110914_0146/20110914_0146+0";
    QTest::newRow("newline") << "/20110914_0146/20110914_014640\n";
    QTest::newRow("extra segment") << "/20110914_0146/20110914_014640/x";
    QTest::newRow("impossible fields") << "/20119999_9999/20119999_999999";
    QTest::newRow("second 60") << "/20110914_0146/20110914_014560";
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
    // A stopped re-download leaves the earlier copy as it was, and no partial file.
    const QString destination = m_out + QStringLiteral("/20110914_014650.mseed");
    QFile earlier(destination);
    QVERIFY(earlier.open(QIODevice::WriteOnly | QIODevice::Truncate) && earlier.write("earlier copy") == 12);
    earlier.close();
    ExportResult result = fs.exportFile(QStringLiteral("/20110914_0146/20110914_014650"), m_out);
    QCOMPARE(result.status, ExportResult::Stopped);
    QCOMPARE(fileContents(destination), QByteArray("earlier copy"));
    QVERIFY(QDir(m_out).entryList({QStringLiteral(".*.part")}, QDir::Files | QDir::Hidden).isEmpty());
    QVERIFY(!spy.contains(QList<QVariant>{3000, 3000}));

    // The request holds for the next copy until cleared.
    result = fs.exportFile(QStringLiteral("/20110914_0146/20110914_014640"), m_out);
    QCOMPARE(result.status, ExportResult::Stopped);
    fs.clearStopRequest();
    QVERIFY(fs.exportFile(QStringLiteral("/20110914_0146/20110914_014640"), m_out).isComplete());
}

void TestExport::refusedDestinations_data()
{
    QTest::addColumn<QString>("place");  // what is at the destination
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("refusal");
    const QString file = QStringLiteral("/20110914_0146/20110914_014650");
    QTest::newRow("the card image named log") << "card" << "/log" << "it is the card itself";
    QTest::newRow("the card image named as the file") << "card" << file << "it is the card itself";
    QTest::newRow("a link to the card") << "link to card" << "/log" << "it is the card itself";
    QTest::newRow("a hard link to the card") << "hard link to card" << file << "it is the card itself";
    QTest::newRow("a planted link") << "link to other" << file << "symbolic link";
    QTest::newRow("a folder") << "folder" << file << "not a regular file";
    QTest::newRow("a file of two hard links") << "hard link to other" << file << "more than one hard link";
}

void TestExport::refusedDestinations()
{
    QFETCH(QString, place);
    QFETCH(QString, path);
    QFETCH(QString, refusal);
    QTemporaryDir dir;
    const QString name = path == QLatin1String("/log") ? QStringLiteral("log") : QStringLiteral("20110914_014650.mseed");
    const QString destination = dir.filePath(name);
    const QString card = place == QLatin1String("card") ? destination : dir.filePath(QStringLiteral("card.img"));
    const QString other = dir.filePath(QStringLiteral("other"));
    QVERIFY(QFile::copy(m_image, card));
    QFile otherFile(other);
    QVERIFY(otherFile.open(QIODevice::WriteOnly) && otherFile.write("other") == 5);
    otherFile.close();
    if (place == QLatin1String("link to card"))
        QVERIFY(QFile::link(card, destination));
    else if (place == QLatin1String("hard link to card"))
        QCOMPARE(::link(QFile::encodeName(card).constData(), QFile::encodeName(destination).constData()), 0);
    else if (place == QLatin1String("hard link to other"))
        QCOMPARE(::link(QFile::encodeName(other).constData(), QFile::encodeName(destination).constData()), 0);
    else if (place == QLatin1String("link to other"))
        QVERIFY(QFile::link(other, destination));
    else if (place == QLatin1String("folder"))
        QVERIFY(QDir().mkdir(destination));

    Filesystem fs;
    QVERIFY(fs.open(card));
    QSignalSpy spy(&fs, &Filesystem::progress);
    const ExportResult result = fs.exportFile(path, dir.path());
    QCOMPARE(result.status, ExportResult::Failed);
    QCOMPARE(result.message, QStringLiteral("cannot write %1: %2").arg(destination).arg(result.message.section(": ", 1)));
    QVERIFY2(result.message.contains(refusal), qPrintable(result.message));
    QVERIFY(spy.isEmpty());
    // The card, the link and what it points at are as they were; nothing else was left.
    QCOMPARE(fileChecksum(card), m_checksum);
    QCOMPARE(fileContents(other), QByteArray("other"));
    QCOMPARE(QFileInfo(destination).isSymLink(), place.startsWith(QLatin1String("link")));
    QVERIFY(QDir(dir.path()).entryList({QStringLiteral(".*")}, QDir::Files | QDir::Hidden).isEmpty());
}

void TestExport::concurrentWriters()
{
    // Recorders of an array start together: two cards with files of the same name,
    // exported into one folder at once. Each copy is put in place whole, never mixed.
    CardImage second = minimalCard();
    second.addFile(1, 1, 1000000010, 41000, 3000); // 20110914_014650 too, other sectors
    const QString secondImage = m_dir.filePath(QStringLiteral("second.img"));
    QVERIFY(second.write(secondImage));
    Filesystem first, other;
    QVERIFY(first.open(m_image) && other.open(secondImage));
    const QString path = QStringLiteral("/20110914_0146/20110914_014650");
    const QString destination = m_out + QStringLiteral("/20110914_014650.mseed");
    QByteArray seenMidway;
    connect(&first, &Filesystem::progress, &first, [&](int current, int) {
        if (current != 1000)
            return;
        // The second card's copy runs from start to end while the first is half done.
        QVERIFY(other.exportFile(path, m_out).isComplete());
        seenMidway = fileContents(destination);
    }, Qt::DirectConnection);
    QVERIFY(first.exportFile(path, m_out).isComplete());
    QVERIFY(seenMidway == CardImage::patternRun(41000, 3000));
    QVERIFY(fileContents(destination) == CardImage::patternRun(31000, 3000));
}

void TestExport::cardStopsAnswering_data()
{
    QTest::addColumn<int>("error");
    QTest::addColumn<int>("keptSectors");
    // Taken out: the read of the second chunk fails at once; the first chunk is kept.
    QTest::newRow("no such device") << int(ENODEV) << int(CopyJob::ChunkSectors);
    // Every read fails: the sectors before the run are kept, the run's zeros are not.
    QTest::newRow("a long run of I/O errors") << int(EIO) << 2500;
}

void TestExport::cardStopsAnswering()
{
    QFETCH(int, error);
    QFETCH(int, keptSectors);
    CardImage card = minimalCard();
    card.addFile(1, 1, 1000000010, 40000, 3000);
    card.addFile(1, 2, 1000000020, 44000, 4);
    card.addFile(1, 3, 1000000030, 30100, 5000);
    const QString image = m_dir.filePath(QStringLiteral("pulled.img"));
    QVERIFY(card.write(image));
    auto device = std::make_unique<PulledCard>(image, 42500, error);
    PulledCard *pulled = device.get();
    Filesystem fs;
    QVERIFY(fs.openDevice(std::move(device)));
    QTemporaryDir out;
    // The window's view of a long file, held after its first chunk while the batch runs
    // into the card's end: it reads on no further once it goes on.
    HeldSink held;
    ExportResult viewed;
    std::thread viewer([&] { viewed = fs.viewFile(QStringLiteral("/20110914_0146/20110914_014710"), {&held}); });
    held.firstChunk.acquire();
    const ExportResult cut = fs.exportFile(QStringLiteral("/20110914_0146/20110914_014650"), out.path());
    held.goOn.release();
    viewer.join();
    QVERIFY2(viewed.cardStopped && !viewed.isComplete() && held.chunks == 1, qPrintable(viewed.message));
    QCOMPARE(cut.status, ExportResult::Incomplete);
    QVERIFY2(cut.cardStopped && cut.message.contains(QStringLiteral("stopped answering")), qPrintable(cut.message));
    QVERIFY(fileContents(cut.destination) == CardImage::patternRun(40000, keptSectors));
    // A bounded number of failing reads: not one per sector of the file.
    QVERIFY2(pulled->failures <= CopyJob::StoppedRun + 1, qPrintable(QString::number(pulled->failures)));

    // The next file of the batch: no file, not one of zeros, and no further read.
    const int failures = pulled->failures;
    const ExportResult next = fs.exportFile(QStringLiteral("/20110914_0146/20110914_014700"), out.path());
    QCOMPARE(next.status, ExportResult::Failed);
    QVERIFY(next.cardStopped && pulled->failures == failures);
    QCOMPARE(QDir(out.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"20110914_014650.mseed"});
}

void TestExport::loopDevice()
{
    // The card as a real block device, read past the page cache with aligned buffers.
    // Needs losetup and the right to use it (root, as a rule); skipped elsewhere.
    QProcess attach;
    attach.start(QStringLiteral("losetup"), {QStringLiteral("--find"), QStringLiteral("--show"), QStringLiteral("--read-only"), m_image});
    if (!attach.waitForFinished(10000) || attach.exitStatus() != QProcess::NormalExit || attach.exitCode() != 0)
        QSKIP("no loop device here (losetup missing or not permitted)");
    const QString device = QString::fromLocal8Bit(attach.readAllStandardOutput()).trimmed();
    const auto detach = qScopeGuard([&] { QProcess::execute(QStringLiteral("losetup"), {QStringLiteral("-d"), device}); });
    CardDevice raw(device);
    const Status opened = raw.open();
    QVERIFY2(opened, qPrintable(opened.message));
    QVERIFY(raw.isUnbuffered() && raw.size() == QFileInfo(m_image).size());
    QByteArray sectors(3 * 512 + 1, '\0'); // one byte in: not aligned for the device
    QCOMPARE(raw.readSectors(31000, 3, sectors.data() + 1).outcome, SectorRead::Read);
    QVERIFY(sectors.mid(1) == CardImage::patternRun(31000, 3));
    Filesystem fs;
    QVERIFY2(fs.open(device), qPrintable(fs.errorString()));
    QCOMPARE(fs.listDirectory(1).size(), 5);
    QTemporaryDir out;
    ExportResult result = fs.exportFile(QStringLiteral("/20110914_0146/20110914_014650"), out.path());
    QVERIFY2(result.isComplete(), qPrintable(result.message));
    QVERIFY(fileContents(result.destination) == CardImage::patternRun(31000, 3000));
    // A link to the device in the folder is the card itself.
    QVERIFY(QFile::link(device, out.filePath(QStringLiteral("log"))));
    result = fs.exportLog(out.path());
    QCOMPARE(result.status, ExportResult::Failed);
    QVERIFY2(result.message.contains(QStringLiteral("it is the card itself")), qPrintable(result.message));
}

void TestExport::sinks()
{
    // Caller sinks see the chunks of the one read, in order, as the file gets them.
    Filesystem fs;
    QVERIFY(fs.openDevice(std::make_unique<FaultyCard>(m_image, 31003, 31004)));
    const QString path = QStringLiteral("/20110914_0146/20110914_014650");
    CollectingSink sink;
    ExportResult result = fs.exportFile(path, m_out, {&sink});
    QCOMPARE(result.status, ExportResult::Incomplete);
    QCOMPARE(sink.outputName, QStringLiteral("20110914_014650.mseed"));
    QVERIFY(sink.bytes == fileContents(result.destination) && sink.bytes.size() == 3000 * 512);
    QCOMPARE(sink.unreadable, (QVector<qint64>{3, 4}));
    QCOMPARE(sink.ends, QList<CopyEnd>{CopyEnd::Incomplete});

    // A scan: the same chunks, and no file anywhere.
    CollectingSink scanned;
    const QStringList before = QDir(m_out).entryList(QDir::Files | QDir::Hidden);
    result = fs.scanFile(path, {&scanned});
    QVERIFY(result.status == ExportResult::Incomplete && result.destination.isEmpty());
    QVERIFY(scanned.bytes == sink.bytes);
    QCOMPARE(QDir(m_out).entryList(QDir::Files | QDir::Hidden), before);

    // A sink that refuses: nothing is read or written, the earlier file stays.
    CollectingSink refusing;
    refusing.refuse = true;
    const QByteArray earlier = fileContents(m_out + QStringLiteral("/20110914_014650.mseed"));
    result = fs.exportFile(path, m_out, {&refusing});
    QVERIFY(result.status == ExportResult::Failed && result.message == CollectingSink::refusal());
    QVERIFY(refusing.bytes.isEmpty());
    QVERIFY(fileContents(m_out + QStringLiteral("/20110914_014650.mseed")) == earlier);
}

void TestExport::stopInRetry()
{
    // A worn stretch of 40 sectors, each read failing (slowly, on a real card): a stop
    // asked during the retry takes effect before the next sector, not after the chunk.
    auto device = std::make_unique<FaultyCard>(m_image, 31100, 31139);
    FaultyCard *card = device.get();
    Filesystem fs;
    QVERIFY(fs.openDevice(std::move(device)));
    card->onFailure = [&fs](int failures) {
        if (failures == 5) // the chunk's read, then four sectors
            fs.requestStop();
    };
    const ExportResult result = fs.exportFile(QStringLiteral("/20110914_0146/20110914_014650"), m_out);
    QCOMPARE(result.status, ExportResult::Stopped);
    QCOMPARE(card->failures, 5);
}

QTEST_GUILESS_MAIN(TestExport)
#include "tst_export.moc"
