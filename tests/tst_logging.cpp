// The log file: where it lies, the entry formats, the size limit with its one backup,
// and the crash handler's entry. The crash is raised in a child run of this program.
#include "logging.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>

#include <easylogging++.h>

#include <csignal>
#include <cstring>

namespace {

void setIdentity()
{
    // Test mode keeps the data folder away from the user's own.
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setOrganizationName(QStringLiteral("Orvane"));
    QCoreApplication::setApplicationName(QStringLiteral("Vexa reader"));
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestLogging : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();

    void locationAndFormat();
    void shortFormatDropsTraceAndDebug();
    void rollOverKeepsOneBackup();
    void crashEntry();

private:
    QString m_folder;
};

void TestLogging::initTestCase()
{
    m_folder = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    QDir(m_folder).removeRecursively();
}

void TestLogging::init()
{
    // The library keeps its file open once configured: empty it rather than delete it.
    if (QFileInfo::exists(logFilePath()))
        QVERIFY(QFile::resize(logFilePath(), 0));
    QFile::remove(logFilePath() + QLatin1Char('0'));
}

void TestLogging::locationAndFormat()
{
    const QString cwdLogs = QDir::current().filePath(QStringLiteral("logs"));
    const bool logsBefore = QFileInfo::exists(cwdLogs);

    configureLogging(true);
    QVERIFY(m_folder.endsWith(QLatin1String("/Orvane/Vexa reader")));
    QCOMPARE(logFilePath(), m_folder + QLatin1String("/vexa-reader.log"));
    QVERIFY(QFileInfo::exists(logFilePath())); // created by the configuration itself

    LOG(TRACE) << "tracing";
    LOG(INFO) << "Vexa Reader started";
    const QList<QByteArray> lines = contents(logFilePath()).split('\n');
    QCOMPARE(lines.size(), 3); // two entries, each ending in a line break
    const QRegularExpression detailed(QStringLiteral(
        R"(^\[\d+\] \d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} <I> Vexa Reader started \[.*locationAndFormat.*\]$)"));
    QVERIFY2(detailed.match(QString::fromUtf8(lines.at(1))).hasMatch(), lines.at(1).constData());
    QVERIFY2(lines.at(0).contains("<T> tracing"), lines.at(0).constData());
    // The library's own default file stays switched off.
    QCOMPARE(QFileInfo::exists(cwdLogs), logsBefore);
}

void TestLogging::shortFormatDropsTraceAndDebug()
{
    configureLogging(false);
    LOG(TRACE) << "trace entry";
    LOG(DEBUG) << "debug entry";
    LOG(WARNING) << "warning entry";
    const QByteArray text = contents(logFilePath());
    const QRegularExpression shortForm(QStringLiteral(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} <W> warning entry\n$)"));
    QVERIFY2(shortForm.match(QString::fromUtf8(text)).hasMatch(), text.constData());
}

void TestLogging::rollOverKeepsOneBackup()
{
    configureLogging(true);
    const QString path = logFilePath();
    const QString backup = path + QLatin1Char('0');
    auto sizeOf = [](const QString &file) { return QFileInfo(file).size(); };

    // Entries of one message length from one function are all equally long.
    LOG(INFO) << "probe";
    const qint64 entry = sizeOf(path);
    QVERIFY(entry > 0);

    // Grown to one byte below the limit by an entry: kept as it is.
    QVERIFY(QFile::resize(path, qint64(LogFileLimit) - 1 - entry));
    LOG(INFO) << "probe";
    QCOMPARE(sizeOf(path), qint64(LogFileLimit) - 1);
    QVERIFY(!QFileInfo::exists(backup));

    // The entry that brings the file to exactly the limit is its last one: right after
    // it the file becomes the backup, replacing an older one, and is emptied.
    {
        QFile stale(backup);
        QVERIFY(stale.open(QIODevice::WriteOnly));
        QVERIFY(stale.write("stale backup\n") > 0);
    }
    QVERIFY(QFile::resize(path, qint64(LogFileLimit) - entry));
    LOG(INFO) << "edge!";
    QCOMPARE(sizeOf(backup), qint64(LogFileLimit));
    QVERIFY(contents(backup).endsWith("<I> edge! [void TestLogging::rollOverKeepsOneBackup()]\n"));
    QCOMPARE(sizeOf(path), qint64(0));

    LOG(INFO) << "after";
    const QByteArray fresh = contents(path);
    QCOMPARE(fresh.count('\n'), 1);
    QVERIFY(fresh.contains("<I> after"));
    QCOMPARE(sizeOf(backup), qint64(LogFileLimit));
}

void TestLogging::crashEntry()
{
    QProcess child;
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--raise-sigint")});
    QVERIFY(child.waitForFinished(30000));
    QCOMPARE(child.exitStatus(), QProcess::CrashExit); // aborted, not returned from main
    const QList<QByteArray> lines = contents(logFilePath()).split('\n');
    QVERIFY2(lines.size() >= 3, child.readAll().constData());
    QVERIFY(lines.at(0).contains("<I> about to be interrupted"));
    QVERIFY2(lines.at(1).contains("<F> CRASH HANDLED; "), lines.at(1).constData());
    QVERIFY(lines.at(1).contains("SIGINT"));
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    setIdentity();
    if (argc > 1 && std::strcmp(argv[1], "--raise-sigint") == 0) {
        configureLogging(true);
        LOG(INFO) << "about to be interrupted";
        std::raise(SIGINT);
        return 0;
    }
    TestLogging test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_logging.moc"
