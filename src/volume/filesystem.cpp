#include "filesystem.h"
#include "gpstime.h"

#include <QMutexLocker>

#include <algorithm>
#include <cstdio>
#include <limits>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

// Export chunk (1 MiB): whole sectors read and written at once, which keeps a copy near
// the speed of the disk; progress still counts single sectors.
constexpr qint64 ChunkSectors = 2048;

// Splits a name YYYYMMDD_HHMM[SS] into its fields; false when position 8 is not "_" or
// a field is not a number. Fields are cut short at the end of the text, as the
// recorder's own tools do, and characters after the last field are ignored.
bool parseName(const QString &name, int fieldCount, int *fields)
{
    if (name.size() <= 8 || name.at(8) != QLatin1Char('_'))
        return false;
    static const int positions[6][2] = {{0, 4}, {4, 2}, {6, 2}, {9, 2}, {11, 2}, {13, 2}};
    for (int i = 0; i < fieldCount; ++i) {
        bool ok = false;
        fields[i] = name.mid(positions[i][0], positions[i][1]).toInt(&ok, 10);
        if (!ok)
            return false;
    }
    return true;
}

// The size of a card image or raw device, or -1 when the system does not say. A raw
// device reports no size to stat(); its end is found by seeking there.
qint64 deviceSize(QFile &device)
{
#ifdef Q_OS_UNIX
    const int fd = device.handle();
    if (fd >= 0) {
        const off_t here = ::lseek(fd, 0, SEEK_CUR);
        const off_t end = ::lseek(fd, 0, SEEK_END);
        if (here >= 0)
            ::lseek(fd, here, SEEK_SET);
        if (end > 0)
            return qint64(end);
    }
#endif
    const qint64 size = device.size();
    return size > 0 ? size : -1;
}

QString withoutLeadingSlash(const QString &name)
{
    return name.startsWith(QLatin1Char('/')) ? name.mid(1) : name;
}

// GPS second at which the minute named by a directory name YYYYMMDD_HHMM (optionally
// after one "/") begins. False for a malformed name or an impossible date: those
// convert to 0, the start time of the table's free slots, and name no directory.
bool directoryMinute(const QString &name, quint32 *startTime)
{
    int f[5];
    if (!parseName(withoutLeadingSlash(name), 5, f) || !isValidCalendar(f[0], f[1], f[2], f[3], f[4], 0))
        return false;
    *startTime = calendarToGps(f[0], f[1], f[2], f[3], f[4], 0);
    return true;
}

} // namespace

QString cardDirectoryName(quint32 startTime)
{
    GpsTime t;
    gpsToCalendar(startTime, t);
    char name[64];
    std::snprintf(name, sizeof name, "%04u%02u%02u_%02u%02u", t.year, t.month, t.day, t.hour,
                  t.minute);
    return QString::fromLatin1(name);
}

QString cardFileName(quint32 startTime)
{
    GpsTime t;
    gpsToCalendar(startTime, t);
    char name[64];
    std::snprintf(name, sizeof name, "%04u%02u%02u_%02u%02u%02u", t.year, t.month, t.day, t.hour,
                  t.minute, t.second);
    return QString::fromLatin1(name);
}

Filesystem::Filesystem() = default;

Filesystem::~Filesystem() = default;

bool Filesystem::open(const QString &devicePath)
{
    return openDevice(std::make_unique<QFile>(devicePath));
}

bool Filesystem::openDevice(std::unique_ptr<QFile> device)
{
    QMutexLocker locker(&m_lock);
    m_device = std::move(device);
    m_header = VolumeHeader();
    m_deviceSize = -1;
    m_error.clear();
    m_stopRequested = false;

    // Read-only and buffered: the card is never written, and raw disks on some systems
    // accept only sector-sized reads, which QFile's buffer provides.
    if (!m_device->open(QIODevice::ReadOnly)) {
        m_error = QStringLiteral("cannot open %1: %2").arg(m_device->fileName(), m_device->errorString());
        return false;
    }
    m_deviceSize = deviceSize(*m_device);
    char bytes[Card::HeaderSize];
    if (readAt(Card::HeaderOffset, bytes, Card::HeaderSize) != Card::HeaderSize
        || !decodeVolumeHeader(bytes, Card::HeaderSize, &m_header)) {
        m_error = QStringLiteral("%1 is not a card volume: it ends before its volume header")
                      .arg(m_device->fileName());
        return false;
    }
    if (m_header.magic != Card::VolumeMagic) {
        m_error = QStringLiteral("%1 is not a card volume (no volume header at byte %2)")
                      .arg(m_device->fileName())
                      .arg(Card::HeaderOffset);
        return false;
    }
    return true;
}

