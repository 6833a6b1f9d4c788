// vexa-card list and tree.
#include "cliutil.h"
#include "commands.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

const char *kind(const EntryInfo &entry)
{
    if (entry.isDirectory)
        return "dir";
    return entry.index == 0 && entry.name == QLatin1String("log") ? "log" : "file";
}

void printJson(const QJsonArray &array)
{
    printOut(QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Indented)));
}

} // namespace

int runList(const QStringList &arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("Print one JSON array."));
    parser.addOption(json);
    parser.addPositionalArgument(QStringLiteral("DEVICE"), QStringLiteral("Card device or card image."));
    parser.addPositionalArgument(QStringLiteral("DIRECTORY"),
                                 QStringLiteral("A directory name as listed; without it the root is listed."),
                                 QStringLiteral("[DIRECTORY]"));
    const int status = parseCommand(parser, arguments,
                                    QStringLiteral("Lists the card's root, or one directory's files, in card order:\n"
                                                   "NAME<TAB>SIZE<TAB>KIND, KIND one of dir, file, log."),
                                    1, 2);
    if (status >= 0)
        return status;

    const QStringList positional = parser.positionalArguments();
    Filesystem card;
    if (!openCard(card, positional.at(0)))
        return ExitFailure;

    QList<EntryInfo> entries;
    QStringList problems;
    if (positional.size() == 1) {
        entries = card.listRoot(&problems);
    } else {
        const QString directory = positional.at(1);
        const int index = card.directoryIndex(directory);
        if (index < 0) {
            printError(QStringLiteral("no such directory: %1").arg(directory));
            return ExitFailure;
        }
        QString problem;
        entries = card.listDirectory(index, &problem);
        if (!problem.isEmpty())
            problems.append(problem);
    }
    // What can be read is listed; what cannot is named, and the run fails.
    printProblems(problems);

    if (parser.isSet(json)) {
        QJsonArray array;
        for (const EntryInfo &entry : entries)
            array.append(entryJson(entry));
        printJson(array);
    } else {
        QString text;
        for (const EntryInfo &entry : entries)
            text += QStringLiteral("%1\t%2\t%3\n").arg(entry.name).arg(entry.size).arg(QLatin1String(kind(entry)));
        printOut(text);
    }
    return problems.isEmpty() ? ExitOk : ExitFailure;
}

int runTree(const QStringList &arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("Print one JSON array."));
    parser.addOption(json);
    parser.addPositionalArgument(QStringLiteral("DEVICE"), QStringLiteral("Card device or card image."));
    const int status = parseCommand(parser, arguments,
                                    QStringLiteral("Lists every exportable card path, /DIRECTORY/FILE then /log:\n"
                                                   "PATH<TAB>SIZE."),
                                    1, 1);
    if (status >= 0)
        return status;

    const QString device = parser.positionalArguments().at(0);
    Filesystem card;
    if (!openCard(card, device))
        return ExitFailure;
    bool complete = true;
    const QList<EntryInfo> entries = cardFiles(card, &complete);
    QStringList paths;
    for (const EntryInfo &entry : entries)
        paths.append(card.cardPath(entry));

    if (parser.isSet(json)) {
        QJsonArray array;
        for (int i = 0; i < paths.size(); ++i) {
            QJsonObject object = entryJson(entries.at(i));
            object.insert(QStringLiteral("path"), paths.at(i));
            array.append(object);
        }
        printJson(array);
    } else {
        QString text;
        for (int i = 0; i < paths.size(); ++i)
            text += QStringLiteral("%1\t%2\n").arg(paths.at(i)).arg(entries.at(i).size);
        printOut(text);
    }
    return complete ? ExitOk : ExitFailure;
}
