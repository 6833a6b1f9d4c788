#include "cardmodel.h"
#include "carddevice.h"
#include "gpstime.h"

namespace {

// The fields of a name of `length` characters (13 or 15): YYYYMMDD_HHMM[SS], digits
// only. False for anything else.
bool nameFields(const QString &name, int length, int *fields)
{
    if (name.size() != length)
        return false;
    for (int i = 0; i < length; ++i) {
        const QChar c = name.at(i);
        if (i == 8 ? c != QLatin1Char('_') : (c < QLatin1Char('0') || c > QLatin1Char('9')))
            return false;
    }
    static const int positions[6][2] = {{0, 4}, {4, 2}, {6, 2}, {9, 2}, {11, 2}, {13, 2}};
    for (int i = 0; i < (length == 13 ? 5 : 6); ++i)
        fields[i] = QStringView(name).mid(positions[i][0], positions[i][1]).toInt();
    return true;
}

// `value` as `width` decimal digits, zero-padded. The fields of a card name always fit:
// the year of a 32-bit GPS time is 1980 .. 2116, the others are below 100.
char *putDigits(char *at, quint32 value, int width)
{
    for (int i = width - 1; i >= 0; --i) {
        at[i] = char('0' + value % 10);
        value /= 10;
    }
    return at + width;
}

// YYYYMMDD_HHMM, then SS for a file. Digits put one by one, not through printf: an export
// of a full card names each of its tens of thousands of files more than once.
QString calendarName(quint32 startTime, bool withSeconds)
{
    GpsTime t;
    gpsToCalendar(startTime, t);
    char name[15];
    char *at = putDigits(name, t.year, 4);
    at = putDigits(at, t.month, 2);
    at = putDigits(at, t.day, 2);
    *at++ = '_';
    at = putDigits(at, t.hour, 2);
    at = putDigits(at, t.minute, 2);
    if (withSeconds)
        at = putDigits(at, t.second, 2);
    return QString::fromLatin1(name, at - name);
}

} // namespace

QString cardMinuteText(quint32 time)
{
    GpsTime t;
    gpsToCalendar(time, t);
    return QString::asprintf("%04u-%02u-%02u %02u:%02u", t.year, t.month, t.day, t.hour, t.minute);
}

QString cardDirectoryName(quint32 startTime)
{
    return calendarName(startTime, false);
}

QString cardFileName(quint32 startTime)
{
    return calendarName(startTime, true);
}

// A name stands for an instant only when that instant is named so again: this refuses
// days past the month's end, second 60, and dates outside the range of 32-bit GPS
// seconds, which would otherwise wrap round onto some other time.
bool parseDirectoryName(const QString &name, quint32 *minuteStart)
{
    int f[6] = {};
    if (!nameFields(name, 13, f) || !isValidCalendar(f[0], f[1], f[2], f[3], f[4], 0))
        return false;
    const quint32 gps = calendarToGps(f[0], f[1], f[2], f[3], f[4], 0);
    if (cardDirectoryName(gps) != name)
        return false;
    *minuteStart = gps;
    return true;
}

bool parseFileName(const QString &name, quint32 *startTime)
{
    int f[6] = {};
    if (!nameFields(name, 15, f) || !isValidCalendar(f[0], f[1], f[2], f[3], f[4], f[5]))
        return false;
    const quint32 gps = calendarToGps(f[0], f[1], f[2], f[3], f[4], f[5]);
    if (cardFileName(gps) != name)
        return false;
    *startTime = gps;
    return true;
}

CardModel::CardModel(CardDevice &device)
    : m_device(device)
{
}

