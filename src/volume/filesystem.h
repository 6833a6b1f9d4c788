// The reader of a recorder's card: opens a raw device or a card image read-only,
// lists the recording directories and their files under their GPS-time names, finds
// them again by name, reads a file whole and exports files to a folder. It is the face
// of the card device (carddevice.h), the card model (cardmodel.h), the copy job
// (copyjob.h) and the destination writer (destinationwriter.h).
#pragma once

#include "carddevice.h"
#include "cardformat.h"
#include "cardmodel.h"
#include "copysink.h"
#include "stoptoken.h"

#include <QList>
#include <QObject>
#include <QRecursiveMutex>
#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>
#include <optional>

// How one export ended. Only Complete means the destination holds every sector.
struct ExportResult
{
    // The one outcome of a copy, as its sinks are told (copysink.h). Only Complete means
    // the destination holds every sector. Failed: nothing usable was written (lookup,
    // card or destination failed), any earlier file of the destination's name is as it
    // was. Stopped: the partial file was removed, any earlier one kept.
    using Status = CopyEnd;
    static constexpr CopyEnd Complete = CopyEnd::Complete;
    static constexpr CopyEnd Incomplete = CopyEnd::Incomplete;
    static constexpr CopyEnd Failed = CopyEnd::Failed;
    static constexpr CopyEnd Stopped = CopyEnd::Stopped;

    CopyEnd status = CopyEnd::Failed;
    QString destination;        // the file written or meant to be written; empty for a scan
    QString message;            // why it is not complete; empty when complete
    qint64 bytesWritten = 0;    // bytes handed to the destination (and the other sinks)
    qint64 sectorsReplaced = 0; // unreadable sectors written as zeros
    // The card stopped answering (taken out, or failing every read): a batch ends here.
    // Later copies from the same open card fail at once, without reading, also marked.
    bool cardStopped = false;

    bool isComplete() const { return status == Complete; }
    // The message as one line about `cardPath`, which it names once: some reasons
    // ("stopped before PATH was complete") name it already.
    QString problem(const QString &cardPath) const
    {
        return message.startsWith(cardPath) ? message : cardPath + QLatin1String(": ") + message;
    }
};

class ReadAhead;

class Filesystem : public QObject
{
    Q_OBJECT

public:
    Filesystem();
    ~Filesystem() override;

    // Opens `devicePath` read-only and checks the volume header; true for a card volume.
    // A device that was open before is closed first. After a false result errorString()
    // says why.
    bool open(const QString &devicePath);
    // The same for a device not yet opened that the caller made (for instance a test
    // double that stands for a failing card). The reader takes it over and opens it.
    bool openDevice(std::unique_ptr<CardDevice> device);
    // Why the last open() failed: the system's reason, or that the device is no card.
    QString errorString() const;
    QString devicePath() const;

    // "/" lists the root; a directory name, with or without one leading "/", lists its
    // files. Empty when nothing can be read or the name names no directory (names are
    // parsed strictly: see parseDirectoryName()).
    QList<EntryInfo> list(const QString &path);
    // The directories in table order, then the log entry; empty when the table cannot
    // be read (not even the log entry). A directory whose block cannot be read carries
    // the reason in EntryInfo::problem. *problems receives every such reason, and that
    // of an unreadable table (slot and sector named, with the system's reason).
    QList<EntryInfo> listRoot(QStringList *problems = nullptr);
    // The files of table slot `index` in record order; empty for index <= 0 or when
    // the block cannot be read (then *problem says why).
    QList<EntryInfo> listDirectory(int index, QString *problem = nullptr);
    // Every file in tree order (each directory by its table slot), then the log entry:
    // what 'tree' and an export of everything work from. Problems as for listRoot().
    QList<EntryInfo> listFiles(QStringList *problems = nullptr);
    // The card path of a file or log entry: "/DIRECTORY/FILE" or "/log".
    QString cardPath(const EntryInfo &entry);
    // The file or log entry a typed card path names, or nothing: the one lookup of a
    // path behind every operation here that takes one (see CardModel::resolve()).
    std::optional<EntryInfo> resolve(const QString &path);
    // resolve() into *entry; false when the path names nothing.
    bool findEntry(const QString &path, EntryInfo *entry);

    // Lowest table slot (1..255) whose start time lies in the 62 seconds from the given
    // minute on; -1 when none does or the table cannot be read.
    int findDirectory(int year, int month, int day, int hour, int minute);
    // findDirectory() of a name YYYYMMDD_HHMM, optionally after one "/"; -1 for a
    // malformed name.
    int directoryIndex(const QString &name);
    // Record slot (0..127) of the file named YYYYMMDD_HHMMSS in directory `dirIndex`,
    // copied into *record; -1 when no occupied slot has that start time.
    int findFileRecord(int dirIndex, const QString &fileName, FileRecord *record);

