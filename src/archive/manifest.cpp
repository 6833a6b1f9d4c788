#include "manifest.h"
#include "sha256.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <cstring>
#include <memory>

#if defined(Q_OS_UNIX) && !defined(VEXA_PORTABLE_FILES)
#define VEXA_POSIX_FILES
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#else
#include <QLockFile>
#endif

namespace {

// Held while the manifest is read, merged and replaced: two exports into one folder that
// end together would otherwise each write the lines it read before the other's went in.
class FolderLock
{
public:
    bool lock(const QString &folder, QString *error)
    {
#ifdef VEXA_POSIX_FILES
        m_fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (m_fd >= 0) {
            int status;
            do
                status = ::flock(m_fd, LOCK_EX);
            while (status != 0 && errno == EINTR);
            if (status == 0)
                return true;
        }
#else
        m_lock = std::make_unique<QLockFile>(QDir(folder).filePath(QStringLiteral(".manifest-sha256.txt.lock")));
        errno = 0;
        if (m_lock->lock())
            return true;
        if (!errno)
            errno = EACCES;
#endif
        *error = QStringLiteral("cannot lock the folder %1: %2").arg(folder, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    ~FolderLock()
    {
#ifdef VEXA_POSIX_FILES
        if (m_fd >= 0)
            ::close(m_fd);
#endif
    }

private:
#ifdef VEXA_POSIX_FILES
    int m_fd = -1;
#else
    std::unique_ptr<QLockFile> m_lock;
#endif
};

bool isHexDigest(const QByteArray &digest)
{
    if (digest.size() != 64)
        return false;
    for (const char c : digest) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
            return false;
    }
    return true;
}

QString systemReason()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

Manifest::Manifest(const QString &root)
    : m_root(root)
{
}

QString Manifest::path() const
{
    return QDir(m_root).filePath(fileName());
}

bool Manifest::setDigest(const QString &relativePath, const QByteArray &hexDigest)
{
    const QString clean = QDir::cleanPath(relativePath);
    if (relativePath.isEmpty() || QDir::isAbsolutePath(relativePath) || clean == QLatin1String("..")
        || clean.startsWith(QLatin1String("../")) || relativePath.contains(QLatin1Char('\r'))
        || !isHexDigest(hexDigest)) {
        m_error = QStringLiteral("cannot list %1 in the manifest").arg(relativePath);
        return false;
    }
    m_digests.insert(clean, hexDigest.toLower());
    m_set.insert(clean, hexDigest.toLower());
    return true;
}

bool Manifest::addFile(const QString &relativePath)
{
    const QByteArray digest = sha256OfFile(QDir(m_root).filePath(relativePath), &m_error);
    return !digest.isEmpty() && setDigest(relativePath, digest);
}

QByteArray Manifest::formatLine(const QString &relativePath, const QByteArray &hexDigest)
{
    QByteArray name = relativePath.toUtf8();
    if (!name.contains('\\') && !name.contains('\n'))
        return hexDigest + "  " + name + '\n';
    name.replace('\\', "\\\\").replace('\n', "\\n");
    return '\\' + hexDigest + "  " + name + '\n';
}

bool Manifest::parseLine(const QByteArray &line, QString *relativePath, QByteArray *hexDigest)
{
    QByteArray text = line;
    if (text.endsWith('\r'))
        text.chop(1);
    const bool escaped = text.startsWith('\\');
    if (escaped)
        text.remove(0, 1);
    // HASH, a space, then ' ' (text mode) or '*' (binary mode), then the name.
    if (text.size() < 67 || text.at(64) != ' ' || (text.at(65) != ' ' && text.at(65) != '*'))
        return false;
    const QByteArray digest = text.left(64);
    if (!isHexDigest(digest))
        return false;
    QByteArray name = text.mid(66);
    if (escaped) {
        QByteArray unescaped;
        for (int i = 0; i < name.size(); ++i) {
            if (name.at(i) != '\\') {
                unescaped += name.at(i);
                continue;
            }
            if (++i == name.size())
                return false;
            if (name.at(i) == '\\')
                unescaped += '\\';
            else if (name.at(i) == 'n')
                unescaped += '\n';
            else
                return false;
        }
        name = unescaped;
    }
    *relativePath = QString::fromUtf8(name);
    *hexDigest = digest.toLower();
    return true;
}

bool Manifest::read(QMap<QString, QByteArray> *into)
{
    QFile file(path());
    if (!QFileInfo::exists(path()) && !QFileInfo(path()).isSymLink())
        return true;
    if (QFileInfo(path()).isSymLink()) {
        m_error = QStringLiteral("cannot read %1: it is a symbolic link").arg(path());
        return false;
    }
    errno = 0;
    if (!file.open(QIODevice::ReadOnly)) {
        m_error = QStringLiteral("cannot read %1: %2").arg(path(), errno ? systemReason() : file.errorString());
        return false;
    }
    const QByteArray content = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        m_error = QStringLiteral("cannot read %1: %2").arg(path(), errno ? systemReason() : file.errorString());
        return false;
    }
    const QList<QByteArray> lines = content.split('\n');
    bool ok = true;
    for (int i = 0; i < lines.size(); ++i) {
        if (lines.at(i).isEmpty())
            continue;
        QString name;
        QByteArray digest;
        if (!parseLine(lines.at(i), &name, &digest)) {
            m_error = QStringLiteral("%1 line %2 is not a checksum line").arg(path()).arg(i + 1);
            ok = false;
            continue;
        }
        into->insert(name, digest);
    }
    return ok;
}

bool Manifest::load()
{
    QMap<QString, QByteArray> fromFile;
    const bool ok = read(&fromFile);
    for (auto it = m_set.cbegin(); it != m_set.cend(); ++it)
        fromFile.insert(it.key(), it.value());
    m_digests = fromFile;
    return ok;
}

bool Manifest::save()
{
    // An export that wrote nothing leaves the folder as it was.
    if (m_set.isEmpty())
        return true;
    // Read again just before writing, so that lines another export added meanwhile stay.
    FolderLock folder;
    if (!folder.lock(m_root, &m_error))
        return false;
    QMap<QString, QByteArray> merged;
    if (!read(&merged))
        return false;
    for (auto it = m_set.cbegin(); it != m_set.cend(); ++it)
        merged.insert(it.key(), it.value());
    m_digests = merged;

    QByteArray content;
    for (auto it = merged.cbegin(); it != merged.cend(); ++it)
        content += formatLine(it.key(), it.value());

    // The manifest is ours to replace, never a link planted in its place.
    const QFileInfo existing(path());
    if (existing.isSymLink() || (existing.exists() && !existing.isFile())) {
        m_error = QStringLiteral("cannot write %1: it is not a regular file").arg(path());
        return false;
    }
    QSaveFile file(path());
    errno = 0;
    if (!file.open(QIODevice::WriteOnly)) {
        m_error = QStringLiteral("cannot write %1: %2").arg(path(), errno ? systemReason() : file.errorString());
        return false;
    }
    errno = 0;
    if (file.write(content) != content.size() || !file.commit()) {
        m_error = QStringLiteral("cannot write %1: %2").arg(path(), errno ? systemReason() : file.errorString());
        file.cancelWriting();
        return false;
    }
    return true;
}

bool checkManifest(const QString &folder, QList<ManifestCheck> *checks, QStringList *problems)
{
    const QString path = QDir(folder).filePath(Manifest::fileName());
    QFile file(path);
    errno = 0;
    if (!file.open(QIODevice::ReadOnly)) {
        problems->append(QStringLiteral("cannot read %1: %2").arg(path, errno ? systemReason() : file.errorString()));
        return false;
    }
    const QList<QByteArray> lines = file.readAll().split('\n');
    bool ok = true;
    for (int i = 0; i < lines.size(); ++i) {
        if (lines.at(i).isEmpty())
            continue;
        QString name;
        QByteArray expected;
        if (!Manifest::parseLine(lines.at(i), &name, &expected) || QDir::isAbsolutePath(name)
            || QDir::cleanPath(name) == QLatin1String("..") || QDir::cleanPath(name).startsWith(QLatin1String("../"))) {
            problems->append(QStringLiteral("%1 line %2 is not a checksum line of a file in the folder").arg(path).arg(i + 1));
            ok = false;
            continue;
        }
        ManifestCheck check;
        check.path = name;
        const QString filePath = QDir(folder).filePath(name);
        QString reason;
        const QByteArray actual = sha256OfFile(filePath, &reason);
        if (!actual.isEmpty()) {
            check.outcome = actual == expected ? ManifestCheck::Ok : ManifestCheck::Failed;
        } else if (!QFileInfo::exists(filePath) && !QFileInfo(filePath).isSymLink()) {
            check.outcome = ManifestCheck::Missing;
        } else {
            check.outcome = ManifestCheck::Failed;
            check.reason = reason;
        }
        checks->append(check);
    }
    return ok;
}
