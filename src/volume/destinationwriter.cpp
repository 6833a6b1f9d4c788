#include "destinationwriter.h"
#include "platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
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

bool DestinationWriter::fail(const QString &reason)
{
    m_error = QStringLiteral("cannot write %1: %2").arg(m_destination, reason);
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
    if (m_file.isOpen()) {
        if (Status closed; !m_file.close(&closed))
            return fail(errnoText(closed.error));
    }
    // Looked at again: the destination may have been replaced while the copy ran.
    if (!checkDestination()) {
        discard();
        return false;
    }
    const QString leaf = m_temporary.section(QLatin1Char('/'), -1);
    if (!taken) {
        if (const Status renamed = renameOver(m_at, m_temporary, m_destination); !renamed)
            return fail(renamed.message);
    } else if (const Status placed = renameNoReplace(m_folder, m_at ? int(m_at->native()) : -1, leaf, m_destination.section(QLatin1Char('/'), -1));
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
    if (!m_file.isOpen())
        return fail(errnoText(created.error));
    return true;
}

bool DestinationWriter::consume(const SectorChunk &chunk)
{
    if (!m_file.isOpen()) {
        m_error = QStringLiteral("cannot write %1: the copy was not begun").arg(m_destination);
        return false;
    }
    bool pastCache = false;
    if (const Status written = m_pastCache ? m_file.writeAtPastCache(chunk.data, chunk.length, m_written, &pastCache)
                                           : m_file.writeAt(chunk.data, chunk.length, m_written);
        !written)
        return fail(errnoText(written.error));
    // The disk takes the chunk while the next is read: the flush at the end of the batch
    // then waits for little.
    if (!pastCache)
        m_file.startWriteBack(m_written, chunk.length);
    m_written += chunk.length;
    return true;
}

bool DestinationWriter::finish(CopyEnd end)
{
    if (end == CopyEnd::Failed || end == CopyEnd::Stopped) {
        if (!m_file.isOpen() && m_temporary.isEmpty())
            return false;
        discard(); // also a copy finishAsNew() kept
        return true;
    }
    return m_file.isOpen() && place(nullptr);
}
