// A full card, 255 directories of 128 files, through `vexa-card export --all`. Seconds in a plain
// build, minutes under the sanitizers, whose run leaves it out (label "soak"); scripts/soak runs it alone.
#include "cardimage.h"
#include "filesystem.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

class TestSoak : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void exportFullCard()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        // File n (record n % 128 of slot n / 128 + 1): one to four sectors from a multiple of eight
        // behind the table at 20480, holes between files as on a card with deleted recordings.
        CardImage card;
        for (quint32 n = 0; n < 255 * 128; ++n) {
            const quint32 start = 1000000000 + (n / 128 + 1) * 3600;
            card.setDirectory(int(n / 128) + 1, start);
            card.addFile(int(n / 128) + 1, int(n % 128), start + n % 128 * 10, 30000 + n * 8, 1 + n % 4);
        }
        card.fillLog();
        const QString image = dir.filePath(QStringLiteral("full.img")), out = dir.filePath(QStringLiteral("out"));
        QVERIFY(card.write(image) && QDir().mkpath(out));
        const QByteArray checksum = fileChecksum(image);

        QElapsedTimer clock;
        clock.start();
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(QStringLiteral(VEXA_CARD_PATH), {"export", "--all", "--quiet", "--output", out, image});
        process.closeWriteChannel();
        QVERIFY(process.waitForFinished(-1));
        qInfo("vexa-card export --all of 32,640 files took %.1f s", clock.elapsed() / 1000.0);
        QCOMPARE(process.readAll(), QByteArray());
        QVERIFY(process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0);

        // Every file byte for byte, found under the name the listing gives it.
        Filesystem fs;
        QVERIFY(fs.open(image));
        quint32 n = 0;
        for (int d = 1; d <= 255; ++d) {
            const QList<EntryInfo> files = fs.listDirectory(d);
            QCOMPARE(files.size(), 128);
            for (const EntryInfo &file : files) {
                if (fileContents(out + '/' + file.name + ".mseed") != CardImage::patternRun(30000 + n * 8, 1 + n % 4))
                    QFAIL(qPrintable(file.name + " differs from the card"));
                ++n;
            }
        }
        QVERIFY(fileContents(out + "/log") == CardImage::patternRun(Card::LogOffset / Card::SectorSize, Card::LogExportSectors));
        // Nothing else was written but the manifest and the report of the record check (no records on this
        // card: every sector is another one), and the card is as it was.
        QCOMPARE(QDir(out).entryList(QDir::Files).size(), int(n) + 4);
        const QJsonObject report = QJsonDocument::fromJson(fileContents(out + "/quality.json")).object();
        QCOMPARE(report["files"].toArray().size(), int(n));
        QCOMPARE(report["files"].toArray().at(1)["otherSectors"].toInt(), 2);
        QCOMPARE(fileChecksum(image), checksum);
    }
};

QTEST_GUILESS_MAIN(TestSoak)
#include "tst_soak.moc"
