#include "destinationwriter.h"
#include "platform.h"

#include <QDir>
#include <QRegularExpression>

#include <cerrno>

namespace {

// The system's words for an error number of the calls below.
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
    m_at = &folder;
}

DestinationWriter::~DestinationWriter()
{
    discard();
}

bool DestinationWriter::fail(const Status &cause, const QString &reason)
{
    m_failure = Status{cause.ok() ? Status::Failed : cause.code, cause.error,
                       QStringLiteral("cannot write %1: %2").arg(m_destination, reason)};
    discard();
    return false;
}

void DestinationWriter::discard()
{
    m_file.close();
    if (!m_temporary.isEmpty())
        removeFileIn(m_at, m_temporary.section(QLatin1Char('/'), -1), m_temporary);
    m_temporary.clear();
}

bool DestinationWriter::checkDestination()
{
    // One look at the name, in the folder held open when there is one, links not followed.
    bool exists = false;
    const Status usable = checkDestinationIn(m_at, m_destination.section(QLatin1Char('/'), -1), m_destination, m_card, &exists);
    if (!usable)
        m_failure = usable;
    return usable.ok();
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
    if (m_file.isOpen()) {
        if (Status closed; !m_file.close(&closed))
            return fail(closed, errnoText(closed.error));
    }
    const QString leaf = m_temporary.section(QLatin1Char('/'), -1);
    const QString name = m_destination.section(QLatin1Char('/'), -1);
    // Nearly always the name is still free: put there only if it is, which replaces
    // nothing and so needs no second look.
    const Status placed = renameNoReplace(m_folder, m_at ? int(m_at->native()) : -1, leaf, name);
    if (!placed) {
        // Where the file system can neither rename without replacing nor link (FAT), the
        // name is looked at and the copy renamed over it; a name that must stay another
        // file's if taken cannot be had there.
        if (placed.error != EEXIST && taken)
            return fail(placed, placed.message.section(QStringLiteral(": "), -1));
        // Something is there: looked at again, as it may have been put there while the
        // copy ran; what may not be written over is refused rather than named around.
        if (!checkDestination()) {
            discard();
            return false;
        }
        if (taken) {
            *taken = true;
            return false;
        }
        if (const Status renamed = renameOver(m_at, m_temporary, m_destination); !renamed)
            return fail(renamed, renamed.message);
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

QSet<QString> DestinationWriter::namesHeld(const QString &folder)
{
    QSet<QString> names;
    for (const QString &name : QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot))
        names.insert(name.toCaseFolded());
    return names;
}

Status DestinationWriter::begin(const CopySource &source)
{
    discard();
    m_failure = Status();
    m_written = 0;
    m_expected = source.sectorCount * 512;
    m_destination = m_folder + QLatin1Char('/') + source.outputName;
    if (m_looksFirst && !checkDestination())
        return m_failure;
    // Beside the destination, so that the final rename stays on one file system; a name
    // of its own per copy, so that two copies of one name never write into one file.
    Status created;
    for (int attempt = 0; attempt < 100 && !m_file.isOpen(); ++attempt) {
        const QString leaf = temporaryFileName(source.outputName);
        const QString name = m_folder + QLatin1Char('/') + leaf;
        // Locked while it is written: an export that finds it takes it for a leftover only
        // when no one holds it.
        created = m_file.createLocked(m_at, leaf, name);
        if (created)
            m_temporary = name;
        else if (created.error != EEXIST && created.code != Status::Refused)
            break;
    }
    if (!m_file.isOpen()) {
        fail(created, errnoText(created.error));
        return m_failure;
    }
    return Status();
}

Status DestinationWriter::consume(const SectorChunk &chunk)
{
    if (!m_file.isOpen()) {
        m_failure = Status::failure(QStringLiteral("cannot write %1: the copy was not begun").arg(m_destination));
        return m_failure;
    }
    bool pastCache = false;
    if (const Status written = m_pastCache ? m_file.writeAtPastCache(chunk.data, chunk.length, m_written, &pastCache)
                                           : m_file.writeAt(chunk.data, chunk.length, m_written);
        !written) {
        fail(written, errnoText(written.error));
        return m_failure;
    }
    // The disk takes the chunk while the next is read: the flush at the end of the batch
    // then waits for little. A file of one chunk is left to that flush, which writes many
    // small files together for less than a call each; a write past the cache has no
    // write-back to start.
    if (!pastCache && (m_written > 0 || chunk.length < m_expected))
        m_file.startWriteBack(m_written, chunk.length);
    m_written += chunk.length;
    return Status();
}

Status DestinationWriter::finish(CopyEnd end)
{
    if (end == CopyEnd::Failed || end == CopyEnd::Stopped) {
        if (!m_file.isOpen() && m_temporary.isEmpty())
            return failure();
        discard(); // also a copy finishAsNew() kept
        return Status();
    }
    return m_file.isOpen() && place(nullptr) ? Status() : failure();
}
