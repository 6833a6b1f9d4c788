#include "dayfilestore.h"
#include "sha256.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <libmseed.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// Records come in time order, so a day file once passed is seldom needed again; setting
// the least recently used aside (its records written out, its buffer freed) bounds the
// memory of a card of many days. Its lock stays until the batch ends.
constexpr int MaxOpenFiles = 64;
// Records are gathered per day file and written in runs of this size: a write per
// 512-byte record would cost more than the copy itself.
constexpr int FlushBytes = 256 * 1024;
constexpr int SmallestRecord = 128;
constexpr int LargestRecord = 1 << 20;

// What the duplicate check looks up by: the fixed header and the first blockettes carry
// the channel, start time and sequence number, which tell records of a day file apart;
// records with equal keys are compared byte for byte.
size_t recordKey(const char *raw, int length)
{
    return qHashBits(raw, size_t(qMin(length, 64)));
}

// What an export leaves beside a day file while it appends to it: the length it found the
// file at. A later export that finds the file ending in a cut record, and this beside it,
// knows the cut is that export's, killed, and not another program's.
QString markerPathOf(const QString &path)
{
    const QFileInfo info(path);
    return info.path() + QLatin1String("/.") + info.fileName() + QLatin1String(".appending");
}

// The length a marker names; -1 when there is none, or it is not one of ours.
qint64 markerLength(const QString &markerPath)
{
    const QFileInfo info(markerPath);
    if (info.isSymLink() || !info.isFile() || info.size() > 32)
        return -1;
    QFile marker(markerPath);
    if (!marker.open(QIODevice::ReadOnly))
        return -1;
    bool ok = false;
    const qint64 length = marker.read(32).trimmed().toLongLong(&ok);
    return ok && length >= 0 ? length : -1;
}

} // namespace

struct DayFileStore::DayFile
{
    // Every record in the file, in file order, chained by a hash of its bytes: records
    // are almost always new, so a flat list and one table entry per hash cost far less
    // than a node per record.
    struct Ref
    {
        qint64 offset;
        size_t key;
        int length;
        int next; // index of an earlier record with the same hash; -1 for none
    };
    std::vector<Ref> records;
    QHash<size_t, int> heads; // hash -> index of its latest record

    void addRef(size_t key, qint64 offset, int length)
    {
        const int index = int(records.size());
        auto head = heads.find(key);
        records.push_back(Ref{offset, key, length, head == heads.end() ? -1 : *head});
        if (head == heads.end())
            heads.insert(key, index);
        else
            *head = index;
    }
    // Forgets the records from `offset` on (the last ones added).
    void dropRefsFrom(qint64 offset)
    {
        while (!records.empty() && records.back().offset >= offset) {
            const Ref &last = records.back();
            if (last.next < 0)
                heads.remove(last.key);
            else
                heads[last.key] = last.next;
            records.pop_back();
        }
    }

    QString relativePath;
    QString path;
    QString markerPath;
    OpenFile file;                // open, and locked, from its first record to the end of the batch
    bool active = false;          // among the files kept ready for writing
    QString refusal;              // why nothing is appended to it; empty when records are
    qint64 recordsRefused = 0;
    bool markerWritten = false;
    bool opened = false;          // opened at least once in this run
    bool created = false;         // did not exist before this run
    bool existedAtCommit = false; // existed at the last commit()
    qint64 diskLength = 0;        // bytes in the file on disk
    qint64 foundLength = 0;       // bytes in it when this batch first opened it
    qint64 commitLength = 0;      // length at the last commit(): what rollback() returns to
    QByteArray pending;           // records appended after diskLength, not yet written
    qint64 recordsAdded = 0;
    qint64 recordsAddedAtCommit = 0;
    qint64 recordsFound = 0;
    quint64 lastUse = 0;

    qint64 length() const { return diskLength + pending.size(); }
};

DayFileStore::DayFileStore(const QString &root)
    : m_root(root)
{
    // Every day file of a batch keeps its descriptor, and so its lock, to the end of
    // the batch: a card of many days needs more than the usual soft limit of 1024.
    raiseOpenFileLimit();
}

DayFileStore::~DayFileStore()
{
    releaseAll();
}

int DayFileStore::dayFilesTouched() const
{
    int touched = 0;
    for (const auto &file : m_files)
        touched += file->recordsAdded > 0 ? 1 : 0;
    return touched;
}

DayFileStore::DayFile *DayFileStore::dayFile(const QString &relativePath, Status *status)
{
    std::shared_ptr<DayFile> &slot = m_files[relativePath];
    if (!slot) {
        slot = std::make_shared<DayFile>();
        slot->relativePath = relativePath;
        slot->path = QDir(m_root).filePath(relativePath);
        slot->markerPath = markerPathOf(slot->path);
    }
    DayFile *file = slot.get();
    return use(file, status) ? file : nullptr;
}

bool DayFileStore::use(DayFile *file, Status *status)
{
    file->lastUse = ++m_useClock;
    return file->active || !file->refusal.isEmpty() || openFile(file, status);
}

