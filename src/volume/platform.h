// The few system calls that keep an export inside its folder: folders opened below a
// root one component at a time without following links, files written whole (a
// temporary file beside, every write checked, flushed to the disk, renamed into place),
// and a look at a path that cannot block on a FIFO or a device. One implementation per
// system: platform_posix.cpp or platform_windows.cpp.
#pragma once

#include "status.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <cstdio>
#include <cstdint>

// Who a file is, whatever the path that reaches it: a card image reached through a link,
// another name or a hard link is still the card.
struct FileIdentity
{
    quint64 device = 0; // st_dev; the volume serial number on Windows
    quint64 inode = 0;  // st_ino; the file index on Windows
    quint64 special = 0; // st_rdev and kind of a block or character device, 0 otherwise
    bool valid = false;

    bool sameAs(const FileIdentity &other) const
    {
        if (!valid || !other.valid)
            return false;
        // Two device nodes of one disk are the same card.
        return (device == other.device && inode == other.inode) || (special != 0 && special == other.special);
    }
};

// The identity of the file at `path`, following links; invalid when it does not exist.
FileIdentity fileIdentity(const QString &path);
// The identity of `path` itself when it is no link (links are not followed).
FileIdentity linkIdentity(const QString &path);

// An open folder, closed with the object. On POSIX a directory descriptor; on Windows a
// handle that keeps the folder from being renamed or replaced while it is held.
class FolderHandle
{
public:
    FolderHandle() = default;
    FolderHandle(std::intptr_t handle, const QString &path) : m_handle(handle), m_path(path) {}
    ~FolderHandle();
    FolderHandle(FolderHandle &&other) noexcept;
    FolderHandle &operator=(FolderHandle &&other) noexcept;
    FolderHandle(const FolderHandle &) = delete;
    FolderHandle &operator=(const FolderHandle &) = delete;

    bool isOpen() const { return m_handle != Closed; }
    std::intptr_t native() const { return m_handle; }
    // The folder's path as it was opened, for messages and for calls that need a path.
    QString path() const { return m_path; }

private:
    static constexpr std::intptr_t Closed = -1;
    void close();
    std::intptr_t m_handle = Closed;
    QString m_path;
};

enum class CreateFolders { No, Yes };

// ".NAME.XXXXXX.part": the name a file is written under beside NAME until it is whole;
// the pattern a later run knows a killed run's leftovers by.
QString temporaryFileName(const QString &name);

// Opens ROOT/RELATIVE ("/"-separated, no "." or ".." components; empty means the root),
// creating missing folders when asked. The root itself is taken as given (the user named
// it); every component below it must be a real folder: one that is a symbolic link (or a
// junction) or not a folder is refused, and nothing is created where a link points.
FolderHandle openFolderBelow(const QString &root, const QString &relative, CreateFolders create, Status *status);

// Writes `content` as FOLDER/NAME whole or not at all: into ".NAME.XXXXXX.part" beside it,
// every write and the close checked, flushed to the disk, renamed over NAME, and the
// folder flushed. A NAME that is a link, not a regular file or a file with more than one
// hard link is refused; on any failure the earlier NAME is left as it was.
Status writeFileWhole(const FolderHandle &folder, const QString &name, const QByteArray &content);

// Renames FROM to TO, both names in FOLDER, only if TO does not exist: a failure with
// error EEXIST when it does (another process took the name meanwhile), FROM kept. `at` is
// the folder's descriptor on POSIX (-1: FOLDER by path).
Status renameNoReplace(const QString &folder, int at, const QString &from, const QString &to);

// Looks at PATH without opening it, so that a FIFO or a device cannot block: ok when it is
// missing or a regular file (a link at PATH is refused unless `followLinks`). A FIFO, a
// device, a folder, or a file with more than one hard link when `single` is asked, is
// refused with a message naming what it is.
Status checkRegularFile(const QString &path, bool followLinks, bool single = false);

