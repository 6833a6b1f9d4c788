// vexa-card: the card reader for scripts and headless machines.
#include "commands.h"

#include <QCoreApplication>
#include <QGuiApplication>

#include <cstdio>
#include <memory>

namespace {

// The off-screen platform asks for the session's runtime folder, which a headless shell
// often lacks; Qt's remark about it says nothing about the picture and is kept off the
// terminal. Every other message goes on as before.
QtMessageHandler g_nextHandler = nullptr;

void quietAboutRuntimeFolder(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message.contains(QLatin1String("XDG_RUNTIME_DIR")))
        return;
    if (g_nextHandler)
        g_nextHandler(type, context, message);
    else
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
}

} // namespace

int main(int argc, char *argv[])
{
    // A picture needs fonts, hence Qt Gui; drawn off screen, so that no display is needed.
    std::unique_ptr<QCoreApplication> app;
    if (campaignWantsPicture(argc, argv)) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        g_nextHandler = qInstallMessageHandler(quietAboutRuntimeFolder);
        app = std::make_unique<QGuiApplication>(argc, argv);
        qInstallMessageHandler(g_nextHandler);
    } else {
        app = std::make_unique<QCoreApplication>(argc, argv);
    }
    QCoreApplication::setOrganizationName(QStringLiteral("Orvane"));
    QCoreApplication::setApplicationName(QStringLiteral("vexa-card"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VEXA_VERSION));
    return runCommandLine(QCoreApplication::arguments());
}