    // The sectors of the file at "/DIRECTORY/FILE": lastSector - firstSector + 1 sectors,
    // cut short where the card ends, unreadable ones as zeros. Empty when the path names
    // no file or nothing of it could be read. Read as an export reads, without progress
    // and regardless of a stop request.
    QByteArray readFile(const QString &path);
    // Up to `count` sectors of a listed file from its sector `first`, cut short where the
    // file or the card ends; empty when the read fails. For the quick scan of a file's
    // first and last records: no name is parsed and no block read.
    QByteArray readEntrySectors(const EntryInfo &entry, qint64 first, qint64 count);

    // Copies the file at card path `path` ("/DIRECTORY/FILE", or "/log") into
    // folder + "/" + cardFileName(start time) + ".mseed" (folder + "/log" for the log),
    // emitting progress(i, n) after sector i is written and progress(n, n) when the copy
    // ends Complete or Incomplete. The file is written under a temporary name beside the
    // destination and renamed into place at the end; a Failed or Stopped copy leaves an
    // earlier file of that name as it was. Refused (Failed): the card itself as the
    // destination, a symbolic link, anything but a regular file there.
    ExportResult exportFile(const QString &path, const QString &folder);
    // The same, and every chunk read is also handed to `extraSinks` (a hash, a record
    // parser), in card order, on the calling thread. They are begun before the
    // destination is created, and finished with the copy's end.
    ExportResult exportFile(const QString &path, const QString &folder, const QList<CopySink *> &extraSinks);
    // Copies the 4097 sectors of the log area from byte 4194304 into folder + "/log":
    // exportFile() of "/log".
    ExportResult exportLog(const QString &folder);

    // Reads the file at card path `path` (or the entry) once, as an export does, and
    // hands its chunks to `sinks` only: no file is written. The result's destination is
    // empty; bytesWritten counts the bytes handed on. Progress and stop as for exports.
    ExportResult scanFile(const QString &path, const QList<CopySink *> &sinks);
    ExportResult scanEntry(const EntryInfo &entry, const QList<CopySink *> &sinks);
    // scanFile() for the window's own views: no progress is reported and requestStop()
    // does not apply, both belonging to the download under way; a sink ends the read.
    ExportResult viewFile(const QString &path, const QList<CopySink *> &sinks);

    // Asks a running or coming export to stop between chunks, and between sectors where
    // unreadable ones are retried; it removes its partial file and reports Stopped. The
    // request holds until clearStopRequest() or open(). Safe to call from any thread.
    void requestStop();
    void clearStopRequest();
    // The token behind requestStop(): a job that owns a stop of its own (the command
    // line's signals) hands it here, and every copy of this reader runs on a child of it.
    void setStopToken(const StopToken &token);
    StopToken stopToken() const;

Q_SIGNALS:
    // `total` counts the sectors of the copy under way; `current` is the index of the
    // sector just written, and equals `total` only in the final emission of a copy.
    void progress(int current, int total);

private:
    // How a read of an entry is watched: an export or scan reports progress and honours
    // stop requests; a read into memory or for the window's views does neither.
    enum class Watch { ProgressAndStop, Unwatched };
    // The one read of an entry into sinks, and into a file of `folder` when given.
    // `path` names it in messages as the caller typed it; empty, its card path.
    ExportResult copy(const EntryInfo &entry, const QString &path, const QString *folder,
                      const QList<CopySink *> &sinks, Watch watch = Watch::ProgressAndStop);
    // resolve() then copy(); a path that names nothing fails with the reason.
    ExportResult copyPath(const QString &path, const QString *folder, const QList<CopySink *> &sinks,
                          Watch watch = Watch::ProgressAndStop);

    // The model's block cache is shared: listings and lookups hold this lock. Copies
    // read with positioned reads and hold it only to look the file up.
    mutable QRecursiveMutex m_lock;
    std::shared_ptr<CardDevice> m_device;
    std::unique_ptr<CardModel> m_model;
    QString m_error;
    StopToken m_stop; // replaced only by setStopToken(), before a job starts
    std::unique_ptr<ReadAhead> m_readAhead; // the read-ahead of long files, for every batch
    // Stopped once the card stops answering, until the next open(): every read of it
    // then ends, the window's views as well as the batch that found it out.
    StopToken m_cardGone;
};
