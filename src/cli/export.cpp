// vexa-card export: copies card paths into a folder, byte for byte.
#include "archiveexport.h"
#include "cliutil.h"
#include "commands.h"
#include "platform.h"

#include <QElapsedTimer>

#include <cstdio>
#include <utility>

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
    const QCommandLineOption sds(QStringLiteral("sds"),
                                 QStringLiteral("File the records into the SDS archive ARCHIVE instead: one file per channel\n"
                                                "and UTC day, YEAR/NET/STA/CHA.D/NET.STA.LOC.CHA.D.YEAR.DAY."),
                                 QStringLiteral("ARCHIVE"));
    const QCommandLineOption splitMidnight(QStringLiteral("split-midnight"),
                                           QStringLiteral("With --sds: split a record that runs past midnight UTC into one\n"
                                                          "record per day, so that each day file holds that day's samples."));
    parser.addOptions({output, quiet, all, sds, splitMidnight});
    parser.addPositionalArgument(QStringLiteral("DEVICE"), QStringLiteral("Card device or card image."));
    parser.addPositionalArgument(QStringLiteral("CARDPATH"),
                                 QStringLiteral("Card paths as 'tree' prints them (/DIRECTORY/FILE), or /log."),
                                 QStringLiteral("[CARDPATH...]"));
    const int status = parseCommand(parser, arguments,
                                    QStringLiteral("Copies files of the card into a folder as FILE.mseed (the log as 'log'),\n"
                                                   "sector by sector. An existing file is replaced only when its copy ends;\n"
                                                   "a symbolic link, the card itself or anything but a regular file is\n"
                                                   "refused. A card that stops answering ends the run. Every miniSEED record\n"
                                                   "is checked on the way: quality.json and quality.txt beside the copies\n"
                                                   "report what 'inspect' reports of the files copied.\n"
                                                   "With --sds, the records go into an SDS archive instead, each record once.\n"
                                                   "Either way FOLDER/manifest-sha256.txt lists every file written or changed\n"
                                                   "(check it with 'vexa-card verify FOLDER' or sha256sum -c).\n"
                                                   "Exit 0 only when every path was copied completely."),
                                    1, -1);
    if (status >= 0)
        return status;

    QStringList positional = parser.positionalArguments();
    const QString device = positional.takeFirst();
    if (parser.isSet(all) == !positional.isEmpty())
        return usageError(QStringLiteral("give either card paths or --all; see 'vexa-card export --help'"));
    if (parser.isSet(sds) && parser.isSet(output))
        return usageError(QStringLiteral("give either --output or --sds; see 'vexa-card export --help'"));
    if (parser.isSet(splitMidnight) && !parser.isSet(sds))
        return usageError(QStringLiteral("--split-midnight needs --sds; see 'vexa-card export --help'"));

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
    const QString folder = parser.isSet(sds) ? parser.value(sds) : parser.value(output);
    if (paths.isEmpty() || !makeFolder(folder))
        return ExitFailure;

    ProgressBar bar;
    const bool showBar = !parser.isSet(quiet) && isTerminal(stderr);
    if (showBar)
        QObject::connect(&card, &Filesystem::progress, &card,
                         [&bar](int current, int total) { bar.update(current, total); }, Qt::DirectConnection);

    ExportBatch batch(card, folder, parser.isSet(sds) ? ExportBatch::Sds : ExportBatch::Files, parser.isSet(splitMidnight));
    if (showBar)
        batch.setFileStarted([&bar](int, int, const QString &path) { bar.start(path); });
    batch.setFileFinished([&](const ExportFileOutcome &file) {
        const ExportResult &copy = file.copy;
        if (copy.isComplete())
            return;
        if (showBar && copy.status != ExportResult::Incomplete)
            bar.abandon();
        printError(copy.problem(file.cardPath));
    });
    // Ctrl-C or a TERM: the copy under way stops between two sectors and removes its
    // temporary file, so no ".part" file is left beside the copies.
    const InterruptGuard interrupts;
    card.setStopToken(interrupts.token());
    const ExportSummary summary = batch.run(paths, entries);

    if (summary.cardStopped) {
        // Every further read would fail too, each taking its time: the batch ends.
        const BatchCount count = summary.count();
        printError(QStringLiteral("the card stopped answering after %1 of %2 files").arg(count.ended).arg(count.total));
        for (const ExportFileOutcome &file : summary.files) {
            if (file.notCopied)
                printError(QStringLiteral("%1: not copied").arg(file.cardPath));
        }
    }
    for (const QString &problem : summary.problems)
        printError(problem);
    if (parser.isSet(sds) && !parser.isSet(quiet)) {
        printOut(QStringLiteral("%1 records filed into %2 day files in %3 (%4 already there%5)\n")
                     .arg(summary.recordsFiled)
                     .arg(summary.dayFiles.size())
                     .arg(folder)
                     .arg(summary.recordsAlreadyThere)
                     .arg(summary.recordsSplit > 0 ? QStringLiteral(", %1 split at midnight").arg(summary.recordsSplit)
                                                   : QString()));
    }
    return complete && summary.isComplete() ? ExitOk : ExitFailure;
}
