// The reader of a recorder's card: opens a raw device or a card image read-only,
// lists the recording directories and their files under their GPS-time names, finds
// them again by name, reads a file whole and exports files to a folder.
#pragma once

#include "cardformat.h"

#include <QFile>
#include <QList>
#include <QObject>
#include <QRecursiveMutex>
#include <QString>

#include <atomic>
#include <memory>

// One listed entry: a recording directory, a file, or the log.
struct EntryInfo
{
    QString name;             // directory YYYYMMDD_HHMM, file YYYYMMDD_HHMMSS, or "log"
    qint64 size = 0;          // listed bytes: 0 for a directory, 2097152 for the log
    bool isDirectory = false;
    bool fileFlag = false;    // bit 0 of the record's flags, carried along
    int index = 0;            // table slot of the directory (1..255); 0 for the log

    friend bool operator==(const EntryInfo &a, const EntryInfo &b)
    {
        return a.name == b.name && a.size == b.size && a.isDirectory == b.isDirectory
            && a.fileFlag == b.fileFlag && a.index == b.index;
    }
    friend bool operator!=(const EntryInfo &a, const EntryInfo &b) { return !(a == b); }
};

// The names the card's entries go by: a directory after its start minute (YYYYMMDD_HHMM),
// a file after its start second (YYYYMMDD_HHMMSS), on the recorder's calendar.
QString cardDirectoryName(quint32 startTime);
QString cardFileName(quint32 startTime);

// How one export ended. Only Complete means the destination holds every sector.
struct ExportResult
{
    enum Status {
        Complete,   // every sector copied
        Incomplete, // the card ended early or sectors were unreadable; what was read is kept
        Failed,     // nothing usable was written: lookup, seek or destination failed
        Stopped,    // asked to stop; the partial file was removed
    };

    Status status = Failed;
    QString destination;        // the file written or meant to be written; may be empty
    QString message;            // why it is not complete; empty when complete
    qint64 bytesWritten = 0;
    qint64 bytesExpected = 0;
    qint64 sectorsReplaced = 0; // unreadable sectors written as zeros

    bool isComplete() const { return status == Complete; }
};

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
    // The same for a device that the caller has named already (any QFile, for instance
    // one that stands for a failing card). The reader takes it over.
    bool openDevice(std::unique_ptr<QFile> device);
    // Why the last open() failed: the system's reason, or that the device is no card.
    QString errorString() const;
    QString devicePath() const;

    // "/" lists the root; a directory name, with or without one leading "/", lists its
    // files. Empty when nothing can be read or the name names no directory.
    QList<EntryInfo> list(const QString &path);
    // The directories in table order, then the log entry; empty when the table cannot
    // be read (not even the log entry).
    QList<EntryInfo> listRoot();
    // The files of table slot `index` in record order; empty for index <= 0 or when
    // the block cannot be read.
    QList<EntryInfo> listDirectory(int index);

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
    // cut short where the card ends. Empty when the path names no file.
    QByteArray readFile(const QString &path);
    // Up to `count` sectors of the file at "/DIRECTORY/FILE" from its sector `first`, cut
    // short where the file or the card ends or a sector cannot be read. For the quick look
    // at a file's first and last records.
    QByteArray readFileSectors(const QString &path, qint64 first, qint64 count);

    // Copies the file at card path `path` ("/DIRECTORY/FILE", or "/log") sector by sector
    // into folder + "/" + FILE + ".mseed" (folder + "/log" for the log), emitting
    // progress(i, n) after sector i is written and progress(n, n) when the copy ends.
    ExportResult exportFile(const QString &path, const QString &folder);
    // Copies the 4097 sectors of the log area from byte 4194304 into folder + "/log".
    ExportResult exportLog(const QString &folder);

    // Asks a running or coming export to stop between sectors; it removes its partial
    // file and reports Stopped. The request holds until clearStopRequest() or open().
    // Safe to call from any thread.
    void requestStop();
    void clearStopRequest();

Q_SIGNALS:
    // `total` counts the sectors of the copy under way; `current` is the index of the
    // sector just written, and equals `total` only in the final emission of a copy.
    void progress(int current, int total);

private:
    bool readBlock(quint64 sector, char *block);
    qint64 readAt(qint64 offset, char *data, qint64 length);
    int findDirectoryFrom(quint32 startTime, int firstSlot);
    ExportResult copySectors(qint64 offset, qint64 sectorCount, const QString &destination);

    // One operation at a time: the device has a single file position, so each public
    // operation, and each seek of an export together with the reads that follow it,
    // holds this lock. Recursive because the listings call the lookups.
    mutable QRecursiveMutex m_lock;
    std::unique_ptr<QFile> m_device;
    qint64 m_deviceSize = -1; // -1 while unknown
    VolumeHeader m_header;
    QString m_error;
    std::atomic<bool> m_stopRequested{false};
};
