// vexa-card export: copies card paths into a folder, byte for byte.
#include "cliutil.h"
#include "commands.h"

#include <QElapsedTimer>

#include <cstdio>
#include <utility>

#ifdef Q_OS_WIN
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace {

QString humanBytes(double bytes)
{
    static const char *const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 4) {
        bytes /= 1024;
        ++unit;
    }
    return QStringLiteral("%1 %2").arg(bytes, 0, 'f', unit == 0 ? 0 : 1).arg(QLatin1String(units[unit]));
}

// A one-line bar on standard error, redrawn at most ten times a second.
class ProgressBar
{
public:
    void start(const QString &name)
    {
        m_name = name;
        m_clock.start();
        m_lastDraw = -1000;
    }

    void update(int current, int total)
    {
        const qint64 now = m_clock.elapsed();
        if (current != total && now - m_lastDraw < 100)
            return;
        m_lastDraw = now;
        const qint64 done = qint64(qMin(current + (current == total ? 0 : 1), qMax(total, 0))) * 512;
        const qint64 all = qint64(qMax(total, 0)) * 512;
        const int width = 30;
        const int filled = all > 0 ? int(width * done / all) : width;
        const double rate = now > 0 ? done * 1000.0 / now : 0;
        const QString line = QStringLiteral("\r[%1%2] %3 / %4  %5/s  %6")
                                 .arg(QString(filled, QLatin1Char('#')), QString(width - filled, QLatin1Char(' ')),
                                      humanBytes(double(done)), humanBytes(double(all)), humanBytes(rate), m_name);
        const QByteArray bytes = line.toLocal8Bit() + "\x1b[K";
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
        if (current == total)
            std::fputc('\n', stderr);
        std::fflush(stderr);
    }

    // Ends a bar that never saw its final emission, so the next line starts clean.
    void abandon() { std::fputs("\r\x1b[K", stderr); }

private:
    QString m_name;
    QElapsedTimer m_clock;
    qint64 m_lastDraw = 0;
};

} // namespace

int runExport(const QStringList &arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption output(QStringList{QStringLiteral("o"), QStringLiteral("output")},
                                    QStringLiteral("Folder for the copies (created if missing; default: the current folder)."),
                                    QStringLiteral("FOLDER"), QStringLiteral("."));
    const QCommandLineOption quiet(QStringList{QStringLiteral("q"), QStringLiteral("quiet")},
                                   QStringLiteral("No progress bar."));
    const QCommandLineOption all(QStringLiteral("all"), QStringLiteral("Copy every path of 'tree', the log last."));
    parser.addOptions({output, quiet, all});
    parser.addPositionalArgument(QStringLiteral("DEVICE"), QStringLiteral("Card device or card image."));
    parser.addPositionalArgument(QStringLiteral("CARDPATH"),
                                 QStringLiteral("Card paths as 'tree' prints them (/DIRECTORY/FILE), or /log."),
                                 QStringLiteral("[CARDPATH...]"));
    const int status = parseCommand(parser, arguments,
                                    QStringLiteral("Copies files of the card into a folder as FILE.mseed (the log as 'log'),\n"
                                                   "sector by sector. An existing file is replaced only when its copy ends;\n"
                                                   "a symbolic link, the card itself or anything but a regular file is\n"
                                                   "refused. A card that stops answering ends the run.\n"
                                                   "Exit 0 only when every path was copied completely."),
                                    1, -1);
    if (status >= 0)
        return status;

    QStringList positional = parser.positionalArguments();
    const QString device = positional.takeFirst();
    if (parser.isSet(all) == !positional.isEmpty())
        return usageError(QStringLiteral("give either card paths or --all; see 'vexa-card export --help'"));

    // The folder is made only once there is a card to copy from.
    Filesystem card;
    if (!openCard(card, device))
        return ExitFailure;
    bool complete = true;
    QList<EntryInfo> entries;
    QStringList paths;
    if (parser.isSet(all)) {
        entries = cardFiles(card, &complete);
        for (const EntryInfo &entry : std::as_const(entries))
            paths.append(card.cardPath(entry));
    } else {
        paths = positional;
    }
    const QString folder = parser.value(output);
    if (paths.isEmpty() || !makeFolder(folder))
        return ExitFailure;

    ProgressBar bar;
    const bool showBar = !parser.isSet(quiet) && isatty(fileno(stderr));
    if (showBar)
        QObject::connect(&card, &Filesystem::progress, &card,
                         [&bar](int current, int total) { bar.update(current, total); }, Qt::DirectConnection);

    int result = complete ? ExitOk : ExitFailure;
    for (int i = 0; i < paths.size(); ++i) {
        const QString &path = paths.at(i);
        if (showBar)
            bar.start(path);
        // Entries of the listing are copied as listed; typed paths are looked up strictly.
        const ExportResult copy = entries.isEmpty() ? card.exportFile(path, folder)
                                                    : card.exportEntry(entries.at(i), folder);
        if (copy.isComplete())
            continue;
        if (showBar && copy.status != ExportResult::Incomplete)
            bar.abandon();
        printError(copy.message.startsWith(path) ? copy.message : QStringLiteral("%1: %2").arg(path, copy.message));
        result = ExitFailure;
        if (copy.cardStopped) {
            // Every further read would fail too, each taking its time: the batch ends.
            printError(QStringLiteral("the card stopped answering after %1 of %2 files").arg(i).arg(paths.size()));
            for (int rest = i + (copy.status == ExportResult::Incomplete ? 1 : 0); rest < paths.size(); ++rest)
                printError(QStringLiteral("%1: not copied").arg(paths.at(rest)));
            break;
        }
    }
    return result;
}
