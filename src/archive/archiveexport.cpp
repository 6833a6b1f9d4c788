#include "archiveexport.h"
#include "archivesinks.h"
#include "backgroundsink.h"
#include "copyjob.h"
#include "destinationwriter.h"
#include "manifest.h"
#include "platform.h"
#include "qualityreport.h"
#include "recordscanner.h"
#include "sha256.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <memory>
#include <cstring>

namespace {

// Refuses, before anything is read, a copy whose name may not be written (a folder, a
// link, the card itself): the writer on a thread of its own would find it only after
// the read. Only names the folder held when the batch began are looked at, so that the
// lookups do not contend with the writer's creates for the folder; a name that appears
// later is the writer's to find.
class DestinationCheck : public CopySink
{
public:
    DestinationCheck(const FolderHandle &folder, const FileIdentity &card)
        : m_folder(folder), m_card(card)
    {
        m_present = DestinationWriter::namesHeld(folder.path());
    }
    Status begin(const CopySource &source) override
    {
        m_destination = m_folder.path() + QLatin1Char('/') + source.outputName;
        if (!DestinationWriter::mayHold(m_present, source.outputName))
            return Status();
        bool exists = false;
        return checkDestinationIn(&m_folder, source.outputName, m_destination, m_card, &exists);
    }
    Status consume(const SectorChunk &) override { return Status(); }
    Status finish(CopyEnd) override { return Status(); }
    // The file the copy begun since reset() was meant to be written as.
    QString destination() const { return m_destination; }
    void reset() { m_destination.clear(); }

private:
    const FolderHandle &m_folder;
    const FileIdentity m_card;
    QSet<QString> m_present;
    QString m_destination;
};

// The name for a card's log in log/: NAME, or NAME.2, NAME.3 ... when a log of another
// card of the same second is there; *already when one of them holds this log already.
QString freeLogName(const QString &folder, const QString &name, const QByteArray &digest, bool *already)
{
    *already = false;
    for (int n = 1; n < 10000; ++n) {
        const QString candidate = n == 1 ? name : QStringLiteral("%1.%2").arg(name).arg(n);
        const QFileInfo info(folder + QLatin1Char('/') + candidate);
        if (!info.exists() && !info.isSymLink())
            return candidate;
        QByteArray held;
        if (info.isFile() && !info.isSymLink() && sha256OfFile(info.filePath(), &held) && held == digest) {
            *already = true;
            return candidate;
        }
    }
    return name;
}

// The log's copy, named once it is read (its digest comes from `hash`, which finishes
// first): a log already there is not written again.
class LogNamingSink : public CopySink
{
public:
    LogNamingSink(DestinationWriter &writer, const HashSink &hash, const QString &name)
        : m_writer(writer), m_hash(hash), m_name(name), m_chosen(name)
    {
    }
    Status begin(const CopySource &source) override
    {
        CopySource renamed = source;
        renamed.outputName = m_name;
        return m_writer.begin(renamed);
    }
    Status consume(const SectorChunk &chunk) override { return m_writer.consume(chunk); }
    Status finish(CopyEnd end) override
    {
        if (end != CopyEnd::Complete && end != CopyEnd::Incomplete)
            return m_writer.finish(end);
        const QString folder = QFileInfo(m_writer.destination()).path();
        // Another export of a card of the same second may take the free name between the
        // look and the rename: the name is never replaced, the next free one is tried.
        for (int attempt = 0; attempt < 100; ++attempt) {
            bool already = false;
            m_chosen = freeLogName(folder, m_name, m_hash.hexDigest(), &already);
            if (already)
                return m_writer.finish(CopyEnd::Stopped); // the temporary file goes
            bool taken = false;
            if (m_writer.finishAsNew(m_chosen, &taken))
                return Status();
            if (!taken)
                return m_writer.failure();
        }
        // Never a log reported as written under a name that holds another card's log.
        m_writer.finish(CopyEnd::Stopped);
        return Status::failure(EEXIST, QStringLiteral("cannot write %1: every name for the log is taken")
                                           .arg(folder + QLatin1Char('/') + m_name));
    }
    QString chosenName() const { return m_chosen; }

private:
    DestinationWriter &m_writer;
    const HashSink &m_hash;
    QString m_name;
    QString m_chosen;
};

} // namespace

