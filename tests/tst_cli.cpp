// vexa-card as a user meets it: list, tree, export and sample, their errors, and the
// exported sample read back by the field's own decoder (libmseed).
#include "cardimage.h"
#include "samplecard.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimeZone>
#include <QTest>

#include <libmseed.h>
#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <sys/sysmacros.h>
#endif

class TestCli : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase() { QCOMPARE(fileChecksum(m_card), m_checksum); }
    void listAndTree();
    void failures_data();
    void failures();
    void exportFiles_data();
    void exportFiles();
    void exportGoesOnAfterFailures();
    void interruptLeavesNoPart_data();
    void interruptLeavesNoPart();
    void unreadableDirectory_data();
    void unreadableDirectory();
    void permissionHint();
    void sampleDecodes();

private:
    QTemporaryDir m_dir;
    QString m_card;
    QByteArray m_checksum;
    QHash<QString, QString> m_places; // placeholders of the failure rows
};

void TestCli::initTestCase()
{
    // Two directories from the same minute, each with its own files, and a third.
    CardImage card;
    card.setDirectory(1, 1000000000);
    card.setDirectory(2, 1000000010);
    card.setDirectory(3, 1000003600);
    card.addFile(1, 0, 1000000000, 30000, 10, 1);
    card.addFile(1, 4, 1000000005, 30100, 2);
    card.addFile(2, 0, 1000000010, 30200, 3);
    card.addFile(3, 0, 1000003600, 30300, 1);
    card.fillLog();
    m_card = m_dir.filePath(QStringLiteral("card.img"));
    QVERIFY(card.write(m_card));
    m_checksum = fileChecksum(m_card);

    // A device node of the test's own, like /dev/null (1, 3): a faulty run as root could
    // delete or replace the device it is given, and /dev/null serves the whole machine.
    // Without root, /dev/null itself is safe from that. Elsewhere the device rows skip.
    QString device;
#ifdef Q_OS_UNIX
    device = QStringLiteral("/dev/null");
    if (::geteuid() == 0) {
        device = m_dir.filePath(QStringLiteral("null"));
        if (::mknod(QFile::encodeName(device).constData(), S_IFCHR | 0666, makedev(1, 3)) != 0)
            device.clear();
    }
#endif
    m_places = {{"CARD", m_card}, {"DEV", device}, {"LINK", device.isEmpty() ? QString() : m_dir.filePath("link")},
                {"DIR", m_dir.filePath("folder")}, {"NEW", m_dir.filePath("new.img")},
                {"TAKEN", m_dir.filePath("taken.img")}, {"FIFO", m_dir.filePath("fifo")},
                {"UNDER_FILE", m_dir.filePath("taken.img/sub")}};
    QCOMPARE(::mkfifo(QFile::encodeName(m_places["FIFO"]).constData(), 0600), 0);
    QFile taken(m_places["TAKEN"]);
    QVERIFY(taken.open(QIODevice::WriteOnly) && taken.write("notes\n") == 6);
    QVERIFY(QDir().mkdir(m_places["DIR"]));
    QVERIFY(device.isEmpty() || QFile::link(device, m_places["LINK"]));
}

void TestCli::listAndTree()
{
    const CardRun run = runVexaCard({"list", m_card});
    QVERIFY(run.status == 0 && run.err.isEmpty());
    QCOMPARE(run.out, "20110914_0146\t0\tdir\n20110914_0146\t0\tdir\n20110914_0246\t0\tdir\nlog\t2097152\tlog\n");
    for (const char *dir : {"20110914_0146", "/20110914_0146"})
        QCOMPARE(runVexaCard({"list", m_card, dir}).out, "20110914_014640\t4608\tfile\n20110914_014645\t512\tfile\n");
    QCOMPARE(QJsonDocument::fromJson(runVexaCard({"list", "--json", m_card, "20110914_0246"}).out).array(), QJsonDocument::fromJson(R"([{"fileFlag": false,
             "index": 3, "isDirectory": false, "name": "20110914_024640", "size": 0}])").array());

    // Each directory of the shared name shows its own files.
    const QByteArray tree = "/20110914_0146/20110914_014640\t4608\n/20110914_0146/20110914_014645\t512\n"
                            "/20110914_0146/20110914_014650\t1024\n/20110914_0246/20110914_024640\t0\n/log\t2097152\n";
    QCOMPARE(runVexaCard({"tree", m_card}).out, tree);
    const QJsonArray array = QJsonDocument::fromJson(runVexaCard({"tree", "--json", m_card}).out).array();
    QByteArray fromJson;
    for (const QJsonValue &entry : array)
        fromJson += entry["path"].toString().toUtf8() + '\t' + QByteArray::number(entry["size"].toInteger()) + '\n';
    QCOMPARE(fromJson, tree);
    QCOMPARE(array.at(0).toObject().keys(), (QStringList{"fileFlag", "index", "isDirectory", "name", "path", "size"}));
    QVERIFY(array.at(0)["fileFlag"].toBool() && array.at(2)["index"].toInt() == 2);
}

