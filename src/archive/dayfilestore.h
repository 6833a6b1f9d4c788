// The day files one export appends to: each opened and locked at its first record and
// held to the end of the batch, records gathered and written in runs, every record of a
// file known by a hash so that one already there is not written twice, what was written
// since the last commit taken back on failure, and every file hashed at the end.
#pragma once

#include "platform.h"
#include "status.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <memory>

// A day file the archive appended to in this run.
struct SdsDayFile
{
    QString relativePath;    // below the archive root, "/"-separated
    QByteArray sha256;       // of the whole file after the run; empty when it could not be read
    qint64 recordsAdded = 0; // records appended (halves of split records count one each)
    qint64 recordsFound = 0; // records of this run that were in it already
    bool created = false;    // did not exist before this run
};

class DayFileStore
{
public:
    enum Outcome {
        Appended,     // gathered to be written with the next run of its file
        AlreadyThere, // its bytes are in the file already; nothing written
        Refused,      // the file is not whole records and is left as it is
        Failed,       // writing failed; the status says why
    };
    struct DayFile;

    explicit DayFileStore(const QString &root);
    // Takes back what was not committed (unless finish()ed) and gives up every file and lock.
    ~DayFileStore();
    DayFileStore(const DayFileStore &) = delete;
    DayFileStore &operator=(const DayFileStore &) = delete;

    // The card being read: a day file that is this file is refused, whatever its path.
    void setCardIdentity(const FileIdentity &card) { m_card = card; }

    // The day file at RELATIVE below the root, opened and locked at its first use and made
    // ready for records; null with *status when it cannot be. A refused file is returned:
    // append() counts what it leaves out.
    DayFile *dayFile(const QString &relativePath, Status *status);
    // Makes a file found before ready again (opened again when it was set aside).
    bool use(DayFile *file, Status *status);
    Outcome append(DayFile *file, const char *raw, int length, Status *status);

    // Writes out what was appended and moves the point rollback() returns to; on failure
    // that point stays, for the caller to roll back to.
    Status commit();
    // Cuts every file back to its length at the last commit() and removes the files created
    // since; a file another program changed meanwhile is left as it is, and named.
    Status rollback();
    // Hashes every file that records were appended to or found in, sorted by path; the
    // locks stay until release(). `status` says which file could not be hashed.
    QList<SdsDayFile> hashAll(Status *status);
    // Sets every file aside, removes its marker and gives up its lock.
    void releaseAll();

    QStringList refusals() const;
    int dayFilesTouched() const;

private:
    bool openFile(DayFile *file, Status *status);
    bool resumeFile(DayFile *file, Status *status);
    bool indexExisting(DayFile *file, Status *status);
    bool writeMarker(DayFile *file, Status *status);
    bool flush(DayFile *file, Status *status);
    void setAside(DayFile *file);
    void release(DayFile *file);

    QString m_root;
    FileIdentity m_card;
    QHash<QString, std::shared_ptr<DayFile>> m_files;
    int m_openFiles = 0;
    quint64 m_useClock = 0;
};
