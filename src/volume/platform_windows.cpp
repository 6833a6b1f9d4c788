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
#include <windows.h>

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
