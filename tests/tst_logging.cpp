// The log file: where it lies, the entry formats, the size limit with its one backup, and
// the crash handler's entry, raised in a child run of this program.
#include "cardimage.h"
#include "logging.h"

#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>

#include <easylogging++.h>

#include <csignal>

class TestLogging : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QVERIFY(QDir(QFileInfo(logFilePath()).path()).removeRecursively()); }
    void init() // the library keeps its file open once configured: empty it rather than delete it
    {
        QVERIFY(!QFileInfo::exists(logFilePath()) || QFile::resize(logFilePath(), 0));
        QFile::remove(logFilePath() + "0");
    }

    void locationAndFormat_data()
    {
        QTest::addColumn<bool>("debug");
        QTest::addColumn<QString>("expected"); // %1: the time
        QTest::newRow("debug") << true << R"(\[\d+\] %1 <T> trace \[.*\]\n\[\d+\] %1 <D> debug \[.*\]\n)"
                                          R"(\[\d+\] %1 <W> warning \[void TestLogging::locationAndFormat\(\)\]\n)";
        QTest::newRow("without TRACE and DEBUG") << false << R"(%1 <W> warning\n)";
    }
    void locationAndFormat()
    {
        QFETCH(bool, debug);
        QFETCH(QString, expected);
        const bool cwdLogs = QFileInfo::exists("logs");
        configureLogging(debug);
        const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
        QCOMPARE(logFilePath(), folder + "/vexa-reader.log");
        QVERIFY(folder.endsWith("/Orvane/Vexa reader") && QFileInfo::exists(logFilePath())); // made by configuring
        LOG(TRACE) << "trace";
        LOG(DEBUG) << "debug";
        LOG(WARNING) << "warning";
        const QString text = QString::fromUtf8(fileContents(logFilePath()));
        const QRegularExpression entries("\\A" + expected.arg(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3})") + "\\z");
        QVERIFY2(entries.match(text).hasMatch(), qPrintable(text));
        QCOMPARE(QFileInfo::exists("logs"), cwdLogs); // the library's own default file stays off
    }

    void rollOverKeepsOneBackup()
    {
        configureLogging(true);
        const QString path = logFilePath(), backup = path + "0";
        const qint64 limit = 20000000;
        LOG(INFO) << "probe"; // entries of one length from one function are equally long
        const qint64 entry = QFileInfo(path).size();
        // Brought to one byte below the limit by an entry: kept as it is.
        QVERIFY(entry > 0 && QFile::resize(path, limit - 1 - entry));
        LOG(INFO) << "probe";
        QCOMPARE(QFileInfo(path).size(), limit - 1);
        QVERIFY(!QFileInfo::exists(backup));

        // The entry that reaches the limit is the file's last: the file then replaces the
        // older backup and starts anew.
        QFile stale(backup);
        QVERIFY(stale.open(QIODevice::WriteOnly) && stale.write("stale backup\n") > 0);
        stale.close();
        QVERIFY(QFile::resize(path, limit - entry));
        LOG(INFO) << "edge!";
        QCOMPARE(QFileInfo(backup).size(), limit);
        QVERIFY(fileContents(backup).endsWith("<I> edge! [void TestLogging::rollOverKeepsOneBackup()]\n"));
        QCOMPARE(QFileInfo(path).size(), qint64(0));
        LOG(INFO) << "after";
        QVERIFY(fileContents(path).count('\n') == 1 && QFileInfo(backup).size() == limit);
    }

    void fullAtStartUp() // a file over the limit from an earlier run goes to the backup before it is emptied
    {
        QFile old(logFilePath());
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write("earlier run\n") == 12);
        old.close();
        QVERIFY(QFile::resize(logFilePath(), 20000001));
        QProcess child; // a new run: the library has not opened the file yet
        child.start(QCoreApplication::applicationFilePath(), {"--start-up"});
        QVERIFY(child.waitForFinished(30000) && child.exitCode() == 0);
        QCOMPARE(QFileInfo(logFilePath() + "0").size(), qint64(20000001));
        QVERIFY(fileContents(logFilePath() + "0").startsWith("earlier run\n"));
        const QByteArray text = fileContents(logFilePath());
        QVERIFY2(text.count('\n') == 1 && text.contains("<I> started"), text.constData());
    }

    void crashEntry()
    {
        QProcess child;
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(QCoreApplication::applicationFilePath(), {"--raise-sigint"});
        QVERIFY(child.waitForFinished(30000));
        QCOMPARE(child.exitStatus(), QProcess::CrashExit); // aborted, not returned from main
        const QList<QByteArray> lines = fileContents(logFilePath()).split('\n');
        QVERIFY2(lines.size() >= 3 && lines[0].contains("<I> about to be interrupted"), child.readAll().constData());
        QVERIFY2(lines[1].contains("<F> CRASH HANDLED; ") && lines[1].contains("SIGINT"), lines[1].constData());
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStandardPaths::setTestModeEnabled(true); // never the user's own data folder
    QCoreApplication::setOrganizationName("Orvane");
    QCoreApplication::setApplicationName("Vexa reader");
    if (app.arguments().contains("--start-up")) {
        configureLogging(true);
        LOG(INFO) << "started";
        return 0;
    }
    if (app.arguments().contains("--raise-sigint")) {
        configureLogging(true);
        LOG(INFO) << "about to be interrupted";
        std::raise(SIGINT);
        return 0;
    }
    TestLogging test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_logging.moc"
