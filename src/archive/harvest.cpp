#include "harvest.h"

#include "archivesinks.h"
#include "backgroundsink.h"
#include "destinationwriter.h"
#include "filesystem.h"
#include "ledger.h"
#include "manifest.h"
#include "platform.h"
#include "qualityreport.h"
#include "recordcheck.h"
#include "recordscanner.h"
#include "sdsarchive.h"
#include "sha256.h"
#include "stationtable.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHash>

#include <libmseed.h>

#include <algorithm>
#include <cstring>
#include <cerrno>
#include <future>
#include <map>
#include <memory>
#include <mutex>

struct Harvest::Lock
{
    FolderLock lock;
};

namespace {

// Bytes read from a file's start to find its first record's codes: the longest record
// our recorders write.
constexpr qint64 FirstRecordSectors = 8;
// libmseed's code fields, terminating zero included.
constexpr size_t CodeSize = sizeof(MSRecord::network);

// The raw copy of a card file and its digest, made together behind the card's thread
// (BackgroundSink): the hash and the write to the disk take the chunk copied once, and
// the card's thread goes on with the records meanwhile. The writer is the current file's.
class KeptCopy : public CopySink
{
public:
    explicit KeptCopy(HashSink &hash) : m_hash(hash) {}
    void setWriter(DestinationWriter *writer) { m_writer = writer; }
    // The writer refused a call of the current file: its copy is not in place.
    bool failed() const { return m_failed; }

    Status begin(const CopySource &source) override
    {
        m_hash.begin(source);
        const Status begun = m_writer->begin(source);
        m_failed = !begun;
        return begun;
    }
    Status consume(const SectorChunk &chunk) override
    {
        m_hash.consume(chunk);
        return keep(m_writer->consume(chunk));
    }
    Status finish(CopyEnd end) override
    {
        m_hash.finish(end);
        return keep(m_writer->finish(end));
    }

private:
    // A file whose copy failed stays failed, with the writer's reason.
    Status keep(const Status &written)
    {
        m_failed = !written || m_failed;
        return m_failed ? m_writer->failure() : Status();
    }

    HashSink &m_hash;
    DestinationWriter *m_writer = nullptr;
    bool m_failed = false;
};

// One channel of one card file as its records go past.
struct ChannelCount
{
    QString filedId; // NET.STA.LOC.CHA as filed
    double sampleRate = 0;
    qint64 first = 0, last = 0, samples = 0, records = 0;
};

// A card file read in this run.
struct FileRun
{
    EntryInfo entry;
    QString cardPath;
    QString written; // below the archive; empty when no copy was kept
    ExportResult read;
    bool filed = true; // its records went into the day files (or it has none to file)
    std::map<QString, ChannelCount> channels;
};

QString codeOf(const char *code)
{
    return QString::fromLatin1(code).trimmed();
}


// The table's entry for recorder NET.STA at `time`, the last one found kept: records of a
// channel come in time order, so one lookup serves a run of them.
class StationMapper
{
public:
    explicit StationMapper(const StationTable *table) : m_table(table) {}

    const StationEntry *find(const QString &network, const QString &station, qint64 time)
    {
        if (!m_table)
            return nullptr;
        if (m_entry && network == m_network && station == m_station && (m_entry->start == 0 || time >= m_entry->start)
            && (m_entry->end == 0 || time < m_entry->end))
            return m_entry;
        m_network = network;
        m_station = station;
        m_entry = m_table->lookup(network, station, time);
        return m_entry;
    }

private:
    const StationTable *m_table;
    const StationEntry *m_entry = nullptr;
    QString m_network, m_station;
};

// The codes a record of a recorder is filed under: the table entry's network and station,
// and its location when the table gives one; false, and the codes as recorded, without an
// entry.
bool fileUnder(const StationEntry *entry, RecordCodes *codes)
{
    if (!entry)
        return false;
    codes->network = entry->network;
    codes->station = entry->station;
    if (entry->hasLocation)
        codes->location = entry->location;
    return true;
}

// "NET.STA.LOC.CHA"
QString channelId(const RecordCodes &codes)
{
    return QStringLiteral("%1.%2.%3.%4").arg(codes.network, codes.station, codes.location, codes.channel);
}


// The run's segments and gaps of channel `id` that lie within [first, last].
void addSpans(const QualityReport &report, const QString &id, LedgerChannel *channel)
{
    for (const ChannelQuality &quality : report.channels) {
        if (quality.id != id)
            continue;
        // First and last sample of each stretch, as the quality report has them.
        for (const TimeSpan &span : quality.segmentSpans) {
            if (span.end >= channel->first && span.start <= channel->last)
                channel->segments.append({std::max(span.start, channel->first), std::min(span.end, channel->last)});
        }
    }
    for (const GapQuality &gap : report.gaps) {
        if (gap.id == id && !gap.isOverlap() && gap.after >= channel->first && gap.before <= channel->last)
            channel->gaps.append({gap.after, gap.before});
    }
}

} // namespace

