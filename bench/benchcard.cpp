#include "benchcard.h"

#include "cardformat.h"
#include "cardimagewriter.h"
#include "gpstime.h"

#include <cstdio>

namespace BenchCard {

qint64 mebibytes(const QStringList &arguments, qint64 maxMebibytes, const char *program)
{
    bool ok = false;
    const qint64 size = arguments.value(2).toLongLong(&ok);
    if (arguments.size() != 3 || !ok || size < 1 || size > maxMebibytes) {
        std::fprintf(stderr, "usage: %s IMAGE MIB\n", program);
        return 0;
    }
    return size;
}

quint32 fileStart()
{
    return calendarToGps(2023, 3, 14, 12, 0, 0);
}

qint64 writeHead(QFile &image, qint64 length)
{
    const quint32 sectors = quint32(length / Card::SectorSize);
    constexpr quint32 tableSector = 20480;
    // The data follows the table's run of 256 blocks.
    const quint32 firstSector = tableSector + quint32(Card::TableSlots * Card::SectorsPerBlock);
    const quint32 start = fileStart();

    CardImageWriter card(tableSector);
    card.setDirectory(Card::FirstDirectorySlot, start);
    card.setRecord(Card::FirstDirectorySlot, 0, FileRecord{start, firstSector, firstSector + sectors - 1, 1});

    const qint64 dataOffset = Card::sectorOffset(firstSector);
    if (!image.open(QIODevice::WriteOnly | QIODevice::Truncate) || !card.write(image)
        || !image.seek(dataOffset))
        return -1;
    return dataOffset;
}

int fail(const QFile &image, const char *program)
{
    std::fprintf(stderr, "%s: cannot write %s: %s\n", program, qPrintable(image.fileName()), qPrintable(image.errorString()));
    return 1;
}

} // namespace BenchCard