Status CardModel::readHeader()
{
    m_blocks.clear();
    m_failures.clear();
    m_header = VolumeHeader();
    // The header's sector, read whole: raw devices read whole sectors only.
    char sector[Card::SectorSize];
    const SectorRead read = m_device.readSectors(Card::HeaderOffset / Card::SectorSize, 1, sector);
    if (read.outcome == SectorRead::Unreadable) {
        return Status::failure(read.error, QStringLiteral("cannot read the volume header of %1 (sector %2): %3")
                                               .arg(m_device.path())
                                               .arg(Card::HeaderOffset / Card::SectorSize)
                                               .arg(systemError(read.error)));
    }
    if (read.bytes < Card::HeaderSize || !decodeVolumeHeader(sector, Card::HeaderSize, &m_header))
        return Status::failure(QStringLiteral("%1 is not a card volume: it ends before its volume header").arg(m_device.path()));
    if (m_header.magic != Card::VolumeMagic) {
        return Status::failure(QStringLiteral("%1 is not a card volume (no volume header at byte %2)")
                                   .arg(m_device.path())
                                   .arg(Card::HeaderOffset));
    }
    return Status();
}

Status CardModel::block(quint64 sector, const char **data)
{
    auto found = m_blocks.constFind(sector);
    if (found == m_blocks.constEnd()) {
        const auto failed = m_failures.constFind(sector);
        if (failed != m_failures.constEnd())
            return failed.value();
        QByteArray bytes(int(Card::BlockSize), '\0');
        const SectorRead read = m_device.readSectors(sector, Card::SectorsPerBlock, bytes.data());
        if (read.outcome != SectorRead::Read) {
            const Status failure = read.outcome == SectorRead::Unreadable
                ? Status::failure(read.error, systemError(read.error))
                : Status::failure(QStringLiteral("the card ends before it"));
            m_failures.insert(sector, failure);
            return failure;
        }
        found = m_blocks.insert(sector, bytes);
    }
    *data = found.value().constData();
    return Status();
}

QString CardModel::directoryProblem(int slot, quint32 startTime, const QString &why) const
{
    return QStringLiteral("cannot read directory %1 (table slot %2, sector %3): %4")
        .arg(cardDirectoryName(startTime))
        .arg(slot)
        .arg(Card::directoryBlockSector(m_header.tableSector, slot))
        .arg(why);
}

QList<EntryInfo> CardModel::root(QStringList *problems)
{
    QList<EntryInfo> entries;
    const char *table = nullptr;
    if (const Status read = block(m_header.tableSector, &table); !read) {
        if (problems)
            problems->append(QStringLiteral("cannot read the directory table (sector %1): %2")
                                 .arg(m_header.tableSector)
                                 .arg(read.message));
        return entries;
    }
    for (int slot = Card::FirstDirectorySlot; slot <= Card::LastDirectorySlot; ++slot) {
        DirectorySlot directory;
        decodeDirectorySlot(table, Card::BlockSize, slot, &directory);
        if (directory.occupancy == 0)
            break; // the directory list ends at the first free slot
        EntryInfo entry;
        entry.name = cardDirectoryName(directory.startTime);
        entry.isDirectory = true;
        entry.index = slot;
        const char *data = nullptr;
        if (const Status read = block(Card::directoryBlockSector(m_header.tableSector, slot), &data); !read) {
            entry.problem = directoryProblem(slot, directory.startTime, read.message);
            if (problems)
                problems->append(entry.problem);
        }
        entries.append(entry);
    }
    EntryInfo log;
    log.name = QStringLiteral("log");
    log.size = Card::LogListedSize;
    entries.append(log);
    return entries;
}

