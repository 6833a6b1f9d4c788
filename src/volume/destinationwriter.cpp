#include "destinationwriter.h"
#include "platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <cerrno>
#include <cstring>

#ifdef Q_OS_WIN
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// `at`: the folder's descriptor, for names relative to it (POSIX), or -1 for `path` as
// it is. Windows keeps the folder from being replaced by holding its handle instead.
int createNew(int at, const QString &path, const QString &leaf)
{
#ifdef Q_OS_WIN
    Q_UNUSED(at);
    Q_UNUSED(leaf);
    return ::_wopen(reinterpret_cast<const wchar_t *>(path.utf16()),
                    _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
#else
    // O_EXCL: never an existing file, and never through a link planted under our name.
    return at >= 0 ? ::openat(at, QFile::encodeName(leaf).constData(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0666)
                   : ::open(QFile::encodeName(path).constData(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
#endif
}

bool closeFile(int fd)
{
#ifdef Q_OS_WIN
    return ::_close(fd) == 0;
#else
    return ::close(fd) == 0;
#endif
}

bool removeFile(int at, const QString &path, const QString &leaf)
{
#ifdef Q_OS_WIN
    Q_UNUSED(at);
    Q_UNUSED(leaf);
    return ::_wunlink(reinterpret_cast<const wchar_t *>(path.utf16())) == 0;
#else
    return (at >= 0 ? ::unlinkat(at, QFile::encodeName(leaf).constData(), 0) : ::unlink(QFile::encodeName(path).constData())) == 0;
#endif
}

// Replaces `to` by `from` in one step: a reader of `to` sees the old file or the new one.
bool renameOver(int at, const QString &from, const QString &to, QString *reason)
{
#ifdef Q_OS_WIN
    Q_UNUSED(at);
    if (MoveFileExW(reinterpret_cast<const wchar_t *>(from.utf16()), reinterpret_cast<const wchar_t *>(to.utf16()),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    *reason = systemError(int(GetLastError()));
    return false;
#else
    const auto leaf = [](const QString &path) { return QFile::encodeName(path.section(QLatin1Char('/'), -1)); };
    if ((at >= 0 ? ::renameat(at, leaf(from).constData(), at, leaf(to).constData())
                 : ::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData())) == 0)
        return true;
    *reason = systemError(errno);
    return false;
#endif
}

// The C library's text for an errno value (the file calls below set errno everywhere).
QString errnoText(int error)
{
    return systemErrorText(error);
}

} // namespace

DestinationWriter::DestinationWriter(const QString &folder, const FileIdentity &card)
    : m_folder(folder), m_card(card)
{
}

DestinationWriter::DestinationWriter(const FolderHandle &folder, const FileIdentity &card)
    : m_folder(folder.path()), m_card(card)
{
#ifndef Q_OS_WIN
    m_at = int(folder.native());
#endif
}

DestinationWriter::~DestinationWriter()
{
    discard();
}

bool DestinationWriter::fail(const QString &reason)
{
    m_error = QStringLiteral("cannot write %1: %2").arg(m_destination, reason);
    discard();
    return false;
}

void DestinationWriter::discard()
{
    if (m_fd >= 0)
        closeFile(m_fd);
    m_fd = -1;
    if (!m_temporary.isEmpty())
        removeFile(m_at, m_temporary, m_temporary.section(QLatin1Char('/'), -1));
    m_temporary.clear();
}

bool DestinationWriter::checkDestination()
{
    // Nearly always nothing is there yet, or an earlier copy of one link: two looks at
    // the name, links not followed, tell it. Anything else is looked at closer below,
    // to say what it is.
    if (checkRegularFile(m_destination, false, true) && !linkIdentity(m_destination).sameAs(m_card))
        return true;
    // The card under any name: the path itself, a link to it, a hard link, another
    // device node of the same disk.
    if (fileIdentity(m_destination).sameAs(m_card)) {
        m_error = QStringLiteral("cannot write %1: it is the card itself").arg(m_destination);
        return false;
    }
    const QFileInfo info(m_destination);
    if (info.isSymLink()) {
        m_error = QStringLiteral("cannot write %1: it is a symbolic link, which is neither followed nor replaced")
                      .arg(m_destination);
        return false;
    }
    if (info.exists() && !info.isFile()) {
        m_error = QStringLiteral("cannot write %1: it exists and is not a regular file").arg(m_destination);
        return false;
    }
    // A file of several hard links is also someone else's file under another name.
    if (const Status single = checkRegularFile(m_destination, false, true); !single) {
        m_error = QStringLiteral("cannot write %1: %2").arg(m_destination, single.message.section(QStringLiteral(": "), -1));
        return false;
    }
    return true;
}

bool DestinationWriter::finishAsNew(const QString &outputName, bool *taken)
{
    *taken = false;
    if (m_temporary.isEmpty())
        return false;
    retarget(outputName);
    return place(taken);
}

bool DestinationWriter::place(bool *taken)
{
    if (m_fd >= 0) {
        const int fd = m_fd;
        m_fd = -1;
        if (!closeFile(fd))
            return fail(errnoText(errno));
    }
    // Looked at again: the destination may have been replaced while the copy ran.
    if (!checkDestination()) {
        discard();
        return false;
    }
    const QString leaf = m_temporary.section(QLatin1Char('/'), -1);
    QString reason;
    if (!taken) {
        if (!renameOver(m_at, m_temporary, m_destination, &reason))
            return fail(reason);
    } else if (const Status placed = renameNoReplace(m_folder, m_at, leaf, m_destination.section(QLatin1Char('/'), -1));
               !placed) {
        if (placed.error == EEXIST) {
            *taken = true;
            return false;
        }
        return fail(placed.message.section(QStringLiteral(": "), -1));
    }
    m_temporary.clear();
    return true;
}

int DestinationWriter::removeLeftovers(const QString &folder)
{
    static const QRegularExpression pattern(QStringLiteral("^\\..+\\.[A-Za-z0-9]{6}\\.part$"));
    int removed = 0;
    const QStringList names = QDir(folder).entryList({QStringLiteral(".*.part")}, QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : names)
        removed += pattern.match(name).hasMatch() && removeIfUnlocked(folder, name) ? 1 : 0;
    return removed;
}

bool DestinationWriter::begin(const CopySource &source)
{
    discard();
    m_error.clear();
    m_written = 0;
    m_destination = m_folder + QLatin1Char('/') + source.outputName;
    if (!checkDestination())
        return false;
    // Beside the destination, so that the final rename stays on one file system; a name
    // of its own per copy, so that two copies of one name never write into one file.
    int error = 0;
    for (int attempt = 0; attempt < 100 && m_fd < 0; ++attempt) {
        const QString leaf = temporaryFileName(source.outputName);
        const QString name = m_folder + QLatin1Char('/') + leaf;
        m_fd = createNew(m_at, name, leaf);
        // Locked while it is written: an export that finds it takes it for a leftover only
        // when no one holds it.
        if (m_fd >= 0 && !tryLockFile(m_fd)) {
            closeFile(m_fd);
            m_fd = -1;
            continue;
        }
        if (m_fd >= 0)
            m_temporary = name;
        else if ((error = errno) != EEXIST)
            break;
    }
    if (m_fd < 0)
        return fail(errnoText(error));
    return true;
}

bool DestinationWriter::consume(const SectorChunk &chunk)
{
    if (m_fd < 0) {
        m_error = QStringLiteral("cannot write %1: the copy was not begun").arg(m_destination);
        return false;
    }
    qint64 done = 0;
    while (done < chunk.length) {
#ifdef Q_OS_WIN
        const int n = ::_write(m_fd, chunk.data + done, unsigned(qMin<qint64>(chunk.length - done, 1 << 30)));
#else
        const ssize_t n = ::write(m_fd, chunk.data + done, size_t(chunk.length - done));
#endif
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return fail(errnoText(errno));
        }
        done += n;
    }
    // The disk takes the chunk while the next is read: the flush at the end of the batch
    // then waits for little.
    startWriteBack(m_fd, m_written, done);
    m_written += done;
    return true;
}

bool DestinationWriter::finish(CopyEnd end)
{
    if (end == CopyEnd::Failed || end == CopyEnd::Stopped) {
        if (m_fd < 0 && m_temporary.isEmpty())
            return false;
        discard(); // also a copy finishAsNew() kept
        return true;
    }
    return m_fd >= 0 && place(nullptr);
}
