// The program's one window: the device chooser, the checkable tree of the card's
// directories and files, and the download queue that copies checked files to a folder.
#pragma once

#include "filesystem.h"

#include <QElapsedTimer>
#include <QFuture>
#include <QMainWindow>
#include <QStringList>

#include <atomic>
#include <memory>

class CardViews;
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

public Q_SLOTS:
    void openFile();
    void itemDoubleClicked(QTreeWidgetItem *item);
    void browseDownloadFolder();
    void downloadChecked();
    void selectAll();

private Q_SLOTS:
    void progress(int current, int total);
    void progressValueChanged(int value);
    void itemChanged(QTreeWidgetItem *item, int);

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void populateTree();
    void downloadNextFile();

    void startBatch(const QStringList &paths);
    bool checkDownloadFolder(const QString &folder);
    void exportFinished(quint64 task, const QString &path, const ExportResult &result);
    void finishBatch();
    void stopDownloads();
    void relayProgress(int current, int total);

    void setUpViews();
    void saveLayout();

    std::unique_ptr<Ui::MainWindow> ui; // pointers to the form's widgets, which the window owns
    std::shared_ptr<Filesystem> filesystem;
    QSplitter *m_splitter = nullptr; // the tree and the views beside it, in the tree's row
    CardViews *m_views = nullptr;
    QString rootPath;
    QStringList downloadQueue;

    // The running batch. Exports run one at a time on the global pool; each task is
    // numbered so that its end can be told apart from its successor's.
    bool m_batchRunning = false;
    bool m_closing = false;
    quint64 m_currentTask = 0;
    QList<QFuture<ExportResult>> m_tasks;
    QStringList m_problems;
    // Set while a directory's mark is copied to its files, so that each file's change
    // does not re-examine all of its siblings.
    bool m_settingChildren = false;

    // The reader reports every sector; the bar is fed the latest report, at most one
    // pending update at a time, so a fast copy cannot flood the event queue.
    std::atomic<quint64> m_latestProgress{0};
    std::atomic<bool> m_progressPending{false};
    std::atomic<qint64> m_lastProgressPost{0};
    std::atomic<unsigned> m_progressCount{0};
    QElapsedTimer m_clock;
};
