// The station table of a campaign: which archive station each recorder's data is filed
// under, and where that station stands. A CSV file with a header row naming its columns
//   recorded,network,station,location,latitude,longitude,elevation,site,start,end
// in any order; only recorded, network and station are required. `recorded` is the
// "NET.STA" the recorder writes into its records; start and end (UTC, ISO 8601, start
// inclusive, end exclusive, empty = open) bound a row when a recorder moved between sites.
#pragma once

#include "status.h"

#include <QByteArray>
#include <QString>
#include <QVector>

struct StationEntry
{
    QString recordedNetwork, recordedStation; // as the recorder writes them
    QString network, station;                 // as the archive files them
    QString location;                         // "" for an empty location code
    bool hasLocation = false;                 // the table sets the location code (else the record's is kept)
    bool hasCoordinates = false;              // latitude and longitude given (elevation 0 when not)
    double latitude = 0, longitude = 0, elevation = 0; // degrees, degrees, metres
    QString site;
    qint64 start = 0, end = 0; // hptime µs (UTC); 0 = open
    int line = 0;              // line of the table the row starts on
};

class StationTable
{
public:
    // Reads and parses the table at `path` (a regular file; a FIFO or device is refused
    // without blocking). On failure *table is left empty and the message names the
    // file and line: "stations.csv:LINE: reason".
    static Status load(const QString &path, StationTable *table);
    // Parses `csv`; `name` is the file name used in messages.
    static Status parse(const QByteArray &csv, const QString &name, StationTable *table);

    // The entry for a record of recorder NET.STA starting at `time` (µs); nullptr when
    // no row of the table covers it.
    const StationEntry *lookup(const QString &network, const QString &station, qint64 time) const;

    const QVector<StationEntry> &entries() const { return m_entries; }
    bool isEmpty() const { return m_entries.isEmpty(); }

private:
    QVector<StationEntry> m_entries;
};
