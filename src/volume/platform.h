// The few system calls that keep an export inside its folder: folders opened below a
// root one component at a time without following links, files written whole (a
// temporary file beside, every write checked, flushed to the disk, renamed into place),
// and a look at a path that cannot block on a FIFO or a device. One implementation per
// system: platform_posix.cpp or platform_windows.cpp.
#pragma once

#include "status.h"

#include <QByteArray>
#include <QString>

#include <cstdint>


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
