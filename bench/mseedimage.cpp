// Writes a card image holding one large file of genuine miniSEED for the quality
// benchmark: three channels at 100 Hz in Steim-2, 512-byte records packed by libmseed,
// continuous in time, every byte written so that one read puts it in the page cache.
//
// Usage: vexa-mseed-image IMAGE MIB [STATION]   (STATION: the recorder's, default VEXA, of XX)
// Prints "OFFSET LENGTH": the bytes of the file.
#include "benchcard.h"

#include <QCoreApplication>
#include <QVector>

#include <libmseed.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void append(char *record, int length, void *out)
{
    static_cast<QByteArray *>(out)->append(record, length);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const char *const program = "vexa-mseed-image";
    // Cards of several recorders, for harvests of many cards into one archive.
    QStringList arguments = QCoreApplication::arguments();
    const QByteArray station = arguments.size() == 4 ? arguments.takeLast().toLatin1().left(5) : QByteArray("VEXA");
    const qint64 mebibytes = BenchCard::mebibytes(arguments, 64 * 1024, program);
    if (mebibytes == 0)
        return 2;
    const qint64 length = mebibytes * BenchCard::MiB;
    QFile image(QCoreApplication::arguments().at(1));
    const qint64 dataOffset = BenchCard::writeHead(image, length);
    if (dataOffset < 0)
        return BenchCard::fail(image, program);

    // A minute of a swell with noise per channel, packed again and again at later times.
    constexpr int Rate = 100;
    constexpr int Minute = 60 * Rate;
    const char *const channels[] = {"HHZ", "HHN", "HHE"};
    QVector<QVector<qint32>> signal(3, QVector<qint32>(Minute));
    quint32 seed = 12345;
    for (int c = 0; c < 3; ++c) {
        for (int i = 0; i < Minute; ++i) {
            seed = seed * 1664525u + 1013904223u;
            signal[c][i] = qint32(1500.0 * std::sin(2 * 3.14159265 * (i / double(Rate) + c) / 6.5)) + qint32(seed >> 24) - 128;
        }
    }
    MSRecord *msr[3];
    for (int c = 0; c < 3; ++c) {
        msr[c] = msr_init(nullptr);
        std::strcpy(msr[c]->network, "XX");
        std::strcpy(msr[c]->station, station.constData());
        std::strcpy(msr[c]->channel, channels[c]);
        msr[c]->dataquality = 'D';
        msr[c]->samprate = Rate;
        msr[c]->reclen = 512;
        msr[c]->encoding = DE_STEIM2;
        msr[c]->byteorder = 1;
        msr[c]->sampletype = 'i';
        msr[c]->sequence_number = 1;
        msr[c]->fsdh = static_cast<struct fsdh_s *>(std::calloc(1, sizeof(struct fsdh_s)));
        msr[c]->fsdh->io_flags = 0x20;
    }
    qint64 written = 0;
    hptime_t time = MS_EPOCH2HPTIME(qint64(BenchCard::fileStart()) + 315964800 - 18);
    QByteArray records;
    while (written < length) {
        records.clear();
        for (int c = 0; c < 3; ++c) {
            QVector<qint32> samples = signal[c];
            msr[c]->starttime = time;
            msr[c]->datasamples = samples.data();
            msr[c]->numsamples = samples.size();
            int64_t packed = 0;
            msr_pack(msr[c], append, &records, &packed, 1, 0);
            msr[c]->datasamples = nullptr;
        }
        time += MS_EPOCH2HPTIME(60);
        const qint64 take = qMin<qint64>(records.size(), length - written);
        if (image.write(records.constData(), take) != take)
            return BenchCard::fail(image, program);
        written += take;
    }
    for (MSRecord *m : msr)
        msr_free(&m);
    if (!image.flush())
        return BenchCard::fail(image, program);
    std::printf("%lld %lld\n", static_cast<long long>(dataOffset), static_cast<long long>(length));
    return 0;
}
