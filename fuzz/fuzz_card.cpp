// libFuzzer target over the card reader: the input bytes become a sparse card image,
// which is then opened, listed, looked up, read and exported like a card from the field.
//
// Input layout (missing bytes read as zero):
//   Offset | Size | Field        | Meaning
//   0      | 1    | flags        | bit 0: magic from the input; bit 1: tableSector taken
//          |      |              | as it is (any 32-bit value); bit 2: stop requested
//          |      |              | before the log is exported
//   1      | 4    | magic        | used when flags bit 0 is set; else 0xDEADBABA
//   5      | 4    | tableSector  | folded into the image unless flags bit 1 is set
//   9      | 4    | length       | image length in bytes, folded into 0..MaxImage;
//          |      |              | 0: just long enough for what was put in it
//   13     | ...  | edits        | each begins with a kind byte (kind % 5):
//     0: table slot   slot u8, startTime u32, occupancy u32
//     1: file record  dirSlot u8, recordSlot u8, startTime u32, firstSector u32,
//                     lastSector u32, flags u32
//     2: file record  as 1, but firstSector and lastSector are u16, so that small
//                     valid files are one mutation away
//     3: raw bytes    offset u32 (folded into the image), count u8, the bytes
//     4: unreadable   first sector u32 (folded into the image), count u8: sectors
//                     whose reads fail, as on a worn card
// All integers little-endian. The image stays small, so that a record that claims
// 2^31 sectors ends at the end of the device after a few MiB at most.
#include "cardformat.h"
#include "filesystem.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QTemporaryDir>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

namespace {

// Large enough to hold the log area (from 4 MiB, 4097 sectors) and end beyond it.
constexpr qint64 MaxImage = 8 << 20;
// Bytes that readFile and the file exports of one input may copy together; the log
// export comes on top. Keeps every input to a few milliseconds.
constexpr qint64 CopyBudget = 8 << 20;

class Input
{
public:
    Input(const uint8_t *data, size_t size) : m_data(data), m_size(size) {}
    bool atEnd() const { return m_pos >= m_size; }
    quint8 u8() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    quint16 u16() { return quint16(u8() | (u8() << 8)); }
    quint32 u32()
    {
        quint32 v = 0;
        for (int i = 0; i < 4; ++i)
            v |= quint32(u8()) << (8 * i);
        return v;
    }
    QByteArray bytes(int count)
    {
        QByteArray b;
        for (int i = 0; i < count && !atEnd(); ++i)
            b.append(char(u8()));
        return b;
    }

private:
    const uint8_t *m_data;
    size_t m_size;
    size_t m_pos = 0;
};

// An invariant of the reader does not hold: stop here, so that libFuzzer keeps the input.
[[noreturn]] void violated(const char *what, const QString &detail = QString())
{
    std::fprintf(stderr, "invariant violated: %s %s\n", what, qPrintable(detail));
    std::abort();
}

struct Image
{
    quint32 magic = Card::VolumeMagic;
    quint32 tableSector = 0;
    qint64 length = 0;
    bool stopBeforeLog = false;
    QByteArray table = QByteArray(int(Card::BlockSize), '\0');
    QMap<int, QByteArray> blocks;
    QMap<qint64, QByteArray> data;
    QList<QPair<qint64, qint64>> unreadable; // byte ranges [begin, end)
};

// The image as a worn card: every read that touches an unreadable range fails.
class WornCard : public CardDevice
{
public:
    WornCard(const QString &path, const QList<QPair<qint64, qint64>> &unreadable)
        : CardDevice(path), m_unreadable(unreadable)
    {
    }