// Looks once at FOLDER/NAME (`folder` not open: PATH as it is), links not followed, as the
// place a copy is to be put: ok when nothing is there (*exists false) or it is a regular
// file of one hard link that is not `card`. Refused, with "cannot write PATH: why": the
// card under any name (a link to it, a hard link, another device node of the same disk),
// any other link (neither followed nor replaced), anything but a regular file, a file of
// several hard links.
Status checkDestinationIn(const FolderHandle *folder, const QString &name, const QString &path,
                          const FileIdentity &card, bool *exists);

// What a path names, as a probe for cards sees it.
enum class PathKind {
    RegularFile, // a card image, perhaps
    Disk,        // a block or character device (a raw disk on Windows)
    Folder,
    Other,       // a FIFO or a socket: never opened, so that it cannot block
};

// Looks at PATH (links followed) without opening it: what it is, or a failure with the
// system's reason (a missing path: ENOENT).
Status lookAtPath(const QString &path, PathKind *kind);

// Opens PATH for reading if it is a regular file (a link at PATH is followed only to a
// regular file), so that a FIFO or a device put there cannot block the open or the reads:
// a descriptor of the C library, or -1 with *status saying why.
int openRegularFile(const QString &path, Status *status);

// Reads PATH whole if it is a regular file, opened as openRegularFile() opens it.
Status readRegularFile(const QString &path, QByteArray *content);

// Starts writing LENGTH bytes of descriptor `fd` from OFFSET to the disk without waiting,
// so that the flush at the end of a batch finds them written; where the system has no
// such call, nothing happens and that flush does the work.
void startWriteBack(int fd, qint64 offset, qint64 length);

// An error of a read that says the card is no longer there (taken out, the reader gone),
// rather than that a sector is bad.
bool isCardGoneError(int error);

// Whether STREAM is a terminal (a progress bar is drawn only there).
bool isTerminal(FILE *stream);

// Where this system lists its disks: DeviceDiscoverer reads that list.
enum class DiskListing {
    PhysicalDrives, // \\.\PhysicalDriveN
    SysBlock,       // /sys/block, the nodes in /dev
    None,           // no list: cards are named by path
};
DiskListing systemDiskListing();

// Raises this process's limit of open files as far as the system allows (once; later
// calls do nothing). When it cannot, opening a file later fails with the system's reason.
void raiseOpenFileLimit();

// Flushes the file system holding PATH to the disk (once per batch, before its manifest).
Status flushFileSystem(const QString &path);

// An exclusive lock on a folder, waited for and held while the object lives: what two
// processes that read, merge and replace one file of the folder take in turn.
class FolderLock
{
public:
    FolderLock() = default;
    ~FolderLock();
    FolderLock(const FolderLock &) = delete;
    FolderLock &operator=(const FolderLock &) = delete;

    Status lock(const QString &folder);

private:
    std::intptr_t m_handle = -1;
};

// Takes a non-blocking exclusive lock on descriptor `fd` (held until it is closed);
// false when another process holds it.
bool tryLockFile(int fd);

// Removes FOLDER/NAME if it is a regular file no process holds a lock on (a temporary
// file left by a run that was killed); true when it was removed.
bool removeIfUnlocked(const QString &folder, const QString &name);

// A file held open by its descriptor (POSIX) or handle (Windows), closed with the object:
// the day files an archive appends to in place, the copies compared and hashed, the
// temporary file a copy is written into, the card read sector by sector.
class OpenFile
{
public:
    OpenFile() = default;
    ~OpenFile();
    OpenFile(OpenFile &&other) noexcept;
    OpenFile &operator=(OpenFile &&other) noexcept;
    OpenFile(const OpenFile &) = delete;
    OpenFile &operator=(const OpenFile &) = delete;

    bool isOpen() const { return m_handle != Closed; }
    QString path() const { return m_path; }
    // Who the open file is (invalid when the system cannot tell).
    FileIdentity identity() const;

