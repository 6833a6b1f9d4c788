// Writes the seed corpus of fuzz_records into the folder given: card files of records
// packed by libmseed as a recorder writes them, and a few with one thing wrong. Each
// seed is the flags byte of fuzz_records.cpp followed by the file's content.
#include "mseedrecords.h"

#include <QDir>
#include <QFile>

#include <cstdio>

namespace {

QVector<qint32> wave(int count, int amplitude, int seed)
{
    QVector<qint32> samples(count);
    qint32 value = 0;
    for (int i = 0; i < count; ++i) {
        // A slow swing with a little noise: differences that Steim packs in several widths.
        value += ((i / 50) % 2 ? -amplitude : amplitude) / 50 + ((i * 7919 + seed) % 13) - 6;
        samples[i] = value;
    }
    return samples;
}

QByteArray series(MseedSeries s, int count, int amplitude = 5000)
{
    return joinRecords(packSeries(s, wave(count, amplitude, s.sequence)));
}

// Whole sectors: a recorder pads a file's last sector.
QByteArray padded(QByteArray bytes)
{
    bytes.append(QByteArray((512 - bytes.size() % 512) % 512, '\0'));
    return bytes;
}

bool write(const QString &folder, const char *name, quint8 flags, const QByteArray &content)
{
    QFile file(folder + QLatin1Char('/') + QLatin1String(name));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || file.write(QByteArray(1, char(flags)) + content) != content.size() + 1) {
        std::fprintf(stderr, "cannot write %s: %s\n", qPrintable(file.fileName()), qPrintable(file.errorString()));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make-records-corpus FOLDER\n");
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    if (!QDir().mkpath(folder)) {
        std::fprintf(stderr, "cannot create %s\n", argv[1]);
        return 1;
    }
    const hptime_t morning = ms_time2hptime(2023, 73, 9, 26, 7, 0);

    MseedSeries z;
    z.start = morning;
    const QByteArray oneChannel = padded(series(z, 1500));

    MseedSeries n = z, e = z;
    n.channel = "HHN";
    e.channel = "HHE";
    n.recordLength = e.recordLength = z.recordLength = 4096;
    QByteArray threeChannels = series(z, 4000) + series(n, 4000) + series(e, 4000);
    z.recordLength = 512;

    // The last records of 14 March run past midnight into the 15th.
    MseedSeries late;
    late.start = ms_time2hptime(2023, 73, 23, 59, 50, 0);
    late.timingQuality = 90;
    late.ioFlags = 0x20;
    const QByteArray midnight = padded(series(late, 3000));

    // A gap of a minute, a sector of the log's text between, Steim-1 after it.
    MseedSeries before = z, after = z;
    after.start = morning + hptime_t(60) * HPTMODULUS + hptime_t(1000) * HPTMODULUS / 100;
    after.encoding = DE_STEIM1;
    after.sequence = 900;
    after.qualityFlags = 0x80;
    QByteArray log(512, ' ');
    log.replace(0, 40, "2023-03-14 09:27:00 GPS lost, free-running");
    const QByteArray gap = padded(series(before, 1000)) + log + padded(series(after, 1000));

    // Plain 32-bit integers, the file cut in the middle of its last record.
    MseedSeries raw = z;
    raw.encoding = DE_INT32;
    raw.rate = 200;
    const QByteArray cut = series(raw, 700).chopped(300);

    // A long file of small records: the quick scan reads only its first and last sectors.
    MseedSeries longer = z;
    longer.sequence = 999990; // the sequence number wraps at 999999
    const QByteArray longFile = padded(series(longer, 40000, 200));

    // A record whose header claims another record length than the one it has.
    QByteArray lying = oneChannel;
    lying[48 + 6] = 12; // blockette 1000's record length exponent: 4096

    const bool ok = write(folder, "one-channel", 0, oneChannel) && write(folder, "three-channels", 7, threeChannels)
        && write(folder, "midnight-split", 16, midnight) && write(folder, "midnight-whole", 3, midnight)
        && write(folder, "gap-log-steim1", 8, gap) && write(folder, "int32-cut", 1, cut)
        && write(folder, "long-file", 2, longFile) && write(folder, "wrong-length", 0, lying);
    return ok ? 0 : 1;
}
