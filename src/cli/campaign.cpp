#include "campaign.h"
#include "cliutil.h"
#include "commands.h"
#include "ledger.h"
#include "timelinepainter.h"

#include <QGuiApplication>
#include <QImage>
#include <QImageWriter>
#include <QJsonDocument>
#include <QPainter>
#include <QPalette>

namespace {

constexpr int PlotWidth = 1200;

// The campaign's availability as a PNG, drawn by the window's timeline painter.
bool writePlot(const CampaignReport &report, const QString &file)
{
    if (!qobject_cast<QGuiApplication *>(QCoreApplication::instance())) {
        printError(QStringLiteral("cannot draw %1: vexa-card was started without its picture support").arg(file));
        return false;
    }
    const CardPicture picture = campaignPicture(report);
    if (picture.isEmpty() || report.end <= report.start) {
        printError(QStringLiteral("cannot draw %1: the ledger holds no data yet").arg(file));
        return false;
    }
    const QFont font = QGuiApplication::font();
    const TimelinePainter layout(picture, QFontMetrics(font), PlotWidth);
    QImage image(PlotWidth, layout.height(), QImage::Format_RGB32);
    const QPalette palette = QGuiApplication::palette();
    image.fill(palette.color(QPalette::Base));
    {
        QPainter painter(&image);
        painter.setFont(font);
        layout.paint(painter, report.start, report.end, palette);
    }
    QImageWriter writer(file, "png");
    if (!writer.write(image)) {
        printError(QStringLiteral("cannot write %1: %2").arg(file, writer.errorString()));
        return false;
    }
    return true;
}

} // namespace

bool campaignWantsPicture(int argc, char *argv[])
{
    if (argc < 2 || qstrcmp(argv[1], "campaign") != 0)
        return false;
    for (int i = 2; i < argc; ++i) {
        if (qstrcmp(argv[i], "--plot") == 0 || qstrncmp(argv[i], "--plot=", 7) == 0)
            return true;
    }
    return false;
}

int runCampaign(const QStringList &arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("Print the report as JSON."));
    const QCommandLineOption plot(QStringLiteral("plot"),
                                  QStringLiteral("Draw the availability, a row per channel, gaps in red, as a PNG."),
                                  QStringLiteral("FILE.png"));
    parser.addOption(json);
    parser.addOption(plot);
    parser.addPositionalArgument(QStringLiteral("ARCHIVE"), QStringLiteral("The archive the cards were harvested into."));
    const int status = parseCommand(parser, arguments,
                                    QStringLiteral("Reports the campaign from the archive's ledger: per station its "
                                                   "cards, files, first and last sample, availability and gaps; the "
                                                   "recorder codes the station table did not know; the cards."),
                                    1, 1);
    if (status >= 0)
        return status;
    std::unique_ptr<Ledger> ledger;
    Status opened = Ledger::open(parser.positionalArguments().constFirst(), &ledger, Ledger::Mode::ReadOnly);
    if (!opened) {
        printError(opened.message);
        return ExitFailure;
    }
    CampaignReport report;
    const Status read = readCampaign(*ledger, &report);
    if (!read) {
        printError(read.message);
        return ExitFailure;
    }
    if (parser.isSet(json))
        printOut(QString::fromUtf8(QJsonDocument(campaignJson(report)).toJson(QJsonDocument::Indented)));
    else
        printOut(campaignText(report));
    if (parser.isSet(plot) && !writePlot(report, parser.value(plot)))
        return ExitFailure;
    return ExitOk;
}