QString Filesystem::errorString() const
{
    QMutexLocker locker(&m_lock);
    return m_error;
}

QString Filesystem::devicePath() const
{
    QMutexLocker locker(&m_lock);
    return m_device ? m_device->fileName() : QString();
}

qint64 Filesystem::readAt(qint64 offset, char *data, qint64 length)
{
    QMutexLocker locker(&m_lock);
    if (!m_device || !m_device->isOpen())
        return -1;
    // Beyond the end of a raw device a seek may fail or a read may report an error;
    // either way there is nothing there, which is not the same as an unreadable sector.
    if ((m_deviceSize >= 0 && offset >= m_deviceSize) || !m_device->seek(offset))
        return 0;
    if (m_deviceSize >= 0)
        length = qMin(length, m_deviceSize - offset);
    qint64 total = 0;
    while (total < length) {
        const qint64 got = m_device->read(data + total, length - total);
        if (got < 0)
            return total > 0 ? total : -1;
        if (got == 0)
            break; // the end of the device
        total += got;
    }
    return total;
}

bool Filesystem::readBlock(quint64 sector, char *block)
{
    return readAt(Card::sectorOffset(sector), block, Card::BlockSize) == Card::BlockSize;
}

QList<EntryInfo> Filesystem::list(const QString &path)
{
    QMutexLocker locker(&m_lock);
    if (path == QLatin1String("/"))
        return listRoot();
    return listDirectory(directoryIndex(path));
}

QList<EntryInfo> Filesystem::listRoot()
{
    QMutexLocker locker(&m_lock);
    QList<EntryInfo> entries;
    char table[Card::BlockSize];
    if (!readBlock(m_header.tableSector, table))
        return entries;
    for (int slot = Card::FirstDirectorySlot; slot <= Card::LastDirectorySlot; ++slot) {
        DirectorySlot directory;
        decodeDirectorySlot(table, sizeof table, slot, &directory);
        if (directory.occupancy == 0)
            break; // the directory list ends at the first free slot
        EntryInfo entry;
        entry.name = cardDirectoryName(directory.startTime);
        entry.isDirectory = true;
        entry.index = slot;
        entries.append(entry);
    }
    EntryInfo log;
    log.name = QStringLiteral("log");
    log.size = Card::LogListedSize;
    entries.append(log);
    return entries;
}

QList<EntryInfo> Filesystem::listDirectory(int index)
{
    QList<EntryInfo> entries;
    if (index <= 0)
        return entries;
    QMutexLocker locker(&m_lock);
    char block[Card::BlockSize];
    if (!readBlock(Card::directoryBlockSector(m_header.tableSector, index), block))
        return entries;
    for (int slot = 0; slot < Card::RecordsPerBlock; ++slot) {
        FileRecord record;
        decodeFileRecord(block, sizeof block, slot, &record);
        if (record.isEmpty())
            continue; // a directory block has no terminator: empty slots are skipped
        EntryInfo entry;
        entry.name = cardFileName(record.startTime);
        entry.size = record.listedSize();
        entry.fileFlag = (record.flags & 1) != 0;
        entry.index = index;
        entries.append(entry);
    }
    return entries;
}

int Filesystem::findDirectoryFrom(quint32 startTime, int firstSlot)
{
    QMutexLocker locker(&m_lock);
    char table[Card::BlockSize];
    if (!readBlock(m_header.tableSector, table))
        return -1;
    // A directory name carries only the minute, so the directory may have begun at any
    // second of it; the recorder's tools also accept the first two seconds after it.
    // The lookup does not stop at a free slot, unlike the listing.
    for (int slot = qMax(firstSlot, Card::FirstDirectorySlot); slot <= Card::LastDirectorySlot; ++slot) {
        DirectorySlot directory;
        decodeDirectorySlot(table, sizeof table, slot, &directory);
        if (directory.startTime >= startTime && directory.startTime - startTime <= 61)
            return slot;
    }
    return -1;
}

int Filesystem::findDirectory(int year, int month, int day, int hour, int minute)
{
    // An impossible date converts to 0, which would match the free slots of the table
    // (their start time is 0 too): such a name names no directory.
    if (!isValidCalendar(year, month, day, hour, minute, 0))
        return -1;
    return findDirectoryFrom(calendarToGps(year, month, day, hour, minute, 0), Card::FirstDirectorySlot);
}

