// vexa-card devices: which disks and images hold a card, looked at read-only.
#include "cliutil.h"
#include "commands.h"
#include "devicediscoverer.h"
#include "gpstime.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

// A GPS second as the recorder's calendar has it, like the card's names.
QString recorderTime(quint32 gps)
{
    GpsTime t;
    gpsToCalendar(gps, t);
    return QString::asprintf("%04u-%02u-%02uT%02u:%02u:%02u", t.year, t.month, t.day, t.hour, t.minute, t.second);
}

QString verdictText(DeviceProbe::Verdict verdict)
{
    switch (verdict) {
    case DeviceProbe::Card:
        return QStringLiteral("card");
    case DeviceProbe::NotACard:
        return QStringLiteral("not a card");
    case DeviceProbe::Unreadable:
        break;
    }
    return QStringLiteral("unreadable");
}

QString detailText(const DeviceProbe &probe)
{
    if (probe.verdict != DeviceProbe::Card)
        return probe.detail;
    QString text = probe.files == 0 ? QStringLiteral("0 files")
                                    : QStringLiteral("%1 files, first %2, last %3")
                                          .arg(probe.files)
                                          .arg(recorderTime(probe.first), recorderTime(probe.last));
    if (probe.unreadableBlocks > 0)
        text += QStringLiteral("; %1 directory block(s) unreadable: %2").arg(probe.unreadableBlocks).arg(probe.detail);
    return text;
}

QJsonObject probeJson(const DeviceProbe &probe)
{
    const bool card = probe.verdict == DeviceProbe::Card;
    const bool any = card && probe.files > 0;
    return QJsonObject{
        {QStringLiteral("device"), probe.device},
        {QStringLiteral("size"), probe.size >= 0 ? QJsonValue(double(probe.size)) : QJsonValue()},
        {QStringLiteral("card"), card},
        {QStringLiteral("status"), verdictText(probe.verdict)},
        {QStringLiteral("files"), card ? QJsonValue(probe.files) : QJsonValue()},
        {QStringLiteral("first"), any ? QJsonValue(recorderTime(probe.first)) : QJsonValue()},
        {QStringLiteral("last"), any ? QJsonValue(recorderTime(probe.last)) : QJsonValue()},
        {QStringLiteral("error"), probe.detail.isEmpty() ? QJsonValue() : QJsonValue(probe.detail)},
    };
}

} // namespace

int runDevices(const QStringList &arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("Print a JSON list of objects."));
    parser.addOption(json);
    parser.addPositionalArgument(QStringLiteral("PATH"), QStringLiteral("More devices or card images to look at."),
                                 QStringLiteral("[PATH...]"));
    const int status = parseCommand(
        parser, arguments,
        QStringLiteral("Looks at the machine's disks and the paths given, read-only, and says of each\n"
                       "whether it holds a card: DEVICE<TAB>SIZE<TAB>card|not a card|unreadable<TAB>DETAIL.\n"
                       "Cards come first, with their number of files and when the first and the last\n"
                       "file began (the recorder's clock, as the card's names). Exit status 1 when a\n"
                       "path given cannot be read."),
        0, -1);
    if (status >= 0)
        return status;

    const QStringList paths = parser.positionalArguments();
    const QVector<DeviceProbe> probes = DeviceDiscoverer().probeDevices(paths);
    int exit = ExitOk;
    QJsonArray array;
    QString text;
    for (const DeviceProbe &probe : probes) {
        if (probe.verdict == DeviceProbe::Unreadable && paths.contains(probe.device))
            exit = ExitFailure;
        if (parser.isSet(json)) {
            array.append(probeJson(probe));
            continue;
        }
        text += QStringLiteral("%1\t%2\t%3\t%4\n")
                    .arg(probe.device, probe.size >= 0 ? QString::number(probe.size) : QStringLiteral("-"),
                         verdictText(probe.verdict), detailText(probe));
    }
    printOut(parser.isSet(json) ? QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Indented)) : text);
    return exit;
}