bool DayFileStore::openFile(DayFile *file, Status *status)
{
    if (m_openFiles >= MaxOpenFiles) {
        DayFile *oldest = nullptr;
        for (const auto &candidate : std::as_const(m_files)) {
            if (candidate->active && (!oldest || candidate->lastUse < oldest->lastUse))
                oldest = candidate.get();
        }
        if (oldest) {
            if (!flush(oldest, status))
                return false;
            setAside(oldest);
        }
    }
    if (file->opened)
        return resumeFile(file, status);

    // YEAR/NET/STA/CHA.D made or opened one folder at a time, never through a link.
    const FolderHandle folder = openFolderBelow(m_root, file->relativePath.section(QLatin1Char('/'), 0, -2),
                                                CreateFolders::Yes, status);
    if (!*status)
        return false;
    // Never through a link planted at the day file's name, and never the card itself; two
    // exports appending to one day file at once would interleave their records.
    bool createdNow = false;
    *status = file->file.openForAppend(folder, file->relativePath.section(QLatin1Char('/'), -1), file->path, m_card,
                                       &createdNow);
    if (!*status)
        return false;
    const qint64 size = file->file.size();
    file->opened = true;
    file->created = createdNow;
    file->existedAtCommit = false;
    file->diskLength = file->commitLength = file->foundLength = size;
    file->active = true;
    ++m_openFiles;
    return indexExisting(file, status);
}

bool DayFileStore::resumeFile(DayFile *file, Status *status)
{
    file->active = true;
    ++m_openFiles;
    if (file->file.size() != file->diskLength) {
        *status = Status::failure(QStringLiteral("cannot write %1: another program changed it during the export").arg(file->path));
        setAside(file);
        return false;
    }
    return true;
}

void DayFileStore::setAside(DayFile *file)
{
    if (!file->active)
        return;
    file->pending = QByteArray();
    file->active = false;
    --m_openFiles;
}

void DayFileStore::release(DayFile *file)
{
    setAside(file);
    // The marker goes before the lock: no moment without either.
    if (file->markerWritten)
        QFile::remove(file->markerPath);
    file->markerWritten = false;
    file->file.close();
}

void DayFileStore::releaseAll()
{
    for (const auto &file : std::as_const(m_files))
        release(file.get());
}

bool DayFileStore::writeMarker(DayFile *file, Status *status)
{
    QFile::remove(file->markerPath); // a killed export's, whose cut record is dealt with
    QFile marker(file->markerPath);
    const QByteArray text = QByteArray::number(file->foundLength) + '\n';
    errno = 0;
    if (!marker.open(QIODevice::WriteOnly | QIODevice::NewOnly) || marker.write(text) != text.size() || !marker.flush()) {
        const int error = errno;
        *status = Status::failure(error, QStringLiteral("cannot write %1: %2")
                                             .arg(file->markerPath, error ? systemErrorText(error) : marker.errorString()));
        return false;
    }
    file->markerWritten = true;
    return true;
}

bool DayFileStore::indexExisting(DayFile *file, Status *status)
{
    if (file->diskLength == 0)
        return true;
    // A private writable mapping: libmseed takes non-const buffers.
    char *bytes = file->file.mapPrivate(file->diskLength, status);
    if (!bytes)
        return false;
    // Record after record, each of its own length, from the start to the end: a record
    // stepped over would be appended again on every export.
    qint64 offset = 0;
    while (offset < file->diskLength) {
        const qint64 rest = file->diskLength - offset;
        const int available = int(qMin<qint64>(rest, LargestRecord));
        int length = ms_detect(bytes + offset, available);
        // A last record without a blockette 1000 fills the rest, a length records can have.
        if (length == 0 && rest >= SmallestRecord && rest <= LargestRecord && (rest & (rest - 1)) == 0)
            length = int(rest);
        if (length < SmallestRecord || length > available)
            break;
        file->addRef(recordKey(bytes + offset, length), offset, length);
        offset += length;
    }
    OpenFile::unmapView(bytes, file->diskLength);
    if (offset < file->diskLength) {
        // A record cut short after where an export of ours, killed, began appending is
        // that export's, and goes; anything else is not ours to change.
        const qint64 ours = markerLength(file->markerPath);
        if (ours < 0 || ours > offset) {
            file->refusal = QStringLiteral("not whole miniSEED records at byte %1").arg(offset);
            setAside(file);
            return true;
        }
        if (Status cut = file->file.resize(offset); !cut) {
            *status = cut;
            return false;
        }
        file->diskLength = file->commitLength = file->foundLength = offset;
    }
    QFile::remove(file->markerPath); // a killed export's: its records are whole now
    return true;
}

bool DayFileStore::flush(DayFile *file, Status *status)
{
    if (file->pending.isEmpty())
        return true;
    if (!file->markerWritten && !writeMarker(file, status))
        return false;
    if (const Status written = file->file.writeAt(file->pending.constData(), file->pending.size(), file->diskLength); !written) {
        *status = written;
        // Whole records only: a run written in part is cut off again.
        if (const Status cut = file->file.resize(file->diskLength); !cut)
            status->message += QStringLiteral("; cutting it back failed too: %1").arg(systemErrorText(cut.error));
        return false;
    }
    file->file.startWriteBack(file->diskLength, file->pending.size());
    file->diskLength += file->pending.size();
    file->pending.clear();
    return true;
}

