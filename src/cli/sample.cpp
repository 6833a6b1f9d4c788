// vexa-card sample: writes a small demonstration card image.
#include "cliutil.h"
#include "commands.h"
#include "samplecard.h"

#include <QFile>
#include <QFileInfo>

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

} // namespace

int runSample(const QStringList &arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption force(QStringLiteral("force"), QStringLiteral("Replace an existing image file."));
    parser.addOption(force);
    parser.addPositionalArgument(QStringLiteral("IMAGE"), QStringLiteral("The card image file to write."));
    const int status = parseCommand(
        parser, arguments,
        QStringLiteral("Writes a demonstration card image: three recording directories of a made-up\n"
                       "station XX.VEXA (HHZ, HHN, HHE at 100 Hz) whose files are miniSEED, with an unlocked\n"
                       "clock, a gap and a recording across midnight UTC, and a text log. The file is sparse:\n"
                       "about 12 MiB long, under 1 MiB on disk. Never writes to a device."),
        1, 1);
    if (status >= 0)
        return status;

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
    QString reason;
    if (!SampleCard::write(image, &reason) || !image.flush()) {
        if (reason.isEmpty())
            reason = image.errorString();
        // A partial image would open as a card with missing data; better none at all.
        image.remove();
        printError(QStringLiteral("cannot write %1: %2").arg(path, reason));
        return ExitFailure;
    }
    image.close();
    return ExitOk;
}
