#include "campaign.h"

#include <QDateTime>
#include <QJsonArray>
#include <QMap>

#include <algorithm>
#include <cmath>

QString isoMicroseconds(qint64 microseconds)
{
    const qint64 seconds = microseconds >= 0 ? microseconds / MicrosecondsPerSecond
                                             : -((-microseconds + MicrosecondsPerSecond - 1) / MicrosecondsPerSecond);
    const qint64 fraction = microseconds - seconds * MicrosecondsPerSecond;
    return QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC).toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss"))
        + QStringLiteral(".%1Z").arg(fraction, 6, 10, QLatin1Char('0'));
}

QVector<LedgerSpan> unionOfSpans(const QVector<LedgerSpan> &segments, qint64 tolerance)
{
    QVector<LedgerSpan> merged;
    for (const LedgerSpan &s : segments) {
        if (!merged.isEmpty() && s.first <= merged.last().second + tolerance)
            merged.last().second = qMax(merged.last().second, s.second);
        else
            merged.append(s);
    }
    return merged;
}

namespace {

// "XX.VEXA..HHZ" -> "XX.VEXA"
QString stationOf(const QString &channel)
{
    return channel.section(QLatin1Char('.'), 0, 1);
}

qint64 covered(const QVector<LedgerSpan> &spans, qint64 from, qint64 to)
{
    qint64 total = 0;
    for (const LedgerSpan &s : spans)
        total += qMax<qint64>(0, qMin(s.second, to) - qMax(s.first, from));
    return total;
}

} // namespace

Status readCampaign(Ledger &ledger, CampaignReport *report)
{
    *report = CampaignReport();
    QVector<Ledger::StationRow> stationRows;
    QVector<Ledger::ChannelRow> channelRows;
    QHash<QString, QVector<LedgerSpan>> segments;
    Status status = ledger.stations(&stationRows);
    if (status)
        status = ledger.channels(&channelRows);
    if (status)
        status = ledger.segments(&segments);
    if (status)
        status = ledger.unmapped(&report->unmapped);
    if (status)
        status = ledger.cards(&report->cards);
    if (!status)
        return status;

    // Channels: the epochs of one id (by sample rate) become one row.
    QMap<QString, CampaignChannel> channels;
    for (const Ledger::ChannelRow &row : channelRows) {
        auto it = channels.find(row.id);
        if (it == channels.end()) {
            it = channels.insert(row.id, CampaignChannel());
            it->id = row.id;
            it->first = row.first;
            it->last = row.last;
        }
        if (row.last >= it->last || it->sampleRate == 0)
            it->sampleRate = row.sampleRate;
        it->first = qMin(it->first, row.first);
        it->last = qMax(it->last, row.last);
        it->samples += row.samples;
        it->records += row.records;
    }
    bool any = false;
    for (CampaignChannel &c : channels) {
        // A segment's last sample covers one sample period; the next segment is due a
        // period after it, and half a period of clock jitter still meets it.
        const qint64 period = c.sampleRate > 0 ? qint64(std::llround(1e6 / c.sampleRate)) : 0;
        QVector<LedgerSpan> covering = segments.value(c.id);
        for (LedgerSpan &s : covering)
            s.second += period;
        c.data = unionOfSpans(covering, period / 2);
        for (int i = 1; i < c.data.size(); ++i)
            c.gaps.append(LedgerSpan(c.data[i - 1].second, c.data[i].first));
        if (c.data.isEmpty())
            continue;
        report->start = any ? qMin(report->start, c.data.first().first) : c.data.first().first;
        report->end = any ? qMax(report->end, c.data.last().second) : c.data.last().second;
        any = true;
    }
    const qint64 span = report->end - report->start;
    for (CampaignChannel &c : channels)
        c.availabilityPercent = span > 0 ? 100.0 * double(covered(c.data, report->start, report->end)) / double(span) : 0;

    QMap<QString, CampaignStation> stations;
    for (const Ledger::StationRow &row : stationRows) {
        CampaignStation &s = stations[row.station];
        s.station = row.station;
        s.cards = row.cards;
        s.files = row.files;
        s.first = row.first;
        s.last = row.last;
        s.lastHarvest = row.lastHarvest;
    }
    for (const CampaignChannel &c : channels) {
        CampaignStation &s = stations[stationOf(c.id)];
        if (s.station.isEmpty())
            s.station = stationOf(c.id);
        if (s.channels.isEmpty() || c.first < s.first)
            s.first = c.first;
        if (s.channels.isEmpty() || c.last > s.last)
            s.last = c.last;
        s.channels.append(c);
        s.gaps += int(c.gaps.size());
    }
    for (CampaignStation &s : stations) {
        double sum = 0;
        for (const CampaignChannel &c : s.channels)
            sum += c.availabilityPercent;
        s.availabilityPercent = s.channels.isEmpty() ? 0 : sum / double(s.channels.size());
        report->stations.append(s);
    }
    return Status();
}

namespace {

QJsonValue timeJson(qint64 microseconds, bool known)
{
    return known ? QJsonValue(isoMicroseconds(microseconds)) : QJsonValue();
}

double rounded(double percent)
{
    return std::round(percent * 1000) / 1000;
}

} // namespace

