#include "mainwindow.h"
#include "cardviews.h"
#include "devicediscoverer.h"
#include "treeitems.h"
#include "ui_mainwindow.h"

#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QMessageBox>
#include <QScreen>
#include <QSettings>
#include <QSplitter>
#include <QThreadPool>
#include <QtConcurrent>

#include <algorithm>

namespace {

const char *const DownloadFolderKey = "download_folder";
const char *const GeometryKey = "window_geometry";
const char *const SplitterKey = "splitter_state";
const char *const ViewsSplitterKey = "views_splitter_state";
const char *const ColumnsKey = "tree_columns";
// Interval between bar updates while sectors stream in; the end of a copy always shows.
constexpr qint64 ProgressIntervalMs = 20;
// Sectors between two looks at the clock: 32 KiB, a few milliseconds even on a slow card.
constexpr unsigned ProgressSampleSectors = 64;

} // namespace

MainWindow::MainWindow()
    : ui(std::make_unique<Ui::MainWindow>())
    , filesystem(std::make_shared<Filesystem>())
{
    ui->setupUi(this);
    m_clock.start();

    const DeviceDiscoverer discoverer;
    ui->cb_device->addItems(discoverer.listDevices());

    // Direct: the reader emits on a pool thread once per sector; relayProgress() keeps
    // only the latest report and hands it to progress() on this thread.
    connect(filesystem.get(), &Filesystem::progress, this, &MainWindow::relayProgress, Qt::DirectConnection);

    setUpViews();
    const QSettings settings;
    ui->e_downloadFolder->setText(settings.value(QLatin1String(DownloadFolderKey)).toString());
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

void MainWindow::saveLayout()
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
        ui->cb_device->insertItem(row++, QDir::toNativeSeparators(info.absoluteFilePath()));
    }
    if (row > 0)
        ui->cb_device->setCurrentIndex(0);
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    QSettings settings;
    settings.setValue(QLatin1String(DownloadFolderKey), ui->e_downloadFolder->text());
    saveLayout();
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
    // The chooser stays fixed from the first attempt on; Open retries the same path.
    ui->cb_device->setEnabled(false);
    const QString devicePath = ui->cb_device->currentText();
    // The views stop reading the card before the reader turns to another.
    m_views->stop();
    if (!filesystem->open(devicePath)) {
        QMessageBox box(QMessageBox::Critical, tr("Error"), tr("Unable to open device"), QMessageBox::Ok, this);
        box.setInformativeText(filesystem->errorString());
        box.exec();
        return;
    }
    rootPath = QStringLiteral("/");
    populateTree();
    m_views->cardOpened();
}

