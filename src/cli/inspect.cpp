// vexa-card inspect: what the records of the card's files say, and what the card lost.
#include "cliutil.h"
#include "commands.h"
#include "recordscanner.h"

namespace {

// Hands a file's sectors to the scanner in the copy's chunks.
bool scanFile(Filesystem &card, const QString &path, RecordScanner &scanner, QString *error)
{
    const int dir = card.directoryIndex(path.section(QLatin1Char('/'), 1, 1));
    FileRecord record;
    if (dir < 0 || card.findFileRecord(dir, path.section(QLatin1Char('/'), 2, 2), &record) < 0) {
        *error = QStringLiteral("no such file on the card: %1").arg(path);
        return false;
    }
    const qint64 expected = record.readLength();
    const QByteArray data = card.readFile(path);
    CopySource source;
    source.cardPath = path;
    source.firstCardSector = record.firstSector;
    source.sectorCount = expected / Card::SectorSize;
    scanner.begin(source);
    constexpr qint64 Chunk = 1 << 20;
    for (qint64 at = 0; at < data.size(); at += Chunk) {
        SectorChunk chunk;
        chunk.data = data.constData() + at;
        chunk.length = qMin<qint64>(Chunk, data.size() - at);
        chunk.firstSector = at / Card::SectorSize;
        scanner.consume(chunk);
    }
    const bool whole = data.size() >= expected;
    scanner.finish(whole ? CopyEnd::Complete : CopyEnd::Incomplete);
    if (!whole)
        *error = QStringLiteral("the card ends after %1 of %2 bytes").arg(data.size()).arg(expected);
    return whole;
}

} // namespace

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
    if (paths.isEmpty()) {
        paths = cardPaths(card);
        if (paths.isEmpty()) {
            printError(QStringLiteral("cannot read the directory table of %1").arg(device));
            return ExitFailure;
        }
        // The log is the recorder's text, not miniSEED.
        paths.removeAll(QStringLiteral("/log"));
    }

    RecordScanner scanner;
    int result = ExitOk;
    for (const QString &path : paths) {
        QString error;
        if (!scanFile(card, path, scanner, &error)) {
            printError(QStringLiteral("%1: %2").arg(path, error));
            result = ExitFailure;
        }
    }
    const QualityReport report = scanner.report();
    if (parser.isSet(json))
        printOut(QString::fromUtf8(qualityJsonText(report)));
    else
        printOut(qualityText(report, parser.isSet(gaps)));
    return result;
}
