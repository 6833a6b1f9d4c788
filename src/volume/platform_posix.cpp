#include "platform.h"

#include <QDir>
#include <QFile>
#include <QStringList>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

QString systemErrorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

namespace {

QString reason(int error)
{
    return systemErrorText(error);
}

QByteArray encoded(const QString &name)
{
    return QFile::encodeName(name);
}

// What is at NAME in folder `dir`, for a message: why it cannot be used as a folder.
QString whyNotFolder(int dir, const QByteArray &name, int error)
{
    struct stat st;
    if (::fstatat(dir, name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(st.st_mode))
            return QStringLiteral("it is a symbolic link, not followed");
        if (!S_ISDIR(st.st_mode))
            return QStringLiteral("it exists and is not a folder");
    }
    return reason(error);
}

QString whatItIs(mode_t mode)
{
    if (S_ISLNK(mode))
        return QStringLiteral("it is a symbolic link, which is neither followed nor replaced");
    if (S_ISFIFO(mode))
        return QStringLiteral("it is a FIFO, not a regular file");
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return QStringLiteral("it is a device, not a regular file");
    if (S_ISDIR(mode))
        return QStringLiteral("it is a folder, not a regular file");
    return QStringLiteral("it is not a regular file");
}

bool writeAll(int fd, const char *data, qint64 length)
{
    while (length > 0) {
        const ssize_t n = ::write(fd, data, size_t(length));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        length -= n;
    }
    return true;
}

} // namespace

void FolderHandle::close()
{
    if (m_handle != Closed)
        ::close(int(m_handle));
    m_handle = Closed;
}

