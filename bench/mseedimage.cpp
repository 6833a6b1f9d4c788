// Writes a card image holding one large file of genuine miniSEED for the quality
// benchmark: three channels at 100 Hz in Steim-2, 512-byte records packed by libmseed,
// continuous in time, every byte written so that one read puts it in the page cache.
//
// Usage: vexa-mseed-image IMAGE MIB
// Prints "OFFSET LENGTH": the bytes of the file.
#include "cardformat.h"
#include "gpstime.h"

#include <QCoreApplication>
#include <QFile>
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
    const QStringList arguments = QCoreApplication::arguments();
    bool ok = false;
    const qint64 mebibytes = arguments.value(2).toLongLong(&ok);
    if (arguments.size() != 3 || !ok || mebibytes < 1 || mebibytes > 64 * 1024) {
        std::fprintf(stderr, "usage: vexa-mseed-image IMAGE MIB\n");
        return 2;
    }
    constexpr qint64 MiB = 1024 * 1024;
    constexpr quint32 tableSector = 20480;
    const quint32 firstSector = tableSector + quint32(Card::TableSlots * Card::SectorsPerBlock);
    const quint32 sectors = quint32(mebibytes * MiB / Card::SectorSize);
    const quint32 start = calendarToGps(2023, 3, 14, 12, 0, 0);

    QByteArray header(int(Card::HeaderSize), '\0');
    encodeVolumeHeader(header.data(), VolumeHeader{Card::VolumeMagic, tableSector});
    QByteArray table(int(Card::BlockSize), '\0');
    encodeDirectorySlot(table.data(), Card::FirstDirectorySlot, DirectorySlot{start, 1});
    QByteArray block(int(Card::BlockSize), '\0');
    encodeFileRecord(block.data(), 0, FileRecord{start, firstSector, firstSector + sectors - 1, 1});

    QFile image(arguments.at(1));
    auto fail = [&image]() {
        std::fprintf(stderr, "vexa-mseed-image: cannot write %s: %s\n", qPrintable(image.fileName()),
                     qPrintable(image.errorString()));
        return 1;
    };
    const qint64 dataOffset = Card::sectorOffset(firstSector);
    if (!image.open(QIODevice::WriteOnly | QIODevice::Truncate) || !image.seek(Card::HeaderOffset)
        || image.write(header) != header.size() || !image.seek(Card::sectorOffset(tableSector))
        || image.write(table) != table.size()
        || !image.seek(Card::sectorOffset(Card::directoryBlockSector(tableSector, Card::FirstDirectorySlot)))
        || image.write(block) != block.size() || !image.seek(dataOffset))
        return fail();

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
        std::strcpy(msr[c]->station, "VEXA");
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
    const qint64 length = qint64(sectors) * Card::SectorSize;
    qint64 written = 0;
    hptime_t time = MS_EPOCH2HPTIME(qint64(start) + 315964800 - 18);
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
            return fail();
        written += take;
    }
    for (MSRecord *m : msr)
        msr_free(&m);
    if (!image.flush())
        return fail();
    std::printf("%lld %lld\n", static_cast<long long>(dataOffset), static_cast<long long>(length));
    return 0;
}
