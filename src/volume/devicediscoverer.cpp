#include "devicediscoverer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

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

} // namespace

DeviceDiscoverer::~DeviceDiscoverer() = default;

QStringList DeviceDiscoverer::listDevices() const
{
#if defined(Q_OS_WIN)
    return physicalDrives();
#elif defined(Q_OS_LINUX)
    return blockDevices();
#else
    return QStringList();
#endif
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
