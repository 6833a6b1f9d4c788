#include "stationtable.h"

#include "platform.h"

#include <QDate>
#include <QDateTime>
#include <QRegularExpression>

#include <algorithm>
#include <cmath>

namespace {

enum Column { Recorded, Network, Station, Location, Latitude, Longitude, Elevation, Site, Start, End, ColumnCount };

const char *const columnNames[ColumnCount] = {"recorded",  "network",   "station", "location", "latitude",
                                              "longitude", "elevation", "site",    "start",    "end"};

constexpr qint64 MicrosecondsPerSecond = 1000000;
constexpr qint64 MicrosecondsPerDay = 86400 * MicrosecondsPerSecond;
constexpr qint64 JulianDayOf1970 = 2440588;

// One row of the file: its fields and the line it starts on (a quoted field may span lines).
struct Row
{
    QStringList fields;
    int line = 0;
};

// Splits CSV text into rows: fields separated by commas, a field in double quotes may hold
// commas, line breaks and doubled quotes. Blank lines are skipped. False, with *error and
// *errorLine, for a quote that is never closed or text after a closing quote.
bool splitRows(const QString &text, QVector<Row> *rows, QString *error, int *errorLine)
{
    int line = 1;
    int i = 0;
    const int n = text.size();
    while (i < n) {
        Row row;
        row.line = line;
        bool blank = true;
        for (;;) {
            QString field;
            if (i < n && text.at(i) == QLatin1Char('"')) {
                blank = false;
                const int quoteLine = line;
                ++i;
                for (;;) {
                    if (i >= n) {
                        *error = QStringLiteral("a quoted field is never closed");
                        *errorLine = quoteLine;
                        return false;
                    }
                    const QChar c = text.at(i++);
                    if (c == QLatin1Char('"')) {
                        if (i < n && text.at(i) == QLatin1Char('"')) {
                            field += c;
                            ++i;
                            continue;
                        }
                        break;
                    }
                    if (c == QLatin1Char('\n'))
                        ++line;
                    field += c;
                }
                if (i < n && text.at(i) != QLatin1Char(',') && text.at(i) != QLatin1Char('\n')
                    && text.at(i) != QLatin1Char('\r')) {
                    *error = QStringLiteral("text after a closing quote");
                    *errorLine = line;
                    return false;
                }
            } else {
                while (i < n && text.at(i) != QLatin1Char(',') && text.at(i) != QLatin1Char('\n')) {
                    field += text.at(i);
                    ++i;
                }
                if (field.endsWith(QLatin1Char('\r')))
                    field.chop(1);
                if (!field.trimmed().isEmpty())
                    blank = false;
            }
            row.fields.append(field.trimmed());
            if (i < n && text.at(i) == QLatin1Char('\r'))
                ++i;
            if (i < n && text.at(i) == QLatin1Char(',')) {
                blank = false;
                ++i;
                continue;
            }
            break; // end of line or of text
        }
        if (i < n && text.at(i) == QLatin1Char('\n')) {
            ++i;
            ++line;
        }
        if (!blank)
            rows->append(row);
    }
    return true;
}

bool isCode(const QString &code, int minLength, int maxLength)
{
    if (code.size() < minLength || code.size() > maxLength)
        return false;
    for (const QChar c : code) {
        if (!((c >= QLatin1Char('A') && c <= QLatin1Char('Z')) || (c >= QLatin1Char('0') && c <= QLatin1Char('9'))))
            return false;
    }
    return true;
}

// "YYYY-MM-DD", optionally followed by "THH:MM[:SS[.ffffff]]" and "Z": UTC, as µs since
// 1970. False for anything else, including a time before 1970 (0 means "open").
bool parseTime(const QString &text, qint64 *time)
{
    static const QRegularExpression pattern(QStringLiteral(
        "^(\\d{4})-(\\d{2})-(\\d{2})(?:[T ](\\d{2}):(\\d{2})(?::(\\d{2})(?:\\.(\\d{1,6}))?)?)?Z?$"));
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch())
        return false;
    const QDate date(match.captured(1).toInt(), match.captured(2).toInt(), match.captured(3).toInt());
    const int hour = match.captured(4).toInt();
    const int minute = match.captured(5).toInt();
    const int second = match.captured(6).toInt();
    const QString fraction = match.captured(7);
    if (!date.isValid() || hour > 23 || minute > 59 || second > 59)
        return false;
    const qint64 micro = fraction.isEmpty() ? 0 : (fraction + QString(6 - fraction.size(), QLatin1Char('0'))).toLongLong();
    *time = (date.toJulianDay() - JulianDayOf1970) * MicrosecondsPerDay
            + ((hour * 60 + minute) * 60 + second) * MicrosecondsPerSecond + micro;
    return *time > 0;
}

