// Writes a card image of Steim-2 records for bench/archive-bench.sh: one recording
// directory of FILES files, each MIB/FILES mebibytes of 512-byte records of three
// channels (XX.VEXA..HHZ/HHN/HHE, 100 Hz) interleaved in time order, packed by libmseed,
// running over many UTC days, so that an SDS export crosses midnights and fills day
// files. Every byte is written (no holes) so that the image can sit in the page cache.
//
// Usage: vexa-archive-bench-image IMAGE MIB [FILES]
// Prints "OFFSET LENGTH": the bytes of the recordings, from the first file's first sector.
#include "cardformat.h"
#include "gpstime.h"

#include <QCoreApplication>
#include <QFile>
#include <QVector>

#include <libmseed.h>

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

struct Channel
{
    MSRecord *msr = nullptr;
    QList<QByteArray> records;
    QList<hptime_t> starts; // of each record, as libmseed reads it back
    qint64 sample = 0;
};

void keep(char *record, int length, void *into)
{
    static_cast<QList<QByteArray> *>(into)->append(QByteArray(record, length));
}

// Packs the next `count` samples of a channel: microseismic noise of a few hundred
// counts, which Steim-2 packs into some 400 samples a record, as it does field data.
void packMore(Channel &channel, int seed, int count)
{
    QVector<qint32> samples(count);
    for (int i = 0; i < count; ++i) {
        const qint64 n = channel.sample + i;
        samples[i] = qint32(300 * std::sin(double(n) / 80.0 + seed) + 40 * std::sin(double(n) / 3.1) + (n * 7919 + seed) % 17);
    }
    channel.msr->datasamples = samples.data();
    channel.msr->numsamples = count;
    int64_t packed = 0;
    msr_pack(channel.msr, keep, &channel.records, &packed, 1, 0);
    channel.msr->datasamples = nullptr;
    channel.msr->numsamples = 0;
    channel.sample += count;
    for (qsizetype r = channel.starts.size(); r < channel.records.size(); ++r) {
        MSRecord *msr = nullptr;
        QByteArray copy = channel.records.at(r);
        msr_parse(copy.data(), int(copy.size()), &msr, int(copy.size()), 0, 0);
        channel.starts.append(msr ? msr->starttime : 0);
        msr_free(&msr);
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    bool ok = false;
    bool filesOk = true;
    const qint64 mebibytes = arguments.value(2).toLongLong(&ok);
    const int files = arguments.size() > 3 ? arguments.value(3).toInt(&filesOk) : 8;
    if (arguments.size() < 3 || arguments.size() > 4 || !ok || !filesOk || mebibytes < 1 || files < 1
        || files > Card::RecordsPerBlock || mebibytes % files != 0) {
        std::fprintf(stderr, "usage: vexa-archive-bench-image IMAGE MIB [FILES]  (MIB a multiple of FILES)\n");
        return 2;
    }
    constexpr qint64 MiB = 1024 * 1024;
    constexpr quint32 tableSector = 20480;
    const quint32 firstSector = tableSector + quint32(Card::TableSlots * Card::SectorsPerBlock);
    const quint32 sectorsPerFile = quint32(mebibytes / files * MiB / Card::SectorSize);
    const quint32 start = calendarToGps(2023, 3, 14, 9, 25, 49);

    QByteArray header(int(Card::HeaderSize), '\0');
    encodeVolumeHeader(header.data(), VolumeHeader{Card::VolumeMagic, tableSector});
    QByteArray table(int(Card::BlockSize), '\0');
    encodeDirectorySlot(table.data(), Card::FirstDirectorySlot, DirectorySlot{start, quint32(files)});
    QByteArray block(int(Card::BlockSize), '\0');
    for (int f = 0; f < files; ++f) {
        const quint32 first = firstSector + quint32(f) * sectorsPerFile;
        // File names one minute apart: their times only name them.
        encodeFileRecord(block.data(), f, FileRecord{start + quint32(f) * 60, first, first + sectorsPerFile - 1, 1});
    }

    QFile image(arguments.at(1));
    auto fail = [&image]() {
        std::fprintf(stderr, "vexa-archive-bench-image: cannot write %s: %s\n", qPrintable(image.fileName()),
                     qPrintable(image.errorString()));
        return 1;
    };
    if (!image.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return fail();
    const qint64 dataOffset = Card::sectorOffset(firstSector);
    if (!image.seek(Card::HeaderOffset) || image.write(header) != header.size()
        || !image.seek(Card::sectorOffset(tableSector)) || image.write(table) != table.size()
        || !image.seek(Card::sectorOffset(Card::directoryBlockSector(tableSector, Card::FirstDirectorySlot)))
        || image.write(block) != block.size() || !image.seek(dataOffset))
        return fail();

    // UTC: the card's names are GPS seconds, 18 leap seconds ahead.
    const hptime_t utcStart = MS_EPOCH2HPTIME(hptime_t(start) + 315964800 - 18);
    const char *codes[] = {"HHZ", "HHN", "HHE"};
    Channel channels[3];
    for (int c = 0; c < 3; ++c) {
        MSRecord *msr = msr_init(nullptr);
        std::strcpy(msr->network, "XX");
        std::strcpy(msr->station, "VEXA");
        std::strcpy(msr->channel, codes[c]);
        msr->dataquality = 'D';
        msr->starttime = utcStart;
        msr->samprate = 100.0;
        msr->reclen = 512;
        msr->encoding = DE_STEIM2;
        msr->byteorder = 1;
        msr->sequence_number = 1;
        msr->sampletype = 'i';
        channels[c].msr = msr;
    }
    // The recorder writes the record that starts first, whichever channel it is.
    QByteArray chunk;
    const qint64 total = qint64(sectorsPerFile) * files;
    int taken[3] = {0, 0, 0};
    for (qint64 sector = 0; sector < total; ++sector) {
        int next = 0;
        hptime_t earliest = 0;
        for (int c = 0; c < 3; ++c) {
            if (taken[c] >= channels[c].records.size()) {
                channels[c].records = channels[c].records.mid(taken[c]);
                channels[c].starts = channels[c].starts.mid(taken[c]);
                taken[c] = 0;
                packMore(channels[c], c, 60000);
            }
            const hptime_t recordStart = channels[c].starts.at(taken[c]);
            if (c == 0 || recordStart < earliest) {
                earliest = recordStart;
                next = c;
            }
        }
        chunk += channels[next].records.at(taken[next]++);
        if (chunk.size() >= MiB || sector + 1 == total) {
            if (image.write(chunk) != chunk.size())
                return fail();
            chunk.clear();
        }
    }
    for (Channel &channel : channels)
        msr_free(&channel.msr);
    if (!image.flush())
        return fail();
    std::printf("%lld %lld\n", static_cast<long long>(dataOffset), static_cast<long long>(total * Card::SectorSize));
    return 0;
}
