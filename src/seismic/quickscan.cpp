#include "quickscan.h"

#include "cardformat.h"
#include "channeltimeline.h"
#include "filesystem.h"
#include "recordcheck.h"

#include <libmseed.h>

#include <algorithm>

namespace QuickScan {

namespace {

// Walks whole sectors: a record starts on a sector or not at all; what is no record
// (padding, the tail of a longer record cut by the read) is stepped over a sector at a time.
// `firstSector`: the index in the file of the first sector of `bytes`.
void walk(QByteArray bytes, qint64 firstSector, MSRecord **msr, ChannelTimeline *timeline)
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
        // A bad record: its times and codes are not drawn; the full check names it.
        if (RecordCheck::fault(r).isEmpty())
            timeline->add(r, firstSector + at / Card::SectorSize, ChannelTimeline::Samples::NotDecoded);
        at += (r->reclen + Card::SectorSize - 1) / Card::SectorSize * Card::SectorSize;
    }
}

} // namespace

QVector<ChannelQuality> channelFigures(const QByteArray &head, const QByteArray &tail, bool whole,
                                       const QVector<qint64> &unreadable, QVector<GapQuality> *gaps)
{
    ChannelTimeline timeline;
    timeline.setEndsOnly(!whole);
    for (qint64 sector : unreadable)
        timeline.addUnreadable(sector);
    MSRecord *msr = nullptr;
    walk(head, 0, &msr, &timeline);
    if (!tail.isEmpty()) {
        // The tail does not follow the head; where it lies in the file matters to no figure
        // of a scan of the ends (no gaps are drawn there).
        timeline.beginPart();
        walk(tail, head.size() / Card::SectorSize, &msr, &timeline);
    }
    msr_free(&msr);
    return timeline.channels(gaps);
}

FilePicture summarize(const QString &cardPath, const QByteArray &head, const QByteArray &tail, bool whole,
                      qint64 missingSectors, const QVector<qint64> &unreadable)
{
    FilePicture file;
    file.cardPath = cardPath;
    file.whole = whole;
    file.unreadableSectors = missingSectors;
    QVector<GapQuality> gaps;
    const QVector<ChannelQuality> channels = channelFigures(head, tail, whole, unreadable, &gaps);
    for (const ChannelQuality &c : channels) {
        file.records += c.records;
        file.start = file.channels.isEmpty() ? c.start : qMin(file.start, c.start);
        file.end = file.channels.isEmpty() ? c.end : qMax(file.end, c.end);
        file.channels.append(channelSpans(c, gaps, cardPath));
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
