// The window's views of a card, offscreen (see bench/window-bench.sh):
//
//   vexa-window-bench views-card IMAGE
//       Writes a full card (255 directories of 128 files of 20 s of three channels, the
//       first file an hour long) as libmseed packs it.
//   vexa-window-bench views IMAGE
//       Times in the window on that card: Open until the tree is filled, Open until every
//       file has its quick-scan columns, Select All while the scan runs, and the quick look
//       at the hour-long file from its selection until its traces are painted. Beside
//       them, in the same run: reading the image and a bare libmseed pass over the same
//       records (headers for the scan, samples for the look).
//   vexa-window-bench views-download IMAGE FOLDER
//       The card downloaded whole through the window, for its peak memory.
//   vexa-window-bench shot IMAGE PNG [CARDPATH]
//       Opens IMAGE, selects CARDPATH (default: the first file) and saves the window.
#include "cardimage.h"
#include "cardscanner.h"
#include "cardviews.h"
#include "filesystem.h"
#include "mainwindow.h"
#include "mseedrecords.h"
#include "waveformwidget.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QMessageBox>
#include <QPalette>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>

#include <libmseed.h>

#include <sys/resource.h>

#include <cmath>
#include <cstdio>

namespace {

constexpr quint32 CardStart = 1362000000; // GPS seconds
constexpr int FileSeconds = 20;
constexpr int HourSeconds = 3600;

// Three channels, records interleaved in time order, as a recorder writes them.
QByteArray recording(quint32 gps, int seconds)
{
    QVector<qint32> samples(seconds * 100);
    for (int i = 0; i < samples.size(); ++i)
        samples[i] = qint32(3000 * std::sin(i / 80.0) + (i * 7919 % 301));
    const hptime_t start = hptime_t(gps + 315964800 - 18) * HPTMODULUS;
    QList<MseedRecord> records;
    for (const char *channel : {"HHZ", "HHN", "HHE"}) {
        MseedSeries series;
        series.channel = channel;
        series.start = start;
        records += packSeries(series, samples);
    }
    std::stable_sort(records.begin(), records.end(), [](const MseedRecord &a, const MseedRecord &b) { return a.start < b.start; });
    return joinRecords(records);
}

// The full card; the first file of the first directory is the hour-long one.
bool writeFullCard(const QString &image, QByteArray *hour)
{
    CardImage card;
    quint32 sector = 40000;
    *hour = recording(CardStart, HourSeconds);
    // Times spread like a recorder's: a directory a day, files one after another.
    for (int d = Card::FirstDirectorySlot; d <= Card::LastDirectorySlot; ++d) {
        const quint32 dirStart = CardStart + quint32(d - 1) * 86400;
        card.setDirectory(d, dirStart);
        for (int f = 0; f < Card::RecordsPerBlock; ++f) {
            const bool isHour = d == Card::FirstDirectorySlot && f == 0;
            const quint32 start = dirStart + (isHour ? 0 : HourSeconds + quint32(f - 1) * FileSeconds);
            const QByteArray bytes = isHour ? *hour : recording(start, FileSeconds);
            const quint32 sectors = quint32(bytes.size() / Card::SectorSize);
            card.setRecord(d, f, FileRecord{start, sector, sector + sectors - 1, 1});
            card.put(Card::sectorOffset(sector), bytes);
            sector += sectors;
        }
    }
    return card.write(image);
}

template <typename T>
T *child(MainWindow &window, const char *name)
{
    return window.findChild<T *>(QLatin1String(name));
}

// Runs the event loop until `done` holds, checking every millisecond; false after
// `limitMs` (a minute unless given).
template <typename Done>
bool waitFor(Done done, qint64 limitMs = 60000)
{
    QEventLoop loop;
    QTimer check;
    QElapsedTimer limit;
    limit.start();
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done() || limit.elapsed() > limitMs)
            loop.quit();
    });
    check.start(1);
    if (!done())
        loop.exec();
    return done();
}