    SectorRead readSectors(quint64 sector, qint64 count, char *data) override
    {
        const qint64 begin = Card::sectorOffset(sector), end = begin + count * Card::SectorSize;
        for (const auto &range : m_unreadable) {
            if (begin < range.second && end > range.first)
                return SectorRead{SectorRead::Unreadable, 0, EIO};
        }
        return CardDevice::readSectors(sector, count, data);
    }

private:
    QList<QPair<qint64, qint64>> m_unreadable;
};

Image decode(const uint8_t *bytes, size_t size)
{
    Input in(bytes, size);
    Image card;
    const quint8 flags = in.u8();
    const quint32 magic = in.u32();
    const quint32 tableSector = in.u32();
    const quint32 length = in.u32();
    if (flags & 1)
        card.magic = magic;
    card.tableSector = (flags & 2) ? tableSector : quint32(tableSector % (MaxImage / Card::SectorSize));
    card.length = length == 0 ? 0 : qint64(length % quint32(MaxImage + 1));
    card.stopBeforeLog = (flags & 4) != 0;

    while (!in.atEnd()) {
        const int kind = in.u8() % 5;
        if (kind == 0) {
            const int slot = in.u8();
            DirectorySlot entry;
            entry.startTime = in.u32();
            entry.occupancy = in.u32();
            encodeDirectorySlot(card.table.data(), slot, entry);
        } else if (kind == 1 || kind == 2) {
            const int dirSlot = in.u8();
            const int recordSlot = in.u8() % Card::RecordsPerBlock;
            FileRecord record;
            record.startTime = in.u32();
            record.firstSector = kind == 1 ? in.u32() : in.u16();
            record.lastSector = kind == 1 ? in.u32() : in.u16();
            record.flags = in.u32();
            QByteArray &block = card.blocks[dirSlot];
            if (block.isEmpty())
                block = QByteArray(int(Card::BlockSize), '\0');
            encodeFileRecord(block.data(), recordSlot, record);
        } else if (kind == 3) {
            const qint64 offset = qint64(in.u32() % quint32(MaxImage));
            card.data.insert(offset, in.bytes(in.u8()));
        } else {
            const qint64 first = Card::sectorOffset(in.u32() % quint32(MaxImage / Card::SectorSize));
            const qint64 count = qMax<qint64>(1, in.u8());
            card.unreadable.append({first, first + count * Card::SectorSize});
        }
    }
    return card;
}

// Writes the image sparsely: only the pieces that lie within its length.
bool write(const Image &card, const QString &path, qint64 *length)
{
    QMap<qint64, QByteArray> pieces = card.data;
    QByteArray header(int(Card::HeaderSize), '\0');
    encodeVolumeHeader(header.data(), VolumeHeader{card.magic, card.tableSector});
    pieces.insert(Card::HeaderOffset, header);
    pieces.insert(Card::sectorOffset(card.tableSector), card.table);
    for (auto it = card.blocks.cbegin(); it != card.blocks.cend(); ++it)
        pieces.insert(Card::sectorOffset(Card::directoryBlockSector(card.tableSector, it.key())), it.value());

    qint64 end = 0;
    for (auto it = pieces.cbegin(); it != pieces.cend(); ++it)
        end = qMax(end, it.key() + it.value().size());
    *length = card.length > 0 ? card.length : qMin(end, MaxImage);

    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    for (auto it = pieces.cbegin(); it != pieces.cend(); ++it) {
        if (it.key() >= *length)
            continue;
        const qint64 count = qMin<qint64>(it.value().size(), *length - it.key());
        if (!file.seek(it.key()) || file.write(it.value().constData(), count) != count)
            return false;
    }
    return file.resize(*length);
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

struct Progress
{
    qint64 count = 0;
    int lastCurrent = 0;
    int lastTotal = 0;
};

// Checks what every export promises about its outcome, its file and its progress, then
// removes the file so that the next export starts from an empty folder.
void checkExport(const ExportResult &result, const Progress &progress, const QString &path, qint64 expected)
{
    const QFileInfo out(result.destination);
    switch (result.status) {
    case ExportResult::Complete:
    case ExportResult::Incomplete:
        if (!out.exists() || out.size() != result.bytesWritten)
            violated("exported file size differs from bytesWritten", path);
        if (result.bytesWritten > expected)
            violated("more bytes written than expected", path);
        if (result.status == ExportResult::Complete
            && (result.bytesWritten != expected || !result.message.isEmpty()))
            violated("complete copy is short or carries a message", path);
        if (result.status == ExportResult::Incomplete && result.message.isEmpty())
            violated("incomplete copy without a reason", path);
        if (progress.count == 0 || progress.lastCurrent != progress.lastTotal)
            violated("copy ended without its final progress", path);
        break;
    case ExportResult::Failed:
    case ExportResult::Stopped:
        if (!result.destination.isEmpty() && out.exists())
            violated("failed or stopped copy left its file", path);
        if (result.message.isEmpty())
            violated("failed or stopped copy without a reason", path);
        break;
    }
    if (!result.destination.isEmpty())
        QFile::remove(result.destination);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Removed at exit; an input that crashes leaves it behind, under a name that says whose.
    static QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/vexa-fuzz-XXXXXX"));
    if (!dir.isValid())
        violated("no temporary folder");
    const QString imagePath = dir.filePath(QStringLiteral("card.img"));
    const QString folder = dir.filePath(QStringLiteral("out"));
    QDir().mkpath(folder);

    const Image card = decode(data, size);
    qint64 length = 0;
    if (!write(card, imagePath, &length))
        violated("cannot write the card image", imagePath);

    Filesystem fs;
    Progress progress;
    QObject::connect(&fs, &Filesystem::progress, [&progress](int current, int total) {
        if (progress.count > 0 && progress.lastCurrent == progress.lastTotal)
            violated("progress after the final emission");
        ++progress.count;
        progress.lastCurrent = current;
        progress.lastTotal = total;
    });

    // Other pieces of the image (a table at sector 0, raw bytes) may cover the header:
    // what counts is what the image holds at byte 8192.
    const bool worn = !card.unreadable.isEmpty();
    const bool opened = worn ? fs.openDevice(std::make_unique<WornCard>(imagePath, card.unreadable))
                             : fs.open(imagePath);
    VolumeHeader written;
    QByteArray header;
    QFile image(imagePath);
    if (image.open(QIODevice::ReadOnly) && image.seek(Card::HeaderOffset))
        header = image.read(Card::HeaderSize);
    const bool isCard = decodeVolumeHeader(header.constData(), header.size(), &written)
        && written.magic == Card::VolumeMagic;
    // An unreadable header makes a card look like none, never the other way round.
    if (opened ? !isCard : (isCard && !worn))
        violated("open() disagrees with the volume header");

    qint64 budget = CopyBudget;
    const QList<EntryInfo> root = fs.listRoot();
    for (const EntryInfo &dirEntry : root) {
        if (!dirEntry.isDirectory)
            continue;
        // Every listed directory is found again by its name, at its slot or an earlier
        // one of the same minute.
        const int found = fs.directoryIndex(dirEntry.name);
        if (found < 1 || found > dirEntry.index)
            violated("listed directory not found by its name", dirEntry.name);
        fs.list(dirEntry.name);

        const QList<EntryInfo> files = fs.listDirectory(dirEntry.index);
        for (const EntryInfo &fileEntry : files) {
            const QString path = QLatin1Char('/') + dirEntry.name + QLatin1Char('/') + fileEntry.name;
            FileRecord record;
            if (fs.findFileRecord(dirEntry.index, fileEntry.name, &record) < 0)
                violated("listed file not found in its directory", path);
            // The path names this file, or one of the same start time in an earlier
            // directory of the same minute.
            const std::optional<EntryInfo> named = fs.resolve(path);
            if (!named || named->index > dirEntry.index || named->record.startTime != fileEntry.record.startTime)
                violated("listed file not found by its path", path);
            if (budget <= 0)
                continue;

            const QByteArray read = fs.readFile(path);
            budget -= read.size();
            progress = Progress();
            const ExportResult result = fs.exportFile(path, folder);
            budget -= result.bytesWritten;
            // Every listed file can be exported; only the card ending or unreadable
            // sectors may make the copy short, or leave nothing to copy at all: a file
            // that begins beyond the card's end, or a card that stopped answering.
            const bool nothingThere = result.status == ExportResult::Failed && result.bytesWritten == 0
                && (result.cardStopped || result.message.contains(QLatin1String("beyond the end of the card")));
            if (result.status != ExportResult::Complete && result.status != ExportResult::Incomplete && !nothingThere)
                violated("listed file could not be exported", path + QLatin1String(": ") + result.message);
            // Both find the file by its path and read it the same way.
            if (!worn && !nothingThere && contents(result.destination) != read)
                violated("readFile and the export disagree", path);
            checkExport(result, progress, path, qMax<qint64>(0, named->record.sectorCount()) * Card::SectorSize);
        }
    }

    if (card.stopBeforeLog)
        fs.requestStop();
    progress = Progress();
    const ExportResult log = fs.exportFile(QStringLiteral("/log"), folder);
    checkExport(log, progress, QStringLiteral("/log"), Card::LogExportSectors * Card::SectorSize);
    if (card.stopBeforeLog && log.status != ExportResult::Stopped && log.status != ExportResult::Failed)
        violated("log export ignored the stop request");
    fs.clearStopRequest();

    if (QFileInfo(imagePath).size() != length)
        violated("the card image changed");
    return 0;
}
