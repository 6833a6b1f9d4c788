// Workers of the window's views, off the window's thread: the quick scan of every file of
// a card, and the quick look at one file. Each stops at once when replaced.
#pragma once

#include "cardpicture.h"
#include "cardmodel.h"
#include "quicklook.h"
#include "stoptoken.h"

#include <QMutex>
#include <QObject>
#include <QThreadPool>
#include <QVector>
#include <QWaitCondition>

#include <atomic>
#include <memory>

class Filesystem;

class CardScanner : public QObject
{
    Q_OBJECT

public:
    struct File
    {
        QString cardPath;
        EntryInfo entry; // as listed
    };

    explicit CardScanner(std::shared_ptr<Filesystem> card, QObject *parent = nullptr);
    ~CardScanner() override;

    // Scans `files` in order, replacing a scan under way.
    void start(const QVector<File> &files);
    // Ends a scan under way and waits for it.
    void stop();
    // While paused the scan waits between two files: the card has one read position, and
    // a download comes first.
    void setPaused(bool paused);
    bool isRunning() const { return m_running; }

Q_SIGNALS:
    // The figures of some files, in scan order, delivered on the scanner's thread.
    void scanned(const QVector<FilePicture> &files);
    void finished();

private:
    void run(const StopToken &stop, QVector<File> files);

    std::shared_ptr<Filesystem> m_card;
    QThreadPool m_pool;
    StopToken m_scan; // the scan under way's; asked to stop when it is replaced or ended
    std::atomic<bool> m_paused{false};
    bool m_running = false;
    QMutex m_mutex;
    QWaitCondition m_resume;
};

class QuickLookLoader : public QObject
{
    Q_OBJECT

public:
    explicit QuickLookLoader(std::shared_ptr<Filesystem> card, QObject *parent = nullptr);
    ~QuickLookLoader() override;

    // Reads and decodes the file at `cardPath` through the copy pipeline; a load under
    // way is cancelled between two of its chunks or records and never reports.
    void load(const QString &cardPath);
    void cancel();

Q_SIGNALS:
    void loaded(std::shared_ptr<const QuickLook> look);
    // A load that a newer one overtook, cancelled or finished (for the tests).
    void discarded(const QString &cardPath);

private:
    std::shared_ptr<Filesystem> m_card;
    QThreadPool m_pool;
    StopToken m_load; // the load under way's; asked to stop when it is overtaken or cancelled
};
