#include "qualityreport.h"
#include "platform.h"
#include "recordcheck.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTimeZone>

#include <cmath>

namespace {

QJsonValue timeOrNull(bool present, qint64 microseconds)
{
    return present ? QJsonValue(utcTimeText(microseconds)) : QJsonValue(QJsonValue::Null);
}

QString padded(const QString &text, int width)
{
    return text.leftJustified(width);
}

// A figure for people; one that is not a number at all (it cannot come from checked
// records, but a report never says "nan") shows as a dash.
QString number(double value, int decimals)
{
    return std::isfinite(value) ? QString::number(value, 'f', decimals) : QStringLiteral("-");
}

// Codes come from checked records; escaped all the same, so that no byte of a card can
// start a line of its own or drive the terminal.
QString shown(const QString &id)
{
    return RecordCheck::escapedCode(id);
}

} // namespace

bool QualityReport::allComplete() const
{
    for (const FileQuality &file : files) {
        if (!file.complete)
            return false;
    }
    return true;
}

QString utcTimeText(qint64 microseconds)
{
    // Floor division, so that times before 1970 keep a positive fraction.
    qint64 seconds = microseconds / 1000000;
    qint64 fraction = microseconds % 1000000;
    if (fraction < 0) {
        fraction += 1000000;
        --seconds;
    }
    const QDateTime time = QDateTime::fromSecsSinceEpoch(seconds, QTimeZone::utc());
    return time.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")) + QStringLiteral(".%1Z").arg(fraction, 6, 10, QLatin1Char('0'));
}

namespace {

QJsonArray badRecordsJson(const QVector<BadRecord> &records)
{
    QJsonArray array;
    for (const BadRecord &record : records)
        array.append(QJsonObject{{QStringLiteral("sector"), qint64(record.sector)}, {QStringLiteral("reason"), record.reason}});
    return array;
}

QJsonObject fileJson(const FileQuality &file)
{
    return QJsonObject{
        {QStringLiteral("path"), file.path},
        {QStringLiteral("records"), file.records},
        {QStringLiteral("otherSectors"), file.otherSectors},
        {QStringLiteral("unreadableSectors"), file.unreadableSectors},
        {QStringLiteral("channels"), QJsonArray::fromStringList(file.channels)},
        {QStringLiteral("start"), timeOrNull(file.hasRecords, file.start)},
        {QStringLiteral("end"), timeOrNull(file.hasRecords, file.end)},
        {QStringLiteral("badRecords"), file.badRecords},
        {QStringLiteral("badRecordList"), badRecordsJson(file.badRecordList)},
    };
}

QJsonArray countsJson(const std::array<qint64, 8> &counts)
{
    QJsonArray array;
    for (qint64 n : counts)
        array.append(n);
    return array;
}

QJsonObject channelJson(const ChannelQuality &c)
{
    QJsonValue timing(QJsonValue::Null);
    if (c.hasTimingQuality)
        timing = QJsonObject{{QStringLiteral("min"), c.timing.min},   {QStringLiteral("q1"), c.timing.q1},
                             {QStringLiteral("median"), c.timing.median}, {QStringLiteral("mean"), c.timing.mean},
                             {QStringLiteral("q3"), c.timing.q3},     {QStringLiteral("max"), c.timing.max}};
    const auto percentOrNull = [](bool used, double percent) { return used ? QJsonValue(percent) : QJsonValue(QJsonValue::Null); };
    const QJsonObject flags{{QStringLiteral("activity"), countsJson(c.flagCounts[0])},
                            {QStringLiteral("io"), countsJson(c.flagCounts[1])},
                            {QStringLiteral("quality"), countsJson(c.flagCounts[2])}};
    return QJsonObject{
        {QStringLiteral("id"), c.id},
        {QStringLiteral("network"), c.network},
        {QStringLiteral("station"), c.station},
        {QStringLiteral("location"), c.location},
        {QStringLiteral("channel"), c.channel},
        {QStringLiteral("sampleRate"), c.sampleRate},
        {QStringLiteral("start"), utcTimeText(c.start)},
        {QStringLiteral("end"), utcTimeText(c.end)},
        {QStringLiteral("samples"), c.samples},
        {QStringLiteral("records"), c.records},
        {QStringLiteral("duplicates"), c.duplicates},
        {QStringLiteral("segments"), c.segments},
        {QStringLiteral("gaps"), c.gaps},
        {QStringLiteral("overlaps"), c.overlaps},
        {QStringLiteral("largestGap"), c.largestGap},
        {QStringLiteral("availability"), c.availability},
        {QStringLiteral("timingQuality"), timing},
        {QStringLiteral("flagCounts"), flags},
        {QStringLiteral("clockLocked"), percentOrNull(c.clockLockUsed, c.clockLocked)},
        {QStringLiteral("questionableTime"), percentOrNull(c.questionableTimeUsed, c.questionableTime)},
        {QStringLiteral("decodeFailures"), c.decodeFailures},
        {QStringLiteral("sequenceBreaks"), c.sequenceBreaks},
    };
}

QJsonObject gapJson(const GapQuality &gap)
{
    return QJsonObject{
        {QStringLiteral("id"), gap.id},
        {QStringLiteral("after"), utcTimeText(gap.after)},
        {QStringLiteral("before"), utcTimeText(gap.before)},
        {QStringLiteral("seconds"), gap.seconds},
        {QStringLiteral("unreadableSectors"), gap.unreadableSectors},
    };
}

template <typename Item>
QJsonArray jsonArray(const QList<Item> &items, QJsonObject (*toJson)(const Item &))
{
    QJsonArray array;
    for (const Item &item : items)
        array.append(toJson(item));
    return array;
}

// One key's array as text, an element a line. Each element goes through a document of
// its own: a full card's report as one document would take ten times its text in memory.
template <typename Item>
void appendJsonArray(QByteArray &out, const char *key, const QList<Item> &items, QJsonObject (*toJson)(const Item &))
{
    out += "  \"";
    out += key;
    out += "\": [";
    for (qsizetype i = 0; i < items.size(); ++i) {
        out += i == 0 ? "\n    " : ",\n    ";
        out += QJsonDocument(toJson(items.at(i))).toJson(QJsonDocument::Compact);
    }
    out += items.isEmpty() ? "]" : "\n  ]";
}

// A JSON string as QJsonDocument writes it. Card paths, ids and reasons are plain
// printable ASCII almost always and go out as they are; anything else (a quote, a
// backslash, a control or non-ASCII character) takes the document's own escaping, so
// that the text never depends on which way a string went.
void appendJsonString(QByteArray &out, const QString &text)
{
    bool plain = true;
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u < 0x20 || u >= 0x7f || u == u'"' || u == u'\\') {
            plain = false;
            break;
        }
    }
    if (plain) {
        out += '"';
        out += text.toLatin1();
        out += '"';
        return;
    }
    const QByteArray quoted = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    out.append(quoted.constData() + 1, quoted.size() - 2); // without the brackets
}