QTreeWidgetItem *firstFile(QTreeWidget *tree, int directory, int file)
{
    QTreeWidgetItem *top = tree->topLevelItem(directory);
    return top && top->childCount() > file ? top->child(file) : nullptr;
}

double seconds(qint64 ns)
{
    return ns / 1e9;
}

// The reference passes over the same bytes: libmseed parsing every header, and parsing and
// decoding every record.
double barePass(QByteArray bytes, bool decode)
{
    QElapsedTimer timer;
    timer.start();
    MSRecord *msr = nullptr;
    qint64 samples = 0;
    for (qint64 at = 0; at + 512 <= bytes.size(); at += 512) {
        if (msr_parse(bytes.data() + at, 512, &msr, 0, decode ? 1 : 0, 0) == MS_NOERROR)
            samples += msr->numsamples;
    }
    msr_free(&msr);
    return seconds(timer.nsecsElapsed()) + (samples < 0 ? 1 : 0);
}

int benchViews(const QString &image)
{
    QByteArray hour;
    QFile file(image);
    if (!file.open(QIODevice::ReadOnly))
        return 1;
    QElapsedTimer timer;
    timer.start();
    QByteArray all;
    while (!file.atEnd())
        all += file.read(64 << 20);
    const double readImage = seconds(timer.nsecsElapsed());
    const double headerPass = barePass(all, false);
    {
        // The hour-long file, as the window reads it.
        Filesystem card;
        if (!card.open(image))
            return 1;
        const QList<EntryInfo> root = card.listRoot();
        const QList<EntryInfo> files = root.isEmpty() ? QList<EntryInfo>() : card.listDirectory(root.first().index);
        if (files.isEmpty())
            return 1;
        hour = card.readFile(card.cardPath(files.first()));
    }
    const qint64 imageBytes = all.size();
    all.clear();
    all.squeeze();

    // The quick scan alone, without a window to fill.
    double scanAlone = 0;
    {
        auto card = std::make_shared<Filesystem>();
        if (!card->open(image))
            return 1;
        QVector<CardScanner::File> files;
        for (const EntryInfo &d : card->listRoot()) {
            for (const EntryInfo &f : card->listDirectory(d.index))
                files.append({card->cardPath(f), f});
        }
        CardScanner scanner(card);
        bool finished = false;
        QObject::connect(&scanner, &CardScanner::finished, [&finished] { finished = true; });
        timer.restart();
        scanner.start(files);
        waitFor([&] { return finished; });
        scanAlone = seconds(timer.nsecsElapsed());
    }

    double bestOpen = 1e9, bestScan = 1e9, bestLook = 1e9, bestSelect = 1e9;
    bool ok = true;
    for (int run = 0; run < 3; ++run) {
        MainWindow window;
        window.addCardImages({image});
        window.show();
        QCoreApplication::processEvents();
        auto *tree = child<QTreeWidget>(window, "tw_files");
        CardViews *views = window.cardViews();
        bool scanned = false;
        QObject::connect(views, &CardViews::scanFinished, [&scanned] { scanned = true; });

        timer.restart();
        child<QPushButton>(window, "b_open")->click();
        QCoreApplication::processEvents();
        const double open = seconds(timer.nsecsElapsed());

        // Select All while the scan runs.
        QElapsedTimer selectTimer;
        selectTimer.start();
        child<QPushButton>(window, "b_selectAll")->click();
        QCoreApplication::processEvents();
        const double select = seconds(selectTimer.nsecsElapsed());
        const bool scanningDuringSelect = views->isScanning();

        ok = waitFor([&] { return scanned; }) && ok;
        const double scan = seconds(timer.nsecsElapsed());
        int filled = 0, checked = 0;
        for (int i = 0; i < tree->topLevelItemCount(); ++i) {
            for (int j = 0; j < tree->topLevelItem(i)->childCount(); ++j) {
                filled += tree->topLevelItem(i)->child(j)->text(CardViews::ChannelsColumn) == QLatin1String("HHE HHN HHZ");
                checked += tree->topLevelItem(i)->child(j)->checkState(0) == Qt::Checked;
            }
        }

        // The quick look: from the selection of the hour-long file to its painted traces.
        auto *waveform = views->waveform();
        double look = 1e9;
        for (int i = 0; i < 3; ++i) {
            tree->setCurrentItem(firstFile(tree, 1, 0));
            waitFor([&] { return waveform->quickLook() != nullptr; });
            QCoreApplication::processEvents();
            bool painted = false;
            const auto connection = QObject::connect(waveform, &WaveformWidget::painted, [&painted] { painted = true; });
            timer.restart();
            tree->setCurrentItem(firstFile(tree, 0, 0));
            ok = waitFor([&] { return painted && waveform->quickLook() && waveform->quickLook()->traces.size() == 3; }) && ok;
            look = qMin(look, seconds(timer.nsecsElapsed()));
            QObject::disconnect(connection);
        }
        std::printf("run %d: open and fill %.3f s, every file scanned %.3f s (%d of %d files with channels), "
                    "select all during the scan %.3f s (%d checked, scan running: %s), quick look %.3f s\n",
                    run + 1, open, scan, filled, Card::LastDirectorySlot * Card::RecordsPerBlock, select, checked,
                    scanningDuringSelect ? "yes" : "no", look);
        ok = ok && filled == Card::LastDirectorySlot * Card::RecordsPerBlock && checked == filled;
        bestOpen = qMin(bestOpen, open);
        bestScan = qMin(bestScan, scan);
        bestSelect = qMin(bestSelect, select);
        bestLook = qMin(bestLook, look);
        window.close();
    }
    std::printf("the quick scan alone, without the window: %.3f s\n", scanAlone);
    std::printf("reference: reading the %.0f MB image %.3f s, bare libmseed header pass %.3f s; "
                "bare libmseed decode of the hour-long file (%lld KB) %.3f s\n",
                imageBytes / 1e6, readImage, headerPass, (long long)(hour.size() / 1000), barePass(hour, true));
    std::printf("full card: open and fill %.3f s (target < 0.1), quick-scan columns of every file %.3f s "
                "(target < 2), select all %.3f s; quick look of one hour of three channels at 100 Hz %.3f s "
                "(target < 0.2)\n",
                bestOpen, bestScan, bestSelect, bestLook);
    return ok ? 0 : 1;
}

