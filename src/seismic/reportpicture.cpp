#include "reportpicture.h"

#include "qualityreport.h"
#include "recordcheck.h"

#include <QHash>

QVector<FilePicture> filePictures(const QualityReport &report)
{
    QHash<QString, const ChannelQuality *> channels;
    for (const ChannelQuality &c : report.channels)
        channels.insert(c.id, &c);
    QVector<FilePicture> out;
    for (const FileQuality &f : report.files) {
        if (!f.complete || !f.hasRecords)
            continue;
        FilePicture p;
        p.cardPath = f.path;
        p.records = f.records;
        p.unreadableSectors = f.unreadableSectors;
        p.start = f.start;
        p.end = f.end;
        p.whole = true;
        p.full = true;
        for (const QString &id : f.channels) {
            const ChannelQuality *c = channels.value(id);
            if (!c)
                continue;
            ChannelSpans spans;
            spans.id = id;
            spans.sampleRate = c->sampleRate;
            const qint64 period = RecordCheck::samplePeriod(c->sampleRate);
            // The report's segments run from first to last sample, across files.
            for (const auto &s : c->segmentSpans) {
                if (s.end < f.start || s.start > f.end)
                    continue;
                spans.data.append({qMax(s.start, f.start), qMin(s.end, f.end) + period, f.path, 0});
            }
            for (const auto &u : c->clockUnlocked) {
                if (u.end < f.start || u.start > f.end)
                    continue;
                spans.unlocked.append({qMax(u.start, f.start), qMin(u.end, f.end) + period, f.path, 0});
            }
            // Gaps inside the file; a break between two files belongs to neither.
            for (const GapQuality &g : report.gaps) {
                if (g.id == id && !g.isOverlap() && g.after >= f.start && g.before <= f.end)
                    spans.gaps.append({g.after, g.before, f.path, g.unreadableSectors});
            }
            p.channels.append(spans);
        }
        out.append(p);
    }
    return out;
}
