#include "samplecard.h"

#include "cardformat.h"
#include "cardimagewriter.h"
#include "filesystem.h"
#include "gpstime.h"


#include <libmseed.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace SampleCard {

namespace {

constexpr double Pi = 3.14159265358979323846;
constexpr quint32 StretchSeconds = 10; // records are packed and flushed every 10 s
constexpr quint8 ClockLocked = 0x20;   // I/O and clock flags, bit 5

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

void appendRecord(char *record, int length, void *records)
{
    static_cast<QList<QByteArray> *>(records)->append(QByteArray(record, length));
}

hptime_t recordStart(const QByteArray &record)
{
    MSRecord *msr = nullptr;
    hptime_t start = HPTERROR;
    if (msr_parse(const_cast<char *>(record.constData()), int(record.size()), &msr, int(record.size()), 0, 0) == MS_NOERROR)
        start = msr->starttime;
    msr_free(&msr);
    return start;
}

// Packs the file as the recorder does: each channel in stretches of StretchSeconds (cut
// where the gap or the unlocked stretch begins or ends), each stretch with its own
// timing quality and clock flag; then all records in time order, HHZ, HHN, HHE at a tie.
QByteArray pack(const File &file, const Options &options)
{
    QList<quint32> cuts{0, file.seconds};
    for (quint32 s = StretchSeconds; s < file.seconds; s += StretchSeconds)
        cuts.append(s);
    for (quint32 s : {file.gapStart, file.gapStart + file.gapSeconds, file.unlockedFrom, file.unlockedTo}) {
        if (s > 0 && s < file.seconds)
            cuts.append(s);
    }
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());

    struct Packed
    {
        hptime_t start;
        int channel;
        QByteArray bytes;
    };
    QList<Packed> all;
    const QStringList names = channels();
    for (int c = 0; c < names.size(); ++c) {
        const QVector<qint32> values = samples(file, c);
        MSRecord *msr = msr_init(nullptr);
        // The codes are checked to be 1-2 and 1-5 characters, well within the fields.
        std::strncpy(msr->network, options.network.toLatin1().constData(), sizeof msr->network - 1);
        std::strncpy(msr->station, options.station.toLatin1().constData(), sizeof msr->station - 1);
        std::strcpy(msr->channel, names.at(c).toLatin1().constData());
        msr->dataquality = 'D';
        msr->samprate = SampleRate;
        msr->reclen = RecordLength;
        msr->encoding = DE_STEIM2;
        msr->byteorder = 1;
        msr->sampletype = 'i';
        msr->sequence_number = 1;
        msr->fsdh = static_cast<struct fsdh_s *>(std::calloc(1, sizeof(struct fsdh_s)));
        struct blkt_1001_s timing = {};
        msr_addblockette(msr, reinterpret_cast<char *>(&timing), sizeof timing, 1001, 0);
        for (int i = 0; i + 1 < cuts.size(); ++i) {
            const quint32 from = cuts.at(i);
            if (file.gapSeconds > 0 && from >= file.gapStart && from < file.gapStart + file.gapSeconds)
                continue;
            QVector<qint32> stretch = values.mid(qsizetype(from) * SampleRate, qsizetype(cuts.at(i + 1) - from) * SampleRate);
            const bool unlocked = from >= file.unlockedFrom && from < file.unlockedTo;
            msr->fsdh->io_flags = unlocked ? 0 : ClockLocked;
            msr->Blkt1001->timing_qual = quint8(timingQuality(file, from));
            msr->starttime = utcMicroseconds(file.startTime) + hptime_t(from) * HPTMODULUS;
            msr->datasamples = stretch.data();
            msr->numsamples = stretch.size();
            QList<QByteArray> records;
            int64_t packed = 0;
            msr_pack(msr, appendRecord, &records, &packed, 1, 0);
            for (const QByteArray &record : records)
                all.append(Packed{recordStart(record), c, record});
        }
        msr->datasamples = nullptr; // the stretch's own buffer, not libmseed's
        msr_free(&msr);
    }
    std::stable_sort(all.begin(), all.end(), [](const Packed &a, const Packed &b) {
        return a.start != b.start ? a.start < b.start : a.channel < b.channel;
    });
    QByteArray data;
    for (const Packed &record : all)
        data += record.bytes;
    return data;
}

