// The program's log: one size-limited file per user in the application data folder,
// every entry copied to the console.
#pragma once

#include <QString>

#include <cstddef>

// Name of the log file inside the per-user data folder.
inline constexpr const char *LogFileName = "vexa-reader.log";
// The file is emptied before the entry that would follow once it holds this many bytes.
inline constexpr std::size_t LogFileLimit = 20000000;

// Points every logger at the log file in the data folder (created if missing) and the
// console; a file already at the limit is backed up as backupLogFile() does, then emptied.
// `debug` true: all levels, entries "[%thread] %datetime <%levshort> %msg [%func]";
// false: TRACE and DEBUG dropped, entries "%datetime <%levshort> %msg". Call once, after
// the organization and application names are set.
void configureLogging(bool debug);

// Keeps one backup of a full log file: `fileName` + "0", replacing an older backup.
// Called by the logging library just before it empties the file; `size` is unused.
void backupLogFile(const char *fileName, std::size_t size);

// Absolute path of the log file for the current organization and application names.
QString logFilePath();