int benchViewsDownload(const QString &image, const QString &folder)
{
    MainWindow window;
    window.addCardImages({image});
    child<QLineEdit>(window, "e_downloadFolder")->setText(folder);
    window.show();
    child<QPushButton>(window, "b_open")->click();
    child<QPushButton>(window, "b_selectAll")->click();
    // The report shown when the batch ends is closed as a user would.
    bool answered = false;
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&answered] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            box->accept();
            answered = true;
        }
    });
    answer.start(50);
    QElapsedTimer timer;
    timer.start();
    child<QPushButton>(window, "b_downloadChecked")->click();
    const bool done = waitFor([&] { return !window.isDownloading() && answered; }, 3600000);
    const double elapsed = seconds(timer.nsecsElapsed());
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    std::printf("window download of the full card %.1f s, peak memory %.0f MB (target < 300)\n", elapsed,
                usage.ru_maxrss * 1024 / 1e6);
    return done ? 0 : 1;
}

int shot(const QString &image, const QString &png, const QString &cardPath)
{
    if (qEnvironmentVariable("VEXA_SHOT_PALETTE") == QLatin1String("dark")) {
        // A dark desktop's colours, to see that the views follow the palette.
        QPalette dark;
        dark.setColor(QPalette::Window, QColor(45, 45, 48));
        dark.setColor(QPalette::WindowText, QColor(220, 220, 220));
        dark.setColor(QPalette::Base, QColor(30, 30, 30));
        dark.setColor(QPalette::AlternateBase, QColor(45, 45, 48));
        dark.setColor(QPalette::Text, QColor(220, 220, 220));
        dark.setColor(QPalette::PlaceholderText, QColor(150, 150, 150));
        dark.setColor(QPalette::Button, QColor(55, 55, 58));
        dark.setColor(QPalette::ButtonText, QColor(220, 220, 220));
        dark.setColor(QPalette::Highlight, QColor(42, 130, 218));
        dark.setColor(QPalette::HighlightedText, Qt::white);
        QApplication::setStyle(QStringLiteral("Fusion"));
        QApplication::setPalette(dark);
    }
    MainWindow window;
    window.addCardImages({image});
    window.show();
    child<QPushButton>(window, "b_open")->click();
    bool scanned = false;
    QObject::connect(window.cardViews(), &CardViews::scanFinished, [&scanned] { scanned = true; });
    waitFor([&] { return scanned; });
    auto *tree = child<QTreeWidget>(window, "tw_files");
    QTreeWidgetItem *item = firstFile(tree, 0, 0);
    for (QTreeWidgetItemIterator it(tree); *it && !cardPath.isEmpty(); ++it) {
        if ((*it)->parent() && QLatin1Char('/') + (*it)->parent()->text(0) + QLatin1Char('/') + (*it)->text(0) == cardPath)
            item = *it;
    }
    if (item) {
        item->parent()->setExpanded(true);
        tree->setCurrentItem(item);
    }
    waitFor([&] { return window.cardViews()->waveform()->quickLook() != nullptr; });
    QElapsedTimer settle;
    settle.start();
    waitFor([&] { return settle.elapsed() > 300; });
    return window.grab().save(png) ? 0 : 1;
}

