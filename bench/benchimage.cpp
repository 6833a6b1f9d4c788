// Writes a card image holding one large file for the export benchmark. Every byte of
// the file is written (no holes), so that after one read the whole range sits in the
// page cache and the benchmark measures copying, not the disk.
//
// Usage: vexa-bench-image IMAGE MIB
// Prints "OFFSET LENGTH": the bytes that exporting the file copies.
#include "cardformat.h"
#include "gpstime.h"

#include <QCoreApplication>
#include <QFile>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    bool ok = false;
    const qint64 mebibytes = arguments.value(2).toLongLong(&ok);
    if (arguments.size() != 3 || !ok || mebibytes < 1 || mebibytes > 1024 * 1024) {
        std::fprintf(stderr, "usage: vexa-bench-image IMAGE MIB\n");
        return 2;
    }
    constexpr qint64 MiB = 1024 * 1024;
    constexpr quint32 tableSector = 20480;
    // The data follows the table's run of 256 blocks.
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
        std::fprintf(stderr, "vexa-bench-image: cannot write %s: %s\n", qPrintable(image.fileName()),
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

    QByteArray chunk(int(MiB), '\0');
    for (qint64 m = 0; m < mebibytes; ++m) {
        // A pattern that differs from one mebibyte to the next, so a shifted copy shows.
        for (int i = 0; i < chunk.size(); ++i)
            chunk[i] = char((i * 131 + m * 7 + (i >> 9)) & 0xff);
        if (image.write(chunk) != chunk.size())
            return fail();
    }
    if (!image.flush())
        return fail();
    std::printf("%lld %lld\n", static_cast<long long>(dataOffset), static_cast<long long>(mebibytes * MiB));
    return 0;
}
