#include "cliutil.h"
#include "commands.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>

#include <cerrno>
#include <csignal>
#include <cstdio>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

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

void printProblems(const QStringList &problems)
{
    for (const QString &problem : problems)
        printError(problem);
}

QList<EntryInfo> cardFiles(Filesystem &card, bool *complete)
{
    QStringList problems;
    const QList<EntryInfo> files = card.listFiles(&problems);
    printProblems(problems);
    *complete = problems.isEmpty();
    return files;
}

bool makeFolder(const QString &folder)
{
    // One level at a time, so that the level that fails gives the system's reason.
    const QStringList parts = QDir::cleanPath(folder).split(QLatin1Char('/'));
    QString path;
    for (int i = 0; i < parts.size(); ++i) {
        path += (i > 0 ? QStringLiteral("/") : QString()) + parts.at(i);
        const bool last = i + 1 == parts.size();
        if (path.isEmpty() || QFileInfo(path).isDir() || (!last && QFileInfo::exists(path)))
            continue;
#ifdef Q_OS_WIN
        if (!QDir().mkdir(path)) {
            printError(QStringLiteral("cannot create the folder %1").arg(folder));
            return false;
        }
#else
        if (::mkdir(QFile::encodeName(path).constData(), 0777) != 0) {
            printError(QStringLiteral("cannot create the folder %1: %2").arg(folder, systemError(errno)));
            return false;
        }
#endif
    }
    return true;
}

namespace {

const StopToken g_interrupt;

extern "C" void stopOnSignal(int signal)
{
    g_interrupt.requestStop();
    std::signal(signal, SIG_DFL);
}

} // namespace

InterruptGuard::InterruptGuard()
    : m_int(std::signal(SIGINT, stopOnSignal)), m_term(std::signal(SIGTERM, stopOnSignal))
{
}

InterruptGuard::~InterruptGuard()
{
    std::signal(SIGINT, m_int);
    std::signal(SIGTERM, m_term);
}

const StopToken &InterruptGuard::token() const
{
    return g_interrupt;
}