int ExportSummary::count(ExportResult::Status status) const
{
    int n = 0;
    for (const ExportFileOutcome &file : files)
        n += !file.notCopied && file.copy.status == status ? 1 : 0;
    return n;
}

BatchCount ExportSummary::count() const
{
    BatchCount count;
    count.total = int(files.size());
    for (const ExportFileOutcome &file : files) {
        if (file.notCopied) {
            ++count.notBegun;
            continue;
        }
        if (file.copy.status == CopyEnd::Complete)
            ++count.complete;
        else
            ++count.notComplete;
        // The copy the card or a stop cut short did not end of itself.
        if (!file.copy.cardStopped && file.copy.status != CopyEnd::Stopped)
            ++count.ended;
    }
    return count;
}

bool ExportSummary::isComplete() const
{
    return problems.isEmpty() && !cardStopped && !stopped && count().complete == files.size();
}

ExportBatch::ExportBatch(Filesystem &card, const QString &folder, Layout layout, bool splitMidnight)
    : m_card(card)
    , m_folder(folder)
    , m_layout(layout)
    , m_splitMidnight(splitMidnight)
{
}

ExportResult ExportBatch::copy(int index, const QList<CopySink *> &sinks)
{
    const bool listed = index < m_entries.size();
    return listed ? m_card.scanEntry(m_entries.at(index), sinks) : m_card.scanFile(m_paths.at(index), sinks);
}

bool ExportBatch::isLog(int index) const
{
    return index < m_entries.size() ? m_entries.at(index).isLog() : m_paths.at(index) == QLatin1String("/log");
}

ExportSummary ExportBatch::run(const QStringList &cardPaths, const QList<EntryInfo> &entries)
{
    ExportSummary summary = runBatch(cardPaths, entries);
    // The thread that ran the batch may go on long after it (vexa-card's main thread).
    releaseHashingState();
    return summary;
}

