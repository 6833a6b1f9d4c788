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