FolderHandle openFolderBelow(const QString &root, const QString &relative, CreateFolders create, Status *status)
{
    *status = Status();
    // The root is the user's choice: made as asked, links and all.
    if (create == CreateFolders::Yes && !QDir(root).exists())
        QDir().mkpath(root);
    int dir = ::open(encoded(root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        const int error = errno;
        *status = Status::failure(error, QStringLiteral("cannot open the folder %1: %2").arg(root, reason(error)));
        return FolderHandle();
    }
    QString path = root;
    for (const QString &component : relative.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        path += QLatin1Char('/') + component;
        if (component == QLatin1String(".") || component == QLatin1String("..")) {
            ::close(dir);
            *status = Status::failure(EINVAL, QStringLiteral("cannot open the folder %1: it leaves the folder").arg(path));
            return FolderHandle();
        }
        const QByteArray name = encoded(component);
        const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
        int next = ::openat(dir, name.constData(), flags);
        if (next < 0 && errno == ENOENT && create == CreateFolders::Yes) {
            // mkdirat never follows a link at the name: a dangling one is EEXIST.
            if (::mkdirat(dir, name.constData(), 0777) != 0 && errno != EEXIST) {
                const int error = errno;
                ::close(dir);
                *status = Status::failure(error, QStringLiteral("cannot create the folder %1: %2").arg(path, reason(error)));
                return FolderHandle();
            }
            next = ::openat(dir, name.constData(), flags);
        }
        if (next < 0) {
            const int error = errno;
            const QString why = whyNotFolder(dir, name, error);
            ::close(dir);
            *status = Status::failure(error, QStringLiteral("cannot use the folder %1: %2").arg(path, why));
            return FolderHandle();
        }
        ::close(dir);
        dir = next;
    }
    return FolderHandle(dir, path);
}

Status writeFileWhole(const FolderHandle &folder, const QString &name, const QByteArray &content)
{
    const QString target = folder.path() + QLatin1Char('/') + name;
    const auto failed = [&](int error, const QString &why) {
        return Status::failure(error, QStringLiteral("cannot write %1: %2").arg(target, why));
    };
    if (!folder.isOpen())
        return failed(EBADF, reason(EBADF));
    const int dir = int(folder.native());
    const QByteArray targetName = encoded(name);
    struct stat st;
    if (::fstatat(dir, targetName.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!S_ISREG(st.st_mode))
            return failed(EEXIST, whatItIs(st.st_mode));
        if (st.st_nlink > 1)
            return failed(EMLINK, QStringLiteral("it has more than one hard link"));
    } else if (errno != ENOENT) {
        return failed(errno, reason(errno));
    }

    QByteArray temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary = encoded(temporaryFileName(name));
        fd = ::openat(dir, temporary.constData(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0)
        return failed(errno, reason(errno));
    // Held while it is written, so that another export does not take it for a leftover.
    ::flock(fd, LOCK_EX | LOCK_NB);
    int error = 0;
    if (!writeAll(fd, content.constData(), content.size()) || ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && ::renameat(dir, temporary.constData(), dir, targetName.constData()) != 0)
        error = errno;
    if (error != 0) {
        ::unlinkat(dir, temporary.constData(), 0);
        return failed(error, reason(error));
    }
    // The rename itself reaches the disk with the folder.
    if (::fsync(dir) != 0 && errno != EINVAL)
        return failed(errno, reason(errno));
    return Status();
}

Status checkRegularFile(const QString &path, bool followLinks, bool single)
{
    struct stat st;
    const QByteArray name = encoded(path);
    if ((followLinks ? ::stat(name.constData(), &st) : ::lstat(name.constData(), &st)) != 0) {
        if (errno == ENOENT)
            return Status();
        return Status::failure(errno, QStringLiteral("cannot use %1: %2").arg(path, reason(errno)));
    }
    if (!S_ISREG(st.st_mode))
        return Status::failure(EINVAL, QStringLiteral("cannot use %1: %2").arg(path, whatItIs(st.st_mode)));
    if (single && st.st_nlink > 1)
        return Status::failure(EMLINK, QStringLiteral("cannot use %1: it has more than one hard link").arg(path));
    return Status();
}

Status lookAtPath(const QString &path, PathKind *kind)
{
    struct stat st;
    if (::stat(encoded(path).constData(), &st) != 0)
        return Status::failure(errno, QStringLiteral("cannot look at %1: %2").arg(path, reason(errno)));
    *kind = S_ISREG(st.st_mode)                          ? PathKind::RegularFile
          : S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode) ? PathKind::Disk
          : S_ISDIR(st.st_mode)                        ? PathKind::Folder
                                                       : PathKind::Other;
    return Status();
}

int openRegularFile(const QString &path, Status *status)
{
    // O_NONBLOCK: opening a FIFO for reading returns at once instead of waiting for a writer.
    const int fd = ::open(encoded(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *status = Status::failure(errno, QStringLiteral("cannot read %1: %2").arg(path, reason(errno)));
        return -1;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int error = errno;
        ::close(fd);
        *status = Status::failure(EINVAL, QStringLiteral("cannot read %1: %2")
                                                      .arg(path, S_ISREG(st.st_mode) ? reason(error) : whatItIs(st.st_mode)));
        return -1;
    }
    // Reads of a regular file wait for the disk as usual.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    *status = Status();
    return fd;
}

Status readRegularFile(const QString &path, QByteArray *content)
{
    content->clear();
    Status opened;
    const int fd = openRegularFile(path, &opened);
    if (fd < 0)
        return opened;
    char buffer[1 << 16];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got == 0)
            break;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            const int error = errno;
            ::close(fd);
            return Status::failure(error, QStringLiteral("cannot read %1: %2").arg(path, reason(error)));
        }
        content->append(buffer, got);
    }
    ::close(fd);
    return Status();
}