int Filesystem::directoryIndex(const QString &name)
{
    quint32 startTime;
    return directoryMinute(name, &startTime) ? findDirectoryFrom(startTime, Card::FirstDirectorySlot) : -1;
}

int Filesystem::findFileRecord(int dirIndex, const QString &fileName, FileRecord *record)
{
    int f[6];
    if (dirIndex <= 0 || !parseName(fileName, 6, f))
        return -1;
    QMutexLocker locker(&m_lock);
    char block[Card::BlockSize];
    if (!readBlock(Card::directoryBlockSector(m_header.tableSector, dirIndex), block))
        return -1;
    const quint32 startTime = calendarToGps(f[0], f[1], f[2], f[3], f[4], f[5]);
    for (int slot = 0; slot < Card::RecordsPerBlock; ++slot) {
        FileRecord candidate;
        decodeFileRecord(block, sizeof block, slot, &candidate);
        // An empty slot may keep a stale start time; matching it would hand out the
        // card's first sectors as if they were the file.
        if (!candidate.isEmpty() && candidate.startTime == startTime) {
            *record = candidate;
            return slot;
        }
    }
    return -1;
}

QByteArray Filesystem::readFile(const QString &path)
{
    QMutexLocker locker(&m_lock);
    const int dir = directoryIndex(path.section(QLatin1Char('/'), 1, 1));
    FileRecord record;
    if (dir < 0 || findFileRecord(dir, path.section(QLatin1Char('/'), 2, 2), &record) < 0)
        return {};

    // Grow the result with what the device delivers, so that a corrupt record that
    // claims more than the card holds costs no more memory than the card has.
    const qint64 length = record.readLength();
    constexpr qint64 Step = 1 << 20;
    QByteArray data;
    qint64 offset = Card::sectorOffset(record.firstSector);
    while (data.size() < length) {
        const qint64 want = qMin(Step, length - data.size());
        const qsizetype before = data.size();
        data.resize(before + want);
        const qint64 got = readAt(offset, data.data() + before, want);
        data.resize(before + qMax<qint64>(got, 0));
        if (got < want)
            break;
        offset += got;
    }
    return data;
}

QByteArray Filesystem::readFileSectors(const QString &path, qint64 first, qint64 count)
{
    QMutexLocker locker(&m_lock);
    const int dir = directoryIndex(path.section(QLatin1Char('/'), 1, 1));
    FileRecord record;
    if (first < 0 || count <= 0 || dir < 0 || findFileRecord(dir, path.section(QLatin1Char('/'), 2, 2), &record) < 0)
        return {};
    const qint64 sectors = qMin(count, qMax<qint64>(0, record.sectorCount() - first));
    QByteArray data(sectors * Card::SectorSize, Qt::Uninitialized);
    const qint64 got = sectors > 0 ? readAt(Card::sectorOffset(record.firstSector + quint64(first)), data.data(), data.size()) : 0;
    data.resize(qMax<qint64>(got, 0));
    return data;
}

void Filesystem::requestStop()
{
    m_stopRequested = true;
}

void Filesystem::clearStopRequest()
{
    m_stopRequested = false;
}

ExportResult Filesystem::exportFile(const QString &path, const QString &folder)
{
    if (path == QLatin1String("/log"))
        return exportLog(folder);

    const QString dirName = path.section(QLatin1Char('/'), 1, 1);
    const QString name = path.section(QLatin1Char('/'), 2, 2);
    ExportResult result;

    // Two recordings that began in the same minute share a name: look through every
    // directory of that name, lowest slot first, so that each listed file is found.
    quint32 startTime;
    FileRecord record;
    bool found = false;
    if (directoryMinute(dirName, &startTime)) {
        for (int dir = findDirectoryFrom(startTime, Card::FirstDirectorySlot); dir > 0 && !found;
             dir = findDirectoryFrom(startTime, dir + 1))
            found = findFileRecord(dir, name, &record) >= 0;
    }
    if (!found) {
        result.message = QStringLiteral("no such file on the card: %1").arg(path);
        return result;
    }
    return copySectors(Card::sectorOffset(record.firstSector), record.sectorCount(),
                       folder + QLatin1Char('/') + name + QLatin1String(".mseed"));
}

ExportResult Filesystem::exportLog(const QString &folder)
{
    return copySectors(Card::LogOffset, Card::LogExportSectors, folder + QLatin1String("/log"));
}

