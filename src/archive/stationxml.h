// The campaign's station metadata as FDSN StationXML 1.2: the station table's codes,
// coordinates and site names, with the channels, their sample rates and their dates as
// the recorded data shows them. No instrument responses: the recorder's data say nothing
// of its sensor, so none are written (the document says so in a comment).
#pragma once

#include "stationtable.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QVector>

// One channel's stretch of data, under its codes as filed in the archive.
struct ChannelEpoch
{
    QString network, station, location, channel;
    double sampleRate = 0;     // samples per second
    qint64 start = 0, end = 0; // hptime µs (UTC) of the first and the last sample
};

// The document, UTF-8: one <Network> per network code, under it one <Station> per row of
// the table that covers a channel's start (else one without coordinates, which says so
// and gives 0 for latitude, longitude and elevation, as the schema requires numbers),
// and its <Channel>s. With no channels at all, the table's rows make the stations (the
// schema wants at least one network; an empty table and no channels give none). `created`
// is the document's creation time.
QByteArray stationXml(const StationTable &table, const QVector<ChannelEpoch> &channels, const QDateTime &created);