void appendTimeOrNull(QByteArray &out, bool present, qint64 microseconds)
{
    if (present)
        appendJsonString(out, utcTimeText(microseconds));
    else
        out += "null";
}

// fileJson() as compact text, keys in the document's (sorted) order. A full card has tens
// of thousands of files: one object each, built and serialised, cost more than the rest
// of the report.
void appendFileJson(QByteArray &out, const FileQuality &file)
{
    out += "{\"badRecordList\":[";
    for (qsizetype i = 0; i < file.badRecordList.size(); ++i) {
        const BadRecord &record = file.badRecordList.at(i);
        out += i == 0 ? "{\"reason\":" : ",{\"reason\":";
        appendJsonString(out, record.reason);
        out += ",\"sector\":";
        out += QByteArray::number(qint64(record.sector));
        out += '}';
    }
    out += "],\"badRecords\":";
    out += QByteArray::number(file.badRecords);
    out += ",\"channels\":[";
    for (qsizetype i = 0; i < file.channels.size(); ++i) {
        if (i > 0)
            out += ',';
        appendJsonString(out, file.channels.at(i));
    }
    out += "],\"end\":";
    appendTimeOrNull(out, file.hasRecords, file.end);
    out += ",\"otherSectors\":";
    out += QByteArray::number(file.otherSectors);
    out += ",\"path\":";
    appendJsonString(out, file.path);
    out += ",\"records\":";
    out += QByteArray::number(file.records);
    out += ",\"start\":";
    appendTimeOrNull(out, file.hasRecords, file.start);
    out += ",\"unreadableSectors\":";
    out += QByteArray::number(file.unreadableSectors);
    out += '}';
}

void appendFilesJson(QByteArray &out, const QVector<FileQuality> &files)
{
    out += "  \"files\": [";
    for (qsizetype i = 0; i < files.size(); ++i) {
        out += i == 0 ? "\n    " : ",\n    ";
        appendFileJson(out, files.at(i));
    }
    out += files.isEmpty() ? "]" : "\n  ]";
}

} // namespace

QJsonObject qualityJson(const QualityReport &report)
{
    return QJsonObject{{QStringLiteral("files"), jsonArray(report.files, fileJson)},
                       {QStringLiteral("channels"), jsonArray(report.channels, channelJson)},
                       {QStringLiteral("gaps"), jsonArray(report.gaps, gapJson)}};
}

QByteArray qualityJsonText(const QualityReport &report)
{
    QByteArray out = "{\n";
    // A file's line is some 230 bytes; reserved once, not grown file by file.
    out.reserve(256 * (report.files.size() + report.channels.size() + report.gaps.size()) + 64);
    appendFilesJson(out, report.files);
    out += ",\n";
    appendJsonArray(out, "channels", report.channels, channelJson);
    out += ",\n";
    appendJsonArray(out, "gaps", report.gaps, gapJson);
    out += "\n}\n";
    return out;
}