Status renameNoReplace(const QString &folder, int at, const QString &from, const QString &to)
{
    const int dir = at >= 0 ? at : AT_FDCWD;
    const QByteArray source = encoded(at >= 0 ? from : folder + QLatin1Char('/') + from);
    const QByteArray target = encoded(at >= 0 ? to : folder + QLatin1Char('/') + to);
    int status = -1;
#ifdef __linux__
    status = ::renameat2(dir, source.constData(), dir, target.constData(), RENAME_NOREPLACE);
    if (status != 0 && errno != EINVAL && errno != ENOSYS)
        return Status::failure(errno, QStringLiteral("cannot rename %1 to %2 in %3: %4").arg(from, to, folder, reason(errno)));
#endif
    if (status != 0) {
        // A hard link cannot replace a file either; the temporary name then goes.
        if (::linkat(dir, source.constData(), dir, target.constData(), 0) != 0)
            return Status::failure(errno, QStringLiteral("cannot rename %1 to %2 in %3: %4").arg(from, to, folder, reason(errno)));
        ::unlinkat(dir, source.constData(), 0);
    }
    return Status();
}

void startWriteBack(int fd, qint64 offset, qint64 length)
{
#ifdef __linux__
    ::sync_file_range(fd, off_t(offset), off_t(length), SYNC_FILE_RANGE_WRITE);
#else
    Q_UNUSED(fd);
    Q_UNUSED(offset);
    Q_UNUSED(length);
#endif
}

void raiseOpenFileLimit()
{
    static const bool raised = []() {
        struct rlimit limit;
        if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
            return false;
        const rlim_t wanted = limit.rlim_max == RLIM_INFINITY ? rlim_t(1) << 20 : limit.rlim_max;
        if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < wanted) {
            limit.rlim_cur = wanted;
            return ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
        }
        return true;
    }();
    Q_UNUSED(raised);
}