QJsonObject campaignJson(const CampaignReport &report)
{
    QJsonArray stations;
    for (const CampaignStation &s : report.stations) {
        QJsonArray channels;
        for (const CampaignChannel &c : s.channels) {
            channels.append(QJsonObject{
                {QStringLiteral("channel"), c.id},
                {QStringLiteral("sample_rate"), c.sampleRate},
                {QStringLiteral("first"), isoMicroseconds(c.first)},
                {QStringLiteral("last"), isoMicroseconds(c.last)},
                {QStringLiteral("samples"), c.samples},
                {QStringLiteral("availability_percent"), rounded(c.availabilityPercent)},
                {QStringLiteral("gaps"), int(c.gaps.size())},
            });
        }
        const bool known = s.files > 0 || !s.channels.isEmpty();
        stations.append(QJsonObject{
            {QStringLiteral("station"), s.station},
            {QStringLiteral("cards"), s.cards},
            {QStringLiteral("files"), s.files},
            {QStringLiteral("first"), timeJson(s.first, known)},
            {QStringLiteral("last"), timeJson(s.last, known)},
            {QStringLiteral("availability_percent"), rounded(s.availabilityPercent)},
            {QStringLiteral("gaps"), s.gaps},
            {QStringLiteral("last_harvest"), s.lastHarvest.isEmpty() ? QJsonValue() : QJsonValue(s.lastHarvest)},
            {QStringLiteral("channels"), channels},
        });
    }
    QJsonArray unmapped;
    for (const Ledger::UnmappedRow &u : report.unmapped)
        unmapped.append(QJsonObject{{QStringLiteral("code"), u.code}, {QStringLiteral("cards"), QJsonArray::fromStringList(u.cards)}});
    QJsonArray cards;
    for (const Ledger::CardRow &c : report.cards) {
        cards.append(QJsonObject{
            {QStringLiteral("card"), c.cardKey},
            {QStringLiteral("recorded"), c.recorded},
            {QStringLiteral("station"), c.station},
            {QStringLiteral("first_harvest"), c.firstHarvest},
            {QStringLiteral("last_harvest"), c.lastHarvest},
            {QStringLiteral("harvests"), c.harvests},
            {QStringLiteral("files"), c.files},
        });
    }
    const bool any = report.end > report.start;
    return QJsonObject{
        {QStringLiteral("start"), timeJson(report.start, any)},
        {QStringLiteral("end"), timeJson(report.end, any)},
        {QStringLiteral("stations"), stations},
        {QStringLiteral("unmapped"), unmapped},
        {QStringLiteral("cards"), cards},
    };
}

namespace {

// "1 card", "3 cards".
QString counted(qint64 count, const char *noun)
{
    return QStringLiteral("%1 %2%3").arg(count).arg(QLatin1String(noun)).arg(count == 1 ? QString() : QStringLiteral("s"));
}

} // namespace

QString campaignText(const CampaignReport &report)
{
    QString text;
    if (report.end > report.start)
        text += QStringLiteral("Campaign from %1 to %2 UTC (%3): %4, %5\n")
                    .arg(utcText(report.start), utcText(report.end), durationText(report.end - report.start))
                    .arg(counted(report.stations.size(), "station"), counted(report.cards.size(), "card"));
    else
        text += QStringLiteral("No data harvested yet: %1\n").arg(counted(report.cards.size(), "card"));
    for (const CampaignStation &s : report.stations) {
        text += QStringLiteral("%1\t%2\t%3\t%4 to %5\t%6% available\t%7\tlast harvest %8\n")
                    .arg(s.station, counted(s.cards, "card"), counted(s.files, "file"))
                    .arg(utcText(s.first), utcText(s.last))
                    .arg(s.availabilityPercent, 0, 'f', 1)
                    .arg(counted(s.gaps, "gap"))
                    .arg(s.lastHarvest.isEmpty() ? QStringLiteral("never") : s.lastHarvest);
    }
    for (const Ledger::UnmappedRow &u : report.unmapped)
        text += QStringLiteral("unmapped %1: not in the station table, recorded on %2\n").arg(u.code, u.cards.join(QStringLiteral(", ")));
    for (const Ledger::CardRow &c : report.cards)
        text += QStringLiteral("card %1\tfiled as %2\t%3\t%4\tfirst %5\tlast %6\n")
                    .arg(c.cardKey, c.station, counted(c.harvests, "harvest"), counted(c.files, "file"))
                    .arg(c.firstHarvest, c.lastHarvest);
    return text;
}

CardPicture campaignPicture(const CampaignReport &report)
{
    CardPicture picture;
    picture.start = report.start;
    picture.end = report.end;
    for (const CampaignStation &s : report.stations) {
        for (const CampaignChannel &c : s.channels) {
            ChannelSpans row;
            row.id = c.id;
            row.sampleRate = c.sampleRate;
            for (const LedgerSpan &d : c.data)
                row.data.append(Stretch{d.first, d.second, QString(), 0});
            for (const LedgerSpan &g : c.gaps)
                row.gaps.append(Stretch{g.first, g.second, QString(), 0});
            picture.channels.append(row);
        }
    }
    std::sort(picture.channels.begin(), picture.channels.end(),
              [](const ChannelSpans &a, const ChannelSpans &b) { return a.id < b.id; });
    return picture;
}
