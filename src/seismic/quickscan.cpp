#include "quickscan.h"

#include "cardformat.h"
#include "filesystem.h"
#include "recordcheck.h"

#include <QMap>

#include <libmseed.h>

#include <algorithm>
#include <cstdio>

namespace QuickScan {

namespace {

// I/O and clock flags, bit 5: the clock was locked when the record was made.
constexpr quint8 ClockLockedFlag = 0x20;

struct Record
{
    hptime_t start = 0;
    hptime_t end = 0; // end of the last sample's period
    hptime_t last = 0; // the last sample
    bool locked = false;
    qint64 sector = 0; // first sector of the record in what was read
};

QString channelId(const MSRecord *msr)
{
    return QStringLiteral("%1.%2.%3.%4")
        .arg(QLatin1String(msr->network), QLatin1String(msr->station), QLatin1String(msr->location),
             QLatin1String(msr->channel));
}

hptime_t period(double rate)
{
    return RecordCheck::samplePeriod(rate);
}

// Walks whole sectors: a record starts on a sector or not at all; what is no record
// (padding, the tail of a longer record cut by the read) is stepped over a sector at a time.
// The records of each channel. A file holds a few channels, found by their raw codes
// without forming an id for every record.
struct Channels
{
    QMap<QString, QVector<Record>> byId;
    QVector<QPair<QByteArray, QVector<Record> *>> known;

    QVector<Record> &of(const MSRecord *msr)
    {
        char key[64];
        const int n = qBound(0, std::snprintf(key, sizeof key, "%s.%s.%s.%s", msr->network, msr->station, msr->location,
                                              msr->channel), int(sizeof key) - 1);
        const QByteArrayView view(key, n);
        for (const auto &k : std::as_const(known)) {
            if (k.first == view)
                return *k.second;
        }
        QVector<Record> *records = &byId[channelId(msr)];
        known.append({QByteArray(key, n), records});
        return *records;
    }
};

void walk(QByteArray bytes, MSRecord **msr, MSTraceList *traces, Channels *records)
{
    char *data = bytes.data();
    const qint64 size = bytes.size();
    qint64 at = 0;
    while (size - at >= Card::SectorSize) {
        const int left = int(qMin<qint64>(size - at, 1 << 30));
        if (msr_parse(data + at, left, msr, 0, 0, 0) != MS_NOERROR || (*msr)->reclen < Card::SectorSize) {
            at += Card::SectorSize;
            continue;
        }
        const MSRecord *r = *msr;
        if (!RecordCheck::fault(r).isEmpty()) {
            // A bad record: its times and codes are not drawn; the full check names it.
            at += (r->reclen + Card::SectorSize - 1) / Card::SectorSize * Card::SectorSize;
            continue;
        }
        if (traces)
            mstl_addmsr(traces, *msr, 0, 1, -1.0, -1.0);
        const hptime_t last = r->samplecnt > 0 ? msr_endtime(*msr) : r->starttime;
        const hptime_t end = r->samplecnt > 0 ? last + period(r->samprate) : r->starttime;
        records->of(r).append({r->starttime, end, last, (r->fsdh->io_flags & ClockLockedFlag) != 0, at / Card::SectorSize});
        at += (r->reclen + Card::SectorSize - 1) / Card::SectorSize * Card::SectorSize;
    }
}

// Unlocked records of one channel in time order become stretches; neighbours join.
QVector<Stretch> unlockedStretches(QVector<Record> records, const QString &path)
{
    std::sort(records.begin(), records.end(), [](const Record &a, const Record &b) { return a.start < b.start; });
    QVector<Stretch> spans;
    bool open = false;
    for (const Record &r : records) {
        if (r.locked) {
            open = false;
            continue;
        }
        if (open)
            spans.last().end = qMax<qint64>(spans.last().end, r.end);
        else
            spans.append({r.start, r.end, path, 0});
        open = true;
    }
    return spans;
}

} // namespace

FilePicture summarize(const QString &cardPath, const QByteArray &head, const QByteArray &tail, bool whole,
                      qint64 missingSectors, const QVector<qint64> &unreadable)
{
    FilePicture file;
    file.cardPath = cardPath;
    file.whole = whole;
    file.unreadableSectors = missingSectors;

    MSRecord *msr = nullptr;
    MSTraceList *traces = whole ? mstl_init(nullptr) : nullptr;
    Channels seen;
    walk(head, &msr, traces, &seen);
    if (!tail.isEmpty())
        walk(tail, &msr, nullptr, &seen);
    const QMap<QString, QVector<Record>> &records = seen.byId;
    msr_free(&msr);

    QMap<QString, ChannelSpans> channels;
    for (auto it = records.cbegin(); it != records.cend(); ++it) {
        ChannelSpans &c = channels[it.key()];
        c.id = it.key();
        c.unlocked = unlockedStretches(it.value(), cardPath);
        file.records += it.value().size();
        for (const Record &r : it.value())
            file.end = it == records.cbegin() && &r == &it.value().first() ? r.last : qMax<qint64>(file.end, r.last);
        if (!whole) {
            // Only the ends were read: one stretch from the first record to the last.
            Stretch span{it.value().first().start, it.value().first().end, cardPath, 0};
            for (const Record &r : it.value()) {
                span.start = qMin<qint64>(span.start, r.start);
                span.end = qMax<qint64>(span.end, r.end);
            }
            c.data.append(span);
        }
    }
    for (const MSTraceID *id = traces ? traces->traces : nullptr; id; id = id->next) {
        const QString key = QStringLiteral("%1.%2.%3.%4")
                                .arg(QLatin1String(id->network), QLatin1String(id->station),
                                     QLatin1String(id->location), QLatin1String(id->channel));
        ChannelSpans &c = channels[key];
        for (const MSTraceSeg *seg = id->first; seg; seg = seg->next) {
            c.data.append({seg->starttime, seg->endtime + period(seg->samprate), cardPath, 0});
            c.sampleRate = seg->samprate;
        }
        std::sort(c.data.begin(), c.data.end(), [](const Stretch &a, const Stretch &b) { return a.start < b.start; });
        const QVector<Record> &recs = records.value(key);
        for (int i = 1; i < c.data.size(); ++i) {
            // From the last sample before to the first after, as the full check reports it.
            Stretch gap{c.data.at(i - 1).end - period(c.sampleRate), c.data.at(i).start, cardPath, 0};
            // The unreadable sectors between the record that ends before the gap and the
            // one that begins after it.
            qint64 before = -1, after = -1;
            for (const Record &r : recs) {
                if (r.last == gap.start)
                    before = r.sector;
                if (r.start == gap.end && after < 0)
                    after = r.sector;
            }
            for (qint64 sector : unreadable)
                gap.unreadableSectors += (sector > before && sector < after) ? 1 : 0;
            c.gaps.append(gap);
        }
    }
    if (traces)
        mstl_free(&traces, 0);

    bool any = false;
    for (const ChannelSpans &c : channels) {
        for (const Stretch &d : c.data) {
            file.start = any ? qMin(file.start, d.start) : d.start;
            any = true;
        }
        file.channels.append(c);
    }
    return file;
}

namespace {

// Reads sectors [first, first + count) of a file into `bytes` at their place, halving a
// range that does not come whole, so that a bad sector costs a few reads and the rest
// around it is still read. Sectors that would not come are zeros in `bytes` and named in
// `unreadable`; after `budget` reads the rest stays unread and is counted as missing.
struct Reading
{
    Filesystem &card;
    const EntryInfo &entry;
    const std::function<bool()> &proceed;
    int budget;
    bool interrupted = false;