void TestCli::failures_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");
    const QString missing = m_dir.filePath(QStringLiteral("missing.img"));
    QTest::newRow("missing device") << QStringList{"list", missing} << 1 << "cannot open " + missing + ": No such file or directory";
    QTest::newRow("not a card") << QStringList{"tree", VEXA_CARD_PATH} << 1 << "not a card volume";
    QTest::newRow("no such directory") << QStringList{"list", "CARD", "20200101_0000"} << 1 << "no such directory: 20200101_0000";
    QTest::newRow("malformed directory") << QStringList{"list", "CARD", "nonsense"} << 1 << "no such directory";
    QTest::newRow("text after the name") << QStringList{"list", "CARD", "/20110914_0146extra"} << 1 << "no such directory";
    QTest::newRow("impossible fields") << QStringList{"export", "-o", "DIR", "CARD", "/20119999_9999/20119999_999999"} << 1
                                       << "no such file on the card: /20119999_9999/20119999_999999";
    // Refused before it is opened, which would wait for a writer for ever.
    QTest::newRow("FIFO") << QStringList{"list", "FIFO"} << 1 << "it is a FIFO, neither a card device nor a card image";
    QTest::newRow("/dev/zero, no other line") << QStringList{"tree", "/dev/zero"} << 1 << "not a card volume";
    // The folder is made only once the card opened.
    QTest::newRow("export: missing card, no folder") << QStringList{"export", "-o", "NEW", missing, "/log"} << 1 << "cannot open";
    QTest::newRow("export: folder under a file") << QStringList{"export", "-o", "UNDER_FILE", "CARD", "/log"} << 1
                                                 << "cannot create the folder " + m_places["UNDER_FILE"] + ": Not a directory";
    QTest::newRow("sample: existing file") << QStringList{"sample", "TAKEN"} << 1 << "exists; --force replaces it";
    QTest::newRow("sample: device") << QStringList{"sample", "DEV"} << 1 << "not a regular file";
    QTest::newRow("sample: device, --force") << QStringList{"sample", "--force", "DEV"} << 1 << "not a regular file";
    QTest::newRow("sample: link to a device, --force") << QStringList{"sample", "--force", "LINK"} << 1 << "not a regular file";
    QTest::newRow("sample: directory, --force") << QStringList{"sample", "--force", "DIR"} << 1 << "is a directory";
    QTest::newRow("no command") << QStringList{} << 2 << "no command";
    QTest::newRow("unknown command") << QStringList{"format", "CARD"} << 2 << "unknown command 'format'";
    QTest::newRow("unknown option") << QStringList{"list", "--size", "CARD"} << 2 << "size";
    QTest::newRow("missing device argument") << QStringList{"tree"} << 2 << "missing arguments";
    QTest::newRow("too many arguments") << QStringList{"list", "CARD", "a", "b"} << 2 << "too many arguments";
    QTest::newRow("export without paths") << QStringList{"export", "CARD"} << 2 << "--all";
    QTest::newRow("export paths and --all") << QStringList{"export", "--all", "CARD", "/log"} << 2 << "--all";
    QTest::newRow("sample without image") << QStringList{"sample"} << 2 << "missing arguments";
    QTest::newRow("sample, two images") << QStringList{"sample", "NEW", "NEW"} << 2 << "too many arguments";
    QTest::newRow("sample --overwrite") << QStringList{"sample", "--overwrite", "NEW"} << 2 << "overwrite";
}

void TestCli::failures()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, message);
    for (QString &argument : arguments)
        argument = m_places.value(argument, argument);
    if (arguments.contains(QString()))
        QSKIP("cannot make a device node here");
    const CardRun run = runVexaCard(arguments);
    QCOMPARE(run.status, status);
    QVERIFY(run.out.isEmpty());
    QVERIFY2(run.err.startsWith("vexa-card: ") && run.err.endsWith('\n') && run.err.count('\n') == 1, run.err.constData());
    QVERIFY2(QString::fromLocal8Bit(run.err).contains(message), run.err.constData());
    // Everything is where and what it was.
    const QString device = m_places["DEV"];
