#include "cardpicture.h"

#include <QDateTime>
#include <QMap>
#include <QSet>

#include <algorithm>

QString utcText(qint64 microseconds)
{
    const qint64 ms = microseconds >= 0 ? microseconds / 1000 : -((-microseconds + 999) / 1000);
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
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
        for (const TimeSpan &g : c.gaps) {
            QString line = QStringLiteral("%1: gap of %2 from %3").arg(channelCode(c.id), durationText(g.length()), utcText(g.start));
            if (g.unreadableSectors > 0)
                line += QStringLiteral(" (%1 unreadable)").arg(plural(g.unreadableSectors, "sector", "sectors"));
            lines << line;
        }
        for (const TimeSpan &u : c.unlocked)
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

CardPicture CardPicture::fromFiles(const QVector<const FilePicture *> &files)
{
    CardPicture card;
    QMap<QString, ChannelSpans> byId;
    bool any = false;
    for (const FilePicture *f : files) {
        if (f->records == 0)
            continue;
        card.start = any ? qMin(card.start, f->start) : f->start;
        card.end = any ? qMax(card.end, f->end) : f->end;
        any = true;
        for (const ChannelSpans &c : f->channels) {
            ChannelSpans &row = byId[c.id];
            row.id = c.id;
            row.data += c.data;
            row.gaps += c.gaps;
            row.unlocked += c.unlocked;
        }
    }
    const auto byStart = [](const TimeSpan &a, const TimeSpan &b) { return a.start < b.start; };
    for (ChannelSpans &row : byId) {
        std::sort(row.data.begin(), row.data.end(), byStart);
        std::sort(row.gaps.begin(), row.gaps.end(), byStart);
        std::sort(row.unlocked.begin(), row.unlocked.end(), byStart);
        card.channels.append(row);
    }
    return card;
}
