#include "miniseed.h"

#include <QDate>
#include <QtEndian>

#include <cstring>

namespace MiniSeed {

namespace {

constexpr qint64 MicrosecondsPerDay = Q_INT64_C(86400000000);
constexpr qint64 MicrosecondsPerTick = 100; // BTIME keeps ten-thousandths of a second

// Space-padded ASCII of a fixed width, as the fixed header wants its codes.
void putText(char *field, int width, const QByteArray &text)
{
    std::memset(field, ' ', size_t(width));
    std::memcpy(field, text.constData(), size_t(qMin<qsizetype>(width, text.size())));
}

// BTIME: year, day of year, hour, minute, second, unused, 0.0001 s.
void putTime(char *field, qint64 startMicroseconds)
{
    qint64 days = startMicroseconds / MicrosecondsPerDay;
    qint64 rest = startMicroseconds % MicrosecondsPerDay;
    if (rest < 0) { // times before 1970 round towards the earlier day
        --days;
        rest += MicrosecondsPerDay;
    }
    const QDate date = QDate(1970, 1, 1).addDays(days);
    const qint64 second = rest / 1000000;
    qToBigEndian<quint16>(quint16(date.year()), field);
    qToBigEndian<quint16>(quint16(date.dayOfYear()), field + 2);
    field[4] = char(second / 3600);
    field[5] = char(second / 60 % 60);
    field[6] = char(second % 60);
    field[7] = 0;
    qToBigEndian<quint16>(quint16(rest % 1000000 / MicrosecondsPerTick), field + 8);
}

} // namespace

QByteArray encodeRecord(const Stream &stream, int sequence, qint64 startMicroseconds,
                        const qint32 *samples, int count)
{
    count = qBound(0, count, SamplesPerRecord);
    QByteArray record(RecordLength, '\0');
    char *p = record.data();

    const QByteArray number = QByteArray::number((sequence % (MaxSequenceNumber + 1) + MaxSequenceNumber + 1) % (MaxSequenceNumber + 1)).rightJustified(6, '0');
    std::memcpy(p, number.constData(), 6);
    p[6] = 'D';
    p[7] = ' ';
    putText(p + 8, 5, stream.station);
    putText(p + 13, 2, stream.location);
    putText(p + 15, 3, stream.channel);
    putText(p + 18, 2, stream.network);
    putTime(p + 20, startMicroseconds);
    qToBigEndian<quint16>(quint16(count), p + 30);
    qToBigEndian<qint16>(qint16(stream.sampleRate), p + 32);
    qToBigEndian<qint16>(1, p + 34);
    p[39] = 1; // one blockette follows: 1000
    qToBigEndian<quint16>(DataOffset, p + 44);
    qToBigEndian<quint16>(48, p + 46);

    qToBigEndian<quint16>(1000, p + 48);
    qToBigEndian<quint16>(0, p + 50); // no further blockette
    p[52] = char(EncodingInt32);
    p[53] = char(WordOrderBigEndian);
    p[54] = char(RecordLengthExponent);

    for (int i = 0; i < count; ++i)
        qToBigEndian<qint32>(samples[i], p + DataOffset + SampleSize * i);
    return record;
}

} // namespace MiniSeed
