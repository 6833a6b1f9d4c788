#include "manifest.h"
#include "platform.h"
#include "sha256.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

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

// An export records its files in card order, which is path order: nearly every line goes
// at the end, put there without a search through tens of thousands of paths.
void insertInOrder(QMap<QString, QByteArray> &map, const QString &path, const QByteArray &digest)
{
    if (map.isEmpty() || map.lastKey() < path)
        map.insert(map.cend(), path, digest);
    else
        map.insert(path, digest);
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

Status Manifest::setDigest(const QString &relativePath, const QByteArray &hexDigest)
{
    const QString clean = QDir::cleanPath(relativePath);
    if (relativePath.isEmpty() || QDir::isAbsolutePath(relativePath) || clean == QLatin1String("..")
        || clean.startsWith(QLatin1String("../")) || relativePath.contains(QLatin1Char('\r'))
        || !isHexDigest(hexDigest))
        return Status::failure(QStringLiteral("cannot list %1 in the manifest").arg(relativePath));
    const QByteArray digest = hexDigest.toLower(); // one copy, shared by both maps
    insertInOrder(m_digests, clean, digest);
    insertInOrder(m_set, clean, digest);
    return Status();
}

Status Manifest::addFile(const QString &relativePath)
{
    QByteArray digest;
    if (const Status hashed = sha256OfFile(QDir(m_root).filePath(relativePath), &digest); !hashed)
        return hashed;
    return setDigest(relativePath, digest);
}

Status Manifest::addFiles(const QStringList &relativePaths)
{
    for (const QString &path : relativePaths) {
        if (const Status added = addFile(path); !added)
            return added;
    }
    return Status();
}

namespace {

// formatLine() appended to `out`: a manifest of a full card has tens of thousands of
// lines, each written straight into the one buffer.
void appendLine(QByteArray &out, const QString &relativePath, const QByteArray &hexDigest)
{
    const QByteArray name = relativePath.toUtf8();
    if (!name.contains('\\') && !name.contains('\n')) {
        out += hexDigest;
        out += "  ";
        out += name;
        out += '\n';
        return;
    }
    out += '\\';
    out += hexDigest;
    out += "  ";
    out += QByteArray(name).replace('\\', "\\\\").replace('\n', "\\n");
    out += '\n';
}

} // namespace

QByteArray Manifest::formatLine(const QString &relativePath, const QByteArray &hexDigest)
{
    QByteArray line;
    appendLine(line, relativePath, hexDigest);
    return line;
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

Status Manifest::read(QMap<QString, QByteArray> *into)
{
    if (QFileInfo(path()).isSymLink())
        return Status::failure(QStringLiteral("cannot read %1: it is a symbolic link").arg(path()));
    if (!QFileInfo::exists(path()))
        return Status();
    QByteArray content;
    if (const Status status = readRegularFile(path(), &content); !status)
        return status;
    const QList<QByteArray> lines = content.split('\n');
    Status result; // the last line that is not a checksum line; the others are still read
    for (int i = 0; i < lines.size(); ++i) {
        if (lines.at(i).isEmpty())
            continue;
        QString name;
        QByteArray digest;
        if (!parseLine(lines.at(i), &name, &digest)) {
            result = Status::failure(QStringLiteral("%1 line %2 is not a checksum line").arg(path()).arg(i + 1));
            continue;
        }
        into->insert(name, digest);
    }
    return result;
}

Status Manifest::load()
{
    QMap<QString, QByteArray> fromFile;
    const Status status = read(&fromFile);
    for (auto it = m_set.cbegin(); it != m_set.cend(); ++it)
        fromFile.insert(it.key(), it.value());
    m_digests = fromFile;
    return status;
}

Status Manifest::save()
{
    // An export that wrote nothing leaves the folder as it was.
    if (m_set.isEmpty())
        return Status();
    // Read again just before writing, so that lines another export added meanwhile stay.
    // Held while the manifest is read, merged and replaced: two exports into one folder
    // that end together would otherwise each write the lines it read before the other's.
    FolderLock lock;
    if (const Status locked = lock.lock(m_root); !locked)
        return locked;
    QMap<QString, QByteArray> merged;
    if (const Status readBack = read(&merged); !readBack)
        return readBack;
    if (merged.isEmpty()) {
        merged = m_set; // a new folder: nothing to merge, the run's lines as they are
    } else {
        for (auto it = m_set.cbegin(); it != m_set.cend(); ++it)
            merged.insert(it.key(), it.value());
    }
    m_digests = merged;

    QByteArray content;
    qsizetype size = 0;
    for (auto it = merged.cbegin(); it != merged.cend(); ++it)
        size += it.value().size() + 3 + it.key().size() * 3; // UTF-8 needs at most 3 bytes a character here
    content.reserve(size);
    for (auto it = merged.cbegin(); it != merged.cend(); ++it)
        appendLine(content, it.key(), it.value());

    // The manifest is ours to replace, never a link planted in its place; written whole
    // or not at all, so that a full disk leaves the earlier one as it was.
    Status status;
    const FolderHandle folder = openFolderBelow(m_root, QString(), CreateFolders::No, &status);
    if (status)
        status = writeFileWhole(folder, fileName(), content);
    return status;
}

bool checkManifest(const QString &folder, QList<ManifestCheck> *checks, QStringList *problems)
{
    const QString path = QDir(folder).filePath(Manifest::fileName());
    QByteArray content;
    if (const Status status = readRegularFile(path, &content); !status) {
        problems->append(status.message);
        return false;
    }
    const QList<QByteArray> lines = content.split('\n');
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
        QByteArray actual;
        const Status hashed = sha256OfFile(filePath, &actual);
        if (hashed) {
            check.outcome = actual == expected ? ManifestCheck::Ok : ManifestCheck::Failed;
        } else if (!QFileInfo::exists(filePath) && !QFileInfo(filePath).isSymLink()) {
            check.outcome = ManifestCheck::Missing;
        } else {
            check.outcome = ManifestCheck::Failed;
            check.reason = hashed.message;
        }
        checks->append(check);
    }
    // An empty manifest proves nothing about the folder.
    if (ok && checks->isEmpty()) {
        problems->append(QStringLiteral("%1 has no entries").arg(path));
        return false;
    }
    return ok;
}
