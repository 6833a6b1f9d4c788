// vexa-card sample: the image it writes is a card the reader understands, and it never
// replaces what it should not.
#include "cardimage.h"
#include "filesystem.h"
#include "samplecard.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

bool isOneErrorLine(const QByteArray &err)
{
    return err.startsWith("vexa-card: ") && err.endsWith('\n') && err.count('\n') == 1;
}

} // namespace

class TestSample : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void writesReadableCard();
    void refusesExistingFile();
    void refusesNonFiles_data();
    void refusesNonFiles();
    void wrongCommandLine();
};

void TestSample::writesReadableCard()
{
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("demo.img"));
    const CardRun run = runVexaCard({QStringLiteral("sample"), image});
    QCOMPARE(run.status, 0);
    QCOMPARE(run.out, QByteArray());
    QCOMPARE(run.err, QByteArray());

    Filesystem card;
    QVERIFY2(card.open(image), qPrintable(card.errorString()));
    QStringList rootNames;
    for (const EntryInfo &entry : card.listRoot())
        rootNames << entry.name;
    // Names on the recorder's clock: each directory is named for its first file.
    QCOMPARE(rootNames, (QStringList{"20230314_0926", "20230314_1302", "20230314_2358", "log"}));

    const QList<QStringList> fileNames{
        {"20230314_092607", "20230314_092807", "20230314_093307"},
        {"20230314_130241", "20230314_130601", "20230314_130921", "20230314_131006"},
        {"20230314_235830", "20230315_000000"},
    };
    const QList<SampleCard::Directory> directories = SampleCard::directories();
    QCOMPARE(directories.size(), fileNames.size());
    for (int d = 0; d < fileNames.size(); ++d) {
        const QList<EntryInfo> files = card.listDirectory(d + 1);
        QCOMPARE(files.size(), fileNames.at(d).size());
        for (int f = 0; f < files.size(); ++f) {
            QCOMPARE(files.at(f).name, fileNames.at(d).at(f));
            // The file's sectors hold exactly its records: none cut off, none overlapping.
            const QString path = QLatin1Char('/') + rootNames.at(d) + QLatin1Char('/') + files.at(f).name;
            QCOMPARE(card.readFile(path), SampleCard::fileData(directories.at(d).files.at(f)));
        }
    }

    // The log area opens with readable lines, and zeros (holes) follow them.
    QFile file(image);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.seek(Card::LogOffset));
    const QByteArray log = file.read(Card::LogExportSectors * Card::SectorSize);
    QCOMPARE(log.size(), Card::LogExportSectors * Card::SectorSize);
    const QByteArray text = log.left(log.indexOf('\0'));
    QVERIFY(text.contains("recording started"));
    for (char c : text)
        QVERIFY2(c == '\n' || (c >= ' ' && c < 127), "the log is printable ASCII");
    QCOMPARE(log.mid(text.size()).count('\0'), log.size() - text.size());

    // Sparse: the recordings and the text take a few hundred KiB of a 12 MiB image.
    struct stat info;
    QCOMPARE(::stat(QFile::encodeName(image).constData(), &info), 0);
    QVERIFY2(qint64(info.st_blocks) * 512 < 2 * 1024 * 1024,
             qPrintable(QStringLiteral("%1 bytes on disk").arg(qint64(info.st_blocks) * 512)));
}

void TestSample::refusesExistingFile()
{
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("taken.img"));
    QFile file(image);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("someone's notes\n");
    file.close();

    const CardRun refused = runVexaCard({QStringLiteral("sample"), image});
    QCOMPARE(refused.status, 1);
    QVERIFY2(isOneErrorLine(refused.err), refused.err.constData());
    QVERIFY(refused.err.contains("--force"));
    QCOMPARE(fileContents(image), QByteArray("someone's notes\n"));

    const CardRun forced = runVexaCard({QStringLiteral("sample"), QStringLiteral("--force"), image});
    QCOMPARE(forced.status, 0);
    Filesystem card;
    QVERIFY2(card.open(image), qPrintable(card.errorString()));
    QCOMPARE(card.listRoot().size(), 4);
}

void TestSample::refusesNonFiles_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("force");
    QTest::newRow("character device") << "device" << false;
    QTest::newRow("character device, --force") << "device" << true;
    QTest::newRow("link to a device, --force") << "link" << true;
    QTest::newRow("directory, --force") << "directory" << true;
}

void TestSample::refusesNonFiles()
{
    QFETCH(QString, target);
    QFETCH(bool, force);
    QTemporaryDir dir;
    // A device node of the test's own, like /dev/null (1, 3): a faulty run as root could
    // delete or replace the device it is given, and /dev/null serves the whole machine.
    // Without root, /dev/null itself is safe from that.
    QString device = QStringLiteral("/dev/null");
    if (::geteuid() == 0) {
        device = dir.filePath(QStringLiteral("null"));
        if (::mknod(QFile::encodeName(device).constData(), S_IFCHR | 0666, makedev(1, 3)) != 0)
            QSKIP("cannot make a device node here");
    }
    QString path = device;
    if (target == QLatin1String("link")) {
        path = dir.filePath(QStringLiteral("card"));
        QVERIFY(QFile::link(device, path));
    } else if (target == QLatin1String("directory")) {
        path = dir.filePath(QStringLiteral("folder"));
        QVERIFY(QDir().mkdir(path));
    }

    QStringList arguments{QStringLiteral("sample")};
    if (force)
        arguments << QStringLiteral("--force");
    const CardRun run = runVexaCard(arguments << path);
    QCOMPARE(run.status, 1);
    QVERIFY2(isOneErrorLine(run.err), run.err.constData());
    // Everything is where and what it was.
    struct stat info;
    QCOMPARE(::stat(QFile::encodeName(device).constData(), &info), 0);
    QVERIFY(S_ISCHR(info.st_mode));
    QVERIFY(target != QLatin1String("link") || QFileInfo(path).isSymLink());
    QVERIFY(target != QLatin1String("directory") || QDir(path).isEmpty());
}

void TestSample::wrongCommandLine()
{
    QCOMPARE(runVexaCard({QStringLiteral("sample")}).status, 2);
    QCOMPARE(runVexaCard({QStringLiteral("sample"), QStringLiteral("a.img"), QStringLiteral("b.img")}).status, 2);
    QCOMPARE(runVexaCard({QStringLiteral("sample"), QStringLiteral("--overwrite"), QStringLiteral("a.img")}).status, 2);
}

QTEST_GUILESS_MAIN(TestSample)
#include "tst_sample.moc"
