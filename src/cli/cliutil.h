// What every vexa-card command shares: output, errors, option parsing, opening a card.
#pragma once

#include "filesystem.h"
#include "stoptoken.h"

#include <QCommandLineParser>
#include <QString>

class QJsonObject;

void printOut(const QString &text);
// One line on standard error: "vexa-card: " + message.
void printError(const QString &message);
// Reports a wrong command line; returns the usage exit status.
int usageError(const QString &message);

// Parses a command's arguments (its name first). Handles --help itself. Returns -1 to
// go on, or the exit status to end with: 0 after --help, 2 after a usage error.
int parseCommand(QCommandLineParser &parser, const QStringList &arguments, const QString &description,
                 int minPositional, int maxPositional);

// Opens a card; false after printing why it cannot be read.
bool openCard(Filesystem &card, const QString &device);

// An entry as the JSON object of the listings.
QJsonObject entryJson(const EntryInfo &entry);

// Every exportable entry in tree order: each directory's files (each directory listed
// by its table slot), then the log. Prints one line for each table or directory block
// that cannot be read; *complete is false after any.
QList<EntryInfo> cardFiles(Filesystem &card, bool *complete);
// One error line each.
void printProblems(const QStringList &problems);

// Ctrl-C or a TERM requests token() for as long as the guard lives, so that copies stop
// between two sectors and remove their temporary files; a second signal ends the program
// at once. The handler touches that token only: its request is one lock-free store.
class InterruptGuard
{
public:
    InterruptGuard();
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard &) = delete;
    InterruptGuard &operator=(const InterruptGuard &) = delete;

    const StopToken &token() const;

private:
    void (*m_int)(int);
    void (*m_term)(int);
};

// Creates `folder` and its parents; false after printing the system's reason.
bool makeFolder(const QString &folder);

int runList(const QStringList &arguments);
int runTree(const QStringList &arguments);
int runDevices(const QStringList &arguments);
int runExport(const QStringList &arguments);
int runVerify(const QStringList &arguments);
int runInspect(const QStringList &arguments);
int runSample(const QStringList &arguments);
int runCampaign(const QStringList &arguments);
int runHarvest(const QStringList &arguments);
int runStationXml(const QStringList &arguments);
