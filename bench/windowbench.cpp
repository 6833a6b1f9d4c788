// Window benchmark, offscreen.
//
//   vexa-window-bench tree
//       Builds a full card (255 directories of 128 files) and times, in the window,
//       Open until the tree is filled, and Select All. Best of three.
//   vexa-window-bench download IMAGE FOLDER
//       Opens IMAGE, checks the first file of the first directory and times Download
//       selected until the bar is hidden and the batch has ended.
//
//   vexa-window-bench smallcard IMAGE
//       Writes a full card of small files: 255 directories of 128 files of 8 sectors,
//       every sector written, and the log.
//   vexa-window-bench batch IMAGE FOLDER
//       Opens IMAGE, Select All, and times Download selected until the batch has ended.
//
// bench/window-bench.sh runs them and compares each download with vexa-card export.
#include "cardimage.h"
#include "mainwindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>

#include <cstdio>

namespace {

template <typename T>
T *child(MainWindow &window, const char *name)
{
    return window.findChild<T *>(QLatin1String(name));
}

int benchTree()
{
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("full.img"));
    CardImage card;
    const quint32 start = 1000000000;
    for (int d = Card::FirstDirectorySlot; d <= Card::LastDirectorySlot; ++d) {
        const quint32 dirStart = start + quint32(d) * 86400;
        card.setDirectory(d, dirStart);
        for (int f = 0; f < Card::RecordsPerBlock; ++f) {
            const quint32 first = 100000 + quint32(d * Card::RecordsPerBlock + f) * 4;
            card.setRecord(d, f, FileRecord{dirStart + quint32(f) * 30, first, first + 3, 1});
        }
    }
    if (!dir.isValid() || !card.write(image))
        return 1;

    qint64 bestOpen = -1;
    qint64 bestSelect = -1;
    int files = 0;
    for (int run = 0; run < 3; ++run) {
        MainWindow window;
        window.addCardImages({image});
        window.show();
        QCoreApplication::processEvents();
        auto *tree = child<QTreeWidget>(window, "tw_files");

        QElapsedTimer timer;
        timer.start();
        child<QPushButton>(window, "b_open")->click();
        QCoreApplication::processEvents(); // the filled tree drawn once
        const qint64 open = timer.nsecsElapsed();

        timer.restart();
        child<QPushButton>(window, "b_selectAll")->click();
        QCoreApplication::processEvents();
        const qint64 select = timer.nsecsElapsed();

        files = 0;
        for (int i = 0; i < tree->topLevelItemCount(); ++i) {
            for (int j = 0; j < tree->topLevelItem(i)->childCount(); ++j)
                files += tree->topLevelItem(i)->child(j)->checkState(0) == Qt::Checked ? 1 : 0;
        }
        std::printf("run %d: open and fill %.3f s, select all %.3f s\n", run + 1, open / 1e9, select / 1e9);
        bestOpen = bestOpen < 0 ? open : qMin(bestOpen, open);
        bestSelect = bestSelect < 0 ? select : qMin(bestSelect, select);
        window.close();
    }
    std::printf("full card, %d directories, %d files checked: open and fill %.3f s (target < 0.1), "
                "select all %.3f s (target < 1)\n",
                Card::LastDirectorySlot, files, bestOpen / 1e9, bestSelect / 1e9);
    return files == Card::LastDirectorySlot * Card::RecordsPerBlock ? 0 : 1;
}

int benchDownload(const QString &image, const QString &folder)
{
    MainWindow window;
    window.addCardImages({image});
    child<QLineEdit>(window, "e_downloadFolder")->setText(folder);
    window.show();
    child<QPushButton>(window, "b_open")->click();
    auto *tree = child<QTreeWidget>(window, "tw_files");
    if (tree->topLevelItemCount() < 2 || tree->topLevelItem(0)->childCount() < 1)
        return 1;
    // Only the file: the log is taken out of the tree, or it would come along.
    delete tree->takeTopLevelItem(tree->topLevelItemCount() - 1);
    tree->topLevelItem(0)->child(0)->setCheckState(0, Qt::Checked);
    auto *bar = child<QProgressBar>(window, "pb_progress");

    QElapsedTimer timer;
    timer.start();
    child<QPushButton>(window, "b_downloadChecked")->click();
    // A real event loop, as in the program: the GUI thread sleeps between events.
    int updates = 0;
    int lastValue = -1;
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        // The summary at the end is closed as a user would.
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget()))
            box->accept();
        if (bar->value() != lastValue) {
            lastValue = bar->value();
            ++updates;
        }
        if (!window.isDownloading() && bar->isHidden())
            loop.quit();
    });
    check.start(1);
    loop.exec();
    const qint64 elapsed = timer.nsecsElapsed();
    std::printf("window download %.3f s, %d bar values seen, bar ended at %d of %d sectors\n", elapsed / 1e9,
                updates, bar->value(), bar->maximum());
    return bar->value() == bar->maximum() ? 0 : 1;
}

