#include "stationxml.h"

#include <QMap>
#include <QXmlStreamWriter>

#include <algorithm>
#include <limits>
#include <tuple>

namespace {

constexpr qint64 MicrosecondsPerSecond = 1000000;
constexpr qint64 Unknown = std::numeric_limits<qint64>::max();

// An xs:dateTime in UTC, with microseconds when there are any.
QString xmlTime(qint64 time)
{
    qint64 seconds = time / MicrosecondsPerSecond;
    qint64 micro = time % MicrosecondsPerSecond;
    if (micro < 0) {
        micro += MicrosecondsPerSecond;
        --seconds;
    }
    const QString text = QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC).toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss"));
    if (micro == 0)
        return text + QLatin1Char('Z');
    return text + QStringLiteral(".%1Z").arg(micro, 6, 10, QLatin1Char('0'));
}

void writeTime(QXmlStreamWriter &xml, const QString &name, qint64 time)
{
    if (time != Unknown)
        xml.writeAttribute(name, xmlTime(time));
}

QString number(double value)
{
    return QString::number(value, 'g', 12);
}

// A <Station> epoch: the table's row it stands for (none when the table has no row for
// the station), and its channels.
struct StationEpoch
{
    QString network, station;
    const StationEntry *entry = nullptr;
    QVector<const ChannelEpoch *> channels;
    qint64 first = Unknown; // the data's first sample
    qint64 last = std::numeric_limits<qint64>::min();
};

// The row of the table for a channel filed as NET.STA: the one whose range holds the
// channel's start; a station has several when its recorder was moved or replaced.
const StationEntry *entryOf(const StationTable &table, const ChannelEpoch &channel)
{
    for (const StationEntry &entry : table.entries()) {
        if (entry.network == channel.network && entry.station == channel.station
            && (entry.start == 0 || channel.start >= entry.start) && (entry.end == 0 || channel.start < entry.end))
            return &entry;
    }
    return nullptr;
}

void writeCoordinates(QXmlStreamWriter &xml, const StationEntry *entry)
{
    const bool known = entry && entry->hasCoordinates;
    xml.writeTextElement(QStringLiteral("Latitude"), number(known ? entry->latitude : 0));
    xml.writeTextElement(QStringLiteral("Longitude"), number(known ? entry->longitude : 0));
    xml.writeTextElement(QStringLiteral("Elevation"), number(known ? entry->elevation : 0));
}

} // namespace

