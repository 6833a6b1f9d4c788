// The copy pipeline's parts: the stop token a job shares with its copies, the background
// sink's parcels of small files, the batch's one read-ahead thread, and the one count of
// a batch that the window and the command line both report.
#include "archiveexport.h"
#include "backgroundsink.h"
#include "cardimage.h"
#include "copyjob.h"
#include "stoptoken.h"

#include <QSemaphore>
#include <QTemporaryDir>
#include <QTest>

#include <set>
#include <thread>
#include <unistd.h>

namespace {

// Keeps every call as a line; may hold its first call until released.
class RecordingSink : public CopySink
{
public:
    Status begin(const CopySource &source) override
    {
        if (hold && calls.isEmpty()) {
            entered.release();
            release.acquire();
        }
        calls.append(QStringLiteral("b ") + source.cardPath);
        return Status();
    }
    Status consume(const SectorChunk &chunk) override
    {
        calls.append(QStringLiteral("c %1").arg(chunk.length));
        return Status();
    }
    Status finish(CopyEnd end) override
    {
        calls.append(QStringLiteral("f %1").arg(int(end)));
        return Status();
    }
    bool hold = false;
    QSemaphore entered, release;
    QStringList calls;
};

// Names the threads that read the card (their kernel ids, never reused at once).
class WatchedCard : public CardDevice
{
public:
    using CardDevice::CardDevice;
    SectorRead readSectors(quint64 sector, qint64 count, char *data) override
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            readers.insert(gettid());
        }
        return CardDevice::readSectors(sector, count, data);
    }
    std::mutex mutex;
    std::set<pid_t> readers;
};

} // namespace

class TestPipeline : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void stopToken_data()
    {
        QTest::addColumn<QString>("asked"); // which token is asked to stop, then which cleared
        QTest::addColumn<bool>("job");
        QTest::addColumn<bool>("copy");
        QTest::addColumn<bool>("sibling");
        QTest::newRow("the job") << "job" << true << true << true;
        QTest::newRow("one copy") << "copy" << false << true << false;
        QTest::newRow("the job, then cleared") << "job clear-job" << false << false << false;
        QTest::newRow("a copy, the job cleared") << "copy clear-job" << false << true << false;
    }
    void stopToken()
    {
        QFETCH(QString, asked);
        QFETCH(bool, job);
        QFETCH(bool, copy);
        QFETCH(bool, sibling);
        const StopToken jobToken;
        const StopToken shared = jobToken; // what a signal handler or a worker holds
        const StopToken copyToken = jobToken.child();
        const StopToken siblingToken = jobToken.child();
        for (const QString &step : asked.split(' ')) {
            if (step == "job")
                shared.requestStop();
            else if (step == "copy")
                copyToken.requestStop();
            else
                jobToken.clear();
        }
        QCOMPARE(jobToken.stopRequested(), job);
        QCOMPARE(copyToken.stopRequested(), copy);
        QCOMPARE(siblingToken.stopRequested(), sibling);
    }

    void smallFilesInParcels()
    {
        // The inner sink is busy with the first file; the copy goes on gathering the next
        // hundreds of small files rather than waiting for a handover each.
        RecordingSink inner;
        inner.hold = true;
        constexpr int Files = 300;
        const QByteArray sectors(8 * 512, 'x');
        {
            BackgroundSink background(inner);
            std::atomic<bool> gathered{false};
            std::thread copy([&] {
                for (int i = 0; i < Files; ++i) {
                    background.begin(CopySource{QStringLiteral("/d/%1").arg(i), QString(), quint64(i), 8});
                    background.consume(SectorChunk{sectors.constData(), sectors.size(), 0, {}});
                    background.finish(CopyEnd::Complete);
                }
                gathered = true;
            });
            QVERIFY(inner.entered.tryAcquire(1, 10000));
            const bool without = QTest::qWaitFor([&] { return gathered.load(); }, 3000);
            inner.release.release();
            copy.join();
            QVERIFY2(without, "the copy waited for the busy sink");
            background.drain();
        }
        QCOMPARE(inner.calls.size(), 3 * Files);
        for (int i = 0; i < Files; ++i)
            QCOMPARE(inner.calls.mid(3 * i, 3), (QStringList{QStringLiteral("b /d/%1").arg(i), "c 4096", "f 0"}));
    }

    void oneReaderForTheBatch()
    {
        // Three files of three chunks each: every read of the batch on the one read-ahead
        // thread, never on a thread started for the file.
        QTemporaryDir dir;
        CardImage image;
        image.setDirectory(1, 1000000000);
        for (int i = 0; i < 3; ++i)
            image.addFile(1, i, 1000000000 + 10 * i, 30000 + 7000 * i, 3 * CopyJob::ChunkSectors);
        const QString path = dir.filePath("card.img");
        QVERIFY(image.write(path));
        auto device = std::make_unique<WatchedCard>(path);
        WatchedCard *card = device.get();
        Filesystem fs;
        QVERIFY(fs.openDevice(std::move(device)));
        const QList<EntryInfo> files = fs.listFiles();
        QCOMPARE(files.size(), 4); // and the log
        {
            std::lock_guard<std::mutex> lock(card->mutex);
            card->readers.clear();
        }
        RecordingSink sink;
        for (int i = 0; i < 3; ++i)
            QCOMPARE(fs.scanEntry(files.at(i), {&sink}).status, ExportResult::Complete);
        QCOMPARE(card->readers.size(), size_t(1));
        QVERIFY(*card->readers.begin() != gettid());
    }

    void batchCount_data()
    {
        QTest::addColumn<QString>("files"); // one letter a file: Complete, Incomplete, Failed, Stopped,
                                           // X the card stopped answering in it, n not begun
        QTest::addColumn<QList<int>>("count"); // total, ended, complete, not complete, not begun
        QTest::newRow("all complete") << "CCC" << QList<int>{3, 3, 3, 0, 0};
        QTest::newRow("failures go on") << "CIFC" << QList<int>{4, 4, 2, 2, 0};
        QTest::newRow("stopped") << "CSnn" << QList<int>{4, 1, 1, 1, 2};
        QTest::newRow("card stopped") << "CCXn" << QList<int>{4, 2, 2, 1, 1};
    }
    void batchCount()
    {
        QFETCH(QString, files);
        QFETCH(QList<int>, count);
        ExportSummary summary;
        for (const QChar c : files) {
            ExportFileOutcome file;
            file.notCopied = c == 'n';
            file.copy.cardStopped = c == 'X';
            file.copy.status = c == 'C' ? CopyEnd::Complete : c == 'I' ? CopyEnd::Incomplete
                             : c == 'S' ? CopyEnd::Stopped : CopyEnd::Failed;
            summary.files.append(file);
        }
        const BatchCount counted = summary.count();
        QCOMPARE((QList<int>{counted.total, counted.ended, counted.complete, counted.notComplete, counted.notBegun}), count);
    }
};

QTEST_GUILESS_MAIN(TestPipeline)
#include "tst_pipeline.moc"
