#include "mainwindow.h"
#include "devicediscoverer.h"
#include "treeitems.h"
#include "ui_mainwindow.h"

#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QSettings>
#include <QThreadPool>
#include <QtConcurrent>

namespace {

const char *const DownloadFolderKey = "download_folder";
// Interval between bar updates while sectors stream in; the end of a copy always shows.
constexpr qint64 ProgressIntervalMs = 20;

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

    const QSettings settings;
    ui->e_downloadFolder->setText(settings.value(QLatin1String(DownloadFolderKey)).toString());
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
}

void MainWindow::populateTree()
{
}

void MainWindow::selectAll()
{
}

void MainWindow::itemChanged(QTreeWidgetItem *item, int)
{
    Q_UNUSED(item);
}

void MainWindow::downloadChecked()
{
}

void MainWindow::itemDoubleClicked(QTreeWidgetItem *item)
{
    Q_UNUSED(item);
}

void MainWindow::downloadNextFile()
{
}

void MainWindow::progress(int current, int total)
{
    Q_UNUSED(current);
    Q_UNUSED(total);
}

void MainWindow::progressValueChanged(int value)
{
    Q_UNUSED(value);
}

void MainWindow::stopDownloads()
{
}

void MainWindow::relayProgress(int current, int total)
{
    Q_UNUSED(current);
    Q_UNUSED(total);
}
