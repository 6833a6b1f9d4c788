#include "mseedrecords.h"

#include <cstdlib>
#include <cstring>

namespace {

void keep(char *record, int length, void *into)
{
    MSRecord *header = nullptr;
    hptime_t start = 0;
    if (msr_parse(record, length, &header, length, 0, 0) == MS_NOERROR)
        start = header->starttime;
    msr_free(&header);
    static_cast<QList<MseedRecord> *>(into)->append({start, QByteArray(record, length)});
}

} // namespace

QList<MseedRecord> packSeries(const MseedSeries &series, QVector<qint32> samples)
{
    MSRecord *msr = msr_init(nullptr);
    std::strcpy(msr->network, series.network);
    std::strcpy(msr->station, series.station);
    std::strcpy(msr->location, series.location);
    std::strcpy(msr->channel, series.channel);
    msr->dataquality = 'D';
    msr->starttime = series.start;
    msr->samprate = series.rate;
    msr->reclen = series.recordLength;
    msr->encoding = series.encoding;
    msr->byteorder = 1;
    msr->sequence_number = series.sequence;
    msr->fsdh = static_cast<struct fsdh_s *>(std::calloc(1, sizeof(struct fsdh_s)));
    msr->fsdh->io_flags = series.ioFlags;
    msr->fsdh->dq_flags = series.qualityFlags;
    if (series.timingQuality >= 0) {
        struct blkt_1001_s timing = {};
        timing.timing_qual = quint8(series.timingQuality);
        msr_addblockette(msr, reinterpret_cast<char *>(&timing), sizeof timing, 1001, 0);
    }
    msr->datasamples = samples.data();
    msr->numsamples = samples.size();
    msr->sampletype = 'i';
    QList<MseedRecord> records;
    int64_t packed = 0;
    msr_pack(msr, keep, &records, &packed, 1, 0);
    msr->datasamples = nullptr;
    msr_free(&msr);
    return records;
}

QByteArray joinRecords(const QList<MseedRecord> &records)
{
    QByteArray bytes;
    for (const MseedRecord &record : records)
        bytes += record.bytes;
    return bytes;
}
