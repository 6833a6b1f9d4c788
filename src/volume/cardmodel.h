// What the card holds: its directory table, the directories' blocks and the files'
// records, as entries that keep their table slot, record slot and record. Names are
// made from records; a name is parsed only where a person types a card path.
#pragma once

#include "cardformat.h"
#include "copysink.h"
#include "status.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

class CardDevice;

// One listed entry: a recording directory, a file, or the log.
struct EntryInfo
{
    QString name;             // directory YYYYMMDD_HHMM, file YYYYMMDD_HHMMSS, or "log"
    qint64 size = 0;          // listed bytes: 0 for a directory, 2097152 for the log
    bool isDirectory = false;
    bool fileFlag = false;    // bit 0 of the record's flags, carried along
    int index = 0;            // table slot of the directory (1..255); 0 for the log
    int recordSlot = -1;      // a file's slot in its directory block (0..127); -1 otherwise
    FileRecord record;        // a file's record as listed
    QString problem;          // a directory whose block cannot be read: why; empty otherwise

    bool isFile() const { return recordSlot >= 0; }
    bool isLog() const { return !isDirectory && recordSlot < 0 && index == 0; }

    friend bool operator==(const EntryInfo &a, const EntryInfo &b)
    {
        return a.name == b.name && a.size == b.size && a.isDirectory == b.isDirectory
            && a.fileFlag == b.fileFlag && a.index == b.index && a.problem == b.problem;
    }
    friend bool operator!=(const EntryInfo &a, const EntryInfo &b) { return !(a == b); }
};

// The names the card's entries go by: a directory after its start minute (YYYYMMDD_HHMM),
// a file after its start second (YYYYMMDD_HHMMSS), on the recorder's calendar.
QString cardDirectoryName(quint32 startTime);
QString cardFileName(quint32 startTime);
// The same minute for people, "2023-03-14 09:26": the window's spans of a card.
QString cardMinuteText(quint32 time);

// Typed names, strictly: exactly YYYYMMDD_HHMM (a directory) or YYYYMMDD_HHMMSS (a file),
// digits only, a date that exists on the recorder's calendar, nothing before or after.
// Anything else names nothing (false). The result is the GPS second the name stands for.
bool parseDirectoryName(const QString &name, quint32 *minuteStart);
bool parseFileName(const QString &name, quint32 *startTime);

// The card's structure over its device. Blocks are read once per model and kept, so
// that a failing block costs one read however often it is listed. Not thread-safe;
// Filesystem serialises its use.
class CardModel
{
public:
    explicit CardModel(CardDevice &device);

    // Reads the volume header; a failure saying why when the device holds no card volume.
    Status readHeader();

    // The directories in table order, then the log entry. An unreadable table gives an
    // empty list and a problem; a directory whose block cannot be read is listed with
    // its `problem` set (and the same text in *problems).
    QList<EntryInfo> root(QStringList *problems = nullptr);
    // The files of table slot `slot` in record order; empty, with *problem set, when the
    // block cannot be read; empty for a slot outside 1..255.
    QList<EntryInfo> directory(int slot, QString *problem = nullptr);

    // Lowest table slot from `firstSlot` on whose start time lies in the 62 seconds from
    // `minuteStart`; -1 when none does or the table cannot be read.
    int findDirectory(quint32 minuteStart, int firstSlot = Card::FirstDirectorySlot);
    // Record slot of the occupied record of directory `slot` that began at `startTime`,
    // copied into *record; -1 when there is none.
    int findRecord(int slot, quint32 startTime, FileRecord *record);
    // The entry a typed card path names, "/DIRECTORY/FILE" or "/log"; nothing when it
    // names none. Every lookup of a path goes through here. Two directories of one minute
    // share a name: both are looked through, lowest slot first.
    std::optional<EntryInfo> resolve(const QString &cardPath);

    // What copying a file entry, or the log entry, reads; named from the record.
    CopySource source(const EntryInfo &entry);

private:
    // The block at `sector`; a failure whose message is the bare reason otherwise.
    Status block(quint64 sector, const char **data);
    QString directoryProblem(int slot, quint32 startTime, const QString &why) const;

    CardDevice &m_device;
    VolumeHeader m_header;
    QHash<quint64, QByteArray> m_blocks;
    QHash<quint64, Status> m_failures;
};