#ifdef Q_OS_UNIX
    struct stat info;
    QVERIFY(device.isEmpty() || (::stat(QFile::encodeName(device).constData(), &info) == 0 && S_ISCHR(info.st_mode)));
#endif
    QVERIFY(device.isEmpty() || QFileInfo(m_places["LINK"]).isSymLink());
    QVERIFY(QFileInfo(m_places["DIR"]).isDir() && QDir(m_places["DIR"]).isEmpty());
    QVERIFY(!QFile::exists(m_places["NEW"]));
    QCOMPARE(fileContents(m_places["TAKEN"]), "notes\n");
}

void TestCli::exportFiles_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("files");
    // With the report of the record check beside the copies.
    QTest::newRow("paths") << QStringList{"/20110914_0146/20110914_014650", "/log"}
                           << QStringList{"20110914_014650.mseed", "log", "quality.json", "quality.txt"};
    QTest::newRow("all") << QStringList{"--all"} << QStringList{"20110914_014640.mseed", "20110914_014645.mseed",
                                                                "20110914_014650.mseed", "20110914_024640.mseed", "log",
                                                                "quality.json", "quality.txt"};
}

void TestCli::exportFiles()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, files);
    const QString out = m_dir.filePath(QTest::currentDataTag());
    const CardRun run = runVexaCard(QStringList{"export", "-o", out, m_card} + arguments);
    QVERIFY2(run.status == 0 && run.out.isEmpty() && run.err.isEmpty(), run.err.constData()); // no bar when standard error is not a terminal
    QStringList written = files + QStringList{"manifest-sha256.txt"};
    written.sort();
    QCOMPARE(QDir(out).entryList(QDir::Files), written);
    const QHash<QString, QPair<int, int>> sectors{{"20110914_014640.mseed", {30000, 10}}, {"20110914_014645.mseed", {30100, 2}},
        {"20110914_014650.mseed", {30200, 3}}, {"20110914_024640.mseed", {30300, 1}}, {"log", {8192, 4097}}};
    for (const QString &file : files.filter(QRegularExpression("mseed$|^log$")))
        QVERIFY2(fileContents(out + '/' + file) == CardImage::patternRun(sectors[file].first, sectors[file].second), qPrintable(file));
}

void TestCli::exportGoesOnAfterFailures()
{
    // A card that ends inside its second file (and long before the log).
    CardImage card(32);
    card.setDirectory(1, 1000000000);
    card.addFile(1, 0, 1000000000, 100, 4);
    card.addFile(1, 1, 1000000001, 200, 8);
    card.setLength(Card::sectorOffset(204));
    const QString image = m_dir.filePath(QStringLiteral("short.img"));
    QVERIFY(card.write(image));
    const QString out = m_dir.filePath(QStringLiteral("partial"));
    CardRun run = runVexaCard({"export", "--quiet", "--output", out, image, "/20110914_0146/20110914_014641",
                               "/20110914_0146/20110914_014659", "/20110914_0146/20110914_014640"});
    QVERIFY(run.status == 1 && run.out.isEmpty());
    QCOMPARE(run.err, "vexa-card: /20110914_0146/20110914_014641: the card ends after 2048 of 4096 bytes\n"
                      "vexa-card: /20110914_0146/20110914_014659: no such file on the card: /20110914_0146/20110914_014659\n");
    QCOMPARE(fileContents(out + "/20110914_014641.mseed"), CardImage::patternRun(200, 4));
    QCOMPARE(fileContents(out + "/20110914_014640.mseed"), CardImage::patternRun(100, 4));
    // --all goes in tree order, the log last.
    run = runVexaCard({"export", "--all", "--output", out, image});
    QCOMPARE(run.status, 1);
    QCOMPARE(run.err, "vexa-card: /20110914_0146/20110914_014641: the card ends after 2048 of 4096 bytes\n"
                      "vexa-card: /log lies beyond the end of the card (it begins at sector 8192)\n");
}

void TestCli::interruptLeavesNoPart_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("Ctrl-C") << int(SIGINT);
    QTest::newRow("TERM") << int(SIGTERM);
}

