// The SDS day files a record is filed into: a split at midnight that keeps the record's
// time correction meaning what it meant, and records filed under other codes. Records are
// packed and read back by libmseed; header fields are read here from the bytes.
#include "sdsarchive.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>
#include <QTest>

#include <libmseed.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif

namespace {

qint64 utc(const char *iso)
{
    return QDateTime::fromString(QString::fromLatin1(iso), Qt::ISODateWithMs).toMSecsSinceEpoch() * 1000;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void keep(char *record, int length, void *into)
{
    static_cast<QList<QByteArray> *>(into)->append(QByteArray(record, length));
}

// One 4096-byte Steim-2 record of XX.STATION..HHZ at 100 Hz whose header says `start`
// with `correction` (units of 0.0001 s) not yet applied.
QByteArray packRecord(hptime_t start, QVector<qint32> samples, qint32 correction = 0, const char *station = "VEXA")
{
    MSRecord *msr = msr_init(nullptr);
    std::strcpy(msr->network, "XX");
    std::strcpy(msr->station, station);
    std::strcpy(msr->channel, "HHZ");
    msr->dataquality = 'D';
    msr->starttime = start;
    msr->samprate = 100;
    msr->reclen = 4096;
    msr->encoding = DE_STEIM2;
    msr->byteorder = 1;
    msr->sequence_number = 7;
    msr->fsdh = static_cast<struct fsdh_s *>(std::calloc(1, sizeof(struct fsdh_s)));
    msr->fsdh->time_correct = correction;
    msr->datasamples = samples.data();
    msr->numsamples = samples.size();
    msr->sampletype = 'i';
    QList<QByteArray> records;
    int64_t packed = 0;
    msr_pack(msr, keep, &records, &packed, 1, 0);
    msr->datasamples = nullptr;
    msr_free(&msr);
    return records.size() == 1 ? records.first() : QByteArray();
}

// The fixed header's own words, in the byte order blockette 1000 names.
struct Header
{
    qint64 start = 0; // BTime of bytes 20..29 as hptime
    qint32 correction = 0;
    quint8 activity = 0;
};

bool readHeader(const QByteArray &record, Header *header)
{
    const auto *b = reinterpret_cast<const uchar *>(record.constData());
    for (bool big : {true, false}) {
        const auto u16 = [&](int at) { return big ? qFromBigEndian<quint16>(b + at) : qFromLittleEndian<quint16>(b + at); };
        const int blockette = u16(46);
        if (blockette < 48 || blockette + 8 > record.size() || u16(blockette) != 1000 || (b[blockette + 5] == 1) != big)
            continue;
        const QDate date = QDate(u16(20), 1, 1).addDays(u16(22) - 1);
        const QDateTime second(date, QTime(b[24], b[25], b[26]), Qt::UTC);
        header->start = second.toMSecsSinceEpoch() * 1000 + qint64(u16(28)) * 100;
        header->correction = big ? qFromBigEndian<qint32>(b + 40) : qFromLittleEndian<qint32>(b + 40);
        header->activity = b[36];
        return true;
    }
    return false;
}

struct Sample
{
    qint64 time;
    qint32 value;
    bool operator==(const Sample &other) const { return time == other.time && value == other.value; }
};

// Every record of a day file as libmseed reads it: each sample with its time.
QList<Sample> samplesOf(const QByteArray &file, QList<QByteArray> *records)
{
    QList<Sample> samples;
    QByteArray bytes = file;
    for (int offset = 0; offset < bytes.size();) {
        MSRecord *msr = nullptr;
        if (msr_parse(bytes.data() + offset, bytes.size() - offset, &msr, 0, 1, 0) != MS_NOERROR)
            return {};
        const auto *data = static_cast<const qint32 *>(msr->datasamples);
        for (int i = 0; i < msr->numsamples; ++i)
            samples.append({msr->starttime + qint64(std::llround(i * HPTMODULUS / msr->samprate)), data[i]});
        records->append(file.mid(offset, msr->reclen));
        offset += msr->reclen;
        msr_free(&msr);
    }
    return samples;
}

} // namespace

class TestSds : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void splitKeepsTheTimeCorrection();
    void filedUnderOtherCodes();
    void closeSaysWhenTheLastRecordsCannotBeWritten();
};