bool recordedCodes(Filesystem &card, const QList<EntryInfo> &files, QString *network, QString *station, qint64 *start)
{
    for (int i = 0; i < files.size() && i < 3; ++i) {
        QByteArray bytes = card.readEntrySectors(files.at(i), 0, FirstRecordSectors);
        MSRecord *msr = nullptr;
        const bool parsed = !bytes.isEmpty() && msr_parse(bytes.data(), int(bytes.size()), &msr, 0, 0, 0) == MS_NOERROR && msr;
        if (parsed) {
            *network = codeOf(msr->network);
            *station = codeOf(msr->station);
            *start = msr->starttime;
        }
        msr_free(&msr);
        if (parsed)
            return true;
    }
    return false;
}

QString receiptLine(const HarvestReceipt &receipt)
{
    const QString station = receipt.station.isEmpty() ? QStringLiteral("-") : receipt.station;
    const QString seconds = QString::number(double(receipt.milliseconds) / 1000, 'f', 1);
    if (receipt.outcome == QLatin1String("nothing new"))
        return QStringLiteral("%1: %2, nothing new (%3 files already harvested), %4 s")
            .arg(receipt.card, station)
            .arg(receipt.skippedFiles)
            .arg(seconds);
    return QStringLiteral("%1: %2, %3 files new, %4 already harvested, %5 records, %6 gaps, %7, %8, %9 s")
        .arg(receipt.card, station)
        .arg(receipt.newFiles)
        .arg(receipt.skippedFiles)
        .arg(receipt.records)
        .arg(receipt.gaps)
        .arg(receipt.verified ? QStringLiteral("verified") : QStringLiteral("NOT verified"), receipt.outcome)
        .arg(seconds);
}

QString filedStation(const StationTable *table, const QString &network, const QString &station, qint64 time)
{
    const StationEntry *entry = table ? table->lookup(network, station, time) : nullptr;
    return entry ? entry->network + QLatin1Char('.') + entry->station : network + QLatin1Char('.') + station;
}

CardListing harvestListing(const QList<EntryInfo> &entries)
{
    CardListing listing;
    for (const EntryInfo &entry : entries) {
        if (entry.isFile())
            listing.recordings.append(entry);
        else if (entry.isLog())
            listing.log = entry;
    }
    return listing;
}

QList<EntryInfo> filesToHarvest(Filesystem &card, const CardListing &listing,
                                const QHash<QString, qint64> &harvested, int *skipped)
{
    const QList<EntryInfo> &files = listing.recordings;
    const std::optional<EntryInfo> &log = listing.log;
    QList<EntryInfo> fresh;
    for (const EntryInfo &entry : files) {
        const auto before = harvested.constFind(card.cardPath(entry));
        if (before == harvested.cend() || *before != entry.record.sectorCount())
            fresh.append(entry);
    }
    *skipped = int(files.size() - fresh.size());
    // The log grows with every recording: taken again with them, or when never taken.
    if (log && (!fresh.isEmpty() || !harvested.contains(QStringLiteral("/log"))))
        fresh.append(*log);
    else if (log)
        ++*skipped;
    return fresh;
}

Harvest::Harvest(const QString &archive) : m_archive(archive) {}