    // False once the reads of this file must end.
    bool next()
    {
        if (interrupted || (proceed && !proceed()))
            interrupted = true;
        return !interrupted && budget-- > 0;
    }
};

void readRange(Reading &r, qint64 first, qint64 count, QByteArray *bytes, QVector<qint64> *unreadable, qint64 *missing)
{
    if (!r.next()) {
        *missing += count;
        return;
    }
    Filesystem &card = r.card;
    const EntryInfo &entry = r.entry;
    const QByteArray part = card.readEntrySectors(entry, first, count);
    if (part.size() == count * Card::SectorSize) {
        bytes->replace(first * Card::SectorSize, part.size(), part);
        return;
    }
    if (count == 1) {
        unreadable->append(first);
        ++*missing;
        return;
    }
    const qint64 half = count / 2;
    readRange(r, first, half, bytes, unreadable, missing);
    readRange(r, first + half, count - half, bytes, unreadable, missing);
}

} // namespace

FilePicture scanFile(Filesystem &card, const EntryInfo &entry, const QString &cardPath,
                     const std::function<bool()> &proceed, bool *interrupted)
{
    const qint64 sectorCount = qMax<qint64>(0, entry.record.sectorCount());
    // Past a sector that cannot be read the rest is read on, with zeros in its place, so
    // that a gap it causes can be told from one the recorder made. Halving finds one bad
    // sector of a 1 MiB file in about 22 reads; a failing card may take seconds a read,
    // so a file gets no more than that.
    constexpr int ReadBudget = 24;
    Reading reading{card, entry, proceed, ReadBudget};
    FilePicture file;
    if (sectorCount <= WholeFileSectors) {
        QByteArray bytes(sectorCount * Card::SectorSize, '\0');
        QVector<qint64> unreadable;
        qint64 missing = 0;
        if (sectorCount > 0)
            readRange(reading, 0, sectorCount, &bytes, &unreadable, &missing);
        std::sort(unreadable.begin(), unreadable.end());
        file = summarize(cardPath, bytes, QByteArray(), true, missing, unreadable);
    } else {
        const QByteArray head = reading.next() ? card.readEntrySectors(entry, 0, HeadSectors) : QByteArray();
        const QByteArray tail = reading.next() ? card.readEntrySectors(entry, sectorCount - TailSectors, TailSectors)
                                               : QByteArray();
        file = summarize(cardPath, head, tail, false);
        if (head.size() < HeadSectors * Card::SectorSize || tail.size() < TailSectors * Card::SectorSize)
            file.unreadableSectors = HeadSectors + TailSectors - (head.size() + tail.size()) / Card::SectorSize;
    }
    if (interrupted)
        *interrupted = reading.interrupted;
    return file;
}

} // namespace QuickScan