bool parseNumber(const QString &text, double minimum, double maximum, double *value)
{
    bool ok = false;
    *value = text.toDouble(&ok);
    return ok && std::isfinite(*value) && *value >= minimum && *value <= maximum;
}

QString describeTime(qint64 time)
{
    return time == 0 ? QStringLiteral("open")
                     : QDateTime::fromMSecsSinceEpoch(time / 1000, Qt::UTC).toString(Qt::ISODate);
}

} // namespace

Status StationTable::load(const QString &path, StationTable *table)
{
    *table = StationTable();
    QByteArray content;
    const Status read = readRegularFile(path, &content);
    if (!read)
        return read;
    return parse(content, path, table);
}

Status StationTable::parse(const QByteArray &csv, const QString &name, StationTable *table)
{
    *table = StationTable();
    const auto refuse = [&name](int line, const QString &reason) {
        return Status::refused(QStringLiteral("%1:%2: %3").arg(name).arg(line).arg(reason));
    };

    QString text = QString::fromUtf8(csv);
    if (text.startsWith(QChar(0xFEFF))) // a byte order mark, as spreadsheets write
        text.remove(0, 1);
    QVector<Row> rows;
    QString error;
    int errorLine = 0;
    if (!splitRows(text, &rows, &error, &errorLine))
        return refuse(errorLine, error);
    if (rows.isEmpty())
        return refuse(1, QStringLiteral("no header row"));

    // The header: which field of a row holds which column.
    int index[ColumnCount];
    std::fill(std::begin(index), std::end(index), -1);
    const Row &header = rows.first();
    for (int f = 0; f < header.fields.size(); ++f) {
        const QString column = header.fields.at(f).toLower();
        int c = 0;
        while (c < ColumnCount && column != QLatin1String(columnNames[c]))
            ++c;
        if (c == ColumnCount)
            return refuse(header.line, QStringLiteral("unknown column '%1'").arg(header.fields.at(f)));
        if (index[c] >= 0)
            return refuse(header.line, QStringLiteral("column '%1' named twice").arg(column));
        index[c] = f;
    }
    for (const Column required : {Recorded, Network, Station}) {
        if (index[required] < 0)
            return refuse(header.line,
                          QStringLiteral("missing the required column '%1'").arg(QLatin1String(columnNames[required])));
    }

    QVector<StationEntry> entries;
    for (int r = 1; r < rows.size(); ++r) {
        const Row &row = rows.at(r);
        if (row.fields.size() > header.fields.size())
            return refuse(row.line, QStringLiteral("%1 fields, the header names %2")
                                        .arg(row.fields.size())
                                        .arg(header.fields.size()));
        const auto field = [&](Column c) { return index[c] < 0 ? QString() : row.fields.value(index[c]); };

        StationEntry entry;
        entry.line = row.line;
        const QString recorded = field(Recorded);
        const int dot = recorded.indexOf(QLatin1Char('.'));
        entry.recordedNetwork = recorded.left(dot);
        entry.recordedStation = dot < 0 ? QString() : recorded.mid(dot + 1);
        if (dot < 0 || !isCode(entry.recordedNetwork, 1, 2) || !isCode(entry.recordedStation, 1, 5))
            return refuse(row.line, QStringLiteral("recorded '%1' is not NET.STA (network 1-2, station 1-5 "
                                                   "characters A-Z, 0-9)")
                                        .arg(recorded));
        entry.network = field(Network);
        if (!isCode(entry.network, 1, 2))
            return refuse(row.line,
                          QStringLiteral("network '%1' is not 1-2 characters A-Z, 0-9").arg(entry.network));
        entry.station = field(Station);
        if (!isCode(entry.station, 1, 5))
            return refuse(row.line,
                          QStringLiteral("station '%1' is not 1-5 characters A-Z, 0-9").arg(entry.station));
        if (index[Location] >= 0) {
            entry.hasLocation = true;
            entry.location = field(Location);
            if (entry.location == QLatin1String("--"))
                entry.location.clear();
            if (!isCode(entry.location, 0, 2))
                return refuse(row.line, QStringLiteral("location '%1' is not 0-2 characters A-Z, 0-9, or --")
                                            .arg(entry.location));
        }

        const QString latitude = field(Latitude);
        const QString longitude = field(Longitude);
        const QString elevation = field(Elevation);
        if (!latitude.isEmpty() || !longitude.isEmpty() || !elevation.isEmpty()) {
            if (latitude.isEmpty() || longitude.isEmpty())
                return refuse(row.line, QStringLiteral("coordinates need both latitude and longitude"));
            if (!parseNumber(latitude, -90, 90, &entry.latitude))
                return refuse(row.line, QStringLiteral("latitude '%1' is not a number from -90 to 90").arg(latitude));
            if (!parseNumber(longitude, -180, 180, &entry.longitude))
                return refuse(row.line,
                              QStringLiteral("longitude '%1' is not a number from -180 to 180").arg(longitude));
            if (!elevation.isEmpty() && !parseNumber(elevation, -HUGE_VAL, HUGE_VAL, &entry.elevation))
                return refuse(row.line, QStringLiteral("elevation '%1' is not a number of metres").arg(elevation));
            entry.hasCoordinates = true;
        }
        entry.site = field(Site);

        const QString start = field(Start);
        const QString end = field(End);
        if (!start.isEmpty() && !parseTime(start, &entry.start))
            return refuse(row.line, QStringLiteral("start '%1' is not a UTC time after 1970 such as 2024-05-01 or "
                                                   "2024-05-01T10:00:00Z")
                                        .arg(start));
        if (!end.isEmpty() && !parseTime(end, &entry.end))
            return refuse(row.line, QStringLiteral("end '%1' is not a UTC time after 1970 such as 2024-05-01 or "
                                                   "2024-05-01T10:00:00Z")
                                        .arg(end));
        if (entry.start != 0 && entry.end != 0 && entry.start >= entry.end)
            return refuse(row.line, QStringLiteral("start %1 is not before end %2").arg(start, end));

        // Two rows of one recorder must not both claim a moment: a record would have two homes.
        for (const StationEntry &other : std::as_const(entries)) {
            if (other.recordedNetwork != entry.recordedNetwork || other.recordedStation != entry.recordedStation)
                continue;
            const bool startsBeforeOtherEnds = other.end == 0 || entry.start < other.end;
            const bool endsAfterOtherStarts = entry.end == 0 || entry.end > other.start;
            if (startsBeforeOtherEnds && endsAfterOtherStarts)
                return refuse(row.line, QStringLiteral("the time range of %1 overlaps the one on line %2 (start %3, "
                                                       "end %4)")
                                            .arg(recorded)
                                            .arg(other.line)
                                            .arg(describeTime(other.start), describeTime(other.end)));
        }
        entries.append(entry);
    }
    table->m_entries = entries;
    return Status();
}

const StationEntry *StationTable::lookup(const QString &network, const QString &station, qint64 time) const
{
    for (const StationEntry &entry : m_entries) {
        if (entry.recordedNetwork == network && entry.recordedStation == station
            && (entry.start == 0 || time >= entry.start) && (entry.end == 0 || time < entry.end))
            return &entry;
    }
    return nullptr;
}