QString qualityText(const QualityReport &report, bool withGaps)
{
    // A flag no record of the channel ever set says nothing, neither yes nor no.
    const QString NotUsed = QStringLiteral("\u2014");
    int idWidth = 16;
    for (const ChannelQuality &c : report.channels)
        idWidth = qMax(idWidth, int(shown(c.id).size()) + 2);

    QString text = padded(QStringLiteral("Source"), idWidth)
        + QStringLiteral("Start sample                 End sample                       Hz    Samples  Segs  Gaps  Ovls  Dups  Avail%  Timing q min/med/max  Locked%  QTime%  Bad  SeqBrk\n");
    qint64 records = 0;
    for (const ChannelQuality &c : report.channels) {
        records += c.records;
        const QString timing = c.hasTimingQuality
            ? QStringLiteral("%1/%2/%3").arg(c.timing.min).arg(c.timing.median, 0, 'g', 4).arg(c.timing.max)
            : QStringLiteral("-");
        text += padded(shown(c.id), idWidth) + padded(utcTimeText(c.start), 29) + padded(utcTimeText(c.end), 29)
            + QStringLiteral("%1 %2 %3 %4 %5 %6 %7  %8 %9 %10 %11 %12\n")
                  .arg(std::isfinite(c.sampleRate) ? QString::number(c.sampleRate, 'g', 6) : QStringLiteral("-"), 6)
                  .arg(c.samples, 10)
                  .arg(c.segments, 5)
                  .arg(c.gaps, 5)
                  .arg(c.overlaps, 5)
                  .arg(c.duplicates, 5)
                  .arg(number(c.availability, 2), 7)
                  .arg(timing, -20)
                  .arg(c.clockLockUsed ? number(c.clockLocked, 1) : NotUsed, 8)
                  .arg(c.questionableTimeUsed ? number(c.questionableTime, 1) : NotUsed, 7)
                  .arg(c.decodeFailures, 4)
                  .arg(c.sequenceBreaks, 7);
    }
    qint64 other = 0;
    qint64 unreadable = 0;
    for (const FileQuality &file : report.files) {
        other += file.otherSectors;
        unreadable += file.unreadableSectors;
    }
    text += QStringLiteral("Total: %1 channel(s), %2 file(s), %3 record(s), %4 other sector(s), %5 unreadable sector(s)\n")
                .arg(report.channels.size()).arg(report.files.size()).arg(records).arg(other).arg(unreadable);
    for (const FileQuality &file : report.files) {
        if (file.unreadableSectors > 0 || !file.complete)
            text += QStringLiteral("%1: %2%3\n").arg(file.path, file.complete ? QString() : QStringLiteral("not read whole, "))
                        .arg(QStringLiteral("%1 unreadable sector(s)").arg(file.unreadableSectors));
    }
    for (const FileQuality &file : report.files) {
        for (const BadRecord &bad : file.badRecordList)
            text += QStringLiteral("%1: bad record at card sector %2, not decoded: %3\n").arg(file.path).arg(bad.sector).arg(bad.reason);
        if (file.badRecords > file.badRecordList.size())
            text += QStringLiteral("%1: %2 more bad record(s)\n").arg(file.path).arg(file.badRecords - file.badRecordList.size());
    }
    for (const ChannelQuality &c : report.channels) {
        for (const TimeSpan &span : c.clockUnlocked)
            text += padded(shown(c.id), idWidth) + QStringLiteral("clock unlocked %1 to %2 (%3 s)\n")
                        .arg(utcTimeText(span.start), utcTimeText(span.end), number((double(span.end) - double(span.start)) / 1e6, 2));
    }
    if (!withGaps)
        return text;

    text += QLatin1Char('\n') + padded(QStringLiteral("Source"), idWidth)
        + QStringLiteral("Last sample                  Next sample                        Gap  Unreadable\n");
    int gaps = 0;
    int overlaps = 0;
    for (const GapQuality &gap : report.gaps) {
        (gap.isOverlap() ? overlaps : gaps) += 1;
        text += padded(shown(gap.id), idWidth) + padded(utcTimeText(gap.after), 29) + padded(utcTimeText(gap.before), 29)
            + QStringLiteral("%1  %2\n").arg(number(gap.seconds, 6), 12).arg(gap.unreadableSectors, 10);
    }
    text += QStringLiteral("Total: %1 gap(s), %2 overlap(s)\n").arg(gaps).arg(overlaps);
    return text;
}

Status writeQualityFiles(const QualityReport &report, const QString &folder)
{
    const QList<QPair<QString, QByteArray>> files{
        {QStringLiteral("quality.json"), qualityJsonText(report)},
        {QStringLiteral("quality.txt"), qualityText(report, true).toUtf8()},
    };
    // Both names are looked at before either is written: a link or a FIFO at one of them
    // leaves both reports as they were.
    for (const auto &file : files) {
        if (const Status existing = checkRegularFile(folder + QLatin1Char('/') + file.first, false, true); !existing)
            return existing;
    }
    Status status;
    const FolderHandle handle = openFolderBelow(folder, QString(), CreateFolders::No, &status);
    for (const auto &file : files) {
        if (status)
            status = writeFileWhole(handle, file.first, file.second);
    }
    return status;
}