QByteArray stationXml(const StationTable &table, const QVector<ChannelEpoch> &channels, const QDateTime &created)
{
    // NET -> STA -> epochs in time order (keyed by the row's line, 0 for no row).
    QMap<QString, QMap<QString, QMap<int, StationEpoch>>> networks;
    for (const ChannelEpoch &channel : channels) {
        const StationEntry *entry = entryOf(table, channel);
        StationEpoch &epoch = networks[channel.network][channel.station][entry ? entry->line : 0];
        epoch.network = channel.network;
        epoch.station = channel.station;
        epoch.entry = entry;
        epoch.channels.append(&channel);
        epoch.first = std::min(epoch.first, channel.start);
        epoch.last = std::max(epoch.last, channel.end);
    }
    // Without data the table's rows alone make the document (the schema wants a network).
    if (channels.isEmpty()) {
        for (const StationEntry &entry : table.entries()) {
            StationEpoch &epoch = networks[entry.network][entry.station][entry.line];
            epoch.network = entry.network;
            epoch.station = entry.station;
            epoch.entry = &entry;
        }
    }

    QByteArray out;
    QXmlStreamWriter xml(&out);
    xml.setAutoFormatting(true);
    xml.setAutoFormattingIndent(2);
    xml.writeStartDocument();
    xml.writeComment(QStringLiteral(" No instrument responses: the recorders' data do not describe their sensors. "
                                    "Add the responses of the sensors deployed before using this for amplitudes. "));
    xml.writeDefaultNamespace(QStringLiteral("http://www.fdsn.org/xml/station/1"));
    xml.writeStartElement(QStringLiteral("FDSNStationXML"));
    xml.writeAttribute(QStringLiteral("schemaVersion"), QStringLiteral("1.2"));
    xml.writeTextElement(QStringLiteral("Source"), QStringLiteral("Vexa reader"));
    xml.writeTextElement(QStringLiteral("Module"), QStringLiteral("vexa-card stationxml"));
    xml.writeTextElement(QStringLiteral("Created"), xmlTime(created.toMSecsSinceEpoch() * 1000));

    for (auto network = networks.cbegin(); network != networks.cend(); ++network) {
        qint64 networkStart = Unknown;
        for (const auto &epochs : network.value()) {
            for (const StationEpoch &epoch : epochs)
                networkStart = std::min(networkStart, epoch.entry && epoch.entry->start ? epoch.entry->start : epoch.first);
        }
        xml.writeStartElement(QStringLiteral("Network"));
        xml.writeAttribute(QStringLiteral("code"), network.key());
        writeTime(xml, QStringLiteral("startDate"), networkStart);

        for (const auto &epochMap : network.value()) {
            QVector<StationEpoch> epochs(epochMap.cbegin(), epochMap.cend());
            std::sort(epochs.begin(), epochs.end(),
                      [](const StationEpoch &a, const StationEpoch &b) { return a.first < b.first; });
            for (StationEpoch &epoch : epochs) {
                const StationEntry *entry = epoch.entry;
                xml.writeStartElement(QStringLiteral("Station"));
                xml.writeAttribute(QStringLiteral("code"), epoch.station);
                // The table's range when it has one; the data's start otherwise. An
                // epoch open in the table stays open: the station may still record.
                writeTime(xml, QStringLiteral("startDate"), entry && entry->start ? entry->start : epoch.first);
                if (entry && entry->end)
                    xml.writeAttribute(QStringLiteral("endDate"), xmlTime(entry->end));
                if (!entry || !entry->hasCoordinates) {
                    xml.writeStartElement(QStringLiteral("Comment"));
                    xml.writeTextElement(QStringLiteral("Value"),
                                         entry ? QStringLiteral("The station table gives no coordinates for this "
                                                                "station: latitude, longitude and elevation are 0, "
                                                                "placeholders.")
                                               : QStringLiteral("The station table has no row for this station: "
                                                                "latitude, longitude and elevation are 0, placeholders."));
                    xml.writeEndElement();
                }
                writeCoordinates(xml, entry);
                xml.writeStartElement(QStringLiteral("Site"));
                xml.writeTextElement(QStringLiteral("Name"),
                                     entry && !entry->site.isEmpty() ? entry->site : epoch.station);
                xml.writeEndElement();

                std::sort(epoch.channels.begin(), epoch.channels.end(), [](const ChannelEpoch *a, const ChannelEpoch *b) {
                    return std::tie(a->location, a->channel, a->start) < std::tie(b->location, b->channel, b->start);
                });
                for (const ChannelEpoch *channel : std::as_const(epoch.channels)) {
                    xml.writeStartElement(QStringLiteral("Channel"));
                    xml.writeAttribute(QStringLiteral("code"), channel->channel);
                    xml.writeAttribute(QStringLiteral("startDate"), xmlTime(channel->start));
                    xml.writeAttribute(QStringLiteral("endDate"), xmlTime(channel->end));
                    xml.writeAttribute(QStringLiteral("locationCode"), channel->location);
                    writeCoordinates(xml, entry);
                    // The table knows no burial depth: the sensor is taken to sit at the surface.
                    xml.writeTextElement(QStringLiteral("Depth"), QStringLiteral("0"));
                    xml.writeTextElement(QStringLiteral("SampleRate"), number(channel->sampleRate));
                    xml.writeEndElement();
                }
                xml.writeEndElement(); // Station
            }
        }
        xml.writeEndElement(); // Network
    }
    xml.writeEndElement();
    xml.writeEndDocument();
    return out;
}
