#pragma once

#include <QStringList>

// Exit statuses of vexa-card.
enum ExitStatus {
    ExitOk = 0,
    ExitFailure = 1, // the device, a directory or a copy failed
    ExitUsage = 2,   // a wrong command line
};

// Runs vexa-card with its whole argument list (program name first); returns the exit status.
int runCommandLine(const QStringList &arguments);

// True when the command line asks vexa-card campaign for a picture (--plot), which needs
// Qt Gui's application object rather than Qt Core's.
bool campaignWantsPicture(int argc, char *argv[]);