int writeSmallCard(const QString &image)
{
    constexpr quint32 sectors = 8;
    CardImage card;
    const quint32 start = 1000000000;
    // The files one after another from the end of the table's blocks: no holes.
    quint32 first = card.tableSector() + quint32(Card::TableSlots * Card::SectorsPerBlock);
    for (int d = Card::FirstDirectorySlot; d <= Card::LastDirectorySlot; ++d) {
        const quint32 dirStart = start + quint32(d) * 86400;
        card.setDirectory(d, dirStart);
        for (int f = 0; f < Card::RecordsPerBlock; ++f, first += sectors)
            card.addFile(d, f, dirStart + quint32(f) * 30, first, sectors, 1);
    }
    card.fillLog();
    return card.write(image) ? 0 : 1;
}

int benchBatch(const QString &image, const QString &folder)
{
    MainWindow window;
    window.addCardImages({image});
    child<QLineEdit>(window, "e_downloadFolder")->setText(folder);
    window.show();
    child<QPushButton>(window, "b_open")->click();
    child<QPushButton>(window, "b_selectAll")->click();
    QCoreApplication::processEvents();

    // Any box is answered at once; all but the summary of a batch that went well (a
    // summary of failures, a question) are counted: the batch must run without one.
    int boxes = 0;
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&boxes] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            if (box->icon() != QMessageBox::Information)
                ++boxes;
            std::fprintf(stderr, "box: %s\n%s\n", qPrintable(box->text()), qPrintable(box->detailedText()));
            box->reject();
        }
    });
    answer.start(50);

    QElapsedTimer timer;
    timer.start();
    child<QPushButton>(window, "b_downloadChecked")->click();
    // Timed to the moment the batch has ended and its bar is hidden: the summary box
    // after it waits for its reader (here the answering timer above), not for the card.
    QEventLoop loop;
    QTimer check;
    qint64 elapsed = -1;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (!window.isDownloading() && elapsed < 0) {
            elapsed = timer.nsecsElapsed();
            loop.quit();
        }
    });
    check.start(1);
    loop.exec();
    std::printf("window batch %.3f s, %d boxes\n", elapsed / 1e9, boxes);
    return boxes == 0 ? 0 : 1;
}

} // namespace

// The views' measurements and the screenshot (viewsbench.cpp); -1 for other arguments.
int runViewsBench(const QStringList &arguments);

int main(int argc, char *argv[])
{
    // Offscreen, except for a screenshot on a display of its own (xvfb-run).
    if (qstrcmp(argc > 1 ? argv[1] : "", "shot") != 0 || qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (const int views = runViewsBench(arguments); views >= 0)
        return views;
    if (arguments.value(1) == QLatin1String("tree") && arguments.size() == 2)
        return benchTree();
    if (arguments.value(1) == QLatin1String("download") && arguments.size() == 4)
        return benchDownload(arguments.at(2), arguments.at(3));
    if (arguments.value(1) == QLatin1String("smallcard") && arguments.size() == 3)
        return writeSmallCard(arguments.at(2));
    if (arguments.value(1) == QLatin1String("batch") && arguments.size() == 4)
        return benchBatch(arguments.at(2), arguments.at(3));
    std::fprintf(stderr, "usage: vexa-window-bench tree | download IMAGE FOLDER | smallcard IMAGE | batch IMAGE FOLDER"
                         " | views-card IMAGE | views IMAGE | views-download IMAGE FOLDER | shot IMAGE PNG [CARDPATH]\n");
    return 2;
}
