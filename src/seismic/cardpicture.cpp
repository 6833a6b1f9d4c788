#include "cardpicture.h"

#include "recordcheck.h"

#include <QSet>

#include <algorithm>
#include <cstdio>

QString utcText(qint64 microseconds)
{
    // Proleptic Gregorian calendar from days since 1970 (the usual era arithmetic): a card
    // fills tens of thousands of these, faster than through QDateTime.
    qint64 seconds = microseconds / MicrosecondsPerSecond - (microseconds % MicrosecondsPerSecond < 0 ? 1 : 0);
    qint64 days = seconds / 86400 - (seconds % 86400 < 0 ? 1 : 0);
    const qint64 ofDay = seconds - days * 86400;
    days += 719468;
    const qint64 era = (days >= 0 ? days : days - 146096) / 146097;
    const qint64 dayOfEra = days - era * 146097;
    const qint64 yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const qint64 dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const qint64 mp = (5 * dayOfYear + 2) / 153;
    const qint64 day = dayOfYear - (153 * mp + 2) / 5 + 1;
    const qint64 month = mp < 10 ? mp + 3 : mp - 9;
    const qint64 year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    char text[96];
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lld %02lld:%02lld:%02lld", (long long)year, (long long)month,
                  (long long)day, (long long)(ofDay / 3600), (long long)(ofDay / 60 % 60), (long long)(ofDay % 60));
    return QString::fromLatin1(text);
}

QString durationText(qint64 microseconds)
{
    const double s = double(microseconds) / MicrosecondsPerSecond;
    const qint64 whole = qRound64(s);
    if (qAbs(s) < 10)
        return QStringLiteral("%1 s").arg(s, 0, 'f', 2);
    if (qAbs(s) < 60)
        return QStringLiteral("%1 s").arg(s, 0, 'f', 1);
    if (qAbs(whole) < 3600)
        return QStringLiteral("%1 min %2 s").arg(whole / 60).arg(qAbs(whole % 60));
    if (qAbs(whole) < 86400)
        return QStringLiteral("%1 h %2 min").arg(whole / 3600).arg(qAbs(whole % 3600) / 60);
    return QStringLiteral("%1 d %2 h").arg(whole / 86400).arg(qAbs(whole % 86400) / 3600);
}

namespace {

QString channelCode(const QString &id)
{
    return id.section(QLatin1Char('.'), 3);
}

QString plural(qint64 n, const char *one, const char *many)
{
    return QStringLiteral("%1 %2").arg(n).arg(QLatin1String(n == 1 ? one : many));
}

QStringList problems(qint64 gaps, bool unlocked, qint64 unreadable, bool unreadableFile)
{
    QStringList list;
    if (gaps > 0)
        list << plural(gaps, "gap", "gaps");
    if (unlocked)
        list << QStringLiteral("clock unlocked");
    if (unreadable > 0 || unreadableFile)
        list << QStringLiteral("unreadable");
    return list;
}

} // namespace

ChannelSpans channelSpans(const ChannelQuality &c, const QVector<GapQuality> &gaps, const QString &cardPath,
                          qint64 from, qint64 to)
{
    ChannelSpans spans;
    spans.id = c.id;
    spans.sampleRate = c.sampleRate;
    const qint64 period = RecordCheck::samplePeriod(c.sampleRate);
    // Segments and unlocked stretches run from first to last sample, across files.
    for (const TimeSpan &s : c.segmentSpans) {
        if (s.end >= from && s.start <= to)
            spans.data.append({qMax(s.start, from), qMin(s.end, to) + period, cardPath, 0});
    }
    for (const TimeSpan &u : c.clockUnlocked) {
        if (u.end >= from && u.start <= to)
            spans.unlocked.append({qMax(u.start, from), qMin(u.end, to) + period, cardPath, 0});
    }
    // A break between two files belongs to neither.
    for (const GapQuality &g : gaps) {
        if (g.id == c.id && !g.isOverlap() && g.after >= from && g.before <= to)
            spans.gaps.append({g.after, g.before, cardPath, g.unreadableSectors});
    }
    return spans;
}

int FilePicture::gapCount() const
{
    int n = 0;
    for (const ChannelSpans &c : channels)
        n += c.gaps.size();
    return n;
}

bool FilePicture::anyUnlocked() const
{
    return std::any_of(channels.cbegin(), channels.cend(), [](const ChannelSpans &c) { return !c.unlocked.isEmpty(); });
}

QString FilePicture::channelText() const
{
    QStringList codes;
    for (const ChannelSpans &c : channels)
        codes << channelCode(c.id);
    codes.sort();
    codes.removeDuplicates();
    return codes.join(QLatin1Char(' '));
}