Status Harvest::lockArchive(const std::function<void()> &waiting)
{
    // Held on ARCHIVE/raw: the archive's root is what the manifest's own lock takes while
    // it is merged, for a moment at the end of each card.
    Status status;
    QString path;
    bool free = false;
    {
        // A look first, so that a harvest that must wait can say so; the look's lock goes
        // with its handle.
        const FolderHandle raw = openFolderBelow(m_archive, QStringLiteral("raw"), CreateFolders::Yes, &status);
        if (!status)
            return status;
        path = raw.path();
        free = tryLockFile(int(raw.native()));
    }
    if (!free && waiting)
        waiting();
    auto lock = std::make_shared<Lock>();
    if (const Status locked = lock->lock.lock(path); !locked)
        return locked;
    m_archiveLock = lock;
    return Status();
}

QVector<HarvestReceipt> Harvest::harvestCards(const QStringList &devices)
{
    // One thread per card: the cards sit in readers of their own, and their reads overlap.
    std::vector<std::future<HarvestReceipt>> running;
    for (const QString &device : devices)
        running.push_back(std::async(std::launch::async, [this, device]() { return harvestCard(device); }));
    QVector<HarvestReceipt> receipts;
    for (auto &receipt : running)
        receipts.append(receipt.get());
    return receipts;
}

