// Records of one channel packed by libmseed, as a recorder writes them, for the tests and
// benchmarks that need real miniSEED on a card. What the tests expect of these records
// comes from the packing parameters, never from reading them back with our own code.
#pragma once

#include <QByteArray>
#include <QList>
#include <QVector>

#include <libmseed.h>

struct MseedSeries
{
    const char *network = "XX";
    const char *station = "VEXA";
    const char *location = "";
    const char *channel = "HHZ";
    hptime_t start = 0;
    double rate = 100;
    int recordLength = 512;
    int encoding = DE_STEIM2;
    int sequence = 1;       // of the first record; libmseed counts on from it
    int timingQuality = -1; // blockette 1001; -1: none
    quint8 ioFlags = 0;     // fixed header's I/O and clock flags (0x20: clock locked)
    quint8 qualityFlags = 0; // fixed header's data quality flags (0x80: time tag questionable)
};

struct MseedRecord
{
    hptime_t start = 0;
    QByteArray bytes;
};

// `samples` (int32) packed into as many records as they fill, each with its start time.
QList<MseedRecord> packSeries(const MseedSeries &series, QVector<qint32> samples);
// The records' bytes one after another.
QByteArray joinRecords(const QList<MseedRecord> &records);
