// The campaign ledger: foreign files refused and left untouched, what a harvest marks is
// still there when the ledger is opened again, and a grown file replaces its old figures.
#include "ledger.h"

#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

namespace {

QByteArray contents(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// An SQLite database written by some other program.
void writeForeignSqlite(const QString &path, int applicationId)
{
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("foreign"));
        db.setDatabaseName(path);
        QVERIFY(db.open());
        QSqlQuery q(db);
        QVERIFY(q.exec(QStringLiteral("CREATE TABLE readings(t INTEGER, v REAL)")));
        QVERIFY(q.exec(QStringLiteral("INSERT INTO readings VALUES(1, 2.5)")));
        QVERIFY(q.exec(QStringLiteral("PRAGMA application_id=%1").arg(applicationId)));
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("foreign"));
}

LedgerFile file(const QString &cardPath, qint64 sectors)
{
    LedgerFile f;
    f.cardPath = cardPath;
    f.sectors = sectors;
    f.sha256 = "ab12";
    f.station = QStringLiteral("XX.VEXA");
    f.outcome = QStringLiteral("complete");
    LedgerChannel c;
    c.id = QStringLiteral("XX.VEXA..HHZ");
    c.sampleRate = 100;
    c.segments = {{1000, 2000}};
    f.channels = {c};
    return f;
}

} // namespace

class TestLedger : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void refusesForeignFiles_data()
    {
        QTest::addColumn<int>("kind");
        QTest::newRow("text file") << 0;
        QTest::newRow("SQLite of another program") << 1;
        QTest::newRow("SQLite without a mark, with tables") << 2;
    }
    void refusesForeignFiles()
    {
        QFETCH(int, kind);
        QTemporaryDir archive;
        const QString path = Ledger::path(archive.path());
        if (kind == 0) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("recorded,network,station\nXX.VEXA,XX,VEXA\n");
        } else {
            writeForeignSqlite(path, kind == 1 ? 0x12345 : 0);
        }
        const QByteArray before = contents(path);
        std::unique_ptr<Ledger> ledger;
        const Status status = Ledger::open(archive.path(), &ledger);
        QCOMPARE(status.code, Status::Refused);
        QVERIFY2(status.message.contains(path), qPrintable(status.message));
        QVERIFY(!ledger);
        QCOMPARE(contents(path), before);
        QVERIFY(!QFile::exists(path + QStringLiteral("-wal")));
    }

    void reopenedLedgerKeepsWhatWasHarvested()
    {
        QTemporaryDir archive;
        std::unique_ptr<Ledger> ledger;
        QCOMPARE(Ledger::open(archive.path(), &ledger, Ledger::Mode::ReadOnly).error, ENOENT);
        QVERIFY(Ledger::open(archive.path(), &ledger).ok());
        qint64 harvest = 0;
        QVERIFY(ledger->beginHarvest(QStringLiteral("XX.VEXA/0001"), QStringLiteral("XX.VEXA"), QStringLiteral("XX.VEXA"),
                                     QStringLiteral("/dev/sdc"), &harvest).ok());
        QVERIFY(ledger->recordFiles(harvest, {file(QStringLiteral("/0001/A.MSD"), 8), file(QStringLiteral("/0001/B.MSD"), 4)}).ok());
        QVERIFY(ledger->recordUnmapped(harvest, {QStringLiteral("ZZ.OLD")}).ok());
        QVERIFY(ledger->finishHarvest(harvest, QStringLiteral("complete"), 2, 0).ok());
        ledger.reset();

        QVERIFY(Ledger::open(archive.path(), &ledger).ok());
        QHash<QString, qint64> expected{{QStringLiteral("/0001/A.MSD"), 8}, {QStringLiteral("/0001/B.MSD"), 4}};
        QCOMPARE(ledger->harvestedFiles(QStringLiteral("XX.VEXA/0001")), expected);
        QVERIFY(ledger->harvestedFiles(QStringLiteral("XX.VEXB/0001")).isEmpty());

        // The next visit finds B grown: its new figures replace the old, nothing doubles.
        QVERIFY(ledger->beginHarvest(QStringLiteral("XX.VEXA/0001"), QStringLiteral("XX.VEXA"), QStringLiteral("XX.VEXA"),
                                     QStringLiteral("/dev/sdd"), &harvest).ok());
        QVERIFY(ledger->recordFiles(harvest, {file(QStringLiteral("/0001/B.MSD"), 9)}).ok());
        expected[QStringLiteral("/0001/B.MSD")] = 9;
        QCOMPARE(ledger->harvestedFiles(QStringLiteral("XX.VEXA/0001")), expected);
        QVector<Ledger::CardRow> cards;
        QVERIFY(ledger->cards(&cards).ok());
        QCOMPARE(cards.size(), 1);
        QCOMPARE(cards[0].harvests, 2);
        QCOMPARE(cards[0].files, 2);
        QHash<QString, QVector<TimeSpan>> segments;
        QVERIFY(ledger->segments(&segments).ok());
        QCOMPARE(segments.value(QStringLiteral("XX.VEXA..HHZ")).size(), 2);
        QVector<Ledger::UnmappedRow> unmapped;
        QVERIFY(ledger->unmapped(&unmapped).ok());
        QCOMPARE(unmapped.size(), 1);
        QCOMPARE(unmapped[0].code, QStringLiteral("ZZ.OLD"));
    }
};

QTEST_GUILESS_MAIN(TestLedger)
#include "tst_ledger.moc"
