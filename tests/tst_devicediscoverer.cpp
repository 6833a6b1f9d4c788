// The device list of Linux, read from a made-up /sys/block tree.
#include "devicediscoverer.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TestDeviceDiscoverer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void blockDevices();
};

namespace {

bool addDevice(const QString &sysBlock, const QString &name, const QByteArray &size, const QByteArray &removable,
               bool backingFile = false)
{
    const QString dir = sysBlock + QLatin1Char('/') + name;
    if (!QDir().mkpath(dir + QLatin1String("/loop")))
        return false;
    auto write = [](const QString &path, const QByteArray &text) {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(text + '\n') == text.size() + 1;
    };
    return write(dir + QLatin1String("/size"), size) && write(dir + QLatin1String("/removable"), removable)
        && (!backingFile || write(dir + QLatin1String("/loop/backing_file"), "/srv/card.img"));
}

} // namespace

void TestDeviceDiscoverer::blockDevices()
{
    QTemporaryDir sys;
    QVERIFY(sys.isValid());
    const QString root = sys.path();
    QVERIFY(addDevice(root, QStringLiteral("sda"), "976773168", "0"));
    QVERIFY(addDevice(root, QStringLiteral("nvme0n1"), "1000215216", "0"));
    QVERIFY(addDevice(root, QStringLiteral("mmcblk10"), "62333952", "1"));
    QVERIFY(addDevice(root, QStringLiteral("mmcblk2"), "31116288", "1"));
    QVERIFY(addDevice(root, QStringLiteral("sdb"), "0", "1"));                // card reader, no card
    QVERIFY(addDevice(root, QStringLiteral("loop0"), "0", "0"));              // unused loop
    QVERIFY(addDevice(root, QStringLiteral("loop1"), "2097152", "0"));        // loop without a file
    QVERIFY(addDevice(root, QStringLiteral("loop2"), "2097152", "0", true));  // an attached card image
    QVERIFY(addDevice(root, QStringLiteral("ram0"), "131072", "0"));
    QVERIFY(addDevice(root, QStringLiteral("zram0"), "8388608", "0"));

    const QStringList expected{
        QStringLiteral("/dev/mmcblk2"), QStringLiteral("/dev/mmcblk10"),
        QStringLiteral("/dev/loop2"), QStringLiteral("/dev/nvme0n1"), QStringLiteral("/dev/sda"),
    };
    QCOMPARE(DeviceDiscoverer::blockDevices(root, QStringLiteral("/dev")), expected);
    QCOMPARE(DeviceDiscoverer::blockDevices(root + QLatin1String("/missing")), QStringList());
}

QTEST_GUILESS_MAIN(TestDeviceDiscoverer)
#include "tst_devicediscoverer.moc"
