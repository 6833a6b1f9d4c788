// The device paths offered in the window's device chooser and by `vexa-card devices`.
#pragma once

#include <QString>
#include <QStringList>

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
};
