#include "cardimage.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

namespace {

QString text(const QByteArray &bytes)
{
    return QString::fromLocal8Bit(bytes);
}

} // namespace

class TestCli : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void listText();
    void listJson();
    void tree();
    void failures_data();
    void failures();
    void exportPaths();
    void exportAll();
    void exportGoesOnAfterFailures();

private:
    QTemporaryDir m_dir;
    QString m_card;
    QByteArray m_checksum;
};

void TestCli::initTestCase()
{
    QVERIFY(m_dir.isValid());
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
}

void TestCli::cleanupTestCase()
{
    QCOMPARE(fileChecksum(m_card), m_checksum);
}

void TestCli::listText()
{
    CardRun run = runVexaCard({QStringLiteral("list"), m_card});
    QCOMPARE(run.status, 0);
    QCOMPARE(text(run.out), QStringLiteral("20110914_0146\t0\tdir\n"
                                     "20110914_0146\t0\tdir\n"
                                     "20110914_0246\t0\tdir\n"
                                     "log\t2097152\tlog\n"));
    QVERIFY(run.err.isEmpty());

    for (const QString &dir : {QStringLiteral("20110914_0146"), QStringLiteral("/20110914_0146")}) {
        run = runVexaCard({QStringLiteral("list"), m_card, dir});
        QCOMPARE(run.status, 0);
        QCOMPARE(text(run.out), QStringLiteral("20110914_014640\t4608\tfile\n20110914_014645\t512\tfile\n"));
    }
}

void TestCli::listJson()
{
    const CardRun run = runVexaCard({QStringLiteral("list"), QStringLiteral("--json"), m_card, QStringLiteral("20110914_0246")});
    QCOMPARE(run.status, 0);
    const QJsonArray array = QJsonDocument::fromJson(run.out).array();
    QCOMPARE(array.size(), 1);
    const QJsonObject entry = array.at(0).toObject();
    QCOMPARE(entry.keys(), (QStringList{"fileFlag", "index", "isDirectory", "name", "size"}));
    QCOMPARE(entry.value("name").toString(), QStringLiteral("20110914_024640"));
    QCOMPARE(entry.value("size").toInteger(), 0);
    QCOMPARE(entry.value("index").toInt(), 3);
    QCOMPARE(entry.value("isDirectory").toBool(), false);
}

void TestCli::tree()
{
    CardRun run = runVexaCard({QStringLiteral("tree"), m_card});
    QCOMPARE(run.status, 0);
    // Each directory of the shared name shows its own files.
    QCOMPARE(text(run.out), QStringLiteral("/20110914_0146/20110914_014640\t4608\n"
                                     "/20110914_0146/20110914_014645\t512\n"
                                     "/20110914_0146/20110914_014650\t1024\n"
                                     "/20110914_0246/20110914_024640\t0\n"
                                     "/log\t2097152\n"));

    run = runVexaCard({QStringLiteral("tree"), QStringLiteral("--json"), m_card});
    QCOMPARE(run.status, 0);
    const QJsonArray array = QJsonDocument::fromJson(run.out).array();
    QCOMPARE(array.size(), 5);
    QCOMPARE(array.at(2).toObject().value("path").toString(), QStringLiteral("/20110914_0146/20110914_014650"));
    QCOMPARE(array.at(2).toObject().value("index").toInt(), 2);
    QCOMPARE(array.at(0).toObject().value("fileFlag").toBool(), true);
    QCOMPARE(array.at(4).toObject().keys(), (QStringList{"fileFlag", "index", "isDirectory", "name", "path", "size"}));
}

void TestCli::failures_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");

    const QString missing = QDir::temp().filePath(QStringLiteral("vexa-no-such-card.img"));
    QTest::newRow("missing device") << QStringList{"list", missing} << 1 << "cannot open " + missing;
    QTest::newRow("not a card") << QStringList{"tree", QStringLiteral(VEXA_CARD_PATH)} << 1 << "not a card volume";
    QTest::newRow("no such directory") << QStringList{"list", "CARD", "20200101_0000"} << 1 << "no such directory: 20200101_0000";
    QTest::newRow("malformed directory") << QStringList{"list", "CARD", "nonsense"} << 1 << "no such directory";
    QTest::newRow("no command") << QStringList{} << 2 << "no command";
    QTest::newRow("unknown command") << QStringList{"format", "CARD"} << 2 << "unknown command 'format'";
    QTest::newRow("unknown option") << QStringList{"list", "--size", "CARD"} << 2 << "size";
    QTest::newRow("missing device argument") << QStringList{"tree"} << 2 << "missing arguments";
    QTest::newRow("too many arguments") << QStringList{"list", "CARD", "a", "b"} << 2 << "too many arguments";
    QTest::newRow("export without paths") << QStringList{"export", "CARD"} << 2 << "--all";
    QTest::newRow("export paths and --all") << QStringList{"export", "--all", "CARD", "/log"} << 2 << "--all";
}

