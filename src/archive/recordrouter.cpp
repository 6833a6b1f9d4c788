#include "recordrouter.h"
#include "recordcheck.h"
#include "sdsarchive.h"

#include <libmseed.h>

#include <cctype>
#include <cmath>
#include <cstring>
#include <memory>

namespace {

constexpr qint64 DayLength = qint64(86400) * HPTMODULUS;
constexpr int SmallestRecord = 128;
constexpr int LargestRecord = 1 << 20;

// A code that can name a folder: SEED codes are letters and digits; anything else (a
// slash, dots) could lead out of the archive and is refused.
bool isSafeCode(const char *code, bool mayBeEmpty)
{
    if (!*code)
        return mayBeEmpty;
    for (const char *c = code; *c; ++c) {
        if (!std::isalnum(static_cast<unsigned char>(*c)) && *c != '-' && *c != '_')
            return false;
    }
    return true;
}

struct MsrFree
{
    void operator()(MSRecord *msr) const { msr_free(&msr); }
};
using MsrPointer = std::unique_ptr<MSRecord, MsrFree>;

// Start of the UTC day that holds `time` (hptime counts no leap seconds: a day is
// always 86400 s), and that day's year and day of year.
hptime_t dayStart(hptime_t time)
{
    hptime_t day = time / DayLength;
    if (time % DayLength < 0)
        --day;
    return day * DayLength;
}

// False for a time outside the years records are accepted for, or one libmseed cannot convert.
bool yearAndDay(hptime_t time, int *year, int *dayOfYear)
{
    BTime btime;
    if (time < RecordCheck::EarliestTime || time >= RecordCheck::LatestTime || ms_hptime2btime(time, &btime) != 0)
        return false;
    *year = btime.year;
    *dayOfYear = btime.day;
    return true;
}

bool canPack(int encoding)
{
    switch (encoding) {
    case DE_INT16:
    case DE_INT32:
    case DE_FLOAT32:
    case DE_FLOAT64:
    case DE_STEIM1:
    case DE_STEIM2:
        return true;
    default:
        return false;
    }
}

void collectRecord(char *record, int length, void *into)
{
    static_cast<QList<QByteArray> *>(into)->append(QByteArray(record, length));
}

// The fixed header's code fields: offset and width, space-padded ASCII.
struct CodeField
{
    int offset;
    int width;
    QString RecordCodes::*code;
};
constexpr CodeField CodeFields[] = {
    {8, 5, &RecordCodes::station},
    {13, 2, &RecordCodes::location},
    {15, 3, &RecordCodes::channel},
    {18, 2, &RecordCodes::network},
};

} // namespace

RecordRouter::RecordRouter(DayFileStore &store, bool splitMidnight)
    : m_store(store)
    , m_splitMidnight(splitMidnight)
{
}

RecordRouter::~RecordRouter()
{
    msr_free(&m_parsed);
}

void RecordRouter::commit()
{
    m_committed = m_counts;
}

void RecordRouter::rollback()
{
    for (Route &route : m_routes)
        route.file = nullptr; // the day files they lead to may go
    m_counts = m_committed;
}

RecordRouter::Outcome RecordRouter::file(const char *raw, int length, const MSRecord *parsed, Status *status)
{
    if (length < SmallestRecord || length > LargestRecord) {
        *status = Status::refused(QStringLiteral("not a miniSEED record (%1 bytes)").arg(length));
        return NotArchived;
    }
    if (!parsed) {
        // libmseed parses from a writable buffer; the caller's bytes stay as they are.
        if (m_scratch.size() < length)
            m_scratch.resize(length);
        std::memcpy(m_scratch.data(), raw, size_t(length));
        if (msr_parse(m_scratch.data(), length, &m_parsed, length, 0, 0) != MS_NOERROR || !m_parsed) {
            *status = Status::refused(QStringLiteral("not a miniSEED record"));
            return NotArchived;
        }
        parsed = m_parsed;
    }
    const QString fault = RecordCheck::fault(parsed);
    if (!fault.isEmpty()) {
        *status = Status::refused(QStringLiteral("a bad record: %1").arg(fault));
        return NotArchived;
    }
    if (m_renamer && !rename(&raw, length, &parsed, status))
        return NotArchived;
    if (!isSafeCode(parsed->network, false) || !isSafeCode(parsed->station, false)
        || !isSafeCode(parsed->location, true) || !isSafeCode(parsed->channel, false)) {
        *status = Status::refused(QStringLiteral("a record's codes '%1.%2.%3.%4' cannot name a day file")
                                      .arg(RecordCheck::escapedCode(QString::fromLatin1(parsed->network)),
                                           RecordCheck::escapedCode(QString::fromLatin1(parsed->station)),
                                           RecordCheck::escapedCode(QString::fromLatin1(parsed->location)),
                                           RecordCheck::escapedCode(QString::fromLatin1(parsed->channel))));
        return NotArchived;
    }

    // libmseed's start time has a pending time correction applied: the day, the split and
    // the first record's time are those the samples were taken at.
    Outcome outcome = NotArchived;
    const hptime_t midnight = dayStart(parsed->starttime) + DayLength;
    const hptime_t lastSample = parsed->starttime + RecordCheck::samplesSpan(double(parsed->samplecnt - 1), parsed->samprate);
    const bool runsPastMidnight = parsed->samprate > 0 && parsed->samplecnt > 1 && lastSample >= midnight;
    // A record of our cards spans seconds: one that would need more than two pieces (a
    // rate far below any recorder's) is filed whole by its start.
    const bool twoDaysAtMost = runsPastMidnight && lastSample < midnight + DayLength;
    if (m_splitMidnight && twoDaysAtMost && canPack(parsed->encoding))
        outcome = fileSplit(raw, length, status);
    else
        outcome = fileWhole(raw, length, parsed, status);

    if ((outcome == Archived || outcome == AlreadyThere) && !m_counts.hasFirstRecord) {
        m_counts.hasFirstRecord = true;
        m_counts.firstRecordTime = parsed->starttime;
    }
    if (outcome == Archived)
        ++m_counts.archived;
    else if (outcome == AlreadyThere)
        ++m_counts.alreadyThere;
    return outcome;
}

