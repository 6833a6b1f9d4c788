#include "carddevice.h"
#include "cardformat.h"
#include "status.h"

#include <QFile>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#ifdef Q_OS_WIN
#include <malloc.h>
#include <windows.h>
#include <winioctl.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

#ifndef Q_OS_WIN
FileIdentity identityOf(const struct stat &info)
{
    FileIdentity id;
    id.device = quint64(info.st_dev);
    id.inode = quint64(info.st_ino);
    // Block and character devices number apart: the kind is part of who it is.
    if (S_ISBLK(info.st_mode))
        id.special = quint64(info.st_rdev) | (quint64(1) << 62);
    else if (S_ISCHR(info.st_mode))
        id.special = quint64(info.st_rdev) | (quint64(1) << 63);
    id.valid = true;
    return id;
}
#endif

QString openFailure(const QString &path, int error)
{
    QString message = QStringLiteral("cannot open %1: %2").arg(path, systemError(error));
#ifdef Q_OS_WIN
    if (error == ERROR_ACCESS_DENIED)
#else
    if (error == EACCES || error == EPERM)
#endif
        message += QStringLiteral("; run as a member of the group that owns it, e.g. disk, or with sudo");
    return message;
}

} // namespace

AlignedBuffer::AlignedBuffer(qint64 length)
{
#ifdef Q_OS_WIN
    m_data = static_cast<char *>(_aligned_malloc(size_t(length), size_t(CardDevice::Alignment)));
#else
    void *p = nullptr;
    if (::posix_memalign(&p, size_t(CardDevice::Alignment), size_t(qMax<qint64>(length, 1))) == 0)
        m_data = static_cast<char *>(p);
#endif
}

AlignedBuffer::~AlignedBuffer()
{
#ifdef Q_OS_WIN
    _aligned_free(m_data);
#else
    std::free(m_data);
#endif
}

QString systemError(int error)
{
    return systemErrorText(error);
}

#ifdef Q_OS_WIN

namespace {
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
    const HANDLE handle = CreateFileW(reinterpret_cast<const wchar_t *>(path.utf16()), 0,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
    const FileIdentity id = handleIdentity(handle);
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    return id;
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

#else

FileIdentity fileIdentity(const QString &path)
{
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return {};
    return identityOf(info);
}

FileIdentity linkIdentity(const QString &path)
{
    struct stat info;
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0 || S_ISLNK(info.st_mode))
        return {};
    return identityOf(info);
}

#endif

CardDevice::CardDevice(const QString &path)
    : m_path(path)
{
}

CardDevice::~CardDevice()
{
#ifdef Q_OS_WIN
    if (m_handle)
        CloseHandle(m_handle);
#else
    if (m_fd >= 0)
        ::close(m_fd);
#endif
}

bool CardDevice::isOpen() const
{
#ifdef Q_OS_WIN
    return m_handle != nullptr;
#else
    return m_fd >= 0;
#endif
}

#ifdef Q_OS_WIN

bool CardDevice::open()
{
    // Read access only; others may go on using the disk.
    const HANDLE handle = CreateFileW(reinterpret_cast<const wchar_t *>(m_path.utf16()), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        m_error = openFailure(m_path, int(GetLastError()));
        return false;
    }
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        CloseHandle(handle);
        m_error = QStringLiteral("cannot open %1: neither a card device nor a card image").arg(m_path);
        return false;
    }
    m_handle = handle;
    m_identity = handleIdentity(handle);
    LARGE_INTEGER size;
    GET_LENGTH_INFORMATION length;
    DWORD returned = 0;
    if (DeviceIoControl(handle, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length, &returned, nullptr))
        m_size = qint64(length.Length.QuadPart);
    else if (GetFileSizeEx(handle, &size))
        m_size = qint64(size.QuadPart);
    return true;
}

SectorRead CardDevice::readRaw(qint64 offset, qint64 length, char *data)
{
    SectorRead result;
    qint64 total = 0;
    while (total < length) {
        OVERLAPPED at = {};
        at.Offset = DWORD(quint64(offset + total) & 0xFFFFFFFFu);
        at.OffsetHigh = DWORD(quint64(offset + total) >> 32);
        DWORD got = 0;
        const DWORD want = DWORD(qMin<qint64>(length - total, 1 << 30));
        if (!ReadFile(HANDLE(m_handle), data + total, want, &got, &at)) {
            const DWORD error = GetLastError();
            if (error == ERROR_HANDLE_EOF || error == ERROR_SECTOR_NOT_FOUND)
                break;
            result.error = int(error);
            return result;
        }
        if (got == 0)
            break;
        total += got;
    }
    result.outcome = total == length ? SectorRead::Read : SectorRead::EndOfCard;
    result.bytes = total;
    return result;
}