void TestCli::failures()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, message);
    arguments.replaceInStrings(QStringLiteral("CARD"), m_card);
    const CardRun run = runVexaCard(arguments);
    QCOMPARE(run.status, status);
    QVERIFY(run.out.isEmpty());
    QVERIFY2(text(run.err).startsWith(QStringLiteral("vexa-card: ")), run.err.constData());
    QVERIFY2(text(run.err).contains(message), run.err.constData());
    QCOMPARE(run.err.count('\n'), 1);
}

void TestCli::exportPaths()
{
    const QString out = m_dir.filePath(QStringLiteral("paths"));
    const CardRun run = runVexaCard({QStringLiteral("export"), QStringLiteral("--output"), out, m_card,
                              QStringLiteral("/20110914_0146/20110914_014650"), QStringLiteral("/log")});
    QCOMPARE(run.status, 0);
    QVERIFY(run.out.isEmpty());
    QVERIFY(run.err.isEmpty()); // no bar when standard error is not a terminal
    QCOMPARE(QDir(out).entryList(QDir::Files), (QStringList{"20110914_014650.mseed", "log"}));
    QCOMPARE(fileContents(out + QStringLiteral("/20110914_014650.mseed")), CardImage::patternRun(30200, 3));
    QCOMPARE(fileContents(out + QStringLiteral("/log")), CardImage::patternRun(8192, 4097));

    QVERIFY(runVexaCard({QStringLiteral("--version")}).out.startsWith("vexa-card "));
    QVERIFY(runVexaCard({QStringLiteral("export"), QStringLiteral("--help")}).out.contains("--output"));
}

void TestCli::exportAll()
{
    const QString out = m_dir.filePath(QStringLiteral("all"));
    const CardRun run = runVexaCard({QStringLiteral("export"), QStringLiteral("--all"), QStringLiteral("-o"), out, m_card});
    QCOMPARE(run.status, 0);
    QVERIFY(run.out.isEmpty());
    QCOMPARE(QDir(out).entryList(QDir::Files),
             (QStringList{"20110914_014640.mseed", "20110914_014645.mseed", "20110914_014650.mseed",
                          "20110914_024640.mseed", "log"}));
    QCOMPARE(fileContents(out + QStringLiteral("/20110914_014640.mseed")), CardImage::patternRun(30000, 10));
    QCOMPARE(fileContents(out + QStringLiteral("/20110914_014645.mseed")), CardImage::patternRun(30100, 2));
    QCOMPARE(fileContents(out + QStringLiteral("/20110914_024640.mseed")), CardImage::patternRun(30300, 1));
}

void TestCli::exportGoesOnAfterFailures()
{
    // A card that ends inside its second file, asked for a missing file in between.
    CardImage card(32);
    card.setDirectory(1, 1000000000);
    card.addFile(1, 0, 1000000000, 100, 4);
    card.addFile(1, 1, 1000000001, 200, 8);
    card.setLength(Card::sectorOffset(204));
    const QString image = m_dir.filePath(QStringLiteral("short.img"));
    QVERIFY(card.write(image));
    const QString out = m_dir.filePath(QStringLiteral("partial"));
    const CardRun run = runVexaCard({QStringLiteral("export"), QStringLiteral("--quiet"), QStringLiteral("--output"), out, image,
                              QStringLiteral("/20110914_0146/20110914_014641"),
                              QStringLiteral("/20110914_0146/20110914_014659"),
                              QStringLiteral("/20110914_0146/20110914_014640")});
    QCOMPARE(run.status, 1);
    QVERIFY(run.out.isEmpty());
    const QStringList lines = text(run.err).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines[0], QStringLiteral("vexa-card: /20110914_0146/20110914_014641: the card ends after 2048 of 4096 bytes"));
    QVERIFY(lines[1].startsWith(QStringLiteral("vexa-card: /20110914_0146/20110914_014659: no such file")));
    QCOMPARE(fileContents(out + QStringLiteral("/20110914_014641.mseed")), CardImage::patternRun(200, 4));
    QCOMPARE(fileContents(out + QStringLiteral("/20110914_014640.mseed")), CardImage::patternRun(100, 4));
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