Directory directoryAt(quint32 startTime, const QList<File> &files, const Options &options, quint32 *nextSector)
{
    Directory directory{startTime, {}};
    quint32 time = startTime;
    for (File file : files) {
        // The recorder closes one file and opens the next in the same second.
        file.startTime = time;
        file.firstSector = *nextSector;
        file.records = int(pack(file, options).size() / RecordLength);
        directory.files.append(file);
        time += file.seconds;
        *nextSector = file.lastSector() + 1;
    }
    return directory;
}

File lasting(quint32 seconds)
{
    File file;
    file.seconds = seconds;
    return file;
}

QList<Directory> layout(const Options &options)
{
    quint32 sector = FirstDataSector;
    QList<Directory> list;
    // The recordings begin at odd seconds, as a recorder started by hand does. The
    // first loses its GPS lock for two minutes; the second misses 7 s of data; the last
    // one starts just before midnight, so its second file runs into the next UTC day.
    File unlocked = lasting(300);
    unlocked.unlockedFrom = 60;
    unlocked.unlockedTo = 180;
    File gap = lasting(200);
    gap.gapStart = 120;
    gap.gapSeconds = 7;
    // Another start moves every recording by the same amount.
    const quint32 first = options.start != 0 ? options.start : defaultStart();
    const auto at = [first](quint32 demonstration) { return first + (demonstration - defaultStart()); };
    list.append(directoryAt(at(calendarToGps(2023, 3, 14, 9, 26, 7)), {lasting(120), unlocked, lasting(75)}, options, &sector));
    list.append(directoryAt(at(calendarToGps(2023, 3, 14, 13, 2, 41)), {lasting(200), gap, lasting(45), lasting(90)}, options, &sector));
    list.append(directoryAt(at(calendarToGps(2023, 3, 14, 23, 58, 30)), {lasting(90), lasting(240)}, options, &sector));
    return list;
}

} // namespace

QStringList channels()
{
    return {QStringLiteral("HHZ"), QStringLiteral("HHN"), QStringLiteral("HHE")};
}

bool Options::isDefault() const
{
    return network == QLatin1String("XX") && station == QLatin1String("VEXA") && (start == 0 || start == defaultStart());
}

quint32 defaultStart()
{
    return calendarToGps(2023, 3, 14, 9, 26, 7);
}

quint32 startOnDay(int year, int month, int day)
{
    return calendarToGps(year, month, day, 9, 26, 7);
}

QList<Directory> directories(const Options &options)
{
    if (!options.isDefault())
        return layout(options);
    static const QList<Directory> list = layout(Options());
    return list;
}

QVector<qint32> samples(const File &file, int channel)
{
    const qint64 count = file.sampleCount();
    const double eventStart = 0.4 * file.seconds;
    // The horizontals see the swell a little later and the event at a third of its size.
    const double lag = 0.7 * channel;
    const double eventSize = channel == 0 ? 60000.0 : 20000.0;
    QVector<qint32> values(count);
    for (qint64 i = 0; i < count; ++i) {
        const double t = double(i) / SampleRate;
        // Time on the card's clock, so that consecutive files join without a step.
        const double absolute = double(file.startTime) + t - lag;
        double v = 1500.0 * std::sin(2 * Pi * absolute / 6.5) + 400.0 * std::sin(2 * Pi * absolute / 3.1 + 1.0);
        if (t >= eventStart) {
            const double s = t - eventStart;
            v += eventSize * std::exp(-s / 2.5) * std::sin(2 * Pi * 4.0 * s + channel);
        }
        values[i] = qint32(std::lround(v)) + noise((file.startTime * SampleRate + quint32(i)) * 3 + quint32(channel));
    }
    return values;
}