// The quick look at the first file of IMAGE (one large file of three channels): from its
// selection in the window to its traces painted. The peak memory is measured from outside.
int benchQuickLook(const QString &image)
{
    MainWindow window;
    window.addCardImages({image});
    window.show();
    child<QPushButton>(window, "b_open")->click();
    QCoreApplication::processEvents();
    auto *tree = child<QTreeWidget>(window, "tw_files");
    auto *waveform = window.cardViews()->waveform();
    if (!waitFor([&] { return firstFile(tree, 0, 0) != nullptr; }))
        return 1;
    bool painted = false;
    QObject::connect(waveform, &WaveformWidget::painted, [&painted] { painted = true; });
    QElapsedTimer timer;
    timer.start();
    tree->setCurrentItem(firstFile(tree, 0, 0));
    const bool ok = waitFor([&] { return painted && waveform->quickLook() && waveform->quickLook()->traces.size() == 3; },
                            600000);
    const double look = seconds(timer.nsecsElapsed());
    qint64 samples = 0, buckets = 0;
    if (ok) {
        for (const Trace &t : waveform->quickLook()->traces) {
            for (const TraceSegment &s : t.segments) {
                samples += s.samples.size();
                buckets += s.samples.buckets();
            }
        }
    }
    std::printf("window quicklook %.3f s: %lld samples in %lld buckets%s\n", look, (long long)samples,
                (long long)buckets, ok ? "" : " (not shown)");
    return ok ? 0 : 1;
}

} // namespace

int runViewsBench(const QStringList &arguments)
{
    if (arguments.value(1) == QLatin1String("views-card") && arguments.size() == 3) {
        QByteArray hour;
        return writeFullCard(arguments.at(2), &hour) ? 0 : 1;
    }
    if (arguments.value(1) == QLatin1String("views") && arguments.size() == 3)
        return benchViews(arguments.at(2));
    if (arguments.value(1) == QLatin1String("views-download") && arguments.size() == 4)
        return benchViewsDownload(arguments.at(2), arguments.at(3));
    if (arguments.value(1) == QLatin1String("quicklook") && arguments.size() == 3)
        return benchQuickLook(arguments.at(2));
    if (arguments.value(1) == QLatin1String("shot") && (arguments.size() == 4 || arguments.size() == 5))
        return shot(arguments.at(2), arguments.at(3), arguments.value(4));
    return -1;
}
