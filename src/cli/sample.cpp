// vexa-card sample: writes a small demonstration card image.
#include "cliutil.h"
#include "commands.h"
#include "gpstime.h"
#include "samplecard.h"

#include <QDate>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace {

// What the open handle refers to, whatever its name refers to now.
bool isRegularFile(QFile &file)
{
#ifdef Q_OS_UNIX
    struct stat info;
    return ::fstat(file.handle(), &info) == 0 && S_ISREG(info.st_mode);
#else
    return !file.isSequential() && QFileInfo(file.fileName()).isFile();
#endif
}

// "NET.STA" as a recorder writes it: network 1-2, station 1-5 characters A-Z, 0-9.
bool parseStation(const QString &text, SampleCard::Options *options)
{
    static const QRegularExpression code(QStringLiteral("^([A-Z0-9]{1,2})\\.([A-Z0-9]{1,5})$"));
    const QRegularExpressionMatch match = code.match(text);
    if (!match.hasMatch())
        return false;
    options->network = match.captured(1);
    options->station = match.captured(2);
    return true;
}

// "YYYY-MM-DD" (the demonstration card's times of day on that day) or
// "YYYY-MM-DDTHH:MM:SS" with an optional "Z" (the first recording's start), UTC. The
// recordings take the leap-second count of 2017 on, and the record checks accept times
// before 2100 (the card spans less than a day): 2017-01-01 to 2099-12-30.
bool parseStart(const QString &text, SampleCard::Options *options)
{
    static const QRegularExpression pattern(
        QStringLiteral("^(\\d{4})-(\\d{2})-(\\d{2})(?:T(\\d{2}):(\\d{2}):(\\d{2})Z?)?$"));
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch())
        return false;
    const int year = match.captured(1).toInt();
    const int month = match.captured(2).toInt();
    const int day = match.captured(3).toInt();
    const bool timeGiven = !match.captured(4).isEmpty();
    const int hour = match.captured(4).toInt();
    const int minute = match.captured(5).toInt();
    const int second = match.captured(6).toInt();
    if (year < 2017 || year > 2099 || !QDate(year, month, day).isValid() || second > 59
        || !isValidCalendar(year, month, day, hour, minute, second))
        return false;
    options->start = timeGiven ? calendarToGps(year, month, day, hour, minute, second)
                               : SampleCard::startOnDay(year, month, day);
    return options->start < calendarToGps(2099, 12, 31, 0, 0, 0);
}

} // namespace

int runSample(const QStringList &arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption force(QStringLiteral("force"), QStringLiteral("Replace an existing image file."));
    parser.addOption(force);
    const QCommandLineOption station(QStringLiteral("station"),
                                     QStringLiteral("The recorder's station code, written into its records (default XX.VEXA)."),
                                     QStringLiteral("NET.STA"));
    parser.addOption(station);
    const QCommandLineOption start(
        QStringLiteral("start"),
        QStringLiteral("When the first recording began, UTC, 2017-01-01 to 2099-12-30: a day (YYYY-MM-DD, at the usual "
                       "times of day) or a second (YYYY-MM-DDTHH:MM:SS). Default 2023-03-14."),
        QStringLiteral("DATE"));
    parser.addOption(start);
    parser.addPositionalArgument(QStringLiteral("IMAGE"), QStringLiteral("The card image file to write."));
    const int status = parseCommand(
        parser, arguments,
        QStringLiteral("Writes a demonstration card image: three recording directories of a made-up\n"
                       "station, XX.VEXA unless --station says otherwise (HHZ, HHN, HHE at 100 Hz), whose\n"
                       "files are miniSEED, with an unlocked clock, a gap and a recording across midnight\n"
                       "UTC, and a text log. The file is sparse: about 12 MiB long, under 1 MiB on disk.\n"
                       "Never writes to a device."),
        1, 1);
    if (status >= 0)
        return status;
    SampleCard::Options options;
    if (parser.isSet(station) && !parseStation(parser.value(station), &options))
        return usageError(QStringLiteral("--station '%1' is not NET.STA (network 1-2, station 1-5 characters A-Z, 0-9)")
                              .arg(parser.value(station)));
    if (parser.isSet(start) && !parseStart(parser.value(start), &options))
        return usageError(QStringLiteral("--start '%1' is not a UTC date from 2017-01-01 to 2099-12-30 such as 2024-05-01 or "
                                         "2024-05-01T10:00:00")
                              .arg(parser.value(start)));

    const QString path = parser.positionalArguments().at(0);
    const QFileInfo info(path);
    // A card in a reader is a block device, and the name of one is easily mistyped for
    // an image's: writing there would overwrite the recordings. So anything that exists
    // and is not a regular file (devices, also through a link, and directories) is
    // refused, whatever --force says.
    if (info.exists() && info.isDir()) {
        printError(QStringLiteral("%1 is a directory").arg(path));
        return ExitFailure;
    }
    if (info.exists() && !info.isFile()) {
        printError(QStringLiteral("%1 is not a regular file; sample never writes to a device").arg(path));
        return ExitFailure;
    }
    if (info.exists() && !parser.isSet(force)) {
        printError(QStringLiteral("%1 exists; --force replaces it").arg(path));
        return ExitFailure;
    }

    QFile image(path);
    // Without --force, NewOnly also refuses a file that appeared since the check above.
    const QIODevice::OpenMode mode = parser.isSet(force) ? QIODevice::WriteOnly | QIODevice::Truncate
                                                         : QIODevice::WriteOnly | QIODevice::NewOnly;
    if (!image.open(mode)) {
        printError(QStringLiteral("cannot create %1: %2").arg(path, image.errorString()));
        return ExitFailure;
    }
    if (!isRegularFile(image)) {
        // Something else took the name between the check and the open: leave it alone.
        printError(QStringLiteral("%1 is not a regular file; sample never writes to a device").arg(path));
        return ExitFailure;
    }
    const Status written = SampleCard::write(image, options);
    if (!written || !image.flush()) {
        const QString reason = written.message.isEmpty() ? image.errorString() : written.message;
        // A partial image would open as a card with missing data; better none at all.
        image.remove();
        printError(QStringLiteral("cannot write %1: %2").arg(path, reason));
        return ExitFailure;
    }
    image.close();
    return ExitOk;
}