ExportSummary ExportBatch::runBatch(const QStringList &cardPaths, const QList<EntryInfo> &entries)
{
    m_paths = cardPaths;
    m_entries = entries.size() == cardPaths.size() ? entries : QList<EntryInfo>();
    ExportSummary summary;
    Manifest manifest(m_folder);
    const FileIdentity card = fileIdentity(m_card.devicePath());

    // Temporary files of a run that was killed; those of a running export are held.
    DestinationWriter::removeLeftovers(m_folder);
    // The copies are made and put in place in the folder held open, each name looked up in
    // it rather than from the root of the file system; by path if it cannot be opened.
    Status folderOpened;
    FolderHandle folder = openFolderBelow(m_folder, QString(), CreateFolders::No, &folderOpened);
    if (!folder.isOpen())
        folder = FolderHandle(-1, m_folder);

    // The order of the batch; in an SDS export the log after every recording.
    QList<int> order;
    QList<int> logs;
    for (int i = 0; i < m_paths.size(); ++i)
        (m_layout == Sds && isLog(i) ? logs : order).append(i);
    order += logs;
    for (const QString &path : std::as_const(m_paths)) {
        ExportFileOutcome outcome;
        outcome.cardPath = path;
        outcome.notCopied = true;
        summary.files.append(outcome);
    }

    // Every record is checked on the way for the quality report: beside the copy's hash
    // and writer, on a thread of its own; in an SDS export, the same parse files it.
    RecordScanner scanner;
    BackgroundSink check(scanner);
    // The copies' digests on a thread of their own too, beside the writer: listed in the
    // manifest once the batch is through.
    HashSink copies;
    BackgroundSink hashing(copies);
    SdsArchive archive(m_folder, m_splitMidnight);
    if (card.valid)
        archive.setCardIdentity(card.device, card.inode);
    // Only an SDS export hands the scanner's records to the archive.
    std::unique_ptr<SdsSink> records;
    if (m_layout == Sds)
        records = std::make_unique<SdsSink>(archive, scanner);
    bool archiveClosed = m_layout != Sds;
    bool listedDayFiles = false;
    const auto closeArchive = [&]() {
        if (archiveClosed)
            return;
        archiveClosed = true;
        // Every day file this batch filed into or found its records in, hashed as it is
        // now; the archive keeps them locked until it goes, after the manifest is written,
        // so that no other export appends between the hash and the manifest.
        Status closed;
        for (const SdsDayFile &dayFile : archive.finish(&closed)) {
            listedDayFiles = true;
            if (dayFile.recordsAdded > 0)
                summary.dayFiles.append(dayFile);
            if (dayFile.sha256.isEmpty())
                summary.problems.append(archive.errorString());
            else if (const Status listed = manifest.setDigest(dayFile.relativePath, dayFile.sha256); !listed)
                summary.problems.append(listed.message);
        }
        if (!closed && !summary.problems.contains(closed.message))
            summary.problems.append(closed.message); // the last records could not be written
        summary.problems += archive.refusals();
        summary.recordsFiled = archive.recordsArchived();
        summary.recordsAlreadyThere = archive.recordsAlreadyThere();
        summary.recordsSplit = archive.recordsSplit();
    };

    // A file read in one piece is written on a thread of its own, beside the reading,
    // hashing and checking of the next: on a card of small files the destination's calls
    // per file (create, write, rename) then no longer wait for the card's. Its outcome is
    // told once it is written, and the outcomes are told in the batch's order.
    DestinationWriter smallWriter(folder, card);
    DestinationCheck smallCheck(folder, card);
    smallWriter.setLooksFirst(false);
    BackgroundSink smallWrites(smallWriter);
    std::deque<int> untold; // files of the batch ended but not yet told, in order
    QSet<int> awaited;      // of those, the ones whose copy the writer has not yet placed
    const auto tell = [&](bool wait) {
        if (wait)
            smallWrites.drain();
        for (const BackgroundSink::Taken &taken : smallWrites.takeTaken()) {
            ExportFileOutcome &file = summary.files[taken.tag];
            file.copy.destination = m_folder + QLatin1Char('/') + taken.outputName;
            if (!taken.refusal.isEmpty() && file.copy.status != ExportResult::Stopped) {
                file.copy.status = ExportResult::Failed;
                file.copy.message = taken.refusal;
            }
            if (file.copy.status == ExportResult::Complete || file.copy.status == ExportResult::Incomplete)
                file.written = taken.outputName;
            awaited.remove(taken.tag);
        }
        while (!untold.empty() && !awaited.contains(untold.front())) {
            if (m_fileFinished)
                m_fileFinished(summary.files.at(untold.front()));
            untold.pop_front();
        }
    };

    for (int step = 0; step < order.size(); ++step) {
        const int i = order.at(step);
        ExportFileOutcome &outcome = summary.files[i];
        if (m_fileStarted)
            m_fileStarted(step, int(order.size()), outcome.cardPath);
        bool told = false;
        if (m_layout == Files && !isLog(i) && i < m_entries.size()
            && m_entries.at(i).size <= CopyJob::ChunkSectors * Card::SectorSize) {
            smallWrites.setTag(i);
            smallCheck.reset();
            outcome.copy = copy(i, {&smallCheck, &check, &hashing, &smallWrites});
            if (smallWrites.tagBegun())
                awaited.insert(i);
            else
                outcome.copy.destination = smallCheck.destination();
            outcome.notCopied = false;
            untold.push_back(i);
            tell(false);
            told = true;
        } else if (m_layout == Files) {
            // Any copy handed to the writer is in place first: of two card files named
            // alike, the later stays, as it would one after the other.
            tell(true);
            // The log is the recorder's text: no records to check.
            DestinationWriter writer(folder, card);
            outcome.copy = copy(i, isLog(i) ? QList<CopySink *>{&hashing, &writer} : QList<CopySink *>{&check, &hashing, &writer});
            outcome.copy.destination = writer.destination();
            if (outcome.copy.status == ExportResult::Complete || outcome.copy.status == ExportResult::Incomplete)
                outcome.written = QFileInfo(outcome.copy.destination).fileName();
        } else if (!logs.contains(i)) {
            outcome.copy = copy(i, {records.get()});
            outcome.recordsFiled = records->recordsFiled();
            outcome.recordsAlreadyThere = records->recordsAlreadyThere();
            outcome.recordsLeftOut = records->recordsLeftOut();
            outcome.leftOut = records->leftOutReasons();
            // A record the archive will never hold is a problem of the batch, not a silence.
            for (const QString &reason : std::as_const(outcome.leftOut))
                summary.problems.append(QStringLiteral("%1: %2").arg(outcome.cardPath, reason));
        } else {
            // Logs of many cards side by side, each named after its export's first record.
            closeArchive();
            const QString name = archive.hasFirstRecord()
                ? archive.logFileName()
                : QDateTime::currentDateTimeUtc().toString(QStringLiteral("'log.'yyyyMMdd'T'HHmmss'Z'"));
            // Never through a link at log/: opened component by component. The log of
            // another card that began in the same second gets a name of its own, and this
            // card's log exported before is recognised and left as it is.
            Status status;
            const FolderHandle logFolder = openFolderBelow(m_folder, QStringLiteral("log"), CreateFolders::Yes, &status);
            if (!status) {
                outcome.copy.status = ExportResult::Failed;
                outcome.copy.message = status.message;
            } else {
                DestinationWriter::removeLeftovers(logFolder.path());
                DestinationWriter writer(logFolder, card);
                HashSink hash;
                LogNamingSink named(writer, hash, name);
                outcome.copy = copy(i, {&hash, &named});
                outcome.copy.destination = writer.destination();
                if (outcome.copy.status == ExportResult::Complete || outcome.copy.status == ExportResult::Incomplete) {
                    outcome.written = QStringLiteral("log/") + named.chosenName();
                    manifest.setDigest(outcome.written, hash.hexDigest());
                }
            }
        }
        outcome.notCopied = false;
        if (!told && m_fileFinished)
            m_fileFinished(outcome);
        if (outcome.copy.cardStopped) {
            summary.cardStopped = true;
            break;
        }
        if (outcome.copy.status == ExportResult::Stopped) {
            summary.stopped = true;
            break;
        }
    }
    tell(true);
    closeArchive();
    if (m_layout == Files) {
        hashing.drain();
        for (const ExportFileOutcome &file : std::as_const(summary.files)) {
            if (file.written.isEmpty())
                continue;
            if (const Status listed = manifest.setDigest(file.written, copies.hexDigestOf(file.cardPath)); !listed)
                summary.problems.append(listed.message);
        }
    }

    // The report of what this run read, beside what it wrote. A run that wrote nothing
    // (stopped at its first file, a card that ended before it) leaves no report and no
    // manifest behind. Neither replaces the card itself, whatever its name there.
    const auto isCard = [&](const QString &name) {
        const QString path = QDir(m_folder).filePath(name);
        if (!linkIdentity(path).sameAs(card))
            return false;
        summary.problems.append(QStringLiteral("cannot write %1: it is the card being read").arg(path));
        return true;
    };
    check.drain();
    summary.report = scanner.report();
    const QualityReport &report = summary.report;
    const bool wroteAny = !summary.dayFiles.isEmpty()
        || std::any_of(summary.files.cbegin(), summary.files.cend(),
                       [](const ExportFileOutcome &file) { return !file.written.isEmpty(); });
    // A run that filed nothing new still brings the manifest up to date with the day
    // files it found its records in (appended by an export killed before its manifest).
    if (!wroteAny && !listedDayFiles)
        return summary;
    // The data reach the disk before the manifest vouches for them: a power cut
    // must not leave a manifest over files still in memory.
    if (const Status flushed = flushFileSystem(m_folder); !flushed)
        summary.problems.append(flushed.message);
    if (wroteAny && !report.files.isEmpty() && !isCard(QStringLiteral("quality.json")) && !isCard(QStringLiteral("quality.txt"))) {
        if (const Status written = writeQualityFiles(report, m_folder); !written)
            summary.problems.append(written.message);
        else if (const Status listed = manifest.addFiles({QStringLiteral("quality.json"), QStringLiteral("quality.txt")}); !listed)
            summary.problems.append(listed.message);
    }

    if (isCard(Manifest::fileName()))
        return summary;
    if (const Status saved = manifest.save())
        summary.manifest = manifest.path();
    else
        summary.problems.append(saved.message);
    return summary;
}
