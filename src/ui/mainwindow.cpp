#include "mainwindow.h"
#include "archiveexport.h"
#include "cardviews.h"
#include "destinationwriter.h"
#include "devicediscoverer.h"
#include "harvestview.h"
#include "reportpicture.h"
#include "treeitems.h"
#include "ui_mainwindow.h"

#include <QtConcurrent/QtConcurrentRun>
#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QHeaderView>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QSet>
#include <QSettings>
#include <QSplitter>
#include <QStyle>
#include <QTextEdit>

#include <algorithm>

namespace {

const char *const DownloadFolderKey = "download_folder";
const char *const GeometryKey = "window_geometry";
const char *const SplitterKey = "splitter_state";
const char *const ViewsSplitterKey = "views_splitter_state";
const char *const ColumnsKey = "tree_columns";
const char *const LayoutKey = "download_layout";
// Interval between two looks of the bar at the copy under way.
constexpr int ProgressIntervalMs = 40;
// Files named in the summary box itself; its details list every one.
constexpr int SummaryLines = 3;
// Lines of problems and quality report in the summary's details.
constexpr int DetailLines = 2000;

quint64 packProgress(int current, int total)
{
    return (quint64(quint32(current)) << 32) | quint32(total);
}

// Where a file of the tree goes: named from its record, the log as "log".
MainWindow::BatchFile batchFile(const FileItem *item)
{
    if (item->entry.isLog())
        return {item->entry, item->path, QStringLiteral("log")};
    return {item->entry, item->path, cardFileName(item->entry.record.startTime) + QLatin1String(".mseed")};
}

// True when something, even a link to nothing, has this name already.
bool destinationTaken(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

QString deviceLabel(const DeviceProbe &probe)
{
    const QString device = QDir::toNativeSeparators(probe.device);
    switch (probe.verdict) {
    case DeviceProbe::Card:
        if (probe.files == 0)
            return MainWindow::tr("%1 \u2014 card, no files").arg(device);
        return MainWindow::tr("%1 \u2014 card, %2, %3 to %4")
            .arg(device, probe.files == 1 ? MainWindow::tr("1 file") : MainWindow::tr("%1 files").arg(probe.files),
                 cardMinuteText(probe.first), cardMinuteText(probe.last));
    case DeviceProbe::NotACard:
        return MainWindow::tr("%1 \u2014 not a card").arg(device);
    case DeviceProbe::Unreadable:
        break;
    }
    return MainWindow::tr("%1 \u2014 unreadable").arg(device);
}

} // namespace

MainWindow::MainWindow()
    : ui(std::make_unique<Ui::MainWindow>())
    , filesystem(std::make_shared<Filesystem>())
{
    ui->setupUi(this);
    ui->pb_progress->hide();
    ui->b_stop->hide();

    const DeviceDiscoverer discoverer;
    for (const QString &device : discoverer.listDevices())
        ui->cb_device->addItem(device, device);
    connect(ui->cb_device, &QComboBox::activated, this, [this] { m_deviceChosen = true; });
    connect(ui->b_harvest, &QPushButton::clicked, this, &MainWindow::openHarvestView);
    connect(&m_probeWatcher, &QFutureWatcherBase::finished, this, [this] { showProbes(m_probeWatcher.result()); });
    // After the caller's images have joined the chooser.
    QTimer::singleShot(0, this, &MainWindow::probeDevices);

    // Direct: the reader emits on a pool thread once per sector; relayProgress() only
    // keeps the latest report, which the bar's timer shows.
    connect(filesystem.get(), &Filesystem::progress, this, &MainWindow::relayProgress, Qt::DirectConnection);
    connect(&m_barTimer, &QTimer::timeout, this, &MainWindow::showProgress);
    // The names of a directory's files show in full once it is opened; measuring them all
    // when the tree is filled would cost the time of a full card's rows.
    connect(ui->tw_files, &QTreeWidget::itemExpanded, this, [this] { ui->tw_files->resizeColumnToContents(0); });
    m_barTimer.setInterval(ProgressIntervalMs);

    setUpViews();
    const QSettings settings;
    ui->e_downloadFolder->setText(settings.value(QLatin1String(DownloadFolderKey)).toString());
    ui->cb_layout->setCurrentIndex(settings.value(QLatin1String(LayoutKey)).toString() == QLatin1String("sds") ? 1 : 0);
}

void MainWindow::setUpViews()
{
    // The tree keeps its row of the form; the views go beside it, in a splitter there.
    auto *grid = static_cast<QGridLayout *>(ui->centralwidget->layout());
    m_splitter = new QSplitter(Qt::Horizontal, ui->centralwidget);
    m_splitter->setObjectName(QStringLiteral("sp_tree"));
    m_splitter->setChildrenCollapsible(false);
    delete grid->replaceWidget(ui->tw_files, m_splitter); // the tree's old layout item
    m_splitter->addWidget(ui->tw_files);
    m_views = new CardViews(filesystem, ui->tw_files, m_splitter);
    m_splitter->addWidget(m_views);
    m_splitter->setStretchFactor(0, 0);
    m_splitter->setStretchFactor(1, 1);

    const QSettings settings;
    if (!restoreGeometry(settings.value(QLatin1String(GeometryKey)).toByteArray())) {
        // Room for the tree's columns beside a readable timeline and three traces, within
        // the screen.
        QSize size(1280, 800);
        if (const QScreen *s = screen())
            size = size.boundedTo(s->availableSize() * 0.95);
        resize(size);
        int treeWidth = 2 * ui->tw_files->frameWidth() + 24 + 2 * ui->tw_files->indentation();
        for (int c = 0; c < ui->tw_files->columnCount(); ++c)
            treeWidth += ui->tw_files->header()->sectionSize(c);
        treeWidth = qMin(treeWidth, size.width() * 3 / 5);
        m_splitter->setSizes({treeWidth, size.width() - treeWidth});
    }
    m_splitter->restoreState(settings.value(QLatin1String(SplitterKey)).toByteArray());
    m_views->restoreState(settings.value(QLatin1String(ViewsSplitterKey)).toByteArray());
    ui->tw_files->header()->restoreState(settings.value(QLatin1String(ColumnsKey)).toByteArray());
}

void MainWindow::saveWindowLayout()
{
    QSettings settings;
    settings.setValue(QLatin1String(GeometryKey), saveGeometry());
    settings.setValue(QLatin1String(SplitterKey), m_splitter->saveState());
    settings.setValue(QLatin1String(ViewsSplitterKey), m_views->saveState());
    settings.setValue(QLatin1String(ColumnsKey), ui->tw_files->header()->saveState());
}

MainWindow::~MainWindow()
{
    // The reader must outlive every export that uses it.
    stopDownloads();
}

void MainWindow::addCardImages(const QStringList &paths)
{
    int row = 0;
    for (const QString &path : paths) {
        const QFileInfo info(path);
        if (!info.isFile())
            continue;
        const QString image = QDir::toNativeSeparators(info.absoluteFilePath());
        ui->cb_device->insertItem(row++, image, image);
    }
    if (row > 0) {
        ui->cb_device->setCurrentIndex(0);
        m_deviceChosen = true;
        if (m_probeWatcher.isRunning())
            m_probeAgain = true;
    }
}

void MainWindow::probeDevices()
{
    if (m_probeWatcher.isRunning()) {
        m_probeAgain = true;
        return;
    }
    const QStringList images = chosenImages();
    m_probeWatcher.setFuture(QtConcurrent::run([images] { return DeviceDiscoverer().probeDevices(images); }));
}

QStringList MainWindow::chosenImages() const
{
    QStringList images;
    const QStringList devices = DeviceDiscoverer().listDevices();
    for (int i = 0; i < ui->cb_device->count(); ++i) {
        const QString path = ui->cb_device->itemData(i).toString();
        if (!devices.contains(path))
            images.append(path);
    }
    return images;
}

HarvestView *MainWindow::openHarvestView()
{
    if (!m_harvestView) {
        const QStringList images = chosenImages();
        m_harvestView = new HarvestView(this);
        m_harvestView->addCardImages(images);
    }
    m_harvestView->show();
    m_harvestView->raise();
    m_harvestView->activateWindow();
    return m_harvestView;
}

void MainWindow::showProbes(const QVector<DeviceProbe> &probes)
{
    if (m_probeAgain) {
        m_probeAgain = false;
        probeDevices();
        return;
    }
    // The device open or chosen stays chosen; otherwise the first card (listed first) is.
    const QString chosen = chosenDevice();
    const bool keep = m_deviceChosen || !ui->cb_device->isEnabled();
    ui->cb_device->clear();
    for (const DeviceProbe &probe : probes) {
        ui->cb_device->addItem(deviceLabel(probe), probe.device);
        if (!probe.detail.isEmpty())
            ui->cb_device->setItemData(ui->cb_device->count() - 1, probe.detail, Qt::ToolTipRole);
    }
    const int index = ui->cb_device->findData(chosen);
    ui->cb_device->setCurrentIndex(keep && index >= 0 ? index : 0);
}

QString MainWindow::chosenDevice() const
{
    // An item's label carries what the probe found; its data is the path. A typed path
    // has no item behind it.
    const QString path = ui->cb_device->currentData().toString();
    const bool typed = ui->cb_device->currentText() != ui->cb_device->itemText(ui->cb_device->currentIndex());
    return path.isEmpty() || typed ? ui->cb_device->currentText() : path;
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    QSettings settings;
    settings.setValue(QLatin1String(DownloadFolderKey), ui->e_downloadFolder->text());
    saveWindowLayout();
    settings.setValue(QLatin1String(LayoutKey), ui->cb_layout->currentIndex() == 1 ? QStringLiteral("sds")
                                                                                  : QStringLiteral("files"));
    stopDownloads();
    event->accept();
}

void MainWindow::browseDownloadFolder()
{
    const QString folder = QFileDialog::getExistingDirectory(this, tr("Select download folder"), QString(),
                                                             QFileDialog::ShowDirsOnly);
    if (!folder.isEmpty())
        ui->e_downloadFolder->setText(folder);
}

void MainWindow::openFile()
{
    // An open card fixes the chooser; Open reads the same path again. After a failure
    // another device can be chosen.
    ui->cb_device->setEnabled(false);
    const QString devicePath = chosenDevice();
    // The views stop reading the card before the reader turns to another.
    m_views->stop();
    if (!filesystem->open(devicePath)) {
        ui->cb_device->setEnabled(true);
        QMessageBox box(QMessageBox::Critical, tr("Error"), tr("Unable to open device"), QMessageBox::Ok, this);
        box.setInformativeText(filesystem->errorString());
        box.exec();
        return;
    }
    populateTree();
    m_views->cardOpened();
}

void MainWindow::populateTree()
{
    ui->tw_files->clear();
    QStringList problems;
    const QList<EntryInfo> root = filesystem->listRoot(&problems);
    if (root.isEmpty() && !problems.isEmpty()) {
        QMessageBox box(QMessageBox::Warning, tr("Error"), tr("The card's directory table cannot be read."),
                        QMessageBox::Ok, this);
        box.setInformativeText(problems.first());
        box.exec();
        return;
    }
    for (const EntryInfo &entry : root) {
        if (entry.isLog()) {
            auto *item = new FileItem(entry);
            item->setText(0, entry.name);
            item->setText(1, QString::number(entry.size));
            ui->tw_files->addTopLevelItem(item);
            item->path = QStringLiteral("/log");
            item->setCheckState(0, Qt::Unchecked);
            continue;
        }
        auto *directory = new DirectoryItem(entry);
        directory->setText(0, entry.name);
        directory->setText(1, QString::number(entry.size));
        ui->tw_files->addTopLevelItem(directory);
        directory->setCheckState(0, Qt::Unchecked);
        if (!entry.problem.isEmpty()) {
            // Its files cannot be listed: marked, with the reason where the pointer rests.
            directory->setIcon(0, style()->standardIcon(QStyle::SP_MessageBoxWarning));
            directory->setToolTip(0, entry.problem);
            continue;
        }

        // By table slot, not by name: two recordings that began in the same minute
        // share a name, and each must show its own files.
        const QString directoryPath = QLatin1Char('/') + entry.name;
        QList<QTreeWidgetItem *> files;
        for (const EntryInfo &fileEntry : filesystem->listDirectory(entry.index)) {
            auto *file = new FileItem(fileEntry);
            file->setText(0, fileEntry.name);
            file->setText(1, QString::number(fileEntry.size));
            file->path = directoryPath + QLatin1Char('/') + fileEntry.name;
            file->setCheckState(0, Qt::Unchecked);
            files.append(file);
        }
        directory->addChildren(files);
    }
    ui->tw_files->resizeColumnToContents(0);
    ui->tw_files->resizeColumnToContents(1);
}

void MainWindow::selectAll()
{
    for (int i = 0; i < ui->tw_files->topLevelItemCount(); ++i)
        ui->tw_files->topLevelItem(i)->setCheckState(0, Qt::Checked);
}

void MainWindow::itemChanged(QTreeWidgetItem *item, int)
{
    QTreeWidgetItem *parent = item->parent();
    if (!parent) {
        const Qt::CheckState state = item->checkState(0);
        if (state == Qt::PartiallyChecked)
            return;
        // A directory's mark goes to all its files; the directory already shows the
        // result, so the files need not report back one by one.
        m_settingChildren = true;
        for (int i = 0; i < item->childCount(); ++i)
            item->child(i)->setCheckState(0, state);
        m_settingChildren = false;
        return;
    }
    if (m_settingChildren)
        return;

    bool anyChecked = false;
    bool anyUnchecked = false;
    for (int i = 0; i < parent->childCount() && !(anyChecked && anyUnchecked); ++i) {
        const Qt::CheckState state = parent->child(i)->checkState(0);
        anyChecked = anyChecked || state == Qt::Checked;
        anyUnchecked = anyUnchecked || state == Qt::Unchecked;
    }
    if (!anyChecked)
        parent->setCheckState(0, Qt::Unchecked);
    else if (!anyUnchecked)
        parent->setCheckState(0, Qt::Checked);
    else
        parent->setCheckState(0, Qt::PartiallyChecked);
}

void MainWindow::downloadChecked()
{
    if (m_batchRunning)
        return;
    QList<BatchFile> files;
    QStringList unlisted;
    for (int i = 0; i < ui->tw_files->topLevelItemCount(); ++i) {
        QTreeWidgetItem *top = ui->tw_files->topLevelItem(i);
        // A checked directory whose files could not be listed: the summary says so.
        if (top->type() == DirectoryItem::Type && top->checkState(0) == Qt::Checked) {
            const EntryInfo &entry = static_cast<DirectoryItem *>(top)->entry;
            if (!entry.problem.isEmpty())
                unlisted.append(tr("%1: %2").arg(QLatin1Char('/') + entry.name, entry.problem));
        }
        for (int j = 0; j < top->childCount(); ++j) {
            QTreeWidgetItem *child = top->child(j);
            if (child->checkState(0) == Qt::Checked && child->type() == FileItem::Type)
                files.append(batchFile(static_cast<FileItem *>(child)));
        }
        // The recorder's log comes with every batch, checked or not.
        if (top->type() == FileItem::Type)
            files.append(batchFile(static_cast<FileItem *>(top)));
    }
    startBatch(files, unlisted);
}

void MainWindow::itemDoubleClicked(QTreeWidgetItem *item)
{
    if (m_batchRunning || item->type() != FileItem::Type)
        return;
    startBatch({batchFile(static_cast<FileItem *>(item))}, {});
}

bool MainWindow::checkDownloadFolder(const QString &folder)
{
    QString problem;
    const QFileInfo info(folder);
    if (folder.isEmpty())
        problem = tr("No download folder is set. Choose one with the \"...\" button.");
    else if (!info.isDir())
        problem = tr("The download folder \"%1\" does not exist.").arg(QDir::toNativeSeparators(folder));
    else if (!info.isWritable())
        problem = tr("The download folder \"%1\" cannot be written.").arg(QDir::toNativeSeparators(folder));
    if (problem.isEmpty())
        return true;
    QMessageBox::critical(this, tr("Error"), problem);
    return false;
}

void MainWindow::startBatch(QList<BatchFile> files, const QStringList &unlisted)
{
    if (files.isEmpty())
        return;
    // The folder is read once: editing the field during the batch changes nothing.
    const QString folder = ui->e_downloadFolder->text();
    if (!checkDownloadFolder(folder))
        return;

    // Files of another card may have the same names (recorders of an array start
    // together): nothing is replaced unasked. An archive takes each record once, so
    // filing a card again replaces nothing there.
    const bool sds = ui->cb_layout->currentIndex() == 1;
    QStringList existing;
    if (!sds) {
        // The folder is listed once rather than looked at per file (a card holds tens of
        // thousands); a name it may hold, in any case, is then looked at itself.
        const QSet<QString> present = DestinationWriter::namesHeld(folder);
        for (const BatchFile &file : files) {
            if (DestinationWriter::mayHold(present, file.outputName) && destinationTaken(QDir(folder).filePath(file.outputName)))
                existing.append(file.outputName);
        }
    }
    if (!existing.isEmpty()) {
        const QString where = QDir::toNativeSeparators(folder);
        const QString text = existing.size() == 1
            ? tr("\"%1\" exists already in \"%2\".").arg(existing.first(), where)
            : tr("%1 of the %2 files exist already in \"%3\".").arg(existing.size()).arg(files.size()).arg(where);
        QMessageBox box(QMessageBox::Question, tr("Download"), text, QMessageBox::NoButton, this);
        box.setInformativeText(tr("Replace them with the card's copies, or download only the others?"));
        if (existing.size() > 1)
            box.setDetailedText(existing.join(QLatin1Char('\n')));
        QPushButton *replace = box.addButton(tr("Replace"), QMessageBox::AcceptRole);
        QPushButton *skip = box.addButton(tr("Skip existing"), QMessageBox::AcceptRole);
        QPushButton *cancel = box.addButton(tr("Cancel"), QMessageBox::RejectRole);
        box.setDefaultButton(skip);
        box.setEscapeButton(cancel);
        box.exec();
        if (box.clickedButton() == skip) {
            const QSet<QString> taken(existing.cbegin(), existing.cend());
            files.erase(std::remove_if(files.begin(), files.end(),
                                       [&taken](const BatchFile &file) { return taken.contains(file.outputName); }),
                        files.end());
        } else if (box.clickedButton() != replace) {
            return;
        }
        if (files.isEmpty())
            return;
    }

    m_batchRunning = true;
    m_views->setDownloading(true);
    filesystem->clearStopRequest();
    m_batchSize = int(files.size());
    m_currentFile = 0;
    m_latestProgress = packProgress(0, 1);
    // One batch at a time: the card has a single read position.
    ui->b_open->setEnabled(false);
    ui->b_downloadChecked->setEnabled(false);
    ui->cb_layout->setEnabled(false);
    ui->b_stop->setEnabled(true);
    ui->pb_progress->show();
    ui->b_stop->show();
    showProgress();
    m_barTimer.start();

    // One thread for the whole batch, the same export as vexa-card's: each file read once
    // for its copy (or its day files), its checksum and the quality report. It holds its
    // own share of the reader; the window joins it when the batch ends or it closes.
    std::shared_ptr<Filesystem> reader = filesystem;
    m_batch = std::thread([this, reader, files, folder, unlisted, sds] {
        QStringList paths;
        QList<EntryInfo> entries;
        for (const BatchFile &file : files) {
            paths.append(file.cardPath);
            entries.append(file.entry); // as listed: even where two directories share a name
        }
        ExportBatch batch(*reader, folder, sds ? ExportBatch::Sds : ExportBatch::Files);
        batch.setFileStarted([this](int index, int, const QString &) {
            m_latestProgress.store(packProgress(0, 1));
            m_currentFile.store(index + 1);
        });
        const ExportSummary summary = batch.run(paths, entries);

        const BatchCount count = summary.count();
        BatchOutcome outcome;
        outcome.total = count.total;
        outcome.ended = count.ended;
        outcome.problems = unlisted;
        outcome.unlisted = int(unlisted.size());
        outcome.cardStopped = summary.cardStopped;
        outcome.stopped = summary.stopped && !summary.cardStopped;
        for (const ExportFileOutcome &file : summary.files) {
            if (file.notCopied)
                outcome.problems.append(summary.cardStopped
                                            ? tr("%1: not begun, the card stopped answering").arg(file.cardPath)
                                            : tr("%1: not begun, the download was stopped").arg(file.cardPath));
            else if (!file.copy.isComplete())
                outcome.problems.append(file.copy.problem(file.cardPath));
        }
        outcome.problems += summary.problems;
        outcome.sds = sds;
        outcome.recordsFiled = summary.recordsFiled;
        outcome.recordsAlreadyThere = summary.recordsAlreadyThere;
        outcome.dayFiles = int(summary.dayFiles.size());
        outcome.report = summary.report;
        // Dropped unseen when the window is gone before it arrives.
        QMetaObject::invokeMethod(this, [this, outcome] { finishBatch(outcome); }, Qt::QueuedConnection);
    });
}

void MainWindow::finishBatch(const BatchOutcome &outcome)
{
    if (m_batch.joinable())
        m_batch.join(); // it has handed its outcome over and is returning
    if (!m_batchRunning)
        return; // closed meanwhile: no summary
    endBatch();
    // The files read whole show the figures of their check in place of the quick scan's.
    m_views->applyFullFigures(filePictures(outcome.report));

    const int notDownloaded = int(outcome.problems.size()) - outcome.unlisted;
    QString text;
    if (outcome.cardStopped)
        text = tr("The card stopped answering after %1 of %2 files.").arg(outcome.ended).arg(outcome.total);
    else if (outcome.stopped)
        text = tr("The download was stopped after %1 of %2 files.").arg(outcome.ended).arg(outcome.total);
    else if (notDownloaded > 0)
        text = tr("Not downloaded completely: %1 of %2 files.").arg(notDownloaded).arg(outcome.total);
    else if (!outcome.problems.isEmpty())
        text = tr("Every file listed was downloaded, but some directories could not be read.");
    else
        text = outcome.total == 1 ? tr("Downloaded 1 file.") : tr("Downloaded %1 files.").arg(outcome.total);

    QStringList lines = outcome.problems.mid(0, SummaryLines);
    if (outcome.problems.size() > SummaryLines)
        lines.append(tr("... and %1 more (Show Details).").arg(outcome.problems.size() - SummaryLines));
    if (outcome.sds)
        lines.append(tr("Records filed into the archive: %1, in %2 day files; already there: %3.")
                         .arg(outcome.recordsFiled)
                         .arg(outcome.dayFiles)
                         .arg(outcome.recordsAlreadyThere));
    const int channels = int(outcome.report.channels.size());
    if (channels > 0)
        lines.append(tr("The quality report of the %1 channels read is under Show Details, and in quality.txt.")
                         .arg(channels));

    // However many files failed, the box keeps its size: the details area scrolls. It
    // holds every problem, then the quality report in the columns of quality.txt.
    QStringList details = outcome.problems;
    if (channels > 0) {
        if (!details.isEmpty())
            details.append(QString());
        details.append(qualityText(outcome.report, true));
    }
    // A full card's report runs to a line per file and gap; the box shows its head, the
    // folder keeps it whole. A text edit of a hundred thousand lines costs far more
    // memory than the download did.
    if (!details.isEmpty())
        details = details.join(QLatin1Char('\n')).split(QLatin1Char('\n'));
    if (details.size() > DetailLines) {
        const qsizetype more = details.size() - DetailLines;
        details.resize(DetailLines);
        details.append(tr("... %1 more lines in quality.txt.").arg(more));
    }
    QMessageBox box(outcome.problems.isEmpty() ? QMessageBox::Information : QMessageBox::Warning, tr("Download"), text,
                    QMessageBox::Ok, this);
    box.setInformativeText(lines.join(QLatin1Char('\n')));
    if (!details.isEmpty()) {
        box.setDetailedText(details.join(QLatin1Char('\n')));
        if (auto *view = box.findChild<QTextEdit *>()) {
            view->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
            view->setLineWrapMode(QTextEdit::NoWrap);
            view->setMinimumSize(760, 260);
        }
    }
    box.exec();
}

void MainWindow::endBatch()
{
    m_barTimer.stop();
    showProgress();
    m_batchRunning = false;
    m_views->setDownloading(false);
    ui->b_open->setEnabled(true);
    ui->b_downloadChecked->setEnabled(true);
    ui->cb_layout->setEnabled(true);
    ui->pb_progress->hide();
    ui->b_stop->hide();
}

void MainWindow::stopDownload()
{
    if (!m_batchRunning)
        return;
    // Between two sectors the export removes its partial file and returns.
    filesystem->requestStop();
    ui->b_stop->setEnabled(false);
}

void MainWindow::progress(int current, int total)
{
    // A copy of no sectors still shows as done, and never sets a negative maximum.
    const int maximum = qMax(total, 1);
    if (ui->pb_progress->maximum() != maximum)
        ui->pb_progress->setRange(0, maximum);
    ui->pb_progress->setValue(current >= total ? maximum : qBound(0, current, maximum));
}

void MainWindow::showProgress()
{
    const quint64 latest = m_latestProgress.load(std::memory_order_acquire);
    progress(int(quint32(latest >> 32)), int(quint32(latest)));
    ui->pb_progress->setFormat(tr("File %1 of %2: %p%").arg(qMax(m_currentFile.load(), 1)).arg(m_batchSize));
}

void MainWindow::stopDownloads()
{
    // The quick scan and quick look, paused or not, read the card no more either.
    m_views->stop();
    if (!m_batchRunning)
        return;
    stopDownload();
    if (m_batch.joinable())
        m_batch.join();
    endBatch();
}

void MainWindow::relayProgress(int current, int total)
{
    // On the exporting thread, once per sector: only the latest report is kept.
    m_latestProgress.store(packProgress(current, total), std::memory_order_release);
}
