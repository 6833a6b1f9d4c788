// The program's one window: the device chooser, the checkable tree of the card's
// directories and files, and the download batch that copies checked files to a folder.
#pragma once

#include "devicediscoverer.h"
#include "filesystem.h"
#include "qualityreport.h"

#include <QFutureWatcher>
#include <QMainWindow>
#include <QStringList>
#include <QTimer>

#include <atomic>
#include <memory>
#include <thread>

class CardViews;
class HarvestView;
class QCloseEvent;
class QSplitter;
namespace Ui {
class MainWindow;
}
class QTreeWidgetItem;

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    MainWindow();
    ~MainWindow() override;

    // Puts the existing files among `paths` (card images) at the top of the device
    // chooser, in the given order, and makes the first of them current.
    void addCardImages(const QStringList &paths);

    // The window's card reader, for those who watch its exports.
    Filesystem *cardReader() const { return filesystem.get(); }
    // True from the start of a download until the last file of its batch has ended.
    bool isDownloading() const { return m_batchRunning; }
    // The timeline and the quick look beside the tree, and the quick scan behind them.
    CardViews *cardViews() const { return m_views; }
    // The card images in the chooser besides the machine's devices, which probes find themselves.
    QStringList chosenImages() const;
    // The harvest view, opened on the chooser's card images; created on first use.
    HarvestView *openHarvestView();

    // One file of a batch: where it is on the card and the name it gets in the folder.
    struct BatchFile
    {
        EntryInfo entry;    // as listed: the copy needs no name parsed
        QString cardPath;   // "/DIRECTORY/FILE", or "/log"
        QString outputName; // "FILE.mseed", or "log"
    };
    // How a batch ended, as its worker hands it back.
    struct BatchOutcome
    {
        int total = 0;      // files in the batch
        int ended = 0;      // files whose copy ended, well or not, before any stop
        bool stopped = false;
        bool cardStopped = false; // the card stopped answering; nothing more was read
        int unlisted = 0;   // checked directories whose files could not be listed
        QStringList problems; // "PATH: REASON": the unlisted directories, then each file
                              // not downloaded completely, then what failed beside them
        bool sds = false;           // filed into an SDS archive rather than copied as files
        qint64 recordsFiled = 0;    // SDS: records appended to day files
        qint64 recordsAlreadyThere = 0;
        int dayFiles = 0;           // SDS: day files appended to
        QualityReport report;       // the records the batch read
    };

public Q_SLOTS:
    void openFile();
    void itemDoubleClicked(QTreeWidgetItem *item);
    void browseDownloadFolder();
    void downloadChecked();
    void selectAll();
    void stopDownload();

private Q_SLOTS:
    void progress(int current, int total);
    void itemChanged(QTreeWidgetItem *item, int);

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void populateTree();
    // `unlisted`: "PATH: REASON" of the checked directories that could not be listed.
    void startBatch(QList<BatchFile> files, const QStringList &unlisted);
    bool checkDownloadFolder(const QString &folder);
    void finishBatch(const BatchOutcome &outcome);
    // The window as between batches: bar and Stop hidden, the buttons enabled again.
    void endBatch();
    void stopDownloads();
    void relayProgress(int current, int total);
    void showProgress();

    void setUpViews();
    void saveWindowLayout();

    // The chooser's devices and images, looked at on the pool; showProbes() lists the
    // cards first with their span and says of the others that they are no card.
    void probeDevices();
    void showProbes(const QVector<DeviceProbe> &probes);
    QString chosenDevice() const;

    std::unique_ptr<Ui::MainWindow> ui; // pointers to the form's widgets, which the window owns
    std::shared_ptr<Filesystem> filesystem;
    QSplitter *m_splitter = nullptr; // the tree and the views beside it, in the tree's row
    CardViews *m_views = nullptr;

    // The running batch: one thread of the window's own copies its files one after
    // another; its end, and only its end, ends the batch. The window's Stop and its
    // closing stop it through the reader's stop token; closing joins it.
    bool m_batchRunning = false;
    std::thread m_batch;
    // Set while a directory's mark is copied to its files, so that each file's change
    // does not re-examine all of its siblings.
    bool m_settingChildren = false;

    // The reader reports every sector and the task each file it begins; the bar reads
    // the latest of both now and then, so the copy never waits for the window.
    std::atomic<quint64> m_latestProgress{0};
    std::atomic<int> m_currentFile{0};
    int m_batchSize = 0;
    QTimer m_barTimer;

    QFutureWatcher<QVector<DeviceProbe>> m_probeWatcher;
    bool m_probeAgain = false;   // images were added while a probe ran
    bool m_deviceChosen = false; // by the user or with the images: kept when the list is redone
    HarvestView *m_harvestView = nullptr; // a child of the window
};