QString FilePicture::verdict() const
{
    const QStringList list = problems(gapCount(), anyUnlocked(), unreadableSectors, false);
    if (!list.isEmpty())
        return list.join(QStringLiteral(", "));
    if (records == 0)
        return QStringLiteral("no records");
    return whole || full ? QStringLiteral("ok") : QStringLiteral("unchecked");
}

QString FilePicture::details() const
{
    QStringList lines;
    if (records > 0) {
        QStringList ids;
        for (const ChannelSpans &c : channels)
            ids << c.id;
        lines << ids.join(QStringLiteral(", "))
              << QStringLiteral("%1 to %2 UTC, %3 records").arg(utcText(start), utcText(end)).arg(records);
    }
    for (const ChannelSpans &c : channels) {
        for (const Stretch &g : c.gaps) {
            QString line = QStringLiteral("%1: gap of %2 from %3").arg(channelCode(c.id), durationText(g.length()), utcText(g.start));
            if (g.unreadableSectors > 0)
                line += QStringLiteral(" (%1 unreadable)").arg(plural(g.unreadableSectors, "sector", "sectors"));
            lines << line;
        }
        for (const Stretch &u : c.unlocked)
            lines << QStringLiteral("%1: clock unlocked for %2 from %3").arg(channelCode(c.id), durationText(u.length()), utcText(u.start));
    }
    if (unreadableSectors > 0)
        lines << QStringLiteral("%1 could not be read").arg(plural(unreadableSectors, "sector", "sectors"));
    if (full)
        lines << QStringLiteral("Every record checked by the download.");
    else if (!whole && records > 0)
        lines << QStringLiteral("Only the first and last records were read; a download checks every record.");
    return lines.join(QLatin1Char('\n'));
}

FolderSummary summarize(const QVector<const FilePicture *> &files)
{
    FolderSummary s;
    QStringList codes;
    qint64 gaps = 0;
    qint64 unreadable = 0;
    bool unlocked = false;
    bool allChecked = true;
    QStringList details;
    for (const FilePicture *f : files) {
        gaps += f->gapCount();
        unlocked = unlocked || f->anyUnlocked();
        unreadable += f->unreadableSectors;
        if (f->records == 0)
            continue;
        codes << f->channelText().split(QLatin1Char(' '), Qt::SkipEmptyParts);
        s.start = s.any ? qMin(s.start, f->start) : f->start;
        s.end = s.any ? qMax(s.end, f->end) : f->end;
        s.any = true;
        allChecked = allChecked && (f->whole || f->full);
        const QString v = f->verdict();
        if (v != QLatin1String("ok"))
            details << QStringLiteral("%1: %2").arg(f->cardPath.section(QLatin1Char('/'), -1), v);
    }
    codes.sort();
    codes.removeDuplicates();
    s.channels = codes.join(QLatin1Char(' '));
    const QStringList list = problems(gaps, unlocked, unreadable, false);
    if (!list.isEmpty())
        s.verdict = list.join(QStringLiteral(", "));
    else if (!s.any)
        s.verdict = files.isEmpty() ? QString() : QStringLiteral("no records");
    else
        s.verdict = allChecked ? QStringLiteral("ok") : QStringLiteral("unchecked");
    constexpr int MaxLines = 20;
    if (details.size() > MaxLines) {
        const int more = int(details.size()) - MaxLines;
        details = details.mid(0, MaxLines);
        details << QStringLiteral("… and %1 more").arg(more);
    }
    s.details = details.join(QLatin1Char('\n'));
    return s;
}

void CardPicture::add(const FilePicture &file)
{
    if (file.records == 0)
        return;
    bool first = isEmpty();
    for (const ChannelSpans &c : file.channels) {
        for (const Stretch &d : c.data) {
            start = first ? d.start : qMin(start, d.start);
            end = first ? d.end : qMax(end, d.end);
            first = false;
        }
        auto row = std::lower_bound(channels.begin(), channels.end(), c.id,
                                    [](const ChannelSpans &r, const QString &id) { return r.id < id; });
        if (row == channels.end() || row->id != c.id)
            row = channels.insert(row, ChannelSpans{c.id, {}, {}, {}});
        row->data += c.data;
        row->gaps += c.gaps;
        row->unlocked += c.unlocked;
    }
}

void CardPicture::sort()
{
    const auto byStart = [](const Stretch &a, const Stretch &b) { return a.start < b.start; };
    for (ChannelSpans &row : channels) {
        for (QVector<Stretch> *spans : {&row.data, &row.gaps, &row.unlocked}) {
            if (!std::is_sorted(spans->cbegin(), spans->cend(), byStart))
                std::sort(spans->begin(), spans->end(), byStart);
        }
    }
}

CardPicture CardPicture::fromFiles(const QVector<const FilePicture *> &files)
{
    CardPicture card;
    for (const FilePicture *f : files)
        card.add(*f);
    card.sort();
    return card;
}