void TestSds::splitKeepsTheTimeCorrection()
{
    // 4 s at 100 Hz said to start at 23:59:58, with -0.15 s still to apply: the samples
    // run from 23:59:57.85, and the 216th falls on midnight.
    const qint64 said = utc("2023-03-14T23:59:58");
    const qint64 meant = said - 150000;
    QVector<qint32> values(400);
    for (int i = 0; i < values.size(); ++i)
        values[i] = qint32(300 * std::sin(i / 40.0)) + i % 7;
    const QByteArray record = packRecord(said, values, -1500);
    QVERIFY(!record.isEmpty());

    QTemporaryDir dir;
    SdsArchive archive(dir.path(), true);
    QCOMPARE(archive.addRecord(record.constData(), int(record.size())), SdsArchive::Archived);
    QCOMPARE(archive.recordsSplit(), 1);
    archive.close();

    QList<QByteArray> pieces;
    const QList<Sample> first = samplesOf(readAll(dir.filePath("2023/XX/VEXA/HHZ.D/XX.VEXA..HHZ.D.2023.073")), &pieces);
    const QList<Sample> second = samplesOf(readAll(dir.filePath("2023/XX/VEXA/HHZ.D/XX.VEXA..HHZ.D.2023.074")), &pieces);
    QCOMPARE(pieces.size(), 2);
    QList<Sample> original;
    for (int i = 0; i < values.size(); ++i)
        original.append({meant + qint64(i) * 10000, values[i]});
    QCOMPARE(first + second, original);
    QCOMPARE(second.first().time, utc("2023-03-15T00:00:00"));

    // Each piece's header means the time of its first sample: the correction applied
    // and flagged so (activity bit 1), or still pending on the start it was recorded with.
    const qint64 pieceStarts[] = {meant, utc("2023-03-15T00:00:00")};
    for (int i = 0; i < 2; ++i) {
        Header header;
        QVERIFY(readHeader(pieces[i], &header));
        const bool applied = header.activity & 0x02;
        QCOMPARE(header.start + (applied ? 0 : qint64(header.correction) * 100), pieceStarts[i]);
        QCOMPARE(header.correction, -1500);
    }
}

void TestSds::filedUnderOtherCodes()
{
    const qint64 start = utc("2023-03-14T10:00:00");
    const QVector<qint32> values(300, 5);
    const QByteArray vexa = packRecord(start, values);
    const QByteArray other = packRecord(start, values, 0, "OTHR");
    QTemporaryDir dir;
    SdsArchive archive(dir.path());
    qint64 askedAt = 0;
    archive.setCodeRenamer([&](RecordCodes &codes, qint64 time) {
        askedAt = time;
        if (codes.station == QLatin1String("OTHR"))
            return false;
        codes.network = QStringLiteral("AB");
        codes.station = QStringLiteral("KOR12");
        codes.location = QStringLiteral("10");
        return true;
    });
    QCOMPARE(archive.addRecord(vexa.constData(), int(vexa.size())), SdsArchive::Archived);
    QCOMPARE(askedAt, start);
    QCOMPARE(archive.addRecord(other.constData(), int(other.size())), SdsArchive::Archived);
    QCOMPARE(archive.close().size(), 2);

    // Station (8), location (13), channel (15), network (18) rewritten; every other byte kept.
    QByteArray expected = vexa;
    expected.replace(8, 12, "KOR1210HHZAB");
    QCOMPARE(readAll(dir.filePath("2023/AB/KOR12/HHZ.D/AB.KOR12.10.HHZ.D.2023.073")), expected);
    QCOMPARE(readAll(dir.filePath("2023/XX/OTHR/HHZ.D/XX.OTHR..HHZ.D.2023.073")), other);
    QCOMPARE(archive.unmappedCodes(), QStringList{QStringLiteral("XX.OTHR")});
}

void TestSds::closeSaysWhenTheLastRecordsCannotBeWritten()
{
#ifdef Q_OS_UNIX
    // A file size limit fails the write as a full disk does (EFBIG): the records gathered
    // for the day file cannot be written when the archive closes.
    const QByteArray record = packRecord(utc("2023-03-14T10:00:00"), QVector<qint32>(300, 5));
    QTemporaryDir dir;
    SdsArchive archive(dir.path());
    QCOMPARE(archive.addRecord(record.constData(), int(record.size())), SdsArchive::Archived);
    struct rlimit before;
    QVERIFY(::getrlimit(RLIMIT_FSIZE, &before) == 0);
    struct rlimit limit = before;
    limit.rlim_cur = 1024;
    std::signal(SIGXFSZ, SIG_IGN);
    QVERIFY(::setrlimit(RLIMIT_FSIZE, &limit) == 0);
    Status closed;
    const QList<SdsDayFile> changed = archive.close(&closed);
    ::setrlimit(RLIMIT_FSIZE, &before);
    QVERIFY(!closed);
    QCOMPARE(closed.error, EFBIG);
    QVERIFY(changed.isEmpty());
    QVERIFY(!QFile::exists(dir.filePath("2023/XX/VEXA/HHZ.D/XX.VEXA..HHZ.D.2023.073")));
#else
    QSKIP("needs a file size limit");
#endif
}

QTEST_GUILESS_MAIN(TestSds)
#include "tst_sds.moc"