bool RecordRouter::rename(const char **raw, int length, const MSRecord **parsed, Status *status)
{
    const MSRecord *msr = *parsed;
    const RecordCodes recorded{QString::fromLatin1(msr->network), QString::fromLatin1(msr->station),
                               QString::fromLatin1(msr->location), QString::fromLatin1(msr->channel)};
    RecordCodes codes = recorded;
    if (!m_renamer(codes, msr->starttime)) {
        ++m_unmapped[recorded.network + QLatin1Char('.') + recorded.station];
        return true;
    }
    // A copy with the fixed header's code fields rewritten; every other byte as recorded.
    m_renamed = QByteArray(*raw, length);
    for (const CodeField &field : CodeFields) {
        const QByteArray code = (codes.*field.code).toLatin1();
        if (code.size() > field.width || (codes.*field.code) != QString::fromLatin1(code)) {
            *status = Status::refused(QStringLiteral("the code '%1' a record of %2.%3 is to be filed under is longer than its header holds")
                                          .arg(RecordCheck::escapedCode(codes.*field.code), recorded.network, recorded.station));
            return false;
        }
        char *into = m_renamed.data() + field.offset;
        std::memset(into, ' ', size_t(field.width));
        std::memcpy(into, code.constData(), size_t(code.size()));
    }
    if (m_scratch.size() < length)
        m_scratch.resize(length);
    std::memcpy(m_scratch.data(), m_renamed.constData(), size_t(length));
    if (msr_parse(m_scratch.data(), length, &m_parsed, length, 0, 0) != MS_NOERROR || !m_parsed) {
        *status = Status::refused(QStringLiteral("a record of %1.%2 renamed is no miniSEED record").arg(recorded.network, recorded.station));
        return false;
    }
    *raw = m_renamed.constData();
    *parsed = m_parsed;
    return true;
}

DayFileStore::DayFile *RecordRouter::dayFileOf(const MSRecord *msr, hptime_t time, Status *status)
{
    // Records of a channel come in runs of the same day: the last few routes from
    // channel and day to day file spare building its path for every record.
    const hptime_t day = dayStart(time);
    for (const Route &route : m_routes) {
        if (route.file && route.day == day && std::strcmp(route.channel, msr->channel) == 0
            && std::strcmp(route.station, msr->station) == 0 && std::strcmp(route.network, msr->network) == 0
            && std::strcmp(route.location, msr->location) == 0)
            return m_store.use(route.file, status) ? route.file : nullptr;
    }
    int year = 0;
    int dayOfYear = 0;
    if (!yearAndDay(day, &year, &dayOfYear)) {
        *status = Status::failure(QStringLiteral("a record's day cannot name a day file"));
        return nullptr;
    }
    DayFileStore::DayFile *file = m_store.dayFile(
        SdsArchive::dayFilePath(QString::fromLatin1(msr->network), QString::fromLatin1(msr->station),
                                QString::fromLatin1(msr->location), QString::fromLatin1(msr->channel), year, dayOfYear),
        status);
    if (!file)
        return nullptr;
    Route &route = m_routes[m_nextRoute];
    m_nextRoute = (m_nextRoute + 1) % RouteCount;
    route.day = day;
    std::memcpy(route.network, msr->network, sizeof route.network);
    std::memcpy(route.station, msr->station, sizeof route.station);
    std::memcpy(route.location, msr->location, sizeof route.location);
    std::memcpy(route.channel, msr->channel, sizeof route.channel);
    route.file = file;
    return file;
}

