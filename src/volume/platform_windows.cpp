// Windows has no openat: each folder is opened by path with FILE_FLAG_OPEN_REPARSE_POINT,
// so a link or junction is seen rather than followed, and kept open without
// FILE_SHARE_DELETE while the next component is opened, so that it cannot be renamed or
// replaced meanwhile. Only the last folder stays held after the call.
#include "platform.h"

#include <QDir>
#include <QFile>
#include <QStringList>

#include <fcntl.h>
#include <io.h>
#include <malloc.h>
#include <windows.h>
#include <winioctl.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace {

QString reason(DWORD error)
{
    wchar_t *text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   error, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    const QString message = text ? QString::fromWCharArray(text).trimmed() : QStringLiteral("error %1").arg(error);
    LocalFree(text);
    return message;
}

}

QString systemErrorText(int error)
{
    return reason(DWORD(error));
}

namespace {

const wchar_t *wide(const QString &path)
{
    return reinterpret_cast<const wchar_t *>(path.utf16());
}

HANDLE openNoFollow(const QString &path, DWORD access, DWORD share)
{
    return CreateFileW(wide(QDir::toNativeSeparators(path)), access, share, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

} // namespace

void FolderHandle::close()
{
    if (m_handle != Closed)
        CloseHandle(reinterpret_cast<HANDLE>(m_handle));
    m_handle = Closed;
}

FolderHandle openFolderBelow(const QString &root, const QString &relative, CreateFolders create, Status *status)
{
    *status = Status();
    if (create == CreateFolders::Yes && !QDir(root).exists())
        QDir().mkpath(root);
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    std::vector<HANDLE> held;
    const auto release = [&held]() {
        for (HANDLE h : held)
            CloseHandle(h);
        held.clear();
    };
    HANDLE dir = CreateFileW(wide(QDir::toNativeSeparators(root)), FILE_LIST_DIRECTORY, share, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (dir == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        *status = Status::failure(int(error), QStringLiteral("cannot open the folder %1: %2").arg(root, reason(error)));
        return FolderHandle();
    }
    held.push_back(dir);
    QString path = root;
    for (const QString &component : relative.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        path += QLatin1Char('/') + component;
        if (component == QLatin1String(".") || component == QLatin1String("..")) {
            release();
            *status = Status::failure(ERROR_INVALID_NAME, QStringLiteral("cannot open the folder %1: it leaves the folder").arg(path));
            return FolderHandle();
        }
        HANDLE next = openNoFollow(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, share);
        if (next == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND && create == CreateFolders::Yes) {
            if (!CreateDirectoryW(wide(QDir::toNativeSeparators(path)), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
                const DWORD error = GetLastError();
                release();
                *status = Status::failure(int(error), QStringLiteral("cannot create the folder %1: %2").arg(path, reason(error)));
                return FolderHandle();
            }
            next = openNoFollow(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, share);
        }
        if (next == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            release();
            *status = Status::failure(int(error), QStringLiteral("cannot use the folder %1: %2").arg(path, reason(error)));
            return FolderHandle();
        }
        BY_HANDLE_FILE_INFORMATION info;
        const bool known = GetFileInformationByHandle(next, &info);
        if (!known || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            const QString why = !known ? reason(GetLastError())
                : (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? QStringLiteral("it is a symbolic link or junction, not followed")
                                                                         : QStringLiteral("it exists and is not a folder");
            CloseHandle(next);
            release();
            *status = Status::failure(ERROR_CANT_ACCESS_FILE, QStringLiteral("cannot use the folder %1: %2").arg(path, why));
            return FolderHandle();
        }
        held.push_back(next);
    }
    HANDLE last = held.back();
    held.pop_back();
    release();
    return FolderHandle(reinterpret_cast<std::intptr_t>(last), path);
}

Status checkRegularFile(const QString &path, bool followLinks, bool single)
{
    HANDLE h = CreateFileW(wide(QDir::toNativeSeparators(path)), FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | (followLinks ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return Status();
        return Status::failure(int(error), QStringLiteral("cannot use %1: %2").arg(path, reason(error)));
    }
    BY_HANDLE_FILE_INFORMATION info;
    const bool disk = GetFileType(h) == FILE_TYPE_DISK;
    const bool known = disk && GetFileInformationByHandle(h, &info);
    CloseHandle(h);
    if (!known || (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)))
        return Status::failure(ERROR_CANT_ACCESS_FILE, QStringLiteral("cannot use %1: it is not a regular file").arg(path));
    if (single && info.nNumberOfLinks > 1)
        return Status::failure(ERROR_CANT_ACCESS_FILE, QStringLiteral("cannot use %1: it has more than one hard link").arg(path));
    return Status();
}

Status lookAtPath(const QString &path, PathKind *kind)
{
    // Raw disks ("\\.\PhysicalDriveN") have no attributes to ask for: open for no access.
    HANDLE h = CreateFileW(wide(QDir::toNativeSeparators(path)), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return Status::failure(int(error), QStringLiteral("cannot look at %1: %2").arg(path, reason(error)));
    }
    BY_HANDLE_FILE_INFORMATION info;
    const DWORD type = GetFileType(h);
    const bool known = GetFileInformationByHandle(h, &info);
    CloseHandle(h);
    if (type != FILE_TYPE_DISK)
        *kind = PathKind::Other;
    else if (!known)
        *kind = PathKind::Disk;
    else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        *kind = PathKind::Folder;
    else
        *kind = PathKind::RegularFile;
    return Status();
}

Status writeFileWhole(const FolderHandle &folder, const QString &name, const QByteArray &content)
{
    const QString target = folder.path() + QLatin1Char('/') + name;
    const auto failed = [&](DWORD error) {
        return Status::failure(int(error), QStringLiteral("cannot write %1: %2").arg(target, reason(error)));
    };
    if (const Status existing = checkRegularFile(target, false, true); !existing)
        return Status::failure(existing.error, QStringLiteral("cannot write %1: %2")
                                                           .arg(target, existing.message.section(QStringLiteral(": "), -1)));
    QString temporary;
    HANDLE h = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 100 && h == INVALID_HANDLE_VALUE; ++attempt) {
        temporary = folder.path() + QLatin1Char('/') + temporaryFileName(name);
        h = CreateFileW(wide(QDir::toNativeSeparators(temporary)), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS)
            break;
    }
    if (h == INVALID_HANDLE_VALUE)
        return failed(GetLastError());
    DWORD error = 0;
    const char *data = content.constData();
    qint64 left = content.size();
    while (error == 0 && left > 0) {
        DWORD wrote = 0;
        if (!WriteFile(h, data, DWORD(qMin<qint64>(left, 1 << 30)), &wrote, nullptr))
            error = GetLastError();
        data += wrote;
        left -= wrote;
    }
    if (error == 0 && !FlushFileBuffers(h))
        error = GetLastError();
    if (!CloseHandle(h) && error == 0)
        error = GetLastError();
    if (error == 0 && !MoveFileExW(wide(QDir::toNativeSeparators(temporary)), wide(QDir::toNativeSeparators(target)),
                                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        error = GetLastError();
    if (error != 0) {
        DeleteFileW(wide(QDir::toNativeSeparators(temporary)));
        return failed(error);
    }
    return Status();
}

int openRegularFile(const QString &path, Status *status)
{
    *status = checkRegularFile(path, true);
    if (!*status)
        return -1;
    const int fd = ::_wopen(wide(QDir::toNativeSeparators(path)), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
    if (fd < 0)
        *status = Status::failure(errno, QStringLiteral("cannot read %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno))));
    return fd;
}

Status readRegularFile(const QString &path, QByteArray *content)
{
    content->clear();
    if (const Status regular = checkRegularFile(path, true); !regular)
        return regular;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Status::failure(int(GetLastError()), QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
    *content = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return Status::failure(int(GetLastError()), QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
    return Status();
}

Status renameNoReplace(const QString &folder, int, const QString &from, const QString &to)
{
    // Without MOVEFILE_REPLACE_EXISTING the move fails where TO exists.
    const QString source = QDir::toNativeSeparators(folder + QLatin1Char('/') + from);
    const QString target = QDir::toNativeSeparators(folder + QLatin1Char('/') + to);
    if (MoveFileExW(wide(source), wide(target), MOVEFILE_WRITE_THROUGH))
        return Status();
    const DWORD error = GetLastError();
    const int code = error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? EEXIST : int(error);
    return Status::failure(code, QStringLiteral("cannot rename %1 to %2 in %3: %4").arg(from, to, folder, reason(error)));
}

void startWriteBack(int, qint64, qint64)
{
    // Windows writes cached data back by itself; the flush at the end waits for it.
}

void raiseOpenFileLimit()
{
    // Files are opened through Qt here, as Windows handles: no C library limit applies.
}

Status flushFileSystem(const QString &path)
{
    // Flushing a whole volume needs administrator rights on Windows; without them the files
    // written whole were each flushed by FlushFileBuffers, and the copies are left to the
    // system's own write-back.
    const QString volume = QStringLiteral("\\\\.\\") + QDir::toNativeSeparators(QDir(path).absolutePath()).left(2);
    HANDLE h = CreateFileW(wide(volume), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return Status();
    const bool flushed = FlushFileBuffers(h);
    const DWORD error = GetLastError();
    CloseHandle(h);
    if (!flushed)
        return Status::failure(int(error), QStringLiteral("cannot flush %1 to the disk: %2").arg(path, reason(error)));
    return Status();
}

FolderLock::~FolderLock()
{
    if (m_handle != -1)
        CloseHandle(reinterpret_cast<HANDLE>(m_handle));
}

Status FolderLock::lock(const QString &folder)
{
    // A folder cannot be locked itself here: a lock file in it, opened without sharing
    // and gone with its last handle, is held instead; another holder is waited for.
    const QString path = QDir::toNativeSeparators(folder + QStringLiteral("/.vexa-folder.lock"));
    for (;;) {
        HANDLE h = CreateFileW(wide(path), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            m_handle = reinterpret_cast<std::intptr_t>(h);
            return Status();
        }
        const DWORD error = GetLastError();
        if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED)
            return Status::failure(int(error), QStringLiteral("cannot lock the folder %1: %2").arg(folder, reason(error)));
        Sleep(20);
    }
}

bool tryLockFile(int fd)
{
    OVERLAPPED whole = {};
    return LockFileEx(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                      MAXDWORD, MAXDWORD, &whole);
}

bool removeIfUnlocked(const QString &folder, const QString &name)
{
    // A file another process has open cannot be deleted here: a running export's
    // temporary file stays.
    const QString path = folder + QLatin1Char('/') + name;
    if (!checkRegularFile(path, false))
        return false;
    return DeleteFileW(wide(QDir::toNativeSeparators(path)));
}

namespace {

HANDLE handleOf(std::intptr_t handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

FileIdentity handleIdentity(HANDLE handle)
{
    FileIdentity id;
    BY_HANDLE_FILE_INFORMATION info;
    if (handle != INVALID_HANDLE_VALUE && GetFileInformationByHandle(handle, &info)) {
        id.device = info.dwVolumeSerialNumber;
        id.inode = (quint64(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
        id.valid = true;
    }
    return id;
}

FileIdentity pathIdentity(const QString &path, DWORD flags)
{
    const HANDLE handle = CreateFileW(wide(QDir::toNativeSeparators(path)), 0,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
    const FileIdentity id = handleIdentity(handle);
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    return id;
}

// A positioned read or write at `offset` of a file opened for synchronous I/O.
OVERLAPPED overlappedAt(qint64 offset)
{
    OVERLAPPED at = {};
    at.Offset = DWORD(quint64(offset) & 0xFFFFFFFFu);
    at.OffsetHigh = DWORD(quint64(offset) >> 32);
    return at;
}

// An error number in the C library's terms where callers test for one by name.
int commonError(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return ENOENT;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_LOCK_VIOLATION:
    case ERROR_SHARING_VIOLATION:
        return EWOULDBLOCK;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    default:
        return int(error);
    }
}

bool lockWhole(HANDLE handle)
{
    OVERLAPPED whole = {};
    return LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &whole);
}

} // namespace

FileIdentity fileIdentity(const QString &path)
{
    return pathIdentity(path, 0);
}

FileIdentity linkIdentity(const QString &path)
{
    return pathIdentity(path, FILE_FLAG_OPEN_REPARSE_POINT);
}

FileIdentity OpenFile::identity() const
{
    return isOpen() ? handleIdentity(handleOf(m_handle)) : FileIdentity();
}

bool OpenFile::close(Status *status)
{
    if (!isOpen())
        return true;
    const HANDLE handle = handleOf(m_handle);
    m_handle = Closed;
    m_position = 0;
    m_unbuffered = false;
    if (!CloseHandle(handle)) {
        const DWORD error = GetLastError();
        if (status)
            *status = Status::failure(int(error), QStringLiteral("cannot write %1: %2").arg(m_path, reason(error)));
        return false;
    }
    return true;
}

Status OpenFile::openForReading(const QString &path)
{
    close();
    if (const Status regular = checkRegularFile(path, true); !regular)
        return Status::failure(EINVAL, QStringLiteral("cannot read %1: it is not a regular file").arg(path));
    const HANDLE handle = CreateFileW(wide(QDir::toNativeSeparators(path)), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return Status::failure(commonError(error), QStringLiteral("cannot read %1: %2").arg(path, reason(error)));
    }
    m_handle = reinterpret_cast<std::intptr_t>(handle);
    m_path = path;
    return Status();
}

Status OpenFile::openForAppend(const FolderHandle &folder, const QString &name, const QString &path,
                               const FileIdentity &card, bool *created)
{
    close();
    // No openat here: the folder is held open (openFolderBelow()), so that it cannot be
    // replaced; a link at NAME is opened as itself and refused.
    const QString native = QDir::toNativeSeparators(folder.path() + QLatin1Char('/') + name);
    *created = true;
    // DELETE: a day file this export created is taken back by its handle (removeIfStillNamed()).
    HANDLE handle = CreateFileW(wide(native), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS) {
        *created = false;
        handle = CreateFileW(wide(native), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    }
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_SHARING_VIOLATION)
            return Status{Status::Refused, EWOULDBLOCK, QStringLiteral("cannot write %1: another export is writing it").arg(path)};
        return Status::failure(commonError(error), QStringLiteral("cannot write %1: %2").arg(path, reason(error)));
    }
    BY_HANDLE_FILE_INFORMATION info;
    const bool known = GetFileType(handle) == FILE_TYPE_DISK && GetFileInformationByHandle(handle, &info);
    if (!known || (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE))
        || info.nNumberOfLinks > 1) {
        const QString why = known && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
            ? QStringLiteral("it is a symbolic link, not followed")
            : known && info.nNumberOfLinks > 1 ? QStringLiteral("it has more than one hard link")
                                               : QStringLiteral("it is not a regular file");
        CloseHandle(handle);
        return Status::refused(QStringLiteral("cannot write %1: %2").arg(path, why));
    }
    if (handleIdentity(handle).sameAs(card)) {
        CloseHandle(handle);
        return Status::refused(QStringLiteral("cannot write %1: it is the card being read").arg(path));
    }
    if (!lockWhole(handle)) {
        const DWORD error = GetLastError();
        CloseHandle(handle);
        if (error == ERROR_LOCK_VIOLATION)
            return Status{Status::Refused, EWOULDBLOCK, QStringLiteral("cannot write %1: another export is writing it").arg(path)};
        return Status::failure(int(error), QStringLiteral("cannot lock %1: %2").arg(path, reason(error)));
    }
    m_handle = reinterpret_cast<std::intptr_t>(handle);
    m_path = path;
    return Status();
}

Status OpenFile::createLocked(const FolderHandle *folder, const QString &name, const QString &path)
{
    close();
    const QString native = QDir::toNativeSeparators(folder && folder->isOpen() ? folder->path() + QLatin1Char('/') + name : path);
    const HANDLE handle = CreateFileW(wide(native), GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return Status::failure(commonError(error), QStringLiteral("cannot write %1: %2").arg(path, reason(error)));
    }
    if (!lockWhole(handle)) {
        CloseHandle(handle);
        return Status{Status::Refused, EWOULDBLOCK, QStringLiteral("cannot write %1: another copy holds it").arg(path)};
    }
    m_handle = reinterpret_cast<std::intptr_t>(handle);
    m_path = path;
    return Status();
}

Status OpenFile::openCard(const QString &path, bool *unbuffered, qint64 *size)
{
    close();
    *unbuffered = false;
    *size = -1;
    // Read access only; others may go on using the disk.
    const HANDLE handle = CreateFileW(wide(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return Status::failure(int(error), reason(error));
    }
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        CloseHandle(handle);
        return Status{Status::Refused, EINVAL, QStringLiteral("it is neither a card device nor a card image")};
    }
    m_handle = reinterpret_cast<std::intptr_t>(handle);
    m_path = path;
    LARGE_INTEGER length;
    GET_LENGTH_INFORMATION disk;
    DWORD returned = 0;
    if (DeviceIoControl(handle, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &disk, sizeof disk, &returned, nullptr))
        *size = qint64(disk.Length.QuadPart);
    else if (GetFileSizeEx(handle, &length))
        *size = qint64(length.QuadPart);
    return Status();
}

qint64 OpenFile::size() const
{
    LARGE_INTEGER length;
    return isOpen() && GetFileSizeEx(handleOf(m_handle), &length) ? qint64(length.QuadPart) : -1;
}

qint64 OpenFile::readAt(char *into, qint64 length, qint64 offset, Status *status)
{
    qint64 total = 0;
    while (total < length) {
        OVERLAPPED at = overlappedAt(offset + total);
        DWORD got = 0;
        if (!ReadFile(handleOf(m_handle), into + total, DWORD(qMin<qint64>(length - total, 1 << 30)), &got, &at)) {
            const DWORD error = GetLastError();
            if (error == ERROR_HANDLE_EOF || error == ERROR_SECTOR_NOT_FOUND)
                break;
            *status = Status::failure(int(error), QStringLiteral("cannot read %1: %2").arg(m_path, reason(error)));
            return -1;
        }
        if (got == 0)
            break;
        total += got;
    }
    return total;
}

Status OpenFile::writeAt(const char *data, qint64 length, qint64 offset)
{
    qint64 written = 0;
    while (written < length) {
        OVERLAPPED at = overlappedAt(offset + written);
        DWORD done = 0;
        if (!WriteFile(handleOf(m_handle), data + written, DWORD(qMin<qint64>(length - written, 1 << 30)), &done, &at) || done == 0) {
            const DWORD error = done == 0 && GetLastError() == ERROR_SUCCESS ? ERROR_DISK_FULL : GetLastError();
            return Status::failure(commonError(error), QStringLiteral("cannot write %1: %2").arg(m_path, reason(error)));
        }
        written += done;
    }
    return Status();
}

Status OpenFile::resize(qint64 length)
{
    FILE_END_OF_FILE_INFO end;
    end.EndOfFile.QuadPart = length;
    if (!SetFileInformationByHandle(handleOf(m_handle), FileEndOfFileInfo, &end, sizeof end)) {
        const DWORD error = GetLastError();
        return Status::failure(int(error), QStringLiteral("cannot cut %1 back: %2").arg(m_path, reason(error)));
    }
    return Status();
}

Status OpenFile::writeAtPastCache(const char *data, qint64 length, qint64 offset, bool *pastCache)
{
    // Unbuffered writes are chosen when a file is opened on Windows, not per write.
    if (pastCache)
        *pastCache = false;
    return writeAt(data, length, offset);
}

void OpenFile::startWriteBack(qint64, qint64) const
{
    // Windows writes cached data back by itself; the flush at the end waits for it.
}

Status OpenFile::removeIfStillNamed(const QString &path) const
{
    // The file is held open without FILE_SHARE_DELETE by its writer: the name cannot have
    // been given to another file meanwhile. Deleting by handle removes this file only.
    FILE_DISPOSITION_INFO disposition;
    disposition.DeleteFile = TRUE;
    if (!SetFileInformationByHandle(handleOf(m_handle), FileDispositionInfo, &disposition, sizeof disposition)) {
        const DWORD error = GetLastError();
        return Status::failure(int(error), QStringLiteral("cannot remove %1: %2").arg(path, reason(error)));
    }
    return Status();
}

char *OpenFile::mapPrivate(qint64 length, Status *status) const
{
    const HANDLE mapping = CreateFileMappingW(handleOf(m_handle), nullptr, PAGE_WRITECOPY, 0, 0, nullptr);
    void *view = mapping ? MapViewOfFile(mapping, FILE_MAP_COPY, 0, 0, SIZE_T(length)) : nullptr;
    const DWORD error = GetLastError();
    if (mapping)
        CloseHandle(mapping); // the view keeps the mapping
    if (!view) {
        *status = Status::failure(int(error), QStringLiteral("cannot read %1: %2").arg(m_path, reason(error)));
        return nullptr;
    }
    return static_cast<char *>(view);
}

void OpenFile::unmapView(char *view, qint64)
{
    if (view)
        UnmapViewOfFile(view);
}

Status checkDestinationIn(const FolderHandle *folder, const QString &name, const QString &path,
                          const FileIdentity &card, bool *exists)
{
    // No openat: the folder is held open by the caller, so the path reaches the same entry.
    const QString target = folder && folder->isOpen() ? folder->path() + QLatin1Char('/') + name : path;
    const DWORD attributes = GetFileAttributesW(wide(QDir::toNativeSeparators(target)));
    *exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (!*exists) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return Status();
        return Status::failure(int(error), QStringLiteral("cannot write %1: %2").arg(path, reason(error)));
    }
    const auto refused = [&](const QString &why) {
        return Status::failure(ERROR_CANT_ACCESS_FILE, QStringLiteral("cannot write %1: %2").arg(path, why));
    };
    if (fileIdentity(target).sameAs(card) || linkIdentity(target).sameAs(card))
        return refused(QStringLiteral("it is the card itself"));
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return refused(QStringLiteral("it is a symbolic link, which is neither followed nor replaced"));
    if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE))
        return refused(QStringLiteral("it exists and is not a regular file"));
    if (const Status single = checkRegularFile(target, false, true); !single)
        return refused(single.message.section(QStringLiteral(": "), -1));
    return Status();
}

bool isCardGoneError(int error)
{
    return error == ERROR_NOT_READY || error == ERROR_DEV_NOT_EXIST || error == ERROR_DEVICE_NOT_CONNECTED;
}

bool isTerminal(FILE *stream)
{
    return _isatty(_fileno(stream)) != 0;
}

DiskListing systemDiskListing()
{
    return DiskListing::PhysicalDrives;
}

bool isPermissionError(int error)
{
    return error == ERROR_ACCESS_DENIED;
}

bool removeFileIn(const FolderHandle *folder, const QString &name, const QString &path)
{
    const QString native = QDir::toNativeSeparators(folder && folder->isOpen() ? folder->path() + QLatin1Char('/') + name : path);
    return DeleteFileW(wide(native));
}

Status renameOver(const FolderHandle *folder, const QString &from, const QString &to)
{
    Q_UNUSED(folder); // held open by the caller: it cannot be replaced meanwhile
    if (MoveFileExW(wide(QDir::toNativeSeparators(from)), wide(QDir::toNativeSeparators(to)),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return Status();
    const DWORD error = GetLastError();
    return Status::failure(int(error), reason(error));
}

char *allocateAligned(qint64 length, qint64 alignment)
{
    return static_cast<char *>(_aligned_malloc(size_t(qMax<qint64>(length, 1)), size_t(alignment)));
}

void freeAligned(char *memory)
{
    _aligned_free(memory);
}
