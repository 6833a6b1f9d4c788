#include "cliutil.h"
#include "commands.h"

#include <QJsonArray>
#include <QJsonObject>

#include <cstdio>

void printOut(const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
}

void printError(const QString &message)
{
    const QByteArray bytes = QStringLiteral("vexa-card: %1\n").arg(message).toLocal8Bit();
    std::fflush(stdout);
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
}

int usageError(const QString &message)
{
    printError(message);
    return ExitUsage;
}

int parseCommand(QCommandLineParser &parser, const QStringList &arguments, const QString &description,
                 int minPositional, int maxPositional)
{
    parser.setApplicationDescription(description);
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help."));
    parser.addOption(help);
    // process() would exit with status 1 on a bad option; a wrong command line is 2.
    if (!parser.parse(arguments))
        return usageError(parser.errorText());
    if (parser.isSet(help)) {
        printOut(parser.helpText());
        return ExitOk;
    }
    const int count = int(parser.positionalArguments().size());
    if (count < minPositional)
        return usageError(QStringLiteral("missing arguments; see '%1 --help'").arg(arguments.value(0)));
    if (maxPositional >= 0 && count > maxPositional)
        return usageError(QStringLiteral("too many arguments; see '%1 --help'").arg(arguments.value(0)));
    return -1;
}

bool openCard(Filesystem &card, const QString &device)
{
    if (card.open(device))
        return true;
    printError(card.errorString());
    return false;
}

QJsonObject entryJson(const EntryInfo &entry)
{
    return QJsonObject{
        {QStringLiteral("name"), entry.name},
        {QStringLiteral("size"), entry.size},
        {QStringLiteral("isDirectory"), entry.isDirectory},
        {QStringLiteral("fileFlag"), entry.fileFlag},
        {QStringLiteral("index"), entry.index},
    };
}

QStringList cardPaths(Filesystem &card, QList<EntryInfo> *entries)
{
    QStringList paths;
    for (const EntryInfo &top : card.listRoot()) {
        if (!top.isDirectory) {
            paths.append(QLatin1Char('/') + top.name);
            if (entries)
                entries->append(top);
            continue;
        }
        // By slot, not by name: two directories that began in the same minute share a
        // name, and each must show its own files.
        for (const EntryInfo &file : card.listDirectory(top.index)) {
            paths.append(QLatin1Char('/') + top.name + QLatin1Char('/') + file.name);
            if (entries)
                entries->append(file);
        }
    }
    return paths;
}
