// vexa-card inspect: what the records of the card's files say, and what the card lost.
#include "cliutil.h"
#include "commands.h"
#include "recordscanner.h"

int runInspect(const QStringList &arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("Print the report as one JSON object."));
    const QCommandLineOption gaps(QStringLiteral("gaps"), QStringLiteral("List every gap and overlap after the channels."));
    parser.addOptions({json, gaps});
    parser.addPositionalArgument(QStringLiteral("DEVICE"), QStringLiteral("Card device or card image."));
    parser.addPositionalArgument(QStringLiteral("CARDPATH"),
                                 QStringLiteral("Files as 'tree' prints them (/DIRECTORY/FILE); all files when none is named."),
                                 QStringLiteral("[CARDPATH...]"));
    const int status = parseCommand(parser, arguments,
                                    QStringLiteral("Reads every miniSEED record of the chosen files and prints per channel its time span,\n"
                                                   "rate, segments, gaps, availability, timing quality, clock and decoding checks.\n"
                                                   "Exit 0 when every file could be read whole, 1 otherwise (the report still printed)."),
                                    1, -1);
    if (status >= 0)
        return status;

    QStringList paths = parser.positionalArguments();
    const QString device = paths.takeFirst();
    Filesystem card;
    if (!openCard(card, device))
        return ExitFailure;
    bool complete = true;
    QList<EntryInfo> entries;
    if (paths.isEmpty()) {
        // The log is the recorder's text, not miniSEED.
        for (const EntryInfo &entry : cardFiles(card, &complete)) {
            if (!entry.isLog()) {
                entries.append(entry);
                paths.append(card.cardPath(entry));
            }
        }
    }

    // Each file is read once, through the copy, as an export reads it; nothing is written.
    RecordScanner scanner;
    int result = complete ? ExitOk : ExitFailure;
    for (int i = 0; i < paths.size(); ++i) {
        const QString &path = paths.at(i);
        const ExportResult scan = entries.isEmpty() ? card.scanFile(path, {&scanner}) : card.scanEntry(entries.at(i), {&scanner});
        if (scan.isComplete())
            continue;
        printError(scan.problem(path));
        result = ExitFailure;
        if (scan.cardStopped) {
            printError(QStringLiteral("the card stopped answering after %1 of %2 files").arg(i).arg(paths.size()));
            break;
        }
    }
    const QualityReport report = scanner.report();
    if (parser.isSet(json))
        printOut(QString::fromUtf8(qualityJsonText(report)));
    else
        printOut(qualityText(report, parser.isSet(gaps)));
    return result;
}
