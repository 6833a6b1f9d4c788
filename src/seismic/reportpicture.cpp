#include "reportpicture.h"

#include "qualityreport.h"

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
            if (const ChannelQuality *c = channels.value(id))
                p.channels.append(channelSpans(*c, report.gaps, f.path, f.start, f.end));
        }
        out.append(p);
    }
    return out;
}
