// The archive that processing software reads: one file per channel and UTC day,
// ROOT/YEAR/NET/STA/CHA.D/NET.STA.LOC.CHA.D.YEAR.DAY, miniSEED records appended byte for
// byte in the order they come, each record filed once.
#pragma once

#include "dayfilestore.h"
#include "recordrouter.h"
#include "status.h"

#include <QList>
#include <QString>
#include <QStringList>

struct MSRecord_s;

class SdsArchive
{
public:
    using Outcome = RecordRouter::Outcome;
    static constexpr Outcome Archived = RecordRouter::Archived;         // appended to its day file (or, split at midnight, to two)
    static constexpr Outcome AlreadyThere = RecordRouter::AlreadyThere; // its bytes are in its day file already; nothing written
    static constexpr Outcome NotArchived = RecordRouter::NotArchived;   // not a record, or codes that cannot name a file; errorString() says which
    static constexpr Outcome Failed = RecordRouter::Failed;             // writing failed; errorString() says why. Call rollback().
    static constexpr Outcome Refused = RecordRouter::Refused;           // its day file is not whole records and is left as it is; the others go on

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

    // Files every record under the codes `renamer` gives (a station's name in a network of
    // many cards): the record's fixed header is rewritten in a copy, its codes only. Records
    // the renamer does not map are filed as recorded and named by unmappedCodes().
    void setCodeRenamer(CodeRenamer renamer) { m_router.setCodeRenamer(std::move(renamer)); }
    // "NET.STA" of the records filed as recorded because the renamer did not map them, sorted.
    QStringList unmappedCodes() const { return m_router.unmappedCodes(); }

    // Files one miniSEED record of `length` bytes. The header is parsed with libmseed;
    // samples are decoded only for a record split at midnight. `parsed`, when the caller
    // has parsed the record already (without samples), saves parsing it again.
    Outcome addRecord(const char *raw, int length, const MSRecord_s *parsed = nullptr);

    // Makes what was added so far stand: writes it out and moves the point that
    // rollback() returns to. On failure, says why and has rolled back already.
    Status commit();
    // Takes back every record added since the last commit(): day files are cut back to
    // the length they had then, day files created since are removed. A day file that
    // another program changed meanwhile is left as it is, and the status names it.
    Status rollback();
    // commit()s and hashes every day file that records were filed into or found in, while
    // they are still locked; returns them, sorted by path. The locks stay until close()
    // or the archive goes, so that what is listed from this stays true until it is
    // written down. The archive takes no records after this. `status`, when given, says
    // why the last records could not be written or a day file could not be hashed.
    QList<SdsDayFile> finish(Status *status = nullptr);
    // finish()es, gives up every day file and its lock, and returns those that changed.
    QList<SdsDayFile> close(Status *status = nullptr);
    // "cannot append to PATH: REASON (N records left out)" for each day file that was
    // refused, sorted by path.
    QStringList refusals() const { return m_store.refusals(); }

    // Start time (UTC, hptime microseconds) of the first record filed in this run, and
    // whether there was one.
    bool hasFirstRecord() const { return m_router.hasFirstRecord(); }
    qint64 firstRecordTime() const { return m_router.firstRecordTime(); }
    // "log." + the first record's start time in UTC, "log.20230314T092549Z"; the name of
    // the card's log in ROOT/log/. Empty before the first record.
    QString logFileName() const;

    qint64 recordsArchived() const { return m_router.recordsArchived(); }
    qint64 recordsAlreadyThere() const { return m_router.recordsAlreadyThere(); }
    qint64 recordsSplit() const { return m_router.recordsSplit(); }
    int dayFilesTouched() const { return m_store.dayFilesTouched(); }

    QString errorString() const { return m_error; }

    // The day file of a channel and day, relative to the root:
    // "2023/XX/VEXA/HHZ.D/XX.VEXA..HHZ.D.2023.073".
    static QString dayFilePath(const QString &network, const QString &station, const QString &location,
                               const QString &channel, int year, int dayOfYear);

private:
    Status failed(const Status &status);

    QString m_root;
    DayFileStore m_store;
    RecordRouter m_router;
    bool m_closed = false;
    bool m_finished = false;
    QList<SdsDayFile> m_listed; // what finish() found
    Status m_finishStatus;
    QString m_error;
};
