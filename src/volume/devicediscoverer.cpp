#include "devicediscoverer.h"

#include "carddevice.h"
#include "cardformat.h"
#include "cardmodel.h"
#include "platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <algorithm>

namespace {

QByteArray readAttribute(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll().trimmed();
}

// Natural order, so that mmcblk2 comes before mmcblk10.
bool nameLess(const QString &a, const QString &b)
{
    int i = 0;
    int j = 0;
    while (i < a.size() && j < b.size()) {
        if (a.at(i).isDigit() && b.at(j).isDigit()) {
            int ei = i;
            int ej = j;
            while (ei < a.size() && a.at(ei).isDigit())
                ++ei;
            while (ej < b.size() && b.at(ej).isDigit())
                ++ej;
            const qulonglong x = a.mid(i, ei - i).toULongLong();
            const qulonglong y = b.mid(j, ej - j).toULongLong();
            if (x != y)
                return x < y;
            i = ei;
            j = ej;
            continue;
        }
        if (a.at(i) != b.at(j))
            return a.at(i) < b.at(j);
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

// A mount point as mountinfo writes it: space, tab, newline and backslash as octal escapes.
QString unescapeMountPoint(const QByteArray &field)
{
    QByteArray out;
    for (int i = 0; i < field.size(); ++i) {
        if (field.at(i) == '\\' && i + 3 < field.size()) {
            bool ok = false;
            const int code = field.mid(i + 1, 3).toInt(&ok, 8);
            if (ok) {
                out += char(code);
                i += 3;
                continue;
            }
        }
        out += field.at(i);
    }
    return QFile::decodeName(out);
}

// The names of the whole disks below the block device whose /sys folder is `dir`: a
// partition's parent, or, for a device-mapper or RAID device, the disks of its slaves.
void wholeDisks(const QString &dir, const QString &sys, QSet<QString> *disks, int depth = 0)
{
    if (dir.isEmpty() || depth > 8)
        return;
    const QStringList slaves = QDir(dir + QLatin1String("/slaves")).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System);
    if (!slaves.isEmpty()) {
        for (const QString &slave : slaves)
            wholeDisks(QFileInfo(sys + QLatin1String("/class/block/") + slave).canonicalFilePath(), sys, disks, depth + 1);
        return;
    }
    const QFileInfo info(dir);
    if (QFileInfo::exists(dir + QLatin1String("/partition")))
        disks->insert(QFileInfo(info.path()).fileName());
    else
        disks->insert(info.fileName());
}

// What to do about a device that cannot be read, unless its message says it already.
QString withAdvice(const QString &message)
{
    if (message.contains(QLatin1String("; ")))
        return message;
    return message + QStringLiteral("; check that the card sits in the reader and the path names it");
}

} // namespace

DeviceDiscoverer::~DeviceDiscoverer() = default;

QStringList DeviceDiscoverer::listDevices() const
{
    switch (systemDiskListing()) {
    case DiskListing::PhysicalDrives:
        return physicalDrives();
    case DiskListing::SysBlock:
        return blockDevices();
    case DiskListing::None:
        break;
    }
    return QStringList();
}

QStringList DeviceDiscoverer::physicalDrives()
{
    QStringList paths;
    for (int i = 0; i < 16; ++i)
        paths.append(QStringLiteral("\\\\.\\PhysicalDrive%1").arg(i));
    return paths;
}

QStringList DeviceDiscoverer::blockDevices(const QString &sysBlock, const QString &devFolder)
{
    QStringList names = QDir(sysBlock).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System);
    std::sort(names.begin(), names.end(), nameLess);

    QStringList removable;
    QStringList fixed;
    for (const QString &name : std::as_const(names)) {
        const QString dir = sysBlock + QLatin1Char('/') + name;
        if (name.startsWith(QLatin1String("ram")) || name.startsWith(QLatin1String("zram")))
            continue;
        if (name.startsWith(QLatin1String("loop")) && !QFileInfo::exists(dir + QLatin1String("/loop/backing_file")))
            continue;
        if (readAttribute(dir + QLatin1String("/size")).toULongLong() == 0)
            continue;
        const QString path = devFolder + QLatin1Char('/') + name;
        if (readAttribute(dir + QLatin1String("/removable")) == "1")
            removable.append(path);
        else
            fixed.append(path);
    }
    return removable + fixed;
}

QHash<QString, QStringList> DeviceDiscoverer::mountedDisks(const QString &mountInfo, const QString &sys,
                                                           const QString &devFolder)
{
    QHash<QString, QStringList> disks;
    QFile file(mountInfo);
    if (!file.open(QIODevice::ReadOnly))
        return disks;
    // "ID PARENT MAJOR:MINOR ROOT MOUNTPOINT ...": file systems without a device have major 0.
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() < 5 || fields.at(2).startsWith("0:"))
            continue;
        const QString dir = QFileInfo(sys + QLatin1String("/dev/block/") + QString::fromLatin1(fields.at(2))).canonicalFilePath();
        QSet<QString> names;
        wholeDisks(dir, sys, &names);
        for (const QString &name : std::as_const(names)) {
            QStringList &points = disks[devFolder + QLatin1Char('/') + name];
            const QString point = unescapeMountPoint(fields.at(4));
            if (!points.contains(point))
                points.append(point);
        }
    }
    return disks;
}

