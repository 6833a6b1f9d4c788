#include "logging.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <easylogging++.h>

// The library's storage and its crash handler (SIGFPE, SIGILL, SIGSEGV, SIGINT), set up
// during static initialisation, before main.
INITIALIZE_EASYLOGGINGPP

namespace {

QString dataFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
}

} // namespace

QString logFilePath()
{
    return QDir(dataFolder()).absoluteFilePath(QString::fromLatin1(LogFileName));
}

void configureLogging(bool debug)
{
    QDir folder(dataFolder());
    folder.mkpath(QStringLiteral("."));
    // The library empties a file over the limit as it opens it, without the callback
    // that keeps the backup: keep it here first.
    const QString path = logFilePath();
    if (QFileInfo(path).size() >= qint64(LogFileLimit))
        backupLogFile(QFile::encodeName(path).constData(), std::size_t(QFileInfo(path).size()));

    el::Configurations conf;
    conf.setToDefault();
    conf.setGlobally(el::ConfigurationType::Enabled, "true");
    conf.setGlobally(el::ConfigurationType::ToFile, "true");
    conf.setGlobally(el::ConfigurationType::ToStandardOutput, "true");
    conf.setGlobally(el::ConfigurationType::MaxLogFileSize, std::to_string(LogFileLimit));
    // The file name in the system's own encoding, so that a data folder with characters
    // outside Latin-1 still names a file that can be opened.
    conf.setGlobally(el::ConfigurationType::Filename, QFile::encodeName(path).toStdString());
    if (debug) {
        conf.setGlobally(el::ConfigurationType::Format, "[%thread] %datetime <%levshort> %msg [%func]");
    } else {
        conf.setGlobally(el::ConfigurationType::Format, "%datetime <%levshort> %msg");
        conf.set(el::Level::Trace, el::ConfigurationType::Enabled, "false");
        conf.set(el::Level::Debug, el::ConfigurationType::Enabled, "false");
    }
    el::Loggers::reconfigureAllLoggers(conf);
    el::Loggers::addFlag(el::LoggingFlag::StrictLogFileSizeCheck);
    el::Loggers::addFlag(el::LoggingFlag::ColoredTerminalOutput);
    el::Helpers::installPreRollOutCallback(backupLogFile);
}

void backupLogFile(const char *fileName, std::size_t size)
{
    Q_UNUSED(size);
    const QString path = QFile::decodeName(fileName);
    const QString backup = path + QLatin1Char('0');
    // Only one generation: the previous backup makes way, and QFile::copy never overwrites.
    if (QFile::exists(backup))
        QFile::remove(backup);
    QFile::copy(path, backup);
}
