// The archive that processing software reads: one file per channel and UTC day,
// ROOT/YEAR/NET/STA/CHA.D/NET.STA.LOC.CHA.D.YEAR.DAY, miniSEED records appended byte for
// byte in the order they come, each record filed once.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>

struct MSRecord_s;

// A day file the archive appended to in this run.
struct SdsDayFile
{
    QString relativePath;    // below the archive root, "/"-separated
    QByteArray sha256;       // of the whole file after the run; empty when it could not be read
    qint64 recordsAdded = 0; // records appended (halves of split records count one each)
    qint64 recordsFound = 0; // records of this run that were in it already
    bool created = false;    // did not exist before this run
};

class SdsArchive
{
public:
    enum Outcome {
        Archived,     // appended to its day file (or, split at midnight, to two)
        AlreadyThere, // its bytes are in its day file already; nothing written
        NotArchived,  // not a record, or codes that cannot name a file; errorString() says which
        Failed,       // writing failed; errorString() says why. Call rollback().
        Refused,      // its day file is not whole records and is left as it is; the others go on
    };

    // An archive below `root` (created when the first record arrives). With
    // `splitMidnight`, a record whose samples run past midnight UTC is unpacked and packed
    // again as one record per day, each in its own day file; without, whole records are
    // filed by their start time.
    explicit SdsArchive(const QString &root, bool splitMidnight = false);
    // Takes back what was not committed and closes the day files, giving up their locks.
    ~SdsArchive();
    SdsArchive(const SdsArchive &) = delete;
    SdsArchive &operator=(const SdsArchive &) = delete;

    QString root() const { return m_root; }

    // The identity (device and inode) of the card or card image being read: a day file
    // that is this file is refused, whatever its path.
    void setCardIdentity(quint64 device, quint64 inode);

    // Files one miniSEED record of `length` bytes. The header is parsed with libmseed;
    // samples are decoded only for a record split at midnight. `parsed`, when the caller
    // has parsed the record already (without samples), saves parsing it again.
    Outcome addRecord(const char *raw, int length, const MSRecord_s *parsed = nullptr);

    // Makes what was added so far stand: writes it out and moves the point that
    // rollback() returns to. False when writing failed (then rolled back already).
    bool commit();
    // Takes back every record added since the last commit(): day files are cut back to
    // the length they had then, day files created since are removed. A day file that
    // another program changed meanwhile is left as it is, and errorString() names it.
    void rollback();
    // commit()s and hashes every day file that records were filed into or found in, while
    // they are still locked; returns them, sorted by path. The locks stay until close()
    // or the archive goes, so that what is listed from this stays true until it is
    // written down. The archive takes no records after this.
    QList<SdsDayFile> finish();
    // finish()es, gives up every day file and its lock, and returns those that changed.
    QList<SdsDayFile> close();
    // "cannot append to PATH: REASON (N records left out)" for each day file that was
    // refused, sorted by path.
    QStringList refusals() const;

    // Start time (UTC, hptime microseconds) of the first record filed in this run, and
    // whether there was one.
    bool hasFirstRecord() const { return m_hasFirstRecord; }
    qint64 firstRecordTime() const { return m_firstRecordTime; }
    // "log." + the first record's start time in UTC, "log.20230314T092549Z"; the name of
    // the card's log in ROOT/log/. Empty before the first record.
    QString logFileName() const;

    qint64 recordsArchived() const { return m_recordsArchived; }
    qint64 recordsAlreadyThere() const { return m_recordsAlreadyThere; }
    qint64 recordsSplit() const { return m_recordsSplit; }
    int dayFilesTouched() const;

    QString errorString() const { return m_error; }

    // The day file of a channel and day, relative to the root:
    // "2023/XX/VEXA/HHZ.D/XX.VEXA..HHZ.D.2023.073".
    static QString dayFilePath(const QString &network, const QString &station, const QString &location,
                               const QString &channel, int year, int dayOfYear);

private:
    struct DayFile;
    struct Piece;

    DayFile *dayFile(const QString &relativePath);
    DayFile *dayFileOf(const MSRecord_s *msr, std::int64_t time); // time: hptime
    bool openFile(DayFile *file);
    bool resumeFile(DayFile *file);
    bool indexExisting(DayFile *file);
    bool writeMarker(DayFile *file);
    qint64 sizeOnDisk(DayFile *file);
    bool cutBack(DayFile *file, qint64 length);
    void removeCreated(DayFile *file);
    void setAside(DayFile *file);
    void release(DayFile *file);
    Outcome append(DayFile *file, const char *raw, int length);
    bool flush(DayFile *file);
    Outcome fileWhole(const char *raw, int length, const MSRecord_s *msr);
    Outcome fileSplit(const char *raw, int length);

    QString m_root;
    bool m_splitMidnight;
    quint64 m_cardDevice = 0;
    quint64 m_cardInode = 0;
    bool m_hasCardIdentity = false;
    QHash<QString, std::shared_ptr<DayFile>> m_files;
    struct Route
    {
        std::int64_t day = 0; // hptime of the day's start
        char network[11] = {};
        char station[11] = {};
        char location[11] = {};
        char channel[11] = {};
        DayFile *file = nullptr;
    };
    static constexpr int RouteCount = 16;
    Route m_routes[RouteCount];
    int m_nextRoute = 0;
    MSRecord_s *m_parsed = nullptr; // reused for every record parsed here
    QByteArray m_scratch;
    int m_openFiles = 0;
    quint64 m_useClock = 0;
    bool m_hasFirstRecord = false;
    qint64 m_firstRecordTime = 0;
    qint64 m_recordsArchived = 0;
    qint64 m_recordsAlreadyThere = 0;
    qint64 m_recordsSplit = 0;
    bool m_closed = false;
    bool m_finished = false;
    QList<SdsDayFile> m_listed; // what finish() found
    bool m_committedFirstRecord = false;
    qint64 m_committedCounts[3] = {0, 0, 0}; // archived, already there, split
    QString m_error;
};