RecordRouter::Outcome RecordRouter::append(DayFileStore::DayFile *file, const char *raw, int length, Status *status)
{
    switch (m_store.append(file, raw, length, status)) {
    case DayFileStore::Appended:
        return Archived;
    case DayFileStore::AlreadyThere:
        return AlreadyThere;
    case DayFileStore::Refused:
        return Refused;
    case DayFileStore::Failed:
        break;
    }
    return Failed;
}

RecordRouter::Outcome RecordRouter::fileWhole(const char *raw, int length, const MSRecord *msr, Status *status)
{
    DayFileStore::DayFile *file = dayFileOf(msr, msr->starttime, status);
    return file ? append(file, raw, length, status) : Failed;
}

RecordRouter::Outcome RecordRouter::fileSplit(const char *raw, int length, Status *status)
{
    QByteArray copy(raw, length);
    MSRecord *decoded = nullptr;
    const int parsed = msr_parse(copy.data(), length, &decoded, length, 1, 0);
    const MsrPointer msr(decoded);
    // Samples that cannot be decoded cannot be split: the record is filed whole. The
    // header was checked before (RecordCheck::fault): its samples fit its record.
    if (parsed != MS_NOERROR || !msr || msr->numsamples != msr->samplecnt || msr->numsamples < 2)
        return decoded ? fileWhole(raw, length, decoded, status) : NotArchived;

    const double rate = msr->samprate;
    const qint64 count = msr->numsamples;
    const int sampleSize = ms_samplesize(msr->sampletype);
    auto sampleTime = [&](qint64 index) { return msr->starttime + hptime_t(std::llround(double(index) * HPTMODULUS / rate)); };

    Outcome result = AlreadyThere;
    bool refused = false;
    int pieces = 0;
    for (qint64 first = 0; first < count;) {
        if (pieces == 2) {
            *status = Status::failure(QStringLiteral("a record split at midnight needs more than two days"));
            return Failed;
        }
        const hptime_t start = sampleTime(first);
        const hptime_t midnight = dayStart(start) + DayLength;
        // Samples before midnight: index < (midnight - start of record) * rate. The small
        // allowance keeps a sample that falls on midnight itself in the new day.
        const double beforeMidnight = double(midnight - msr->starttime) * rate / HPTMODULUS;
        const qint64 end = qBound<qint64>(first + 1, qint64(std::ceil(beforeMidnight - 1e-6)), count);
        if (first == 0 && end == count)
            return fileWhole(raw, length, msr.get(), status);

        MsrPointer piece(msr_duplicate(msr.get(), 0));
        if (!piece) {
            *status = Status::failure(ENOMEM, QStringLiteral("out of memory splitting a record at midnight"));
            return Failed;
        }
        piece->datasamples = static_cast<char *>(msr->datasamples) + first * sampleSize;
        piece->numsamples = end - first;
        piece->samplecnt = end - first;
        piece->sampletype = msr->sampletype;
        piece->starttime = start;
        piece->sequence_number = msr->sequence_number;
        // libmseed applied a pending time correction to the start it parsed, and packs
        // that start as it is: the piece's header says the correction is applied
        // (activity bit 1), so that no reader applies it a second time.
        if (piece->fsdh && piece->fsdh->time_correct != 0)
            piece->fsdh->act_flags |= 0x02;
        QList<QByteArray> packed;
        int64_t packedSamples = 0;
        const int records = msr_pack(piece.get(), collectRecord, &packed, &packedSamples, 1, 0);
        piece->datasamples = nullptr; // the samples belong to msr
        if (records <= 0 || packedSamples != end - first) {
            *status = Status::failure(QStringLiteral("cannot pack the day's part of a record of %1.%2 split at midnight")
                                          .arg(QString::fromLatin1(msr->station), QString::fromLatin1(msr->channel)));
            return Failed;
        }
        DayFileStore::DayFile *file = dayFileOf(msr.get(), start, status);
        if (!file)
            return Failed;
        for (const QByteArray &record : std::as_const(packed)) {
            const Outcome outcome = append(file, record.constData(), int(record.size()), status);
            if (outcome == Failed)
                return Failed;
            if (outcome == Archived)
                result = Archived;
            refused = refused || outcome == Refused;
        }
        ++pieces;
        first = end;
    }
    if (pieces > 1)
        ++m_counts.split;
    return refused && result != Archived ? Refused : result;
}