HarvestReceipt Harvest::harvestCard(const QString &device)
{
    QElapsedTimer clock;
    clock.start();
    HarvestReceipt receipt;
    receipt.card = device;
    receipt.outcome = QStringLiteral("failed");
    const auto done = [&]() {
        receipt.milliseconds = clock.elapsed();
        releaseHashingState(); // the thread ends with the card
        return receipt;
    };

    Filesystem card;
    if (!card.open(device)) {
        receipt.problems.append(QStringLiteral("%1: %2").arg(device, card.errorString()));
        return done();
    }
    // The harvest's stop reaches the card's copies between sectors: a copy stopped ends
    // Stopped, its partial file removed, as an interrupted export's does.
    card.setStopToken(m_stop.child());
    QStringList listProblems;
    const CardListing listing = harvestListing(card.listFiles(&listProblems));
    const QList<EntryInfo> &files = listing.recordings;
    receipt.problems += listProblems;
    receipt.files = listing.count();
    if (files.isEmpty()) {
        receipt.outcome = listProblems.isEmpty() ? QStringLiteral("nothing new") : QStringLiteral("failed");
        receipt.warnings.append(QStringLiteral("%1: no recordings on the card").arg(device));
        return done();
    }
    receipt.firstDirectory = card.cardPath(files.constFirst()).section(QLatin1Char('/'), 1, 1);

    QString network, station;
    qint64 firstTime = 0;
    if (!recordedCodes(card, files, &network, &station, &firstTime)) {
        receipt.problems.append(QStringLiteral("%1: no miniSEED record at the start of its first files").arg(device));
        return done();
    }
    receipt.recorded = network + QLatin1Char('.') + station;
    receipt.station = filedStation(m_stations, network, station, firstTime);
    const QString cardKey = receipt.recorded + QLatin1Char('/') + receipt.firstDirectory;

    errno = 0;
    if (!QDir().mkpath(m_archive)) {
        receipt.problems.append(QStringLiteral("cannot create the archive %1: %2").arg(m_archive, systemErrorText(errno)));
        return done();
    }
    // The ledger's share of the harvest, for the receipt (the benchmark's figure).
    QElapsedTimer ledgerClock;
    ledgerClock.start();
    const auto ledgerTime = [&]() { receipt.ledgerMilliseconds += double(ledgerClock.nsecsElapsed()) / 1e6; };
    std::unique_ptr<Ledger> ledger;
    Status opened;
    {
        // The cards of one run open the ledger one after the other: the first creates it,
        // and a card that looked while it did would find it half made (a locked database,
        // or a schema without our mark). A moment each; the reads are not held up.
        static std::mutex opening;
        std::lock_guard<std::mutex> lock(opening);
        opened = Ledger::open(m_archive, &ledger);
    }
    if (!opened) {
        receipt.problems.append(opened.message);
        return done();
    }

    // What is new: a file not harvested before, or one that has grown since. Only the
    // listing and the ledger are compared; nothing of the files is read.
    Status known;
    const QHash<QString, qint64> harvested = ledger->harvestedFiles(cardKey, &known);
    if (!known) {
        receipt.problems.append(known.message);
        return done();
    }
    const QList<EntryInfo> fresh = filesToHarvest(card, listing, harvested, &receipt.skippedFiles);

    qint64 harvestId = 0;
    if (const Status begun = ledger->beginHarvest(cardKey, receipt.recorded, receipt.station, device, &harvestId); !begun) {
        receipt.problems.append(begun.message);
        return done();
    }
    ledgerTime();
    if (fresh.isEmpty()) {
        receipt.outcome = listProblems.isEmpty() ? QStringLiteral("nothing new") : QStringLiteral("incomplete");
        receipt.verified = true;
        if (const Status finished = ledger->finishHarvest(harvestId, receipt.outcome, 0, receipt.skippedFiles); !finished)
            receipt.problems.append(finished.message);
        return done();
    }

    // The raw copies beside the day files, under the station as filed and the card's
    // first directory: cards of one recorder from several visits side by side.
    const QString rawRelative = QStringLiteral("raw/%1/%2").arg(receipt.station, receipt.firstDirectory);
    Status status;
    const FolderHandle rawFolder = openFolderBelow(m_archive, rawRelative, CreateFolders::Yes, &status);
    if (!status) {
        receipt.problems.append(status.message);
        ledger->finishHarvest(harvestId, receipt.outcome, 0, receipt.skippedFiles);
        return done();
    }
    DestinationWriter::removeLeftovers(rawFolder.path());
    const FileIdentity identity = fileIdentity(device);

    // One pass per file: the record scanner (quality report, and the records it finds
    // filed into the day files), the copy's digest, and the raw copy.
    RecordScanner scanner;
    HashSink copies;
    KeptCopy keptCopy(copies);
    BackgroundSink hashing(keptCopy);
    SdsArchive archive(m_archive);
    if (identity.valid)
        archive.setCardIdentity(identity.device, identity.inode);
    StationMapper recordMapper(m_stations);
    // Without a table every record is filed as recorded; with one, a recorder it does not
    // name is filed as recorded and said so.
    if (m_stations) {
        archive.setCodeRenamer([&recordMapper](RecordCodes &codes, qint64 time) {
            return fileUnder(recordMapper.find(codes.network, codes.station, time), &codes);
        });
    }
    SdsSink records(archive, scanner);
    QVector<FileRun> runs;
    // On the copy's thread, beside the renamer on the filing thread: a mapper of its own.
    StationMapper countMapper(m_stations);
    // The channels of the file being read, by their codes as libmseed holds them: a
    // record's channel is found without building its name.
    struct Seen
    {
        char codes[4 * CodeSize];
        ChannelCount *count;
    };
    QVector<Seen> seen; // emptied for each file
    records.setRecordObserver([&runs, &countMapper, &seen](const char *, int, const MSRecord *msr) {
        Seen key;
        std::memcpy(key.codes, msr->network, CodeSize);
        std::memcpy(key.codes + CodeSize, msr->station, CodeSize);
        std::memcpy(key.codes + 2 * CodeSize, msr->location, CodeSize);
        std::memcpy(key.codes + 3 * CodeSize, msr->channel, CodeSize);
        const auto match = std::find_if(seen.begin(), seen.end(), [&key](const Seen &channel) {
            return std::memcmp(channel.codes, key.codes, sizeof key.codes) == 0;
        });
        ChannelCount *found = match == seen.end() ? nullptr : match->count;
        if (!found) {
            RecordCodes codes{codeOf(msr->network), codeOf(msr->station), codeOf(msr->location), codeOf(msr->channel)};
            key.count = &runs.last().channels[channelId(codes)];
            if (key.count->records == 0) {
                fileUnder(countMapper.find(codes.network, codes.station, msr->starttime), &codes);
                key.count->filedId = channelId(codes);
            }
            seen.append(key);
            found = key.count;
        }
        ChannelCount &count = *found;
        const qint64 last = msr->starttime + RecordCheck::samplesSpan(double(msr->samplecnt - 1), msr->samprate);
        count.first = count.records == 0 ? msr->starttime : std::min(count.first, qint64(msr->starttime));
        count.last = count.records == 0 ? last : std::max(count.last, last);
        count.sampleRate = msr->samprate;
        count.samples += msr->samplecnt;
        ++count.records;
    });

    bool cardStopped = false;
    bool stopped = false;
    for (const EntryInfo &entry : std::as_const(fresh)) {
        if (m_stop.stopRequested()) {
            stopped = true;
            break;
        }
        FileRun run;
        run.entry = entry;
        run.cardPath = card.cardPath(entry);
        runs.append(run);
        seen.clear();
        FileRun &current = runs.last();
        DestinationWriter writer(rawFolder, identity);
        // The raw copy is read again only by a later check: no use in the page cache.
        writer.setWritesPastCache(true);
        keptCopy.setWriter(&writer);
        // The log is the recorder's text: no records to file.
        const QList<CopySink *> sinks = entry.isLog() ? QList<CopySink *>{&hashing} : QList<CopySink *>{&records, &hashing};
        current.read = card.scanEntry(entry, sinks);
        // The copy's last chunks written and its digest taken, before the writer goes; a
        // write that failed after the card's last chunk leaves the file without its copy.
        hashing.drain();
        if (keptCopy.failed() && (current.read.status == ExportResult::Complete || current.read.status == ExportResult::Incomplete)) {
            current.read.status = ExportResult::Failed;
            current.read.message = writer.failure().message;
        }
        if (!entry.isLog() && !records.leftOutReasons().isEmpty()) {
            for (const QString &reason : records.leftOutReasons())
                receipt.problems.append(QStringLiteral("%1: %2").arg(current.cardPath, reason));
        }
        const bool kept = current.read.status == ExportResult::Complete || current.read.status == ExportResult::Incomplete;
        if (kept)
            current.written = rawRelative + QLatin1Char('/') + QFileInfo(writer.destination()).fileName();
        else
            current.filed = false;
        if (!current.read.isComplete())
            receipt.problems.append(current.read.problem(current.cardPath));
        if (m_fileRead)
            m_fileRead(device, current.cardPath);
        if (current.read.cardStopped) {
            cardStopped = true;
            receipt.problems.append(QStringLiteral("%1: the card stopped answering; the files not read are taken at the next harvest").arg(device));
            break;
        }
        if (current.read.status == ExportResult::Stopped) {
            stopped = true;
            break;
        }
    }

    // The copies checked against the card, each file read again and hashed, beside the
    // flush of what was written: its digest is compared with the copy's below.
    struct Reread
    {
        QHash<QString, QByteArray> digests;
        bool interrupted = false; // a stop, or the card stopped answering
    };
    const bool toVerify = !cardStopped && !stopped;
    std::future<Reread> rereading;
    if (toVerify) {
        rereading = std::async(std::launch::async, [&card, &runs]() {
            Reread result;
            for (const FileRun &run : std::as_const(runs)) {
                if (run.written.isEmpty())
                    continue;
                HashSink again;
                const ExportResult reread = card.scanEntry(run.entry, {&again});
                if (reread.status == ExportResult::Stopped || reread.cardStopped) {
                    result.interrupted = true;
                    break;
                }
                result.digests.insert(run.cardPath, again.hexDigestOf(run.cardPath));
            }
            releaseHashingState();
            return result;
        });
    }

    // The day files, hashed while still locked, and the copies' digests into the manifest.
    Manifest manifest(m_archive);
    bool durable = true;
    for (const SdsDayFile &dayFile : archive.finish()) {
        const Status listed = dayFile.sha256.isEmpty() ? Status::failure(archive.errorString())
                                                       : manifest.setDigest(dayFile.relativePath, dayFile.sha256);
        if (!listed) {
            receipt.problems.append(listed.message);
            durable = false;
        }
    }
    const QStringList refusals = archive.refusals();
    receipt.problems += refusals;
    hashing.drain();
    for (const FileRun &run : std::as_const(runs)) {
        if (run.written.isEmpty())
            continue;
        if (const Status listed = manifest.setDigest(run.written, copies.hexDigestOf(run.cardPath)); !listed) {
            receipt.problems.append(listed.message);
            durable = false;
        }
    }
    // Data reach the disk before the manifest vouches for them, and both before the
    // ledger says the files are harvested.
    if (const Status flushed = flushFileSystem(m_archive); !flushed) {
        receipt.problems.append(flushed.message);
        durable = false;
    }
    const QualityReport report = scanner.report();
    if (!report.files.isEmpty()) {
        if (const Status written = writeQualityFiles(report, rawFolder.path()); !written)
            receipt.problems.append(written.message);
        else if (const Status listed = manifest.addFiles({rawRelative + QStringLiteral("/quality.json"),
                                                          rawRelative + QStringLiteral("/quality.txt")});
                 !listed)
            receipt.problems.append(listed.message);
    }
    if (const Status saved = manifest.save(); !saved) {
        receipt.problems.append(saved.message);
        durable = false;
    }
    archive.close();

    // Only files read whole (or to the end of what the card can give, unreadable sectors
    // as zeros) and filed whole; a file the card stopped in is taken again next time.
    QVector<LedgerFile> whole;
    for (const FileRun &run : std::as_const(runs)) {
        if (!durable || !run.filed || run.written.isEmpty() || run.read.cardStopped || !refusals.isEmpty())
            continue;
        LedgerFile file;
        file.cardPath = run.cardPath;
        file.sectors = run.entry.isLog() ? qint64(Card::LogExportSectors) : run.entry.record.sectorCount();
        file.sha256 = copies.hexDigestOf(run.cardPath);
        file.station = receipt.station;
        file.outcome = run.read.isComplete() ? QStringLiteral("complete") : QStringLiteral("incomplete");
        bool any = false;
        for (const auto &[id, count] : run.channels) {
            LedgerChannel channel;
            channel.id = count.filedId;
            channel.sampleRate = count.sampleRate;
            channel.first = count.first;
            channel.last = count.last;
            channel.samples = count.samples;
            channel.records = count.records;
            addSpans(report, id, &channel);
            file.first = any ? std::min(file.first, count.first) : count.first;
            file.last = any ? std::max(file.last, count.last) : count.last;
            any = true;
            file.channels.append(channel);
        }
        whole.append(file);
    }
    // The log speaks of the recordings read with it: their span is its span.
    for (LedgerFile &file : whole) {
        if (file.cardPath != QLatin1String("/log"))
            continue;
        for (const LedgerFile &data : std::as_const(whole)) {
            if (data.channels.isEmpty())
                continue;
            file.first = file.first == 0 ? data.first : std::min(file.first, data.first);
            file.last = std::max(file.last, data.last);
        }
    }
    ledgerClock.restart();
    if (!whole.isEmpty()) {
        if (const Status recorded = ledger->recordFiles(harvestId, whole); !recorded)
            receipt.problems.append(recorded.message);
    }
    QStringList unmapped = archive.unmappedCodes();
    unmapped.sort();
    if (!unmapped.isEmpty()) {
        for (const QString &code : unmapped)
            receipt.warnings.append(QStringLiteral("%1: %2 is not in the station table; filed as recorded").arg(device, code));
        if (const Status noted = ledger->recordUnmapped(harvestId, unmapped); !noted)
            receipt.problems.append(noted.message);
    }
    ledgerTime();

    for (const FileQuality &file : report.files)
        receipt.records += file.records;
    for (const GapQuality &gap : report.gaps)
        receipt.gaps += gap.isOverlap() ? 0 : 1;
    receipt.newFiles = int(std::count_if(runs.cbegin(), runs.cend(), [](const FileRun &run) { return !run.written.isEmpty(); }));

    receipt.verified = toVerify;
    if (toVerify) {
        const Reread reread = rereading.get();
        receipt.verified = !reread.interrupted;
        for (const FileRun &run : std::as_const(runs)) {
            if (run.written.isEmpty()) {
                receipt.verified = false;
            } else if (!reread.interrupted && reread.digests.value(run.cardPath) != copies.hexDigestOf(run.cardPath)) {
                receipt.verified = false;
                receipt.problems.append(QStringLiteral("%1: the copy %2 differs from the card").arg(run.cardPath, run.written));
            }
        }
    }

    const bool allFiled = durable && receipt.problems.isEmpty() && receipt.verified
        && whole.size() == runs.size() && runs.size() == fresh.size();
    receipt.outcome = stopped ? QStringLiteral("stopped") : allFiled ? QStringLiteral("complete") : QStringLiteral("incomplete");
    ledgerClock.restart();
    if (const Status finished = ledger->finishHarvest(harvestId, receipt.outcome, receipt.newFiles, receipt.skippedFiles); !finished)
        receipt.problems.append(finished.message);
    ledgerTime();
    return done();
}
