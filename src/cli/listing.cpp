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
    if (positional.size() == 1) {
        entries = card.listRoot();
        if (entries.isEmpty()) {
            printError(QStringLiteral("cannot read the directory table of %1").arg(positional.at(0)));
            return ExitFailure;
        }
    } else {
        const QString directory = positional.at(1);
        if (card.directoryIndex(directory) < 0) {
            printError(QStringLiteral("no such directory: %1").arg(directory));
            return ExitFailure;
        }
        entries = card.list(directory);
    }

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
    return ExitOk;
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
    QList<EntryInfo> entries;
    const QStringList paths = cardPaths(card, &entries);
    if (paths.isEmpty()) {
        printError(QStringLiteral("cannot read the directory table of %1").arg(device));
        return ExitFailure;
    }

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
    return ExitOk;
}
