// A full card: every one of the 255 directory slots used, 128 files in each, and
// `vexa-card export --all` of the whole card. Seconds in a plain build, minutes under the
// sanitizers, whose run leaves it out (label "soak"); scripts/soak runs it alone.
#include "cardimage.h"
#include "filesystem.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

constexpr quint32 FirstDirectory = 1000000000; // 2011-09-14 01:46:40
constexpr quint32 FirstDataSector = 30000;     // behind the table run at sector 20480
// Each file starts on a multiple of eight sectors and takes one to four, so the image
// has holes between files, as a card with deleted recordings has.
constexpr quint32 SectorsPerFileSlot = 8;

struct Layout
{
    quint32 startTime;
    quint32 firstSector;
    quint32 sectors;
};

Layout layout(int dirSlot, int recordSlot)
{
    const quint32 n = quint32((dirSlot - 1) * Card::RecordsPerBlock + recordSlot);
    return {FirstDirectory + quint32(dirSlot) * 3600 + quint32(recordSlot) * 10,
            FirstDataSector + n * SectorsPerFileSlot, 1 + n % 4};
}

QByteArray contentsOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestSoak : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void exportFullCard();
};

void TestSoak::exportFullCard()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    CardImage card;
    for (int slot = 1; slot <= Card::LastDirectorySlot; ++slot) {
        card.setDirectory(slot, FirstDirectory + quint32(slot) * 3600);
        for (int k = 0; k < Card::RecordsPerBlock; ++k) {
            const Layout file = layout(slot, k);
            card.addFile(slot, k, file.startTime, file.firstSector, file.sectors);
        }
    }
    card.fillLog();
    const QString image = dir.filePath(QStringLiteral("full.img"));
    QVERIFY(card.write(image));
    const QByteArray checksum = fileChecksum(image);
    const QString out = dir.filePath(QStringLiteral("out"));
    QVERIFY(QDir().mkpath(out));

    QElapsedTimer clock;
    clock.start();
    QProcess process;
    process.start(QStringLiteral(VEXA_CARD_PATH),
                  {QStringLiteral("export"), QStringLiteral("--all"), QStringLiteral("--quiet"),
                   QStringLiteral("--output"), out, image});
    process.closeWriteChannel();
    QVERIFY(process.waitForFinished(-1));
    qInfo("vexa-card export --all of 32,640 files took %.1f s", clock.elapsed() / 1000.0);
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.readAllStandardError(), QByteArray());
    QCOMPARE(process.readAllStandardOutput(), QByteArray());
    QCOMPARE(process.exitCode(), 0);

    // Every file byte for byte, found under the name the listing gives it.
    Filesystem fs;
    QVERIFY(fs.open(image));
    int compared = 0;
    for (const EntryInfo &directory : fs.listRoot()) {
        if (!directory.isDirectory)
            continue;
        const QList<EntryInfo> files = fs.listDirectory(directory.index);
        QCOMPARE(files.size(), Card::RecordsPerBlock);
        for (int k = 0; k < files.size(); ++k) {
            const Layout file = layout(directory.index, k);
            const QByteArray exported = contentsOf(out + QLatin1Char('/') + files[k].name + QStringLiteral(".mseed"));
            if (exported != CardImage::patternRun(file.firstSector, file.sectors))
                QFAIL(qPrintable(QStringLiteral("/%1/%2 differs from the card").arg(directory.name, files[k].name)));
            ++compared;
        }
    }
    QCOMPARE(compared, 255 * 128);
    QVERIFY(contentsOf(out + QStringLiteral("/log"))
            == CardImage::patternRun(Card::LogOffset / Card::SectorSize, Card::LogExportSectors));
    // Nothing else was written, and the card is as it was.
    QCOMPARE(QDir(out).entryList(QDir::Files).size(), compared + 1);
    QCOMPARE(fileChecksum(image), checksum);
}

QTEST_GUILESS_MAIN(TestSoak)
#include "tst_soak.moc"
