// libFuzzer target over the record path: the input is the content of one card file, as a
// damaged card may hold it, read the ways a card file's records are read: the record
// scanner of a download (in chunks, some sectors unreadable), the quick scan of the
// window (the file whole, and its first and last sectors), and the day-file router of an
// SDS export, with and without the split at midnight, with and without codes renamed.
//
// Input layout:
//   Offset | Size | Field   | Meaning
//   0      | 1    | flags   | bits 0-2: chunk size, (value + 1) sectors; bit 3: the
//          |      |         | file's second sector is unreadable; bit 4: split at midnight;
//          |      |         | bit 5: records filed under other codes
//   1      | ...  | content | the card file's bytes (sectors of 512; the last may be short)
#include "cardformat.h"
#include "quickscan.h"
#include "recordscanner.h"
#include "sdsarchive.h"

#include <QByteArray>
#include <QDir>
#include <QTemporaryDir>

#include <libmseed.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void violated(const char *what, const QString &detail = QString())
{
    std::fprintf(stderr, "invariant violated: %s %s\n", what, qPrintable(detail));
    std::abort();
}

const QString CardPath = QStringLiteral("/20230314_0926/20230314_092607");

// Reads the content as a download does: chunk by chunk, each handed to the scanner, and
// every record it finds handed to the archive as the SDS export does.
void scanAndRoute(const QByteArray &content, quint8 flags, const QString &root)
{
    const qint64 chunkBytes = qint64((flags & 7) + 1) * Card::SectorSize;
    const bool secondUnreadable = (flags & 8) != 0 && content.size() > Card::SectorSize;
    QByteArray bytes = content;
    if (secondUnreadable) // as the copy hands an unreadable sector on: zeros
        bytes.replace(Card::SectorSize, qMin<qsizetype>(Card::SectorSize, bytes.size() - Card::SectorSize),
                      QByteArray(qMin<qsizetype>(Card::SectorSize, bytes.size() - Card::SectorSize), '\0'));

    SdsArchive archive(root, (flags & 16) != 0);
    if (flags & 32) { // filed under a station table's codes, as a harvest files them
        archive.setCodeRenamer([](RecordCodes &codes, qint64) {
            codes.network = QStringLiteral("ZQ");
            codes.station = QStringLiteral("NORTH");
            codes.location = QStringLiteral("00");
            return true;
        });
    }
    qint64 handed = 0;
    qint64 routed = 0;
    RecordScanner scanner;
    scanner.setRecordHandler([&](const char *raw, int length, const MSRecord *msr) {
        if (length <= 0 || length > bytes.size())
            violated("record length outside the file", QString::number(length));
        ++handed;
        switch (archive.addRecord(raw, length, msr)) {
        case SdsArchive::Archived:
        case SdsArchive::AlreadyThere:
            ++routed;
            break;
        case SdsArchive::NotArchived:
        case SdsArchive::Refused:
            break;
        case SdsArchive::Failed:
            violated("a day file in a fresh folder could not be written", archive.errorString());
        }
    });

    CopySource source;
    source.cardPath = CardPath;
    source.outputName = QStringLiteral("20230314_092607.mseed");
    source.sectorCount = (bytes.size() + Card::SectorSize - 1) / Card::SectorSize;
    if (!scanner.begin(source))
        violated("the scanner refused a file");
    for (qint64 at = 0; at < bytes.size(); at += chunkBytes) {
        SectorChunk chunk;
        chunk.data = bytes.constData() + at;
        chunk.length = qMin<qint64>(chunkBytes, bytes.size() - at);
        chunk.firstSector = at / Card::SectorSize;
        if (secondUnreadable && chunk.firstSector <= 1 && chunk.firstSector + chunk.length / Card::SectorSize > 1)
            chunk.unreadable.append(1);
        if (!scanner.consume(chunk))
            violated("the scanner refused a chunk");
    }
    if (!scanner.finish(secondUnreadable ? CopyEnd::Incomplete : CopyEnd::Complete))
        violated("the scanner failed at the file's end");

    const QualityReport report = scanner.report();
    if (report.files.size() != 1)
        violated("report of one file names another count", QString::number(report.files.size()));
    const FileQuality &file = report.files.first();
    if (file.records != handed)
        violated("report counts other records than were handed on",
                 QStringLiteral("%1 != %2").arg(file.records).arg(handed));
    qint64 channelRecords = 0;
    for (const ChannelQuality &channel : report.channels)
        channelRecords += channel.records;
    if (channelRecords != file.records)
        violated("channels count other records than the file");
    if (file.hasRecords && file.start > file.end)
        violated("file ends before it starts");

    if (!archive.commit())
        violated("commit failed", archive.errorString());
    archive.close();
    if (archive.recordsArchived() + archive.recordsAlreadyThere() > routed)
        violated("archive counts more records than it took",
                 QStringLiteral("%1 + %2 > %3").arg(archive.recordsArchived()).arg(archive.recordsAlreadyThere()).arg(routed));
}

void quickScan(const QByteArray &content)
{
    const FilePicture whole = QuickScan::summarize(CardPath, content, QByteArray(), true);
    if (whole.records < 0 || (whole.records > 0 && whole.start > whole.end))
        violated("quick scan of the whole file is inconsistent");
    const qint64 ends = QuickScan::HeadSectors * Card::SectorSize;
    if (content.size() > 2 * ends) {
        const FilePicture part = QuickScan::summarize(CardPath, content.left(ends), content.right(ends), false);
        if (part.records < 0 || (part.records > 0 && part.start > part.end))
            violated("quick scan of the file's ends is inconsistent");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    // Removed at exit; an input that crashes leaves it behind.
    static QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/vexa-fuzz-records-XXXXXX"));
    if (!dir.isValid())
        violated("no temporary folder");
    const QByteArray content(reinterpret_cast<const char *>(data) + 1, qsizetype(size - 1));
    const QString root = dir.filePath(QStringLiteral("sds"));
    scanAndRoute(content, data[0], root);
    quickScan(content);
    QDir(root).removeRecursively();
    return 0;
}