DayFileStore::Outcome DayFileStore::append(DayFile *file, const char *raw, int length, Status *status)
{
    if (!file->refusal.isEmpty()) {
        ++file->recordsRefused;
        *status = Status::refused(QStringLiteral("cannot append to %1: %2").arg(file->path, file->refusal));
        return Refused;
    }
    const size_t key = recordKey(raw, length);
    const auto head = file->heads.constFind(key);
    QByteArray existing;
    for (int index = head == file->heads.cend() ? -1 : *head; index >= 0; index = file->records[size_t(index)].next) {
        const DayFile::Ref ref = file->records[size_t(index)];
        if (ref.length != length)
            continue;
        const char *there = nullptr;
        if (ref.offset >= file->diskLength) {
            there = file->pending.constData() + (ref.offset - file->diskLength);
        } else {
            existing.resize(length);
            Status read;
            if (file->file.readAt(existing.data(), length, ref.offset, &read) == length)
                there = existing.constData();
        }
        if (there && std::memcmp(there, raw, size_t(length)) == 0) {
            ++file->recordsFound;
            return AlreadyThere;
        }
    }
    file->addRef(key, file->length(), length);
    file->pending.append(raw, length);
    ++file->recordsAdded;
    if (file->pending.size() >= FlushBytes && !flush(file, status))
        return Failed;
    return Appended;
}

Status DayFileStore::commit()
{
    for (const auto &file : std::as_const(m_files)) {
        Status status;
        if (file->pending.isEmpty())
            continue;
        // A file set aside with records still pending is made ready again first.
        if ((file->active || openFile(file.get(), &status)) && flush(file.get(), &status) && file->pending.isEmpty())
            continue;
        if (status)
            status = Status::failure(QStringLiteral("cannot write %1").arg(file->path));
        return status;
    }
    for (const auto &file : std::as_const(m_files)) {
        file->commitLength = file->diskLength;
        file->existedAtCommit = file->opened;
        file->recordsAddedAtCommit = file->recordsAdded;
    }
    return Status();
}

Status DayFileStore::rollback()
{
    Status result;
    for (auto it = m_files.begin(); it != m_files.end();) {
        DayFile *file = it->get();
        file->pending.clear();
        if (!file->refusal.isEmpty()) { // nothing of ours in it; named at the end
            ++it;
            continue;
        }
        // Only what this batch wrote is taken back, and only from a file that holds just
        // that: what another program wrote meanwhile is never cut off or deleted.
        const bool createdSinceCommit = !file->existedAtCommit && file->created;
        if (file->opened && (createdSinceCommit || file->diskLength > file->commitLength)) {
            Status taken;
            if (file->file.size() != file->diskLength) {
                taken = Status::refused(QStringLiteral("cannot take back the records filed into %1: another program wrote to it meanwhile")
                                            .arg(file->path));
            } else if (createdSinceCommit) {
                taken = file->file.removeIfStillNamed(file->path);
            } else if ((taken = file->file.resize(file->commitLength))) {
                file->diskLength = file->commitLength;
            }
            if (!taken)
                result = taken;
        }
        if (createdSinceCommit) {
            release(file);
            it = m_files.erase(it);
            continue;
        }
        file->dropRefsFrom(file->commitLength);
        file->recordsAdded = file->recordsAddedAtCommit;
        if (!file->existedAtCommit) { // existed before the run, first opened since the commit
            release(file);
            it = m_files.erase(it);
            continue;
        }
        ++it;
    }
    return result;
}

QList<SdsDayFile> DayFileStore::hashAll(Status *status)
{
    QList<SdsDayFile> listed;
    for (const auto &file : std::as_const(m_files)) {
        setAside(file.get());
        if ((file->recordsAdded == 0 && file->recordsFound == 0) || !file->refusal.isEmpty())
            continue;
        SdsDayFile result;
        result.relativePath = file->relativePath;
        result.recordsAdded = file->recordsAdded;
        result.recordsFound = file->recordsFound;
        result.created = file->created;
        if (const Status hashed = sha256OfFile(file->path, &result.sha256); !hashed)
            *status = hashed;
        listed.append(result);
    }
    std::sort(listed.begin(), listed.end(),
              [](const SdsDayFile &a, const SdsDayFile &b) { return a.relativePath < b.relativePath; });
    return listed;
}

QStringList DayFileStore::refusals() const
{
    QStringList lines;
    for (const auto &file : m_files) {
        if (!file->refusal.isEmpty())
            lines.append(QStringLiteral("cannot append to %1: %2 (%3 records left out)")
                             .arg(file->path, file->refusal)
                             .arg(file->recordsRefused));
    }
    lines.sort();
    return lines;
}
