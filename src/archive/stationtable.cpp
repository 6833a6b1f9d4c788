// STAND-IN until the station table is merged: plain CSV, no quotes, no time ranges.
#include "stationtable.h"

#include <QFile>
#include <QStringList>

Status StationTable::load(const QString &path, StationTable *table)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Status::failure(QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
    return parse(file.readAll(), path, table);
}

Status StationTable::parse(const QByteArray &csv, const QString &name, StationTable *table)
{
    const QList<QByteArray> lines = csv.split('\n');
    const QStringList header = QString::fromUtf8(lines.value(0)).trimmed().split(QLatin1Char(','));
    const int recorded = int(header.indexOf(QStringLiteral("recorded")));
    const int network = int(header.indexOf(QStringLiteral("network")));
    const int station = int(header.indexOf(QStringLiteral("station")));
    const int location = int(header.indexOf(QStringLiteral("location")));
    if (recorded < 0 || network < 0 || station < 0)
        return Status::failure(QStringLiteral("%1:1: a required column is missing").arg(name));
    table->m_entries.clear();
    for (int i = 1; i < lines.size(); ++i) {
        const QStringList fields = QString::fromUtf8(lines.at(i)).trimmed().split(QLatin1Char(','));
        if (fields.size() < header.size())
            continue;
        StationEntry entry;
        entry.recordedNetwork = fields.at(recorded).section(QLatin1Char('.'), 0, 0);
        entry.recordedStation = fields.at(recorded).section(QLatin1Char('.'), 1, 1);
        entry.network = fields.at(network);
        entry.station = fields.at(station);
        if (location >= 0 && !fields.at(location).isEmpty()) {
            entry.hasLocation = true;
            entry.location = fields.at(location) == QLatin1String("--") ? QString() : fields.at(location);
        }
        entry.line = i + 1;
        table->m_entries.append(entry);
    }
    return Status();
}

const StationEntry *StationTable::lookup(const QString &network, const QString &station, qint64 time) const
{
    for (const StationEntry &entry : m_entries) {
        if (entry.recordedNetwork == network && entry.recordedStation == station && (entry.start == 0 || time >= entry.start)
            && (entry.end == 0 || time < entry.end))
            return &entry;
    }
    return nullptr;
}
