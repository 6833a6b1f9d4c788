#include "samplecard.h"

#include "cardformat.h"
#include "filesystem.h"
#include "gpstime.h"

#include <QMap>

#include <cmath>

namespace SampleCard {

namespace {

constexpr int SampleRate = 100;
constexpr double Pi = 3.14159265358979323846;

QString timeText(quint32 gps)
{
    GpsTime t;
    gpsToCalendar(gps, t);
    return QString::asprintf("%04u-%02u-%02u %02u:%02u:%02u", t.year, t.month, t.day, t.hour, t.minute, t.second);
}

// Small noise that is the same on every run, so that two sample cards are identical.
qint32 noise(quint32 n)
{
    n ^= n >> 16;
    n *= 0x7feb352dU;
    n ^= n >> 15;
    n *= 0x846ca68bU;
    n ^= n >> 16;
    return qint32(n % 401) - 200;
}

Directory directoryAt(quint32 startTime, const QList<quint32> &lengths, quint32 *nextSector)
{
    Directory directory{startTime, {}};
    quint32 time = startTime;
    for (quint32 seconds : lengths) {
        // The recorder closes one file and opens the next in the same second.
        File file{time, seconds, *nextSector};
        directory.files.append(file);
        time += seconds;
        *nextSector = file.lastSector() + 1;
    }
    return directory;
}

} // namespace

qint64 File::sampleCount() const
{
    return qint64(seconds) * SampleRate;
}

int File::recordCount() const
{
    return int((sampleCount() + MiniSeed::SamplesPerRecord - 1) / MiniSeed::SamplesPerRecord);
}

const MiniSeed::Stream &stream()
{
    static const MiniSeed::Stream s{"XX", "VEXA", "", "HHZ", SampleRate};
    return s;
}

QList<Directory> directories()
{
    quint32 sector = FirstDataSector;
    QList<Directory> list;
    // The recordings begin at odd seconds, as a recorder started by hand does; the last
    // one starts just before midnight, so its second file begins on the next day.
    list.append(directoryAt(calendarToGps(2023, 3, 14, 9, 26, 7), {120, 300, 75}, &sector));
    list.append(directoryAt(calendarToGps(2023, 3, 14, 13, 2, 41), {200, 200, 45, 90}, &sector));
    list.append(directoryAt(calendarToGps(2023, 3, 14, 23, 58, 30), {90, 240}, &sector));
    return list;
}

QVector<qint32> samples(const File &file)
{
    const qint64 count = file.sampleCount();
    const double eventStart = 0.4 * file.seconds;
    QVector<qint32> values(count);
    for (qint64 i = 0; i < count; ++i) {
        const double t = double(i) / SampleRate;
        // Time on the card's clock, so that consecutive files join without a step.
        const double absolute = double(file.startTime) + t;
        double v = 1500.0 * std::sin(2 * Pi * absolute / 6.5) + 400.0 * std::sin(2 * Pi * absolute / 3.1 + 1.0);
        if (t >= eventStart) {
            const double s = t - eventStart;
            v += 60000.0 * std::exp(-s / 2.5) * std::sin(2 * Pi * 4.0 * s);
        }
        values[i] = qint32(std::lround(v)) + noise(file.startTime * SampleRate + quint32(i));
    }
    return values;
}

qint64 utcMicroseconds(quint32 gps)
{
    return (qint64(gps) + UnixGpsEpoch - GpsLeapSeconds) * 1000000;
}

QByteArray fileData(const File &file)
{
    const QVector<qint32> values = samples(file);
    const qint64 start = utcMicroseconds(file.startTime);
    QByteArray data;
    data.reserve(file.recordCount() * MiniSeed::RecordLength);
    for (int r = 0; r < file.recordCount(); ++r) {
        const qint64 first = qint64(r) * MiniSeed::SamplesPerRecord;
        const int count = int(qMin<qint64>(MiniSeed::SamplesPerRecord, values.size() - first));
        const qint64 at = start + first * 1000000 / SampleRate;
        data += MiniSeed::encodeRecord(stream(), r + 1, at, values.constData() + first, count);
    }
    return data;
}

QByteArray logText()
{
    QStringList lines;
    const QList<Directory> list = directories();
    const quint32 boot = list.first().startTime - 95;
    lines << QStringLiteral("%1 VEXA-3 recorder, firmware 2.4.1, serial 00417").arg(timeText(boot))
          << QStringLiteral("%1 card mounted, table at sector %2").arg(timeText(boot + 2)).arg(TableSector)
          << QStringLiteral("%1 battery 12.8 V, temperature 14.5 C").arg(timeText(boot + 3))
          << QStringLiteral("%1 GPS lock, 9 satellites, clock offset 0.000012 s").arg(timeText(boot + 71));
    for (int d = 0; d < list.size(); ++d) {
        const Directory &directory = list.at(d);
        lines << QStringLiteral("%1 recording started: XX.VEXA..HHZ 100 Hz, directory %2")
                     .arg(timeText(directory.startTime), cardDirectoryName(directory.startTime));
        quint32 end = directory.startTime;
        for (const File &file : directory.files) {
            lines << QStringLiteral("%1 file %2 opened at sector %3")
                         .arg(timeText(file.startTime), cardFileName(file.startTime))
                         .arg(file.firstSector);
            end = file.startTime + file.seconds;
            lines << QStringLiteral("%1 file closed, %2 records").arg(timeText(end)).arg(file.recordCount());
        }
        lines << QStringLiteral("%1 recording stopped by operator").arg(timeText(end))
              << QStringLiteral("%1 battery %2 V").arg(timeText(end + 1)).arg(12.6 - 0.2 * d, 0, 'f', 1);
    }
    return lines.join(QLatin1Char('\n')).toLatin1() + '\n';
}

bool write(QFile &image, QString *error)
{
    const QList<Directory> list = directories();
    QMap<qint64, QByteArray> pieces;

    QByteArray header(int(Card::HeaderSize), '\0');
    encodeVolumeHeader(header.data(), VolumeHeader{Card::VolumeMagic, TableSector});
    pieces.insert(Card::HeaderOffset, header);

    QByteArray table(int(Card::BlockSize), '\0');
    quint32 endSector = FirstDataSector;
    for (int d = 0; d < list.size(); ++d) {
        const int slot = Card::FirstDirectorySlot + d;
        encodeDirectorySlot(table.data(), slot, DirectorySlot{list.at(d).startTime, 1});
        QByteArray block(int(Card::BlockSize), '\0');
        for (int f = 0; f < list.at(d).files.size(); ++f) {
            const File &file = list.at(d).files.at(f);
            encodeFileRecord(block.data(), f, FileRecord{file.startTime, file.firstSector, file.lastSector(), 1});
            pieces.insert(Card::sectorOffset(file.firstSector), fileData(file));
            endSector = file.lastSector() + 1;
        }
        pieces.insert(Card::sectorOffset(Card::directoryBlockSector(TableSector, slot)), block);
    }
    // The slot after the last directory stays zero: the directory list ends there.
    pieces.insert(Card::sectorOffset(TableSector), table);
    pieces.insert(Card::LogOffset, logText());

    for (auto it = pieces.cbegin(); it != pieces.cend(); ++it) {
        // Seeking past the end leaves a hole: the rest of the log area and the unused
        // directory blocks read as zeros without taking disk space.
        if (!image.seek(it.key()) || image.write(it.value()) != it.value().size()) {
            *error = image.errorString();
            return false;
        }
    }
    if (!image.resize(Card::sectorOffset(endSector))) {
        *error = image.errorString();
        return false;
    }
    return true;
}

} // namespace SampleCard