void TestCli::interruptLeavesNoPart()
{
#ifdef Q_OS_UNIX
    QFETCH(int, signal);
    // A file of 2 GiB (sparse on the card image): the signal comes while it is copied.
    CardImage card(32);
    card.setDirectory(1, 1000000000);
    card.setRecord(1, 0, FileRecord{1000000000, 1000, 1000 + 4 * 1024 * 1024 - 1, 0});
    card.addFile(1, 1, 1000000001, 500, 4); // after it in the batch: never begun
    card.setLength(Card::sectorOffset(1000 + 4 * 1024 * 1024));
    const QString image = m_dir.filePath(QStringLiteral("large.img"));
    QVERIFY(card.write(image));
    const QString out = m_dir.filePath(QStringLiteral("interrupted-%1").arg(signal));
    QVERIFY(QDir().mkpath(out));
    QFile earlier(out + "/20110914_014640.mseed");
    QVERIFY(earlier.open(QIODevice::WriteOnly) && earlier.write("earlier copy") == 12);
    earlier.close();

    QProcess exporter;
    exporter.setStandardInputFile(QProcess::nullDevice());
    exporter.start(VEXA_CARD_PATH, {"export", "--quiet", "--output", out, image, "/20110914_0146/20110914_014640",
                                        "/20110914_0146/20110914_014641"});
    QVERIFY(exporter.waitForStarted());
    QVERIFY(QTest::qWaitFor([&] { return !QDir(out).entryList({".*.part"}, QDir::Files | QDir::Hidden).isEmpty(); }, 20000));
    QVERIFY(::kill(pid_t(exporter.processId()), signal) == 0);
    QVERIFY(exporter.waitForFinished(20000));
    QCOMPARE(exporter.exitStatus(), QProcess::NormalExit);
    QCOMPARE(exporter.exitCode(), 1);
    QVERIFY(exporter.readAllStandardError().contains("stopped"));
    QCOMPARE(QDir(out).entryList(QDir::Files | QDir::Hidden), QStringList{"20110914_014640.mseed"});
    QCOMPARE(fileContents(earlier.fileName()), QByteArray("earlier copy"));
#else
    QSKIP("signals are POSIX");
#endif
}

void TestCli::unreadableDirectory_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("out");
    QTest::newRow("list") << QStringList{"list"} << QByteArray("20110914_0146\t0\tdir\n20110914_0246\t0\tdir\nlog\t2097152\tlog\n");
    QTest::newRow("list DIR") << QStringList{"list", "IMG", "20110914_0246"} << QByteArray();
    QTest::newRow("tree") << QStringList{"tree"} << QByteArray("/20110914_0146/20110914_014640\t1536\n/log\t2097152\n");
    QTest::newRow("export --all") << QStringList{"export", "--all", "-o", "OUT"} << QByteArray();
}

void TestCli::unreadableDirectory()
{
    // The block of the second directory lies past the end of the card: named, with its
    // slot and sector, and everything else still listed and exported; exit status 1.
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, out);
    CardImage card;
    card.setDirectory(1, 1000000000);
    card.setDirectory(2, 1000003600);
    card.addFile(1, 0, 1000000000, 3000, 4);
    card.addFile(2, 0, 1000003600, 3100, 2);
    card.fillLog();
    card.setLength(Card::sectorOffset(20496));
    const QString image = m_dir.filePath(QStringLiteral("cut.img"));
    const QString folder = m_dir.filePath(QStringLiteral("cut"));
    QVERIFY(card.write(image));
    arguments.replaceInStrings(QStringLiteral("OUT"), folder);
    if (!arguments.contains(QStringLiteral("IMG")))
        arguments.append(image);
    arguments.replaceInStrings(QStringLiteral("IMG"), image);
    const CardRun run = runVexaCard(arguments);
    QCOMPARE(run.status, 1);
    QCOMPARE(run.out, out);
    QCOMPARE(run.err, "vexa-card: cannot read directory 20110914_0246 (table slot 2, sector 20496): the card ends before it\n");
    if (arguments.contains(QStringLiteral("--all")))
        QCOMPARE(QDir(folder).entryList(QDir::Files), (QStringList{"20110914_014640.mseed", "log", "manifest-sha256.txt", "quality.json", "quality.txt"}));
}

