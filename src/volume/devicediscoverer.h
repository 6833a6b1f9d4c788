// The device paths offered in the window's device chooser and by `vexa-card devices`.
#pragma once

#include <QHash>
#include <QString>
#include <QStringList>
#include <QVector>

// What a look at one candidate found: a card (with what it holds), something that is not
// a card, or a device that could not be read (with the system's reason).
struct DeviceProbe
{
    enum Verdict { Card, NotACard, Unreadable };

    QString device;
    Verdict verdict = Unreadable;
    qint64 size = -1;         // bytes; -1 when unknown
    int files = 0;            // recording files listed on a card
    quint32 first = 0;        // GPS second the card's first recording file began (0: none)
    quint32 last = 0;         // GPS second its last recording file began
    int unreadableBlocks = 0; // directory table or blocks of a card that could not be read
    // Not a card: why not; unreadable: the system's reason and what to do. A card whose
    // directory blocks could not all be read: the first reason.
    QString detail;
};

class DeviceDiscoverer
{
public:
    virtual ~DeviceDiscoverer();

    // The candidate card devices of this machine. Nothing is opened to build the list.
    // Windows: "\\.\PhysicalDrive0" to "\\.\PhysicalDrive15", whether present or not.
    // Linux: blockDevices() of /sys/block. Elsewhere: empty.
    QStringList listDevices() const;

    // The sixteen raw disk paths of Windows, drive 0 first.
    static QStringList physicalDrives();

    // The whole-disk block devices under `sysBlock` (a /sys/block tree) as paths under
    // `devFolder`: removable ones (card readers) first, each group in name order.
    // Left out: RAM disks, loop devices without a backing file, and devices of size 0
    // (an empty card slot).
    static QStringList blockDevices(const QString &sysBlock = QStringLiteral("/sys/block"),
                                    const QString &devFolder = QStringLiteral("/dev"));

    // Probes listDevices() and then `paths` (a path given twice is probed once): cards
    // first, then the rest, each group in the order given. Read-only.
    QVector<DeviceProbe> probeDevices(const QStringList &paths = QStringList()) const;

    // Looks at one path, read-only: a FIFO or a folder is never opened, a disk holding a
    // mounted file system (the system's disk) is not a card and is not opened either;
    // anything else is opened and its volume header read, and for a card its directory
    // table and blocks. `mounted` is mountedDisks().
    static DeviceProbe probe(const QString &path, const QHash<QString, QStringList> &mounted = {});

    // The mount points of the file systems on `disk` (by its path, or by the disk a link
    // names), from mountedDisks(): a disk in use, which holds no card and is not opened.
    static QStringList mountPoints(const QString &disk, const QHash<QString, QStringList> &mounted);

    // The whole disks (as paths under `devFolder`) holding mounted file systems, with their
    // mount points: a partition's disk, and the disks below device-mapper or RAID devices,
    // from the mounts of `mountInfo` (/proc/self/mountinfo) and the links of `sys`. Empty
    // where the system has no such files.
    static QHash<QString, QStringList> mountedDisks(const QString &mountInfo = QStringLiteral("/proc/self/mountinfo"),
                                                    const QString &sys = QStringLiteral("/sys"),
                                                    const QString &devFolder = QStringLiteral("/dev"));
};
