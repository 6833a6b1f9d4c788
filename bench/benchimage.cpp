// Writes a card image holding one large file for the export benchmark. Every byte of
// the file is written (no holes), so that after one read the whole range sits in the
// page cache and the benchmark measures copying, not the disk.
//
// Usage: vexa-bench-image IMAGE MIB
// Prints "OFFSET LENGTH": the bytes that exporting the file copies.
#include "benchcard.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const char *const program = "vexa-bench-image";
    const qint64 mebibytes = BenchCard::mebibytes(QCoreApplication::arguments(), 1024 * 1024, program);
    if (mebibytes == 0)
        return 2;
    constexpr qint64 MiB = BenchCard::MiB;
    QFile image(QCoreApplication::arguments().at(1));
    const qint64 dataOffset = BenchCard::writeHead(image, mebibytes * MiB);
    if (dataOffset < 0)
        return BenchCard::fail(image, program);

    QByteArray chunk(int(MiB), '\0');
    for (qint64 m = 0; m < mebibytes; ++m) {
        // A pattern that differs from one mebibyte to the next, so a shifted copy shows.
        for (int i = 0; i < chunk.size(); ++i)
            chunk[i] = char((i * 131 + m * 7 + (i >> 9)) & 0xff);
        if (image.write(chunk) != chunk.size())
            return BenchCard::fail(image, program);
    }
    if (!image.flush())
        return BenchCard::fail(image, program);
    std::printf("%lld %lld\n", static_cast<long long>(dataOffset), static_cast<long long>(mebibytes * MiB));
    return 0;
}
