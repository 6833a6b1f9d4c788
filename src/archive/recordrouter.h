// Which day file a record goes to: its codes (renamed when the archive is given a
// renamer), its day by its start time with any pending time correction applied, and, with
// the midnight split, one piece per day of a record whose samples run past midnight.
#pragma once

#include "dayfilestore.h"
#include "status.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>

struct MSRecord_s;

// The codes a record is filed under, as they stand in its fixed header (no padding).
struct RecordCodes
{
    QString network;  // up to 2 characters
    QString station;  // up to 5
    QString location; // up to 2; empty for none
    QString channel;  // 3
};

// Asked for every record before it is filed, with the record's own codes and its start
// time (UTC, hptime microseconds, time correction applied): true with the codes to file it
// under, false for "not mapped, file it as recorded".
using CodeRenamer = std::function<bool(RecordCodes &codes, qint64 startTime)>;

class RecordRouter
{
public:
    enum Outcome {
        Archived,     // appended to its day file (or, split at midnight, to two)
        AlreadyThere, // its bytes are in its day file already; nothing written
        NotArchived,  // not a record, or codes that cannot name a file
        Failed,       // writing failed. Roll back.
        Refused,      // its day file is not whole records and is left as it is; the others go on
    };

    RecordRouter(DayFileStore &store, bool splitMidnight);
    ~RecordRouter();
    RecordRouter(const RecordRouter &) = delete;
    RecordRouter &operator=(const RecordRouter &) = delete;

    void setCodeRenamer(CodeRenamer renamer) { m_renamer = std::move(renamer); }

    // Files one record; `parsed` is its header as libmseed parsed it, or null. *status
    // says why a record was not archived.
    Outcome file(const char *raw, int length, const MSRecord_s *parsed, Status *status);

    // The counts and the first record stand (commit) or go back to the last commit (rollback);
    // routes to day files are forgotten on a rollback, for the store may drop those files.
    void commit();
    void rollback();

    bool hasFirstRecord() const { return m_counts.hasFirstRecord; }
    qint64 firstRecordTime() const { return m_counts.firstRecordTime; }
    qint64 recordsArchived() const { return m_counts.archived; }
    qint64 recordsAlreadyThere() const { return m_counts.alreadyThere; }
    qint64 recordsSplit() const { return m_counts.split; }
    // "NET.STA" of the records the renamer did not map, sorted.
    QStringList unmappedCodes() const { return m_unmapped.keys(); }

private:
    struct Route
    {
        std::int64_t day = 0; // hptime of the day's start
        char network[11] = {};
        char station[11] = {};
        char location[11] = {};
        char channel[11] = {};
        DayFileStore::DayFile *file = nullptr;
    };
    struct Counts
    {
        bool hasFirstRecord = false;
        qint64 firstRecordTime = 0;
        qint64 archived = 0;
        qint64 alreadyThere = 0;
        qint64 split = 0;
    };

    bool rename(const char **raw, int length, const MSRecord_s **parsed, Status *status);
    DayFileStore::DayFile *dayFileOf(const MSRecord_s *msr, std::int64_t time, Status *status);
    Outcome append(DayFileStore::DayFile *file, const char *raw, int length, Status *status);
    Outcome fileWhole(const char *raw, int length, const MSRecord_s *msr, Status *status);
    Outcome fileSplit(const char *raw, int length, Status *status);

    DayFileStore &m_store;
    bool m_splitMidnight;
    CodeRenamer m_renamer;
    static constexpr int RouteCount = 16;
    Route m_routes[RouteCount];
    int m_nextRoute = 0;
    MSRecord_s *m_parsed = nullptr; // reused for every record parsed here
    QByteArray m_scratch;
    QByteArray m_renamed;
    Counts m_counts;
    Counts m_committed;
    QMap<QString, qint64> m_unmapped;
};