#else

bool CardDevice::open()
{
    const QByteArray name = QFile::encodeName(m_path);
    // Looked at before it is opened: opening a FIFO waits for a writer that never comes.
    struct stat info;
    if (::stat(name.constData(), &info) != 0) {
        m_error = openFailure(m_path, errno);
        return false;
    }
    const auto refuse = [&](const struct stat &st) {
        const char *kind = S_ISDIR(st.st_mode) ? "a folder" : S_ISFIFO(st.st_mode) ? "a FIFO"
                         : S_ISSOCK(st.st_mode) ? "a socket" : "no file";
        m_error = QStringLiteral("cannot open %1: it is %2, neither a card device nor a card image")
                      .arg(m_path, QLatin1String(kind));
        return false;
    };
    const auto usable = [](const struct stat &st) {
        return S_ISREG(st.st_mode) || S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode);
    };
    if (!usable(info))
        return refuse(info);

    // Never for writing. O_NONBLOCK keeps the open from waiting should the path have
    // become a FIFO since it was looked at; the type is checked again on what opened.
    int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC;
#ifdef O_DIRECT
    // A block device is read past the page cache: it reads 4 KiB pages, so one bad
    // sector would cost its seven neighbours, and every retry would fail the whole page.
    if (S_ISBLK(info.st_mode))
        flags |= O_DIRECT;
#endif
    int fd = ::open(name.constData(), flags);
#ifdef O_DIRECT
    if (fd < 0 && errno == EINVAL && (flags & O_DIRECT)) {
        flags &= ~O_DIRECT;
        fd = ::open(name.constData(), flags);
    }
#endif
    if (fd < 0) {
        m_error = openFailure(m_path, errno);
        return false;
    }
    if (::fstat(fd, &info) != 0 || !usable(info)) {
        ::close(fd);
        return refuse(info);
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    m_fd = fd;
#ifdef O_DIRECT
    m_direct = (flags & O_DIRECT) != 0;
#endif
    m_identity = identityOf(info);
    // A raw device reports no size to stat(); its end is found by seeking there.
    const off_t end = ::lseek(fd, 0, SEEK_END);
    m_size = end > 0 ? qint64(end) : -1;
    return true;
}

SectorRead CardDevice::readRaw(qint64 offset, qint64 length, char *data)
{
    SectorRead result;
    qint64 total = 0;
    while (total < length) {
        const ssize_t got = ::pread(m_fd, data + total, size_t(length - total), off_t(offset + total));
        if (got < 0) {
            if (errno == EINTR)
                continue;
#ifdef O_DIRECT
            // The device refuses unbuffered reads (a sector size above 512, say): read
            // through the cache instead, as any other file.
            if (errno == EINVAL && m_direct) {
                m_direct = false;
                ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) & ~O_DIRECT);
                continue;
            }
#endif
            result.error = errno;
            return result;
        }
        if (got == 0)
            break;
        total += got;
    }
    result.outcome = total == length ? SectorRead::Read : SectorRead::EndOfCard;
    result.bytes = total;
    return result;
}

#endif

SectorRead CardDevice::readSectors(quint64 sector, qint64 count, char *data)
{
    SectorRead result;
    if (!isOpen()) {
        result.error = EBADF;
        return result;
    }
    const qint64 offset = Card::sectorOffset(sector);
    qint64 length = qMax<qint64>(0, count) * Card::SectorSize;
    // Beyond the end of a raw device a read may fail rather than come back short; there
    // is nothing there, which is not the same as an unreadable sector.
    if (m_size >= 0)
        length = qBound<qint64>(0, m_size - offset, length);
    if (length == 0) {
        result.outcome = count > 0 ? SectorRead::EndOfCard : SectorRead::Read;
        return result;
    }
    if (!m_direct || quintptr(data) % Alignment == 0) {
        result = readRaw(offset, length, data);
    } else {
        AlignedBuffer buffer(length);
        if (!buffer.data()) {
            result.error = ENOMEM;
            return result;
        }
        result = readRaw(offset, length, buffer.data());
        if (result.bytes > 0)
            std::memcpy(data, buffer.data(), size_t(result.bytes));
    }
    if (result.outcome == SectorRead::Read && length < count * Card::SectorSize)
        result.outcome = SectorRead::EndOfCard;
    return result;
}