qint64 utcMicroseconds(quint32 gps)
{
    return (qint64(gps) + UnixGpsEpoch - GpsLeapSeconds) * 1000000;
}

int timingQuality(const File &file, quint32 second)
{
    if (second >= file.unlockedFrom && second < file.unlockedTo) {
        // The free-running clock drifts: the quality falls the longer the lock is lost.
        return qMax(20, 80 - int(second - file.unlockedFrom) / 2);
    }
    return 95 + int((file.startTime + second) / StretchSeconds % 6);
}

QByteArray fileData(const File &file, const Options &options)
{
    return pack(file, options);
}

QByteArray logText(const Options &options)
{
    QStringList lines;
    const QList<Directory> list = directories(options);
    const quint32 boot = list.first().startTime - 95;
    lines << QStringLiteral("%1 VEXA-3 recorder, firmware 2.4.1, serial 00417").arg(timeText(boot))
          << QStringLiteral("%1 card mounted, table at sector %2").arg(timeText(boot + 2)).arg(TableSector)
          << QStringLiteral("%1 battery 12.8 V, temperature 14.5 C").arg(timeText(boot + 3))
          << QStringLiteral("%1 GPS lock, 9 satellites, clock offset 0.000012 s").arg(timeText(boot + 71));
    for (int d = 0; d < list.size(); ++d) {
        const Directory &directory = list.at(d);
        lines << QStringLiteral("%1 recording started: %2.%3 HHZ HHN HHE 100 Hz, directory %4")
                     .arg(timeText(directory.startTime), options.network, options.station,
                          cardDirectoryName(directory.startTime));
        quint32 end = directory.startTime;
        for (const File &file : directory.files) {
            lines << QStringLiteral("%1 file %2 opened at sector %3")
                         .arg(timeText(file.startTime), cardFileName(file.startTime))
                         .arg(file.firstSector);
            if (file.unlockedTo > file.unlockedFrom)
                lines << QStringLiteral("%1 GPS lock lost, clock free-running").arg(timeText(file.startTime + file.unlockedFrom))
                      << QStringLiteral("%1 GPS lock, 7 satellites, clock offset 0.004180 s").arg(timeText(file.startTime + file.unlockedTo));
            if (file.gapSeconds > 0)
                lines << QStringLiteral("%1 digitizer buffer overrun, %2 s not recorded").arg(timeText(file.startTime + file.gapStart)).arg(file.gapSeconds);
            end = file.startTime + file.seconds;
            lines << QStringLiteral("%1 file closed, %2 records").arg(timeText(end)).arg(file.records);
        }
        lines << QStringLiteral("%1 recording stopped by operator").arg(timeText(end))
              << QStringLiteral("%1 battery %2 V").arg(timeText(end + 1)).arg(12.6 - 0.2 * d, 0, 'f', 1);
    }
    return lines.join(QLatin1Char('\n')).toLatin1() + '\n';
}

Status write(QFile &image, const Options &options)
{
    const QList<Directory> list = directories(options);
    CardImageWriter card(TableSector);
    quint32 endSector = FirstDataSector;
    for (int d = 0; d < list.size(); ++d) {
        const int slot = Card::FirstDirectorySlot + d;
        card.setDirectory(slot, list.at(d).startTime);
        for (int f = 0; f < list.at(d).files.size(); ++f) {
            const File &file = list.at(d).files.at(f);
            card.setRecord(slot, f, FileRecord{file.startTime, file.firstSector, file.lastSector(), 1});
            card.put(Card::sectorOffset(file.firstSector), fileData(file, options));
            endSector = file.lastSector() + 1;
        }
    }
    // The rest of the log area reads as zeros; the image ends after the last file.
    card.put(Card::LogOffset, logText(options));
    card.setLength(Card::sectorOffset(endSector));
    return card.write(image);
}

} // namespace SampleCard
