// The device list: Windows' sixteen raw drives, and Linux's read from a made-up /sys/block.
#include "devicediscoverer.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

static bool put(const QString &path, const QByteArray &text)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly) && file.write(text + '\n') > 0;
}

class TestDeviceDiscoverer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void devices()
    {
        const QStringList drives = DeviceDiscoverer::physicalDrives(); // whatever this machine has
        QCOMPARE(drives.size(), 16);
        QCOMPARE((QStringList{drives.first(), drives.at(10), drives.last()}),
                 (QStringList{"\\\\.\\PhysicalDrive0", "\\\\.\\PhysicalDrive10", "\\\\.\\PhysicalDrive15"}));
#if defined(Q_OS_WIN)
        QCOMPARE(DeviceDiscoverer().listDevices(), drives);
#elif defined(Q_OS_LINUX)
        QCOMPARE(DeviceDiscoverer().listDevices(), DeviceDiscoverer::blockDevices());
#endif
        // Linux's: removable ones first, in natural name order; no RAM disks, free loops, empty slots.
        QTemporaryDir sys;
        const char *devices[][4] = {{"sda", "976773168", "0", ""}, {"nvme0n1", "1000215216", "0", ""},
                                    {"mmcblk10", "62333952", "1", ""}, {"mmcblk2", "31116288", "1", ""},
                                    {"sdb", "0", "1", ""}, {"loop0", "0", "0", ""}, {"loop1", "2097152", "0", ""},
                                    {"loop2", "2097152", "0", "/srv/card.img"}, {"ram0", "131072", "0", ""},
                                    {"zram0", "8388608", "0", ""}};
        for (const auto &[name, size, removable, backing] : devices)
            QVERIFY(put(sys.filePath(name) + "/size", size) && put(sys.filePath(name) + "/removable", removable)
                    && (!*backing || put(sys.filePath(name) + "/loop/backing_file", backing)));
        QCOMPARE(DeviceDiscoverer::blockDevices(sys.path(), "/dev"),
                 QStringList({"/dev/mmcblk2", "/dev/mmcblk10", "/dev/loop2", "/dev/nvme0n1", "/dev/sda"}));
        QCOMPARE(DeviceDiscoverer::blockDevices(sys.filePath("missing")), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestDeviceDiscoverer)
#include "tst_devicediscoverer.moc"
