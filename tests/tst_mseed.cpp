// The miniSEED the demonstration card holds, read back by the field's own decoder
// (libmseed): records written by the encoder, and every file that vexa-card exports
// from a sample card.
#include "miniseed.h"
#include "samplecard.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>

#include <libmseed.h>

#include <limits>

namespace {

// One record through msr_parse; null when it does not parse. Free with msr_free.
MSRecord *parse(QByteArray record)
{
    MSRecord *msr = nullptr;
    const int status = msr_parse(record.data(), int(record.size()), &msr, MiniSeed::RecordLength, 1, 0);
    if (status != MS_NOERROR) {
        msr_free(&msr);
        return nullptr;
    }
    return msr;
}

QString isoTime(hptime_t time)
{
    char text[32];
    return QString::fromLatin1(ms_hptime2isotimestr(time, text, 1));
}

QVector<qint32> decodedSamples(const MSRecord *msr)
{
    if (msr->sampletype != 'i')
        return {};
    const auto *values = static_cast<const qint32 *>(msr->datasamples);
    return QVector<qint32>(values, values + msr->numsamples);
}

} // namespace

class TestMiniSeed : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void encodedRecordDecodes_data();
    void encodedRecordDecodes();
    void exportedSampleDecodes();
};

void TestMiniSeed::encodedRecordDecodes_data()
{
    QTest::addColumn<QString>("start");        // ISO time to the millisecond, UTC
    QTest::addColumn<int>("extraMicroseconds"); // below the millisecond
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("sequence");
    QTest::addColumn<QString>("decodedStart"); // as libmseed prints it

    QTest::newRow("full record") << "2023-03-14T09:25:49.000" << 0 << 112 << 1 << "2023-03-14T09:25:49.000000";
    QTest::newRow("partial record") << "2023-03-14T09:25:50.120" << 0 << 16 << 2 << "2023-03-14T09:25:50.120000";
    QTest::newRow("leap year's last day") << "2020-12-31T23:59:59.123" << 400 << 112 << 999999
                                          << "2020-12-31T23:59:59.123400";
    // BTIME keeps ten-thousandths of a second; the rest is dropped.
    QTest::newRow("below 0.0001 s") << "2011-09-14T01:46:22.000" << 99 << 3 << 42 << "2011-09-14T01:46:22.000000";
}

void TestMiniSeed::encodedRecordDecodes()
{
    QFETCH(QString, start);
    QFETCH(int, extraMicroseconds);
    QFETCH(int, count);
    QFETCH(int, sequence);
    QFETCH(QString, decodedStart);

    QVector<qint32> samples(count);
    for (int i = 0; i < count; ++i)
        samples[i] = (i % 2 ? -1 : 1) * i * 19131 - 7;
    if (count >= 3) { // the extremes, and a pattern that shows swapped bytes
        samples[0] = std::numeric_limits<qint32>::min();
        samples[1] = std::numeric_limits<qint32>::max();
        samples[2] = 0x01020304;
    }
    const QDateTime time(QDate::fromString(start.left(10), Qt::ISODate),
                         QTime::fromString(start.mid(11), Qt::ISODateWithMs), QTimeZone::utc());
    QVERIFY(time.isValid());
    const qint64 micro = time.toMSecsSinceEpoch() * 1000 + extraMicroseconds;
    const QByteArray record = MiniSeed::encodeRecord(SampleCard::stream(), sequence, micro, samples.constData(), count);
    QCOMPARE(record.size(), 512);

    MSRecord *msr = parse(record);
    QVERIFY(msr);
    const QString network = QString::fromLatin1(msr->network);
    const QString station = QString::fromLatin1(msr->station);
    const QString location = QString::fromLatin1(msr->location);
    const QString channel = QString::fromLatin1(msr->channel);
    const double rate = msr->samprate;
    const int encoding = msr->encoding;
    const int sequenceNumber = msr->sequence_number;
    const qint64 sampleCount = msr->samplecnt;
    const QString decodedTime = isoTime(msr->starttime);
    const QVector<qint32> decoded = decodedSamples(msr);
    msr_free(&msr);

    QCOMPARE(network, QStringLiteral("XX"));
    QCOMPARE(station, QStringLiteral("VEXA"));
    QCOMPARE(location, QString());
    QCOMPARE(channel, QStringLiteral("HHZ"));
    QCOMPARE(rate, 100.0);
    QCOMPARE(encoding, int(DE_INT32));
    QCOMPARE(sequenceNumber, sequence);
    QCOMPARE(sampleCount, qint64(count));
    QCOMPARE(decodedTime, decodedStart);
    QCOMPARE(decoded, samples);
}

void TestMiniSeed::exportedSampleDecodes()
{
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("demo.img"));
    const QString out = dir.filePath(QStringLiteral("out"));
    QVERIFY(QDir().mkpath(out));
    QCOMPARE(QProcess::execute(QStringLiteral(VEXA_CARD_PATH), {QStringLiteral("sample"), image}), 0);
    QCOMPARE(QProcess::execute(QStringLiteral(VEXA_CARD_PATH),
                               {QStringLiteral("export"), QStringLiteral("--quiet"), QStringLiteral("--all"),
                                QStringLiteral("--output"), out, image}),
             0);

    const QStringList exported = QDir(out).entryList({QStringLiteral("*.mseed")}, QDir::Files, QDir::Name);
    int files = 0;
    for (const SampleCard::Directory &directory : SampleCard::directories()) {
        for (const SampleCard::File &file : directory.files) {
            const QString name = exported.value(files++);
            QVERIFY2(!name.isEmpty(), "a file of the card was not exported");
            QFile mseed(QDir(out).filePath(name));
            QVERIFY(mseed.open(QIODevice::ReadOnly));
            const QByteArray data = mseed.readAll();
            QCOMPARE(data.size(), file.recordCount() * MiniSeed::RecordLength);

            // The file is named on the recorder's GPS clock; the records keep UTC, 18 s behind.
            const QDateTime named(QDate::fromString(name.left(8), QStringLiteral("yyyyMMdd")),
                                  QTime::fromString(name.mid(9, 6), QStringLiteral("HHmmss")), QTimeZone::utc());
            QVERIFY(named.isValid());
            const hptime_t fileStart = MS_EPOCH2HPTIME(named.toSecsSinceEpoch() - 18);

            QVector<qint32> samples;
            for (int r = 0; r < file.recordCount(); ++r) {
                MSRecord *msr = parse(data.mid(r * MiniSeed::RecordLength, MiniSeed::RecordLength));
                QVERIFY2(msr, qPrintable(QStringLiteral("%1: record %2 does not parse").arg(name).arg(r)));
                char source[64];
                const QString sourceName = QString::fromLatin1(msr_srcname(msr, source, 0));
                const int sequence = msr->sequence_number;
                const hptime_t start = msr->starttime;
                const qint64 count = msr->samplecnt;
                samples += decodedSamples(msr);
                msr_free(&msr);

                QCOMPARE(sourceName, QStringLiteral("XX_VEXA__HHZ"));
                QCOMPARE(sequence, r + 1);
                // 112 samples at 100 Hz: each record begins 1.12 s after the one before.
                QCOMPARE(isoTime(start), isoTime(fileStart + hptime_t(r) * 1120000));
                QCOMPARE(count, qint64(qMin<qint64>(112, file.sampleCount() - qint64(r) * 112)));
            }
            QCOMPARE(samples, SampleCard::samples(file));
        }
    }
    QCOMPARE(exported.size(), files);
}

QTEST_GUILESS_MAIN(TestMiniSeed)
#include "tst_mseed.moc"
