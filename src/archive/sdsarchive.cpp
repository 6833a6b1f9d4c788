#include "sdsarchive.h"
#include "platform.h"
#include "recordcheck.h"
#include "sha256.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <libmseed.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <vector>

// POSIX calls where there are any; plain Qt elsewhere (and in a build that tries that path).
#if defined(Q_OS_UNIX) && !defined(VEXA_PORTABLE_FILES)
#define VEXA_POSIX_FILES
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#else
#include <QLockFile>
#include <memory>
#endif

namespace {

// Records come in time order, so a day file once passed is seldom needed again; setting
// the least recently used aside (its records written out, its buffer freed) bounds the
// memory of a card of many days. Its lock stays until the batch ends.
constexpr int MaxOpenFiles = 64;
// Records are gathered per day file and written in runs of this size: a write per
// 512-byte record would cost more than the copy itself.
constexpr int FlushBytes = 256 * 1024;
constexpr qint64 DayLength = qint64(86400) * HPTMODULUS;
constexpr int SmallestRecord = 128;
constexpr int LargestRecord = 1 << 20;

QString systemReason(int error)
{
    return systemErrorText(error);
}

// A code that can name a folder: SEED codes are letters and digits; anything else (a
// slash, dots) could lead out of the archive and is refused.
bool isSafeCode(const char *code, bool mayBeEmpty)
{
    if (!*code)
        return mayBeEmpty;
    for (const char *c = code; *c; ++c) {
        if (!std::isalnum(static_cast<unsigned char>(*c)) && *c != '-' && *c != '_')
            return false;
    }
    return true;
}

struct MsrFree
{
    void operator()(MSRecord *msr) const { msr_free(&msr); }
};
using MsrPointer = std::unique_ptr<MSRecord, MsrFree>;

// Start of the UTC day that holds `time` (hptime counts no leap seconds: a day is
// always 86400 s), and that day's year and day of year.
hptime_t dayStart(hptime_t time)
{
    hptime_t day = time / DayLength;
    if (time % DayLength < 0)
        --day;
    return day * DayLength;
}

// False for a time outside the years records are accepted for, or one libmseed cannot convert.
bool yearAndDay(hptime_t time, int *year, int *dayOfYear)
{
    BTime btime;
    if (time < RecordCheck::EarliestTime || time >= RecordCheck::LatestTime || ms_hptime2btime(time, &btime) != 0)
        return false;
    *year = btime.year;
    *dayOfYear = btime.day;
    return true;
}

// What the duplicate check looks up by: the fixed header and the first blockettes carry
// the channel, start time and sequence number, which tell records of a day file apart;
// records with equal keys are compared byte for byte.
size_t recordKey(const char *raw, int length)
{
    return qHashBits(raw, size_t(qMin(length, 64)));
}

bool canPack(int encoding)
{
    switch (encoding) {
    case DE_INT16:
    case DE_INT32:
    case DE_FLOAT32:
    case DE_FLOAT64:
    case DE_STEIM1:
    case DE_STEIM2:
        return true;
    default:
        return false;
    }
}

void collectRecord(char *record, int length, void *into)
{
    static_cast<QList<QByteArray> *>(into)->append(QByteArray(record, length));
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

#ifndef VEXA_POSIX_FILES
// The system's reason where it left one in errno, else Qt's.
QString fileReason(const QFileDevice &file)
{
    return errno ? systemReason(errno) : file.errorString();
}
#endif

} // namespace

struct SdsArchive::DayFile
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
#ifdef VEXA_POSIX_FILES
    int fd = -1; // open, and locked, from its first record to the end of the batch
#else
    std::unique_ptr<QLockFile> lock; // held from its first record to the end of the batch
    std::unique_ptr<QFile> handle;   // open while active
#endif
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

SdsArchive::SdsArchive(const QString &root, bool splitMidnight)
    : m_root(root)
    , m_splitMidnight(splitMidnight)
{
    // Every day file of a batch keeps its descriptor, and so its lock, to the end of
    // the batch: a card of many days needs more than the usual soft limit of 1024.
    raiseOpenFileLimit();
}

SdsArchive::~SdsArchive()
{
    if (!m_finished)
        rollback();
    for (const auto &file : std::as_const(m_files))
        release(file.get());
    msr_free(&m_parsed);
}

void SdsArchive::setCardIdentity(quint64 device, quint64 inode)
{
    m_cardDevice = device;
    m_cardInode = inode;
    m_hasCardIdentity = true;
}

QString SdsArchive::dayFilePath(const QString &network, const QString &station, const QString &location,
                                const QString &channel, int year, int dayOfYear)
{
    const QString yearText = QStringLiteral("%1").arg(year, 4, 10, QLatin1Char('0'));
    const QString dayText = QStringLiteral("%1").arg(dayOfYear, 3, 10, QLatin1Char('0'));
    const QString folder = channel + QLatin1String(".D");
    return yearText + QLatin1Char('/') + network + QLatin1Char('/') + station + QLatin1Char('/') + folder
        + QLatin1Char('/') + network + QLatin1Char('.') + station + QLatin1Char('.') + location + QLatin1Char('.')
        + channel + QLatin1String(".D.") + yearText + QLatin1Char('.') + dayText;
}

QString SdsArchive::logFileName() const
{
    if (!m_hasFirstRecord)
        return QString();
    const qint64 milliseconds = qint64(std::floor(double(m_firstRecordTime) / 1000.0));
    return QLatin1String("log.")
        + QDateTime::fromMSecsSinceEpoch(milliseconds, Qt::UTC).toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'"));
}

int SdsArchive::dayFilesTouched() const
{
    int touched = 0;
    for (const auto &file : m_files)
        touched += file->recordsAdded > 0 ? 1 : 0;
    return touched;
}

SdsArchive::DayFile *SdsArchive::dayFile(const QString &relativePath)
{
    std::shared_ptr<DayFile> &slot = m_files[relativePath];
    if (!slot) {
        slot = std::make_shared<DayFile>();
        slot->relativePath = relativePath;
        slot->path = QDir(m_root).filePath(relativePath);
        slot->markerPath = markerPathOf(slot->path);
    }
    slot->lastUse = ++m_useClock;
    if (!slot->active && slot->refusal.isEmpty() && !openFile(slot.get()))
        return nullptr;
    return slot.get();
}

bool SdsArchive::openFile(DayFile *file)
{
    if (m_openFiles >= MaxOpenFiles) {
        DayFile *oldest = nullptr;
        for (const auto &candidate : std::as_const(m_files)) {
            if (candidate->active && (!oldest || candidate->lastUse < oldest->lastUse))
                oldest = candidate.get();
        }
        if (oldest) {
            if (!flush(oldest))
                return false;
            setAside(oldest);
        }
    }
    if (file->opened)
        return resumeFile(file);

    // YEAR/NET/STA/CHA.D made or opened one folder at a time, never through a link.
    Status folderStatus;
    const FolderHandle folder = openFolderBelow(m_root, file->relativePath.section(QLatin1Char('/'), 0, -2), CreateFolders::Yes, &folderStatus);
    if (!folderStatus) {
        m_error = folderStatus.message;
        return false;
    }
#ifdef VEXA_POSIX_FILES
    // Never through a link planted at the day file's name, and never the card itself.
    const QByteArray name = QFile::encodeName(file->relativePath.section(QLatin1Char('/'), -1));
    bool createdNow = true;
    int fd = ::openat(int(folder.native()), name.constData(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0 && errno == EEXIST) {
        createdNow = false;
        fd = ::openat(int(folder.native()), name.constData(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    }
    if (fd < 0) {
        m_error = errno == ELOOP ? QStringLiteral("cannot write %1: it is a symbolic link, not followed").arg(file->path)
                                 : QStringLiteral("cannot write %1: %2").arg(file->path, systemReason(errno));
        return false;
    }
    struct stat status;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_nlink > 1) {
        m_error = QStringLiteral("cannot write %1: %2").arg(file->path, S_ISREG(status.st_mode) ? QStringLiteral("it has more than one hard link") : QStringLiteral("it is not a regular file"));
        ::close(fd);
        return false;
    }
    if (m_hasCardIdentity && quint64(status.st_dev) == m_cardDevice && quint64(status.st_ino) == m_cardInode) {
        m_error = QStringLiteral("cannot write %1: it is the card being read").arg(file->path);
        ::close(fd);
        return false;
    }
    // Two exports appending to one day file at once would interleave their records.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        m_error = errno == EWOULDBLOCK ? QStringLiteral("cannot write %1: another export is writing it").arg(file->path)
                                       : QStringLiteral("cannot lock %1: %2").arg(file->path, systemReason(errno));
        ::close(fd);
        return false;
    }
    const qint64 size = qint64(status.st_size);
    file->fd = fd;
#else
    // Weaker than the POSIX path: a link or other non-regular file is refused by looking
    // first, which leaves a moment between the look and the open; the card cannot be
    // told by identity, only by being no regular file; and the lock beside the day file
    // keeps out other exports only, not other programs.
    if (const Status look = checkRegularFile(file->path, false, true); !look) {
        m_error = QStringLiteral("cannot write %1: %2").arg(file->path, look.message.section(QStringLiteral(": "), -1));
        return false;
    }
    // Two exports appending to one day file at once would interleave their records.
    auto lock = std::make_unique<QLockFile>(file->path + QLatin1String(".lock"));
    errno = 0;
    if (!lock->tryLock(0)) {
        m_error = lock->error() == QLockFile::LockFailedError
            ? QStringLiteral("cannot write %1: another export is writing it").arg(file->path)
            : QStringLiteral("cannot lock %1: %2").arg(file->path, systemReason(errno ? errno : EACCES));
        return false;
    }
    auto handle = std::make_unique<QFile>(file->path);
    bool createdNow = true;
    errno = 0;
    if (!handle->open(QIODevice::ReadWrite | QIODevice::NewOnly)) {
        createdNow = false;
        errno = 0;
        if (!handle->open(QIODevice::ReadWrite | QIODevice::ExistingOnly)) {
            m_error = QStringLiteral("cannot write %1: %2").arg(file->path, fileReason(*handle));
            return false;
        }
    }
    const qint64 size = handle->size();
    file->lock = std::move(lock);
    file->handle = std::move(handle);
#endif
    file->opened = true;
    file->created = createdNow;
    file->existedAtCommit = false;
    file->diskLength = file->commitLength = file->foundLength = size;
    file->active = true;
    ++m_openFiles;
    return indexExisting(file);
}

bool SdsArchive::resumeFile(DayFile *file)
{
#ifndef VEXA_POSIX_FILES
    auto handle = std::make_unique<QFile>(file->path);
    errno = 0;
    if (!handle->open(QIODevice::ReadWrite | QIODevice::ExistingOnly)) {
        m_error = QStringLiteral("cannot write %1: %2").arg(file->path, fileReason(*handle));
        return false;
    }
    file->handle = std::move(handle);
#endif
    file->active = true;
    ++m_openFiles;
    if (sizeOnDisk(file) != file->diskLength) {
        m_error = QStringLiteral("cannot write %1: another program changed it during the export").arg(file->path);
        setAside(file);
        return false;
    }
    return true;
}

qint64 SdsArchive::sizeOnDisk(DayFile *file)
{
#ifdef VEXA_POSIX_FILES
    struct stat status;
    return ::fstat(file->fd, &status) == 0 ? qint64(status.st_size) : -1;
#else
    const QFileInfo info(file->path);
    return info.exists() ? info.size() : -1;
#endif
}

bool SdsArchive::cutBack(DayFile *file, qint64 length)
{
#ifdef VEXA_POSIX_FILES
    if (::ftruncate(file->fd, off_t(length)) != 0) {
        m_error = QStringLiteral("cannot cut %1 back: %2").arg(file->path, systemReason(errno));
        return false;
    }
#else
    QFile other(file->path);
    QFile &handle = file->handle ? *file->handle : other;
    errno = 0;
    if (!handle.resize(length)) {
        m_error = QStringLiteral("cannot cut %1 back: %2").arg(file->path, fileReason(handle));
        return false;
    }
#endif
    file->diskLength = length;
    return true;
}

void SdsArchive::removeCreated(DayFile *file)
{
#ifdef VEXA_POSIX_FILES
    // The name must still lead to the file this batch created and wrote.
    const QByteArray name = QFile::encodeName(file->path);
    struct stat ours;
    struct stat named;
    if (::fstat(file->fd, &ours) != 0 || ::lstat(name.constData(), &named) != 0 || ours.st_dev != named.st_dev
        || ours.st_ino != named.st_ino) {
        m_error = QStringLiteral("cannot take back %1: it is no longer the file this export created").arg(file->path);
        return;
    }
    if (::unlink(name.constData()) != 0)
        m_error = QStringLiteral("cannot remove %1: %2").arg(file->path, systemReason(errno));
#else
    QFile created(file->path);
    errno = 0;
    if (!created.remove())
        m_error = QStringLiteral("cannot remove %1: %2").arg(file->path, fileReason(created));
#endif
}

void SdsArchive::setAside(DayFile *file)
{
    if (!file->active)
        return;
#ifndef VEXA_POSIX_FILES
    file->handle.reset();
#endif
    file->pending = QByteArray();
    file->active = false;
    --m_openFiles;
}

void SdsArchive::release(DayFile *file)
{
    setAside(file);
    // The marker goes before the lock: no moment without either.
    if (file->markerWritten)
        QFile::remove(file->markerPath);
    file->markerWritten = false;
#ifdef VEXA_POSIX_FILES
    if (file->fd >= 0)
        ::close(file->fd);
    file->fd = -1;
#else
    file->lock.reset();
#endif
}

bool SdsArchive::writeMarker(DayFile *file)
{
    QFile::remove(file->markerPath); // a killed export's, whose cut record is dealt with
    QFile marker(file->markerPath);
    const QByteArray text = QByteArray::number(file->foundLength) + '\n';
    errno = 0;
    if (!marker.open(QIODevice::WriteOnly | QIODevice::NewOnly) || marker.write(text) != text.size() || !marker.flush()) {
        m_error = QStringLiteral("cannot write %1: %2").arg(file->markerPath, errno ? systemReason(errno) : marker.errorString());
        return false;
    }
    file->markerWritten = true;
    return true;
}

bool SdsArchive::indexExisting(DayFile *file)
{
    if (file->diskLength == 0)
        return true;
    // A private writable mapping: libmseed takes non-const buffers.
#ifdef VEXA_POSIX_FILES
    void *map = ::mmap(nullptr, size_t(file->diskLength), PROT_READ | PROT_WRITE, MAP_PRIVATE, file->fd, 0);
    if (map == MAP_FAILED) {
        m_error = QStringLiteral("cannot read %1: %2").arg(file->path, systemReason(errno));
        return false;
    }
#else
    errno = 0;
    void *map = file->handle->map(0, file->diskLength, QFileDevice::MapPrivateOption);
    if (!map) {
        m_error = QStringLiteral("cannot read %1: %2").arg(file->path, fileReason(*file->handle));
        return false;
    }
#endif
    // Record after record, each of its own length, from the start to the end: a record
    // stepped over would be appended again on every export.
    const char *bytes = static_cast<const char *>(map);
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
#ifdef VEXA_POSIX_FILES
    ::munmap(map, size_t(file->diskLength));
#else
    file->handle->unmap(static_cast<uchar *>(map));
#endif
    if (offset < file->diskLength) {
        // A record cut short after where an export of ours, killed, began appending is
        // that export's, and goes; anything else is not ours to change.
        const qint64 ours = markerLength(file->markerPath);
        if (ours < 0 || ours > offset) {
            file->refusal = QStringLiteral("not whole miniSEED records at byte %1").arg(offset);
            setAside(file);
            return true;
        }
        if (!cutBack(file, offset))
            return false;
        file->commitLength = file->foundLength = offset;
    }
    QFile::remove(file->markerPath); // a killed export's: its records are whole now
    return true;
}

bool SdsArchive::flush(DayFile *file)
{
    if (file->pending.isEmpty())
        return true;
    if (!file->markerWritten && !writeMarker(file))
        return false;
#ifndef VEXA_POSIX_FILES
    errno = 0;
    if (!file->handle->seek(file->diskLength) || file->handle->write(file->pending) != file->pending.size()
        || !file->handle->flush()) {
        m_error = QStringLiteral("cannot write %1: %2").arg(file->path, fileReason(*file->handle));
        // Whole records only: a run written in part is cut off again.
        if (!file->handle->resize(file->diskLength))
            m_error += QStringLiteral("; cutting it back failed too: %1").arg(fileReason(*file->handle));
        return false;
    }
#else
    qint64 written = 0;
    while (written < file->pending.size()) {
        const auto done = ::pwrite(file->fd, file->pending.constData() + written, size_t(file->pending.size() - written),
                                   off_t(file->diskLength + written));
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0) {
            const int error = done < 0 ? errno : ENOSPC;
            m_error = QStringLiteral("cannot write %1: %2").arg(file->path, systemReason(error));
            // Whole records only: a run written in part is cut off again.
            if (::ftruncate(file->fd, off_t(file->diskLength)) != 0)
                m_error += QStringLiteral("; cutting it back failed too: %1").arg(systemReason(errno));
            return false;
        }
        written += done;
    }
    startWriteBack(file->fd, file->diskLength, written);
#endif
    file->diskLength += file->pending.size();
    file->pending.clear();
    return true;
}

SdsArchive::Outcome SdsArchive::append(DayFile *file, const char *raw, int length)
{
    if (!file->refusal.isEmpty()) {
        ++file->recordsRefused;
        m_error = QStringLiteral("cannot append to %1: %2").arg(file->path, file->refusal);
        return Refused;
    }
    const size_t key = recordKey(raw, length);
    const auto head = file->heads.constFind(key);
    for (int index = head == file->heads.cend() ? -1 : *head; index >= 0; index = file->records[size_t(index)].next) {
        const DayFile::Ref ref = file->records[size_t(index)];
        if (ref.length != length)
            continue;
        if (ref.offset >= file->diskLength) {
            if (std::memcmp(file->pending.constData() + (ref.offset - file->diskLength), raw, size_t(length)) == 0) {
                ++file->recordsFound;
                return AlreadyThere;
            }
            continue;
        }
        QByteArray existing(length, Qt::Uninitialized);
#ifdef VEXA_POSIX_FILES
        if (::pread(file->fd, existing.data(), size_t(length), off_t(ref.offset)) == length
#else
        if (file->handle->seek(ref.offset) && file->handle->read(existing.data(), length) == length
#endif
            && std::memcmp(existing.constData(), raw, size_t(length)) == 0) {
            ++file->recordsFound;
            return AlreadyThere;
        }
    }
    file->addRef(key, file->length(), length);
    file->pending.append(raw, length);
    ++file->recordsAdded;
    if (file->pending.size() >= FlushBytes && !flush(file))
        return Failed;
    return Archived;
}

SdsArchive::Outcome SdsArchive::addRecord(const char *raw, int length, const MSRecord *parsed)
{
    if (m_closed) {
        m_error = QStringLiteral("the archive %1 is closed").arg(m_root);
        return Failed;
    }
    if (length < SmallestRecord || length > LargestRecord) {
        m_error = QStringLiteral("not a miniSEED record (%1 bytes)").arg(length);
        return NotArchived;
    }
    if (!parsed) {
        // libmseed parses from a writable buffer; the caller's bytes stay as they are.
        if (m_scratch.size() < length)
            m_scratch.resize(length);
        std::memcpy(m_scratch.data(), raw, size_t(length));
        if (msr_parse(m_scratch.data(), length, &m_parsed, length, 0, 0) != MS_NOERROR || !m_parsed) {
            m_error = QStringLiteral("not a miniSEED record");
            return NotArchived;
        }
        parsed = m_parsed;
    }
    const QString fault = RecordCheck::fault(parsed);
    if (!fault.isEmpty()) {
        m_error = QStringLiteral("a bad record: %1").arg(fault);
        return NotArchived;
    }
    if (!isSafeCode(parsed->network, false) || !isSafeCode(parsed->station, false)
        || !isSafeCode(parsed->location, true) || !isSafeCode(parsed->channel, false)) {
        m_error = QStringLiteral("a record's codes '%1.%2.%3.%4' cannot name a day file")
                      .arg(RecordCheck::escapedCode(QString::fromLatin1(parsed->network)),
                           RecordCheck::escapedCode(QString::fromLatin1(parsed->station)),
                           RecordCheck::escapedCode(QString::fromLatin1(parsed->location)),
                           RecordCheck::escapedCode(QString::fromLatin1(parsed->channel)));
        return NotArchived;
    }

    Outcome outcome = NotArchived;
    const hptime_t midnight = dayStart(parsed->starttime) + DayLength;
    const hptime_t lastSample = parsed->starttime + RecordCheck::samplesSpan(double(parsed->samplecnt - 1), parsed->samprate);
    const bool runsPastMidnight = parsed->samprate > 0 && parsed->samplecnt > 1 && lastSample >= midnight;
    // A record of our cards spans seconds: one that would need more than two pieces (a
    // rate far below any recorder's) is filed whole by its start.
    const bool twoDaysAtMost = runsPastMidnight && lastSample < midnight + DayLength;
    if (m_splitMidnight && twoDaysAtMost && canPack(parsed->encoding))
        outcome = fileSplit(raw, length);
    else
        outcome = fileWhole(raw, length, parsed);

    if ((outcome == Archived || outcome == AlreadyThere) && !m_hasFirstRecord) {
        m_hasFirstRecord = true;
        m_firstRecordTime = parsed->starttime;
    }
    if (outcome == Archived)
        ++m_recordsArchived;
    else if (outcome == AlreadyThere)
        ++m_recordsAlreadyThere;
    return outcome;
}

SdsArchive::DayFile *SdsArchive::dayFileOf(const MSRecord *msr, hptime_t time)
{
    // Records of a channel come in runs of the same day: the last few routes from
    // channel and day to day file spare building its path for every record.
    const hptime_t day = dayStart(time);
    for (const Route &route : m_routes) {
        if (route.file && route.day == day && std::strcmp(route.channel, msr->channel) == 0
            && std::strcmp(route.station, msr->station) == 0 && std::strcmp(route.network, msr->network) == 0
            && std::strcmp(route.location, msr->location) == 0) {
            route.file->lastUse = ++m_useClock;
            if (!route.file->active && route.file->refusal.isEmpty() && !openFile(route.file))
                return nullptr;
            return route.file;
        }
    }
    int year = 0;
    int dayOfYear = 0;
    if (!yearAndDay(day, &year, &dayOfYear)) {
        m_error = QStringLiteral("a record's day cannot name a day file");
        return nullptr;
    }
    DayFile *file = dayFile(dayFilePath(QString::fromLatin1(msr->network), QString::fromLatin1(msr->station),
                                        QString::fromLatin1(msr->location), QString::fromLatin1(msr->channel), year,
                                        dayOfYear));
    if (!file)
        return nullptr;
    Route &route = m_routes[m_nextRoute];
    m_nextRoute = (m_nextRoute + 1) % RouteCount;
    route.day = day;
    std::memcpy(route.network, msr->network, sizeof route.network);
    std::memcpy(route.station, msr->station, sizeof route.station);
    std::memcpy(route.location, msr->location, sizeof route.location);
    std::memcpy(route.channel, msr->channel, sizeof route.channel);
    route.file = file;
    return file;
}

SdsArchive::Outcome SdsArchive::fileWhole(const char *raw, int length, const MSRecord *msr)
{
    DayFile *file = dayFileOf(msr, msr->starttime);
    return file ? append(file, raw, length) : Failed;
}

SdsArchive::Outcome SdsArchive::fileSplit(const char *raw, int length)
{
    QByteArray copy(raw, length);
    MSRecord *decoded = nullptr;
    const int status = msr_parse(copy.data(), length, &decoded, length, 1, 0);
    const MsrPointer msr(decoded);
    // Samples that cannot be decoded cannot be split: the record is filed whole. The
    // header was checked before (RecordCheck::fault): its samples fit its record.
    if (status != MS_NOERROR || !msr || msr->numsamples != msr->samplecnt || msr->numsamples < 2)
        return decoded ? fileWhole(raw, length, decoded) : NotArchived;

    const double rate = msr->samprate;
    const qint64 count = msr->numsamples;
    const int sampleSize = ms_samplesize(msr->sampletype);
    auto sampleTime = [&](qint64 index) { return msr->starttime + hptime_t(std::llround(double(index) * HPTMODULUS / rate)); };

    Outcome result = AlreadyThere;
    bool refused = false;
    int pieces = 0;
    for (qint64 first = 0; first < count;) {
        if (pieces == 2) {
            m_error = QStringLiteral("a record split at midnight needs more than two days");
            return Failed;
        }
        const hptime_t start = sampleTime(first);
        const hptime_t midnight = dayStart(start) + DayLength;
        // Samples before midnight: index < (midnight - start of record) * rate. The small
        // allowance keeps a sample that falls on midnight itself in the new day.
        const double beforeMidnight = double(midnight - msr->starttime) * rate / HPTMODULUS;
        const qint64 end = qBound<qint64>(first + 1, qint64(std::ceil(beforeMidnight - 1e-6)), count);
        if (first == 0 && end == count)
            return fileWhole(raw, length, msr.get());

        MsrPointer piece(msr_duplicate(msr.get(), 0));
        if (!piece) {
            m_error = QStringLiteral("out of memory splitting a record at midnight");
            return Failed;
        }
        piece->datasamples = static_cast<char *>(msr->datasamples) + first * sampleSize;
        piece->numsamples = end - first;
        piece->samplecnt = end - first;
        piece->sampletype = msr->sampletype;
        piece->starttime = start;
        piece->sequence_number = msr->sequence_number;
        QList<QByteArray> packed;
        int64_t packedSamples = 0;
        const int records = msr_pack(piece.get(), collectRecord, &packed, &packedSamples, 1, 0);
        piece->datasamples = nullptr; // the samples belong to msr
        if (records <= 0 || packedSamples != end - first) {
            m_error = QStringLiteral("cannot pack the day's part of a record of %1.%2 split at midnight")
                          .arg(QString::fromLatin1(msr->station), QString::fromLatin1(msr->channel));
            return Failed;
        }
        DayFile *file = dayFileOf(msr.get(), start);
        if (!file)
            return Failed;
        for (const QByteArray &record : std::as_const(packed)) {
            const Outcome outcome = append(file, record.constData(), int(record.size()));
            if (outcome == Failed)
                return Failed;
            if (outcome == Archived)
                result = Archived;
            refused = refused || outcome == Refused;
        }
        ++pieces;
        first = end;
    }
    if (pieces > 1)
        ++m_recordsSplit;
    return refused && result != Archived ? Refused : result;
}

bool SdsArchive::commit()
{
    for (const auto &file : std::as_const(m_files)) {
        if (!file->pending.isEmpty() && (file->active || openFile(file.get())) && !flush(file.get())) {
            const QString error = m_error;
            rollback();
            m_error = error;
            return false;
        }
        if (!file->pending.isEmpty()) { // could not be opened again
            const QString error = m_error;
            rollback();
            m_error = error;
            return false;
        }
    }
    for (const auto &file : std::as_const(m_files)) {
        file->commitLength = file->diskLength;
        file->existedAtCommit = file->opened;
        file->recordsAddedAtCommit = file->recordsAdded;
    }
    m_committedFirstRecord = m_hasFirstRecord;
    m_committedCounts[0] = m_recordsArchived;
    m_committedCounts[1] = m_recordsAlreadyThere;
    m_committedCounts[2] = m_recordsSplit;
    return true;
}

void SdsArchive::rollback()
{
    for (Route &route : m_routes)
        route.file = nullptr; // the day files they lead to may go
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
            if (sizeOnDisk(file) != file->diskLength) {
                m_error = QStringLiteral("cannot take back the records filed into %1: another program wrote to it meanwhile")
                              .arg(file->path);
            } else if (createdSinceCommit) {
                removeCreated(file);
            } else {
                cutBack(file, file->commitLength);
            }
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
    m_hasFirstRecord = m_committedFirstRecord;
    if (!m_hasFirstRecord)
        m_firstRecordTime = 0;
    m_recordsArchived = m_committedCounts[0];
    m_recordsAlreadyThere = m_committedCounts[1];
    m_recordsSplit = m_committedCounts[2];
}

QList<SdsDayFile> SdsArchive::finish()
{
    if (m_finished)
        return m_listed;
    if (!m_closed)
        commit();
    m_closed = true;
    m_finished = true;
    for (const auto &file : std::as_const(m_files)) {
        setAside(file.get());
        if ((file->recordsAdded == 0 && file->recordsFound == 0) || !file->refusal.isEmpty())
            continue;
        SdsDayFile result;
        result.relativePath = file->relativePath;
        result.recordsAdded = file->recordsAdded;
        result.recordsFound = file->recordsFound;
        result.created = file->created;
        result.sha256 = sha256OfFile(file->path, &m_error);
        m_listed.append(result);
    }
    std::sort(m_listed.begin(), m_listed.end(),
              [](const SdsDayFile &a, const SdsDayFile &b) { return a.relativePath < b.relativePath; });
    return m_listed;
}

QList<SdsDayFile> SdsArchive::close()
{
    QList<SdsDayFile> changed;
    for (const SdsDayFile &file : finish()) {
        if (file.recordsAdded > 0)
            changed.append(file);
    }
    for (const auto &file : std::as_const(m_files))
        release(file.get());
    return changed;
}

QStringList SdsArchive::refusals() const
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