QStringList DeviceDiscoverer::mountPoints(const QString &disk, const QHash<QString, QStringList> &mounted)
{
    const QStringList points = mounted.value(disk);
    if (!points.isEmpty())
        return points;
    const QString target = QFileInfo(disk).canonicalFilePath();
    return target.isEmpty() ? QStringList() : mounted.value(target);
}

DeviceProbe DeviceDiscoverer::probe(const QString &path, const QHash<QString, QStringList> &mounted)
{
    DeviceProbe result;
    result.device = path;
    PathKind kind = PathKind::Other;
    const Status looked = lookAtPath(path, &kind);
    if (!looked) {
        result.detail = withAdvice(looked.message);
        return result;
    }
    if (kind == PathKind::Folder || kind == PathKind::Other) {
        result.verdict = DeviceProbe::NotACard;
        result.detail = kind == PathKind::Folder ? QStringLiteral("a folder")
                                                 : QStringLiteral("neither a disk nor a file (a FIFO or a socket), not opened");
        return result;
    }
    if (kind == PathKind::Disk) {
        // The disk of the system, or one with a file system in use, holds no card: cards
        // are never mounted, and opening the system's disk is no business of a reader.
        const QStringList points = mountPoints(path, mounted);
        if (!points.isEmpty()) {
            result.verdict = DeviceProbe::NotACard;
            result.detail = QStringLiteral("%1holds mounted file systems (%2)")
                                .arg(points.contains(QLatin1String("/")) ? QStringLiteral("the system's disk: ") : QString(),
                                     points.join(QLatin1String(", ")));
            return result;
        }
    }

    CardDevice device(path);
    if (const Status opened = device.open(); !opened) {
        result.detail = withAdvice(opened.message);
        return result;
    }
    result.size = device.size();
    // The volume header says whether this is a card at all: read it before anything else.
    char sector[Card::SectorSize];
    const quint64 headerSector = quint64(Card::HeaderOffset / Card::SectorSize);
    const SectorRead read = device.readSectors(headerSector, 1, sector);
    if (read.outcome == SectorRead::Unreadable) {
        result.detail = withAdvice(QStringLiteral("cannot read the volume header of %1 (sector %2): %3")
                                       .arg(path)
                                       .arg(headerSector)
                                       .arg(systemErrorText(read.error)));
        return result;
    }
    VolumeHeader header;
    if (read.bytes < Card::HeaderSize || !decodeVolumeHeader(sector, Card::HeaderSize, &header)
        || header.magic != Card::VolumeMagic) {
        result.verdict = DeviceProbe::NotACard;
        result.detail = QStringLiteral("no card volume header at byte %1").arg(Card::HeaderOffset);
        return result;
    }

    result.verdict = DeviceProbe::Card;
    CardModel model(device);
    if (const Status reread = model.readHeader(); !reread) {
        // The header read a moment ago cannot be read again: the card left the reader.
        result.verdict = DeviceProbe::Unreadable;
        result.detail = withAdvice(reread.message);
        return result;
    }
    QStringList problems;
    const QList<EntryInfo> root = model.root(&problems);
    if (root.isEmpty())
        result.unreadableBlocks = 1; // the directory table
    for (const EntryInfo &directory : root) {
        if (!directory.isDirectory)
            continue;
        if (!directory.problem.isEmpty()) {
            ++result.unreadableBlocks;
            continue;
        }
        QString problem;
        const QList<EntryInfo> files = model.directory(directory.index, &problem);
        if (!problem.isEmpty()) {
            ++result.unreadableBlocks;
            problems.append(problem);
        }
        for (const EntryInfo &file : files) {
            if (!file.isFile())
                continue;
            const quint32 start = file.record.startTime;
            if (result.files == 0 || start < result.first)
                result.first = start;
            if (result.files == 0 || start > result.last)
                result.last = start;
            ++result.files;
        }
    }
    if (!problems.isEmpty())
        result.detail = problems.first();
    return result;
}

QVector<DeviceProbe> DeviceDiscoverer::probeDevices(const QStringList &paths) const
{
    const QHash<QString, QStringList> mounted = mountedDisks();
    QStringList candidates;
    for (const QString &path : listDevices() + paths) {
        if (!candidates.contains(path))
            candidates.append(path);
    }
    QVector<DeviceProbe> cards;
    QVector<DeviceProbe> others;
    for (const QString &path : std::as_const(candidates)) {
        const DeviceProbe probed = probe(path, mounted);
        (probed.verdict == DeviceProbe::Card ? cards : others).append(probed);
    }
    return cards + others;
}