void MainWindow::populateTree()
{
    ui->tw_files->clear();
    const QList<EntryInfo> root = filesystem->list(rootPath);
    for (const EntryInfo &entry : root) {
        if (entry.name == QLatin1String("log")) {
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
    downloadQueue.clear();
    for (int i = 0; i < ui->tw_files->topLevelItemCount(); ++i) {
        QTreeWidgetItem *top = ui->tw_files->topLevelItem(i);
        for (int j = 0; j < top->childCount(); ++j) {
            QTreeWidgetItem *child = top->child(j);
            if (child->checkState(0) == Qt::Checked && child->type() == FileItem::Type)
                downloadQueue.append(static_cast<FileItem *>(child)->path);
        }
        // The recorder's log comes with every batch, checked or not.
        if (top->text(0) == QLatin1String("log"))
            downloadQueue.append(QStringLiteral("/log"));
    }
    startBatch(downloadQueue);
}

void MainWindow::itemDoubleClicked(QTreeWidgetItem *item)
{
    if (m_batchRunning || item->type() != FileItem::Type)
        return;
    startBatch({static_cast<FileItem *>(item)->path});
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

void MainWindow::startBatch(const QStringList &paths)
{
    if (paths.isEmpty())
        return;
    if (!checkDownloadFolder(ui->e_downloadFolder->text())) {
        downloadQueue.clear();
        return;
    }
    downloadQueue = paths;
    m_problems.clear();
    m_batchRunning = true;
    m_views->setDownloading(true);
    // One export at a time: the card has a single read position.
    ui->b_open->setEnabled(false);
    ui->b_downloadChecked->setEnabled(false);
    downloadNextFile();
}

void MainWindow::downloadNextFile()
{
    if (downloadQueue.isEmpty())
        return;
    const QString path = downloadQueue.takeFirst();
    const QString folder = ui->e_downloadFolder->text();
    const quint64 task = ++m_currentTask;

    // The task holds its own share of the reader; the window still waits for it on close.
    std::shared_ptr<Filesystem> reader = filesystem;
    QFuture<ExportResult> future = QtConcurrent::run(QThreadPool::globalInstance(), [reader, path, folder] {
        return reader->exportFile(path, folder);
    });
    m_tasks.append(future);
    auto *watcher = new QFutureWatcher<ExportResult>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, task, path] {
        watcher->deleteLater();
        exportFinished(task, path, watcher->result());
    });
    watcher->setFuture(future);
}

void MainWindow::exportFinished(quint64 task, const QString &path, const ExportResult &result)
{
    m_tasks.erase(std::remove_if(m_tasks.begin(), m_tasks.end(), [](const QFuture<ExportResult> &f) {
                      return f.isFinished();
                  }),
                  m_tasks.end());
    if (m_closing)
        return;
    if (result.status != ExportResult::Complete)
        m_problems.append(tr("%1: %2").arg(path, result.message));
    // An export that gave up sends no final progress, so the batch goes on from here;
    // after a final progress the next file has been started already.
    if (task == m_currentTask && !downloadQueue.isEmpty())
        downloadNextFile();
    if (downloadQueue.isEmpty() && m_tasks.isEmpty())
        finishBatch();
}

void MainWindow::finishBatch()
{
    m_batchRunning = false;
    m_views->setDownloading(false);
    ui->b_open->setEnabled(true);
    ui->b_downloadChecked->setEnabled(true);
    ui->pb_progress->hide();
    if (m_problems.isEmpty())
        return;
    const QString text = tr("These files were not downloaded completely:\n\n%1").arg(m_problems.join(QLatin1Char('\n')));
    m_problems.clear();
    QMessageBox::warning(this, tr("Download"), text);
}

void MainWindow::progress(int current, int total)
{
    if (total != ui->pb_progress->maximum())
        ui->pb_progress->setMaximum(total);
    ui->pb_progress->setValue(current);
    if (current == total && !downloadQueue.isEmpty())
        downloadNextFile();
}

void MainWindow::progressValueChanged(int value)
{
    ui->pb_progress->setVisible(value != ui->pb_progress->maximum());
}

void MainWindow::stopDownloads()
{
    if (m_tasks.isEmpty())
        return;
    m_closing = true;
    downloadQueue.clear();
    // Between two sectors the export removes its partial file and returns.
    filesystem->requestStop();
    for (QFuture<ExportResult> &task : m_tasks)
        task.waitForFinished();
    m_tasks.clear();
}

void MainWindow::relayProgress(int current, int total)
{
    // On the exporting thread, once per sector: keep it cheap. Keep the latest report;
    // now and then, post it unless one is on its way already or the bar was fed a
    // moment ago. The start and the end of a copy are always posted.
    m_latestProgress.store((quint64(quint32(current)) << 32) | quint32(total), std::memory_order_release);
    const bool edge = current == 0 || current == total;
    if (!edge) {
        const unsigned count = m_progressCount.load(std::memory_order_relaxed) + 1;
        m_progressCount.store(count, std::memory_order_relaxed);
        if (count % ProgressSampleSectors != 0)
            return;
    }
    const qint64 now = m_clock.elapsed();
    if (!edge && now - m_lastProgressPost.load(std::memory_order_relaxed) < ProgressIntervalMs)
        return;
    if (m_progressPending.exchange(true))
        return;
    m_lastProgressPost.store(now, std::memory_order_relaxed);
    QMetaObject::invokeMethod(this, [this] {
        m_progressPending.store(false);
        const quint64 latest = m_latestProgress.load(std::memory_order_acquire);
        progress(int(quint32(latest >> 32)), int(quint32(latest)));
    }, Qt::QueuedConnection);
}