QList<EntryInfo> CardModel::directory(int slot, QString *problem)
{
    QList<EntryInfo> entries;
    if (slot < Card::FirstDirectorySlot || slot > Card::LastDirectorySlot)
        return entries;
    const char *data = nullptr;
    if (const Status read = block(Card::directoryBlockSector(m_header.tableSector, slot), &data); !read) {
        if (problem) {
            // The table was read before any of its directories could be listed.
            const char *table = nullptr;
            DirectorySlot directory;
            if (block(m_header.tableSector, &table))
                decodeDirectorySlot(table, Card::BlockSize, slot, &directory);
            *problem = directoryProblem(slot, directory.startTime, read.message);
        }
        return entries;
    }
    for (int recordSlot = 0; recordSlot < Card::RecordsPerBlock; ++recordSlot) {
        FileRecord record;
        decodeFileRecord(data, Card::BlockSize, recordSlot, &record);
        if (record.isEmpty())
            continue; // a directory block has no terminator: empty slots are skipped
        EntryInfo entry;
        entry.name = cardFileName(record.startTime);
        entry.size = record.listedSize();
        entry.fileFlag = (record.flags & 1) != 0;
        entry.index = slot;
        entry.recordSlot = recordSlot;
        entry.record = record;
        entries.append(entry);
    }
    return entries;
}

int CardModel::findDirectory(quint32 minuteStart, int firstSlot)
{
    const char *table = nullptr;
    if (!block(m_header.tableSector, &table))
        return -1;
    // A directory name carries only the minute, so the directory may have begun at any
    // second of it; the recorder's tools also accept the first two seconds after it.
    // The lookup does not stop at a free slot, unlike the listing, but a free slot
    // itself names nothing (its start time is often 0, the epoch's first minute).
    for (int slot = qMax(firstSlot, Card::FirstDirectorySlot); slot <= Card::LastDirectorySlot; ++slot) {
        DirectorySlot directory;
        decodeDirectorySlot(table, Card::BlockSize, slot, &directory);
        if (directory.occupancy != 0 && directory.startTime >= minuteStart && directory.startTime - minuteStart <= 61)
            return slot;
    }
    return -1;
}

int CardModel::findRecord(int slot, quint32 startTime, FileRecord *record)
{
    for (const EntryInfo &entry : directory(slot)) {
        // An empty slot may keep a stale start time; the listing skips those, so a
        // match here never hands out the card's first sectors as a file.
        if (entry.record.startTime == startTime) {
            *record = entry.record;
            return entry.recordSlot;
        }
    }
    return -1;
}

std::optional<EntryInfo> CardModel::resolve(const QString &cardPath)
{
    if (cardPath == QLatin1String("/log")) {
        EntryInfo log;
        log.name = QStringLiteral("log");
        log.size = Card::LogListedSize;
        return log;
    }
    const QStringList parts = cardPath.split(QLatin1Char('/'));
    quint32 minuteStart = 0;
    quint32 startTime = 0;
    if (parts.size() != 3 || !parts.at(0).isEmpty() || !parseDirectoryName(parts.at(1), &minuteStart)
        || !parseFileName(parts.at(2), &startTime))
        return std::nullopt;
    for (int slot = findDirectory(minuteStart); slot > 0; slot = findDirectory(minuteStart, slot + 1)) {
        for (const EntryInfo &file : directory(slot)) {
            if (file.record.startTime == startTime)
                return file;
        }
    }
    return std::nullopt;
}

CopySource CardModel::source(const EntryInfo &entry)
{
    CopySource source;
    if (entry.isFile()) {
        const char *table = nullptr;
        DirectorySlot directory;
        if (block(m_header.tableSector, &table))
            decodeDirectorySlot(table, Card::BlockSize, entry.index, &directory);
        // Formatted once: an export of a full card asks this of every one of its files.
        const QString name = cardFileName(entry.record.startTime);
        source.cardPath = QLatin1Char('/') + cardDirectoryName(directory.startTime) + QLatin1Char('/') + name;
        source.outputName = name + QLatin1String(".mseed");
        source.firstCardSector = entry.record.firstSector;
        source.sectorCount = entry.record.sectorCount();
    } else if (entry.isDirectory) {
        source.cardPath = QLatin1Char('/') + entry.name; // a directory is no copy: no outputName
    } else if (entry.isLog()) {
        source.cardPath = QStringLiteral("/log");
        source.outputName = QStringLiteral("log");
        source.firstCardSector = quint64(Card::LogOffset / Card::SectorSize);
        source.sectorCount = Card::LogExportSectors;
    }
    return source;
}
