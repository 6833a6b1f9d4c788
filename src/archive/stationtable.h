// STAND-IN until the station table is merged: the API the harvest is written against.
#pragma once

#include "status.h"

#include <QByteArray>
#include <QString>
#include <QVector>

struct StationEntry
{
    QString recordedNetwork, recordedStation;
    QString network, station;
    QString location;
    bool hasLocation = false;
    bool hasCoordinates = false;
    double latitude = 0, longitude = 0, elevation = 0;
    QString site;
    qint64 start = 0, end = 0;
    int line = 0;
};

class StationTable
{
public:
    static Status load(const QString &path, StationTable *table);
    static Status parse(const QByteArray &csv, const QString &name, StationTable *table);
    const StationEntry *lookup(const QString &network, const QString &station, qint64 time) const;
    const QVector<StationEntry> &entries() const { return m_entries; }
    bool isEmpty() const { return m_entries.isEmpty(); }

private:
    QVector<StationEntry> m_entries;
};