Status flushFileSystem(const QString &path)
{
#ifdef __linux__
    const int fd = ::open(encoded(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || ::syncfs(fd) != 0) {
        const int error = errno;
        if (fd >= 0)
            ::close(fd);
        return Status::failure(error, QStringLiteral("cannot flush %1 to the disk: %2").arg(path, reason(error)));
    }
    ::close(fd);
#else
    Q_UNUSED(path);
    ::sync();
#endif
    return Status();
}

FolderLock::~FolderLock()
{
    if (m_handle >= 0)
        ::close(int(m_handle));
}

Status FolderLock::lock(const QString &folder)
{
    const int fd = ::open(encoded(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int status = fd < 0 ? -1 : 0;
    if (fd >= 0) {
        do
            status = ::flock(fd, LOCK_EX);
        while (status != 0 && errno == EINTR);
    }
    if (status != 0) {
        const int error = errno;
        if (fd >= 0)
            ::close(fd);
        return Status::failure(error, QStringLiteral("cannot lock the folder %1: %2").arg(folder, reason(error)));
    }
    m_handle = fd;
    return Status();
}

bool tryLockFile(int fd)
{
    return ::flock(fd, LOCK_EX | LOCK_NB) == 0;
}

bool removeIfUnlocked(const QString &folder, const QString &name)
{
    const QByteArray path = encoded(folder + QLatin1Char('/') + name);
    const int fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    // Our lock, taken before the name goes: a writer that holds its file keeps it.
    const bool stale = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    const bool removed = stale && ::unlink(path.constData()) == 0;
    ::close(fd);
    return removed;
}

namespace {

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

} // namespace

FileIdentity fileIdentity(const QString &path)
{
    struct stat info;
    if (::stat(encoded(path).constData(), &info) != 0)
        return {};
    return identityOf(info);
}

FileIdentity linkIdentity(const QString &path)
{
    struct stat info;
    if (::lstat(encoded(path).constData(), &info) != 0 || S_ISLNK(info.st_mode))
        return {};
    return identityOf(info);
}

FileIdentity OpenFile::identity() const
{
    struct stat info;
    if (!isOpen() || ::fstat(int(m_handle), &info) != 0)
        return {};
    return identityOf(info);
}

bool OpenFile::close(Status *status)
{
    if (!isOpen())
        return true;
    const int fd = int(m_handle);
    m_handle = Closed;
    m_position = 0;
    m_unbuffered = false;
    if (::close(fd) != 0) {
        if (status)
            *status = Status::failure(errno, QStringLiteral("cannot write %1: %2").arg(m_path, reason(errno)));
        return false;
    }
    return true;
}

Status OpenFile::openForReading(const QString &path)
{
    close();
    Status status;
    const int fd = openRegularFile(path, &status);
    if (fd >= 0) {
        m_handle = fd;
        m_path = path;
    }
    return status;
}

Status OpenFile::openForAppend(const FolderHandle &folder, const QString &name, const QString &path,
                               const FileIdentity &card, bool *created)
{
    close();
    const QByteArray leaf = encoded(name);
    *created = true;
    int fd = ::openat(int(folder.native()), leaf.constData(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0 && errno == EEXIST) {
        *created = false;
        fd = ::openat(int(folder.native()), leaf.constData(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    }
    if (fd < 0) {
        if (errno == ELOOP)
            return Status{Status::Refused, ELOOP, QStringLiteral("cannot write %1: it is a symbolic link, not followed").arg(path)};
        return Status::failure(errno, QStringLiteral("cannot write %1: %2").arg(path, reason(errno)));
    }
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink > 1) {
        ::close(fd);
        return Status::refused(QStringLiteral("cannot write %1: %2")
                                   .arg(path, S_ISREG(info.st_mode) ? QStringLiteral("it has more than one hard link")
                                                                    : QStringLiteral("it is not a regular file")));
    }
    if (identityOf(info).sameAs(card)) {
        ::close(fd);
        return Status::refused(QStringLiteral("cannot write %1: it is the card being read").arg(path));
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK)
            return Status{Status::Refused, error, QStringLiteral("cannot write %1: another export is writing it").arg(path)};
        return Status::failure(error, QStringLiteral("cannot lock %1: %2").arg(path, reason(error)));
    }
    m_handle = fd;
    m_path = path;
    return Status();
}

Status OpenFile::createLocked(const FolderHandle *folder, const QString &name, const QString &path)
{
    close();
    // O_EXCL: never an existing file, and never through a link planted under our name.
    const int fd = folder && folder->isOpen()
        ? ::openat(int(folder->native()), encoded(name).constData(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0666)
        : ::open(encoded(path).constData(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
    if (fd < 0)
        return Status::failure(errno, QStringLiteral("cannot write %1: %2").arg(path, reason(errno)));
    if (!tryLockFile(fd)) {
        ::close(fd);
        return Status{Status::Refused, EWOULDBLOCK, QStringLiteral("cannot write %1: another copy holds it").arg(path)};
    }
    m_handle = fd;
    m_path = path;
    return Status();
}

Status OpenFile::openCard(const QString &path, bool *unbuffered, qint64 *size)
{
    close();
    *unbuffered = false;
    *size = -1;
    const QByteArray name = encoded(path);
    // Looked at before it is opened: opening a FIFO waits for a writer that never comes.
    struct stat info;
    if (::stat(name.constData(), &info) != 0)
        return Status::failure(errno, reason(errno));
    const auto usable = [](const struct stat &st) { return S_ISREG(st.st_mode) || S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode); };
    const auto refuse = [](const struct stat &st) {
        const char *kind = S_ISDIR(st.st_mode) ? "a folder" : S_ISFIFO(st.st_mode) ? "a FIFO" : S_ISSOCK(st.st_mode) ? "a socket" : "no file";
        return Status{Status::Refused, EINVAL, QStringLiteral("it is %1, neither a card device nor a card image").arg(QLatin1String(kind))};
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
    m_unbuffered = (flags & O_DIRECT) != 0;
#endif
    if (fd < 0)
        return Status::failure(errno, reason(errno));
    if (::fstat(fd, &info) != 0 || !usable(info)) {
        ::close(fd);
        return refuse(info);
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    m_handle = fd;
    m_path = path;
    *unbuffered = m_unbuffered;
    // A raw device reports no size to stat(); its end is found by seeking there.
    const off_t end = ::lseek(fd, 0, SEEK_END);
    *size = end > 0 ? qint64(end) : -1;
    return Status();
}

qint64 OpenFile::size() const
{
    struct stat info;
    return isOpen() && ::fstat(int(m_handle), &info) == 0 ? qint64(info.st_size) : -1;
}

qint64 OpenFile::readAt(char *into, qint64 length, qint64 offset, Status *status)
{
    qint64 total = 0;
    while (total < length) {
        const ssize_t got = ::pread(int(m_handle), into + total, size_t(length - total), off_t(offset + total));
        if (got < 0) {
            if (errno == EINTR)
                continue;
#ifdef O_DIRECT
            // The device refuses unbuffered reads (a sector size above 512, say): read
            // through the cache instead, as any other file.
            if (errno == EINVAL && m_unbuffered) {
                m_unbuffered = false;
                ::fcntl(int(m_handle), F_SETFL, ::fcntl(int(m_handle), F_GETFL) & ~O_DIRECT);
                continue;
            }
#endif
            *status = Status::failure(errno, QStringLiteral("cannot read %1: %2").arg(m_path, reason(errno)));
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
        const ssize_t done = ::pwrite(int(m_handle), data + written, size_t(length - written), off_t(offset + written));
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0) {
            const int error = done < 0 ? errno : ENOSPC;
            return Status::failure(error, QStringLiteral("cannot write %1: %2").arg(m_path, reason(error)));
        }
        written += done;
    }
    return Status();
}

Status OpenFile::writeAtPastCache(const char *data, qint64 length, qint64 offset, bool *pastCache)
{
    if (pastCache)
        *pastCache = false;
    const auto aligned = [](qint64 value) { return value % PastCacheAlignment == 0; };
    const int fd = int(m_handle);
    const int flags = ::fcntl(fd, F_GETFL);
    if (length <= 0 || !aligned(qint64(reinterpret_cast<quintptr>(data))) || !aligned(length) || !aligned(offset)
        || flags < 0 || ::fcntl(fd, F_SETFL, flags | O_DIRECT) != 0)
        return writeAt(data, length, offset);
    qint64 written = 0;
    int error = 0;
    while (written < length) {
        const ssize_t done = ::pwrite(fd, data + written, size_t(length - written), off_t(offset + written));
        if (done < 0 && errno == EINTR)
            continue;
        if (done < 0)
            error = errno;
        if (done <= 0 || done % PastCacheAlignment != 0) {
            if (done > 0)
                written += done;
            break;
        }
        written += done;
    }
    ::fcntl(fd, F_SETFL, flags);
    if (pastCache)
        *pastCache = written == length;
    // A file system that refuses it (EINVAL), or a write cut short: the rest through the cache.
    if (written < length && error != 0 && error != EINVAL)
        return Status::failure(error, QStringLiteral("cannot write %1: %2").arg(m_path, reason(error)));
    return written < length ? writeAt(data + written, length - written, offset + written) : Status();
}

Status OpenFile::resize(qint64 length)
{
    if (::ftruncate(int(m_handle), off_t(length)) != 0)
        return Status::failure(errno, QStringLiteral("cannot cut %1 back: %2").arg(m_path, reason(errno)));
    return Status();
}

void OpenFile::startWriteBack(qint64 offset, qint64 length) const
{
    ::startWriteBack(int(m_handle), offset, length);
}

Status OpenFile::removeIfStillNamed(const QString &path) const
{
    const QByteArray name = encoded(path);
    struct stat ours;
    struct stat named;
    if (::fstat(int(m_handle), &ours) != 0 || ::lstat(name.constData(), &named) != 0 || ours.st_dev != named.st_dev
        || ours.st_ino != named.st_ino)
        return Status::refused(QStringLiteral("cannot take back %1: it is no longer the file this export created").arg(path));
    if (::unlink(name.constData()) != 0)
        return Status::failure(errno, QStringLiteral("cannot remove %1: %2").arg(path, reason(errno)));
    return Status();
}

char *OpenFile::mapPrivate(qint64 length, Status *status) const
{
    void *map = ::mmap(nullptr, size_t(length), PROT_READ | PROT_WRITE, MAP_PRIVATE, int(m_handle), 0);
    if (map == MAP_FAILED) {
        *status = Status::failure(errno, QStringLiteral("cannot read %1: %2").arg(m_path, reason(errno)));
        return nullptr;
    }
    return static_cast<char *>(map);
}

void OpenFile::unmapView(char *view, qint64 length)
{
    if (view)
        ::munmap(view, size_t(length));
}

bool removeFileIn(const FolderHandle *folder, const QString &name, const QString &path)
{
    return (folder && folder->isOpen() ? ::unlinkat(int(folder->native()), encoded(name).constData(), 0)
                                       : ::unlink(encoded(path).constData())) == 0;
}

Status renameOver(const FolderHandle *folder, const QString &from, const QString &to)
{
    const auto leaf = [](const QString &path) { return encoded(path.section(QLatin1Char('/'), -1)); };
    const bool at = folder && folder->isOpen();
    if ((at ? ::renameat(int(folder->native()), leaf(from).constData(), int(folder->native()), leaf(to).constData())
            : ::rename(encoded(from).constData(), encoded(to).constData())) != 0)
        return Status::failure(errno, reason(errno));
    return Status();
}

char *allocateAligned(qint64 length, qint64 alignment)
{
    void *p = nullptr;
    return ::posix_memalign(&p, size_t(alignment), size_t(qMax<qint64>(length, 1))) == 0 ? static_cast<char *>(p) : nullptr;
}

void freeAligned(char *memory)
{
    std::free(memory);
}

Status checkDestinationIn(const FolderHandle *folder, const QString &name, const QString &path,
                          const FileIdentity &card, bool *exists)
{
    *exists = false;
    const bool at = folder && folder->isOpen();
    const QByteArray entry = encoded(at ? name : path);
    const int dir = at ? int(folder->native()) : AT_FDCWD;
    struct stat st;
    if (::fstatat(dir, entry.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT)
            return Status();
        return Status::failure(errno, QStringLiteral("cannot write %1: %2").arg(path, reason(errno)));
    }
    *exists = true;
    const auto refused = [&](int error, const QString &why) {
        return Status::failure(error, QStringLiteral("cannot write %1: %2").arg(path, why));
    };
    const QString itIsTheCard = QStringLiteral("it is the card itself");
    if (S_ISLNK(st.st_mode)) {
        // Only a link's target tells whether it leads to the card.
        struct stat target;
        if (::fstatat(dir, entry.constData(), &target, 0) == 0 && identityOf(target).sameAs(card))
            return refused(EINVAL, itIsTheCard);
        return refused(EINVAL, whatItIs(st.st_mode));
    }
    if (identityOf(st).sameAs(card))
        return refused(EINVAL, itIsTheCard);
    if (!S_ISREG(st.st_mode))
        return refused(EINVAL, QStringLiteral("it exists and is not a regular file"));
    // A file of several hard links is also someone else's file under another name.
    if (st.st_nlink > 1)
        return refused(EMLINK, QStringLiteral("it has more than one hard link"));
    return Status();
}

bool isCardGoneError(int error)
{
    if (error == ENODEV || error == ENXIO)
        return true;
#ifdef ENOMEDIUM
    if (error == ENOMEDIUM)
        return true;
#endif
    return false;
}

bool isTerminal(FILE *stream)
{
    return ::isatty(::fileno(stream)) == 1;
}

DiskListing systemDiskListing()
{
#ifdef __linux__
    return DiskListing::SysBlock;
#else
    return DiskListing::None;
#endif
}

bool isPermissionError(int error)
{
    return error == EACCES || error == EPERM;
}