ExportResult Filesystem::copySectors(qint64 offset, qint64 sectorCount, const QString &destination)
{
    ExportResult result;
    result.destination = destination;
    result.bytesExpected = qMax<qint64>(0, sectorCount) * Card::SectorSize;

    {
        QMutexLocker locker(&m_lock);
        if (!m_device || !m_device->isOpen()) {
            result.message = QStringLiteral("no card is open");
            return result;
        }
        if (!m_device->seek(offset)) {
            result.message = QStringLiteral("cannot seek to byte %1 of %2: %3")
                                 .arg(offset)
                                 .arg(m_device->fileName(), m_device->errorString());
            return result;
        }
    }

    // Checked before a single sector is read: a destination that cannot be written must
    // not look like a copy that ran.
    QFile out(destination);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        result.message = QStringLiteral("cannot write %1: %2").arg(destination, out.errorString());
        return result;
    }
    auto fail = [&](ExportResult::Status status, const QString &message) {
        out.close();
        out.remove(); // the card still holds the data; a half file would only mislead
        result.status = status;
        result.message = message;
        result.bytesWritten = 0;
        return result;
    };

    // progress() carries ints; a corrupt record may claim more sectors than that.
    const int total = int(qBound<qint64>(std::numeric_limits<int>::min(), sectorCount,
                                         qint64(std::numeric_limits<int>::max())));
    // A short file needs no full chunk: most files on a card are a few sectors.
    QByteArray buffer(int(qBound<qint64>(1, sectorCount, ChunkSectors) * Card::SectorSize), '\0');
    bool cardEnded = false;
    qint64 sector = 0;
    while (sector < sectorCount && !cardEnded) {
        if (m_stopRequested)
            return fail(ExportResult::Stopped, QStringLiteral("stopped before %1 was complete").arg(destination));

        const qint64 want = qMin(ChunkSectors, sectorCount - sector) * Card::SectorSize;
        const qint64 chunkOffset = offset + sector * Card::SectorSize;
        qint64 got = readAt(chunkOffset, buffer.data(), want);
        qint64 usable = got;
        if (got < want) {
            // Short chunk: the card ends here, or a sector in it cannot be read. Go
            // sector by sector to tell the two apart; an unreadable sector becomes 512
            // zero bytes so that every later sector keeps its offset in the file.
            usable = 0;
            while (usable < want) {
                const qint64 n = readAt(chunkOffset + usable, buffer.data() + usable, Card::SectorSize);
                if (n < 0) {
                    std::fill_n(buffer.data() + usable, Card::SectorSize, '\0');
                    ++result.sectorsReplaced;
                    usable += Card::SectorSize;
                } else {
                    usable += n;
                    if (n < Card::SectorSize) {
                        cardEnded = true;
                        break;
                    }
                }
            }
        }
        if (usable > 0 && out.write(buffer.constData(), usable) != usable)
            return fail(ExportResult::Failed, QStringLiteral("cannot write %1: %2").arg(destination, out.errorString()));
        result.bytesWritten += usable;

        // One emission per sector written; a sector cut short by the end of the card
        // counts as written.
        const qint64 done = (usable + Card::SectorSize - 1) / Card::SectorSize;
        for (qint64 i = 0; i < done; ++i, ++sector)
            Q_EMIT progress(int(qMin<qint64>(sector, total - 1)), total);
    }

    if (m_stopRequested && sector < sectorCount)
        return fail(ExportResult::Stopped, QStringLiteral("stopped before %1 was complete").arg(destination));
    if (!out.flush())
        return fail(ExportResult::Failed, QStringLiteral("cannot write %1: %2").arg(destination, out.errorString()));
    out.close();
    if (out.error() != QFileDevice::NoError)
        return fail(ExportResult::Failed, QStringLiteral("cannot write %1: %2").arg(destination, out.errorString()));

    if (cardEnded) {
        result.status = ExportResult::Incomplete;
        result.message = QStringLiteral("the card ends after %1 of %2 bytes")
                             .arg(result.bytesWritten)
                             .arg(result.bytesExpected);
    } else if (result.sectorsReplaced > 0) {
        result.status = ExportResult::Incomplete;
        result.message = QStringLiteral("%1 unreadable sectors written as zeros").arg(result.sectorsReplaced);
    } else {
        result.status = ExportResult::Complete;
    }
    // The destination is closed before the final emission: whoever starts the next
    // copy on it finds this one finished on disk.
    Q_EMIT progress(total, total);
    return result;
}