void TestCli::permissionHint()
{
    // A card the user may not read: the system's reason and what to do about it. Run as
    // an unprivileged user, for which root is needed here.
    if (::geteuid() != 0 || QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty())
        QSKIP("needs root and setpriv to run vexa-card as another user");
    QProcess process;
    process.start(QStringLiteral("setpriv"), {"--reuid=65534", "--regid=65534", "--clear-groups", VEXA_CARD_PATH, "list", m_card});
    QVERIFY(process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 1);
    QCOMPARE(QString::fromLocal8Bit(process.readAllStandardError()),
             "vexa-card: cannot open " + m_card + ": Permission denied; run as a member of the group that owns it, "
             "e.g. disk, or with sudo\n");
}

void TestCli::sampleDecodes()
{
    // The file that failures() saw refused stays until --force replaces it.
    const QString image = m_places["TAKEN"];
    QCOMPARE(fileContents(image), "notes\n");
    const CardRun run = runVexaCard({"sample", "--force", image});
    QVERIFY(run.status == 0 && run.out.isEmpty() && run.err.isEmpty());

    // Names on the recorder's clock: each directory is named for its first file.
    QCOMPARE(runVexaCard({"tree", image}).out,
             "/20230314_0926/20230314_092607\t73728\n/20230314_0926/20230314_092807\t185344\n/20230314_0926/20230314_093307\t47104\n"
             "/20230314_1302/20230314_130241\t123904\n/20230314_1302/20230314_130601\t119296\n/20230314_1302/20230314_130921\t27648\n"
             "/20230314_1302/20230314_131006\t54784\n/20230314_2358/20230314_235830\t54784\n/20230314_2358/20230315_000000\t146944\n"
             "/log\t2097152\n");

    const QString out = m_dir.filePath(QStringLiteral("sample"));
    QCOMPARE(runVexaCard({"export", "--all", "--output", out, image}).status, 0);
    const QStringList exported = QDir(out).entryList({QStringLiteral("*.mseed")}, QDir::Files, QDir::Name);
    const QStringList channels{"HHZ", "HHN", "HHE"};
    int files = 0;
    for (const SampleCard::Directory &directory : SampleCard::directories()) {
        for (const SampleCard::File &file : directory.files) {
            const QString name = exported.value(files++);
            QByteArray data = fileContents(out + '/' + name);
            QCOMPARE(data.size(), file.records * 512);
            // Named on the recorder's GPS clock; the records keep UTC, 18 s behind.
            const hptime_t start = MS_EPOCH2HPTIME(QDateTime(QDate::fromString(name.left(8), "yyyyMMdd"),
                QTime::fromString(name.mid(9, 6), "HHmmss"), QTimeZone::utc()).toSecsSinceEpoch() - 18);
            QVector<QVector<qint32>> samples(3);
            QVector<hptime_t> firstStart(3, HPTERROR);
            hptime_t previous = start;
            for (int r = 0; r < file.records; ++r) {
                MSRecord *msr = nullptr;
                QString got = name + QStringLiteral(": unparsable");
                if (msr_parse(data.data() + r * 512, 512, &msr, 512, 1, 0) == MS_NOERROR && msr->sampletype == 'i') {
                    got = QStringLiteral("%1: %2.%3.%4 %5 Hz, encoding %6, b1001 %7, time order %8")
                              .arg(name, msr->network, msr->station, msr->location).arg(msr->samprate).arg(msr->encoding)
                              .arg(msr->Blkt1001 != nullptr).arg(msr->starttime >= previous);
                    const int c = int(channels.indexOf(QLatin1String(msr->channel)));
                    if (c >= 0) {
                        samples[c] += QVector<qint32>(static_cast<qint32 *>(msr->datasamples),
                                                      static_cast<qint32 *>(msr->datasamples) + msr->numsamples);
                        if (firstStart[c] == HPTERROR)
                            firstStart[c] = msr->starttime;
                    }
                    previous = msr->starttime;
                }
                msr_free(&msr);
                QCOMPARE(got, name + QStringLiteral(": XX.VEXA. 100 Hz, encoding 11, b1001 1, time order 1"));
            }
            for (int c = 0; c < 3; ++c) {
                QCOMPARE(firstStart[c], start);
                // Everything the recorder took, but the samples of its gap.
                QVector<qint32> expected = SampleCard::samples(file, c);
                expected.remove(file.gapStart * 100, file.gapSeconds * 100);
                QCOMPARE(samples[c], expected);
            }
        }
    }
    QCOMPARE(exported.size(), files);
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
