// The sink that keeps a copy as a file: written beside its destination under a name of
// its own, and put in place by one rename only when the copy ends with something worth
// keeping. Whatever happens, an earlier file of that name is either kept as it was or
// replaced whole, and the card is never the destination.
#pragma once

#include "carddevice.h"
#include "copysink.h"
#include "platform.h"

#include <QSet>
#include <QString>

class DestinationWriter : public CopySink
{
public:
    // Files go into `folder` under the source's outputName. `card` is who the card is,
    // so that a destination that is the card itself is refused.
    DestinationWriter(const QString &folder, const FileIdentity &card);
    // The same in a folder held open (openFolderBelow): the temporary file is made and
    // renamed in that folder, even if a link is put in its place by name meanwhile. The
    // handle must outlive the writer.
    DestinationWriter(const FolderHandle &folder, const FileIdentity &card);
    ~DestinationWriter() override;

    // Refuses (naming the destination): the card itself under any name, a symbolic link
    // (never followed nor replaced), anything but a regular file. Otherwise creates the
    // temporary file ".NAME.XXXXXX.part" in the folder.
    Status begin(const CopySource &source) override;
    Status consume(const SectorChunk &chunk) override;
    // Complete or Incomplete: renames the temporary file onto the destination. Failed or
    // Stopped: removes it, leaving the destination as it was.
    Status finish(CopyEnd end) override;
    // Why the last call that failed did (never Ok: a failure without words when none
    // failed yet).
    Status failure() const { return m_failure.ok() ? Status::failure(QString()) : m_failure; }
    // Puts the copy under begun, before finish(), in place under `outputName` instead
    // (a name chosen once its content is known).
    void retarget(const QString &outputName) { m_destination = m_folder + QLatin1Char('/') + outputName; }
    // finish() of a Complete or Incomplete copy under `outputName`, a name that must stay
    // another file's if one takes it meanwhile: then false with *taken, and the copy is
    // kept to be placed under another name (or dropped by finish(CopyEnd::Stopped)).
    bool finishAsNew(const QString &outputName, bool *taken);

    // Removes the temporary files ".NAME.XXXXXX.part" in `folder` that no running copy
    // holds: left by a run that was killed. Returns how many went.
    static int removeLeftovers(const QString &folder);
    // The names `folder` holds, of anything (links, even broken ones, too), case-folded: a
    // name a copy is to be written as is among them, whatever the file system's case
    // rules, if anything by that name may be there. Listed once for a whole batch.
    static QSet<QString> namesHeld(const QString &folder);
    static bool mayHold(const QSet<QString> &namesHeld, const QString &name) { return namesHeld.contains(name.toCaseFolded()); }

    // Writes the copies straight to the disk, past the page cache, where the system
    // allows: for copies kept, not read again soon (a harvest's raw copies).
    void setWritesPastCache(bool pastCache) { m_pastCache = pastCache; }
    // Whether begin() looks at the destination (the default). Without, a name that may not
    // be written is found when the copy is to be put in place, and refused there: for a
    // caller that has looked at the names already.
    void setLooksFirst(bool looks) { m_looksFirst = looks; }

    // The file written, or meant to be written, by the last begin().
    QString destination() const { return m_destination; }
    qint64 bytesWritten() const { return m_written; }

private:
    bool checkDestination();
    // Closes the copy and renames it onto the destination; with `taken`, only where no
    // file has that name: else *taken, and the copy is kept.
    bool place(bool *taken);
    void discard();
    // Fails with "cannot write DESTINATION: reason", as `cause` failed (its kind and errno).
    bool fail(const Status &cause, const QString &reason);

    QString m_folder;
    FileIdentity m_card;
    QString m_destination;
    QString m_temporary;
    Status m_failure;
    qint64 m_written = 0;
    qint64 m_expected = 0; // bytes the source means to give
    OpenFile m_file;
    const FolderHandle *m_at = nullptr; // the folder held open, when given one
    bool m_pastCache = false;
    bool m_looksFirst = true;
};