    // Opens PATH for reading if it is a regular file (a link is followed only to one), so
    // that a FIFO or a device put there cannot block the open or the reads. A path that is
    // not a regular file fails with EINVAL, a missing one with ENOENT.
    Status openForReading(const QString &path);
    // Opens FOLDER/NAME for reading and writing, created when missing (*created says so),
    // never through a link planted at NAME; refused unless it is a regular file of one hard
    // link and not `card`. Then takes an exclusive lock without waiting: Refused, error
    // EWOULDBLOCK, while another process holds it. `path` names the file in messages.
    Status openForAppend(const FolderHandle &folder, const QString &name, const QString &path,
                         const FileIdentity &card, bool *created);
    // Creates FOLDER/NAME, which must not exist (EEXIST when it does; never through a link),
    // for writing, and locks it so that a later run takes it for a leftover only when no
    // one holds it (EWOULDBLOCK when another process locked it first). `folder` not open:
    // PATH as it is.
    Status createLocked(const FolderHandle *folder, const QString &name, const QString &path);
    // Opens a card or card image read-only: a regular file, a block or a character device;
    // anything else (a FIFO, a socket, a folder) is refused before it is opened, with EINVAL.
    // A block device is read past the page cache where the system can (*unbuffered), and
    // *size is its length (-1 when it cannot be told).
    Status openCard(const QString &path, bool *unbuffered, qint64 *size);
    // Closes it; false (errno kept in *status when given) when the close reported an error.
    bool close(Status *status = nullptr);

    // Reads go past the page cache (openCard()); false again once the device refused one.
    bool isUnbuffered() const { return m_unbuffered; }
    qint64 size() const; // -1 when it cannot be told
    // Reads LENGTH bytes at OFFSET, fewer only where the file ends; -1 with *status on failure.
    // An unbuffered file whose device refuses such a read is read through the cache instead.
    qint64 readAt(char *into, qint64 length, qint64 offset, Status *status);
    // Reads on from where the last read() ended; 0 at the end, -1 with *status on failure.
    qint64 read(char *into, qint64 length, Status *status);
    // Writes every byte at OFFSET, or fails with the system's reason (ENOSPC for a write
    // that stops short).
    Status writeAt(const char *data, qint64 length, qint64 offset);
    // The same, straight to the disk past the page cache where the system allows it (data,
    // length and offset on PastCacheAlignment bytes): a copy nobody reads soon costs no
    // copy into the cache, and the flush at the end finds it written. Elsewhere, and
    // where the file system refuses, as writeAt(). *pastCache (when given) says which.
    Status writeAtPastCache(const char *data, qint64 length, qint64 offset, bool *pastCache = nullptr);
    static constexpr qint64 PastCacheAlignment = 4096;
    Status resize(qint64 length);
    // Starts writing LENGTH bytes from OFFSET to the disk without waiting (startWriteBack()).
    void startWriteBack(qint64 offset, qint64 length) const;
    // Removes PATH if it still names this file, not one put in its place meanwhile.
    Status removeIfStillNamed(const QString &path) const;
    // A private, writable view of the first LENGTH bytes (what is changed stays in memory):
    // libmseed parses from writable buffers. Null with *status on failure; freed by unmapView().
    char *mapPrivate(qint64 length, Status *status) const;
    static void unmapView(char *view, qint64 length);

private:
    static constexpr std::intptr_t Closed = -1;
    std::intptr_t m_handle = Closed;
    QString m_path;
    qint64 m_position = 0;
    std::atomic<bool> m_unbuffered{false}; // cleared by a reader that found the device refusing
};

// An error number that says the user lacks the permission (EACCES, EPERM; access denied).
bool isPermissionError(int error);

// Removes FOLDER/NAME (`folder` not open: PATH as it is); false with errno when it could not.
bool removeFileIn(const FolderHandle *folder, const QString &name, const QString &path);
// Replaces TO by FROM, both names in FOLDER (`folder` not open: the paths as they are), in
// one step: a reader of TO sees the old file or the new one.
Status renameOver(const FolderHandle *folder, const QString &from, const QString &to);

// Memory that starts at a multiple of `alignment`, as unbuffered reads need; null when
// there is none. Freed by freeAligned().
char *allocateAligned(qint64 length, qint64 alignment);
void freeAligned(char *memory);
