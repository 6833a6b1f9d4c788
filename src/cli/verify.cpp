// vexa-card verify: an export's manifest checked against its folder, as `sha256sum -c`
// does, and with --card the exported copies compared with the card byte for byte.
#include "archivesinks.h"
#include "cliutil.h"
#include "commands.h"
#include "manifest.h"

namespace {

const char *outcomeText(ManifestCheck::Outcome outcome)
{
    switch (outcome) {
    case ManifestCheck::Ok:
        return "OK";
    case ManifestCheck::Failed:
        return "FAILED";
    case ManifestCheck::Missing:
        return "MISSING";
    }
    return "FAILED";
}

// Every card file against its copy in the folder; true when all are there and the same.
bool compareWithCard(Filesystem &card, const QString &folder)
{
    QStringList problems;
    const QList<EntryInfo> entries = card.listFiles(&problems);
    for (const QString &problem : std::as_const(problems))
        printError(problem);
    CompareSink compare(folder);
    int same = 0;
    int differ = 0;
    int missing = 0;
    for (const EntryInfo &entry : entries) {
        const QString path = card.cardPath(entry);
        const ExportResult read = card.scanEntry(entry, {&compare});
        const QString name = compare.localPath().section(QLatin1Char('/'), -1);
        switch (compare.verdict()) {
        case CompareSink::Same:
            if (read.status == ExportResult::Complete || read.status == ExportResult::Incomplete) {
                ++same;
                printOut(QStringLiteral("%1: same as %2\n").arg(name, path));
            } else {
                ++differ;
                printError(QStringLiteral("%1: cannot read it from the card: %2").arg(path, read.message));
            }
            break;
        case CompareSink::Differs:
            ++differ;
            printOut(QStringLiteral("%1: %2 (%3)\n").arg(name, compare.detail(), path));
            break;
        case CompareSink::Missing:
            ++missing;
            printOut(QStringLiteral("%1: missing from the folder (%2)\n").arg(path, name));
            break;
        case CompareSink::Unreadable:
            ++differ;
            printError(QStringLiteral("cannot read %1: %2").arg(compare.localPath(), compare.detail()));
            break;
        }
    }
    printOut(QStringLiteral("card: %1 same, %2 differ, %3 missing from the folder\n").arg(same).arg(differ).arg(missing));
    return problems.isEmpty() && differ == 0 && missing == 0 && !entries.isEmpty();
}

} // namespace

int runVerify(const QStringList &arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption cardOption(QStringLiteral("card"),
                                        QStringLiteral("Also compare each FILE.mseed and log in FOLDER with the card, byte for byte."),
                                        QStringLiteral("DEVICE"));
    parser.addOption(cardOption);
    parser.addPositionalArgument(QStringLiteral("FOLDER"), QStringLiteral("Folder of an export, with its manifest-sha256.txt."));
    const int status = parseCommand(parser, arguments,
                                    QStringLiteral("Checks every line of FOLDER/manifest-sha256.txt: PATH: OK, FAILED or MISSING,\n"
                                                   "then the counts. Exit 0 only when every file is as listed (and, with\n"
                                                   "--card, every card file is in FOLDER as on the card)."),
                                    1, 1);
    if (status >= 0)
        return status;
    const QString folder = parser.positionalArguments().constFirst();

    QList<ManifestCheck> checks;
    QStringList problems;
    bool ok = checkManifest(folder, &checks, &problems);
    for (const QString &problem : std::as_const(problems))
        printError(problem);
    int counts[3] = {0, 0, 0};
    for (const ManifestCheck &check : std::as_const(checks)) {
        ++counts[check.outcome];
        printOut(QStringLiteral("%1: %2\n").arg(check.path, QLatin1String(outcomeText(check.outcome))));
        if (!check.reason.isEmpty())
            printError(check.reason);
    }
    if (!checks.isEmpty() || ok)
        printOut(QStringLiteral("%1 OK, %2 FAILED, %3 MISSING\n").arg(counts[0]).arg(counts[1]).arg(counts[2]));
    ok = ok && counts[ManifestCheck::Failed] == 0 && counts[ManifestCheck::Missing] == 0;

    if (parser.isSet(cardOption)) {
        Filesystem card;
        if (!openCard(card, parser.value(cardOption)))
            return ExitFailure;
        ok = compareWithCard(card, folder) && ok;
    }
    return ok ? ExitOk : ExitFailure;
}
