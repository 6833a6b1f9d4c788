#include "cardscanner.h"

#include "filesystem.h"
#include "quickscan.h"

#include <QElapsedTimer>
#include <QMutexLocker>

namespace {

// Results go to the window in batches at most this often, so that a card of thousands of
// files fills its columns without flooding the window's event queue.
constexpr qint64 BatchIntervalMs = 50;

} // namespace

CardScanner::CardScanner(std::shared_ptr<Filesystem> card, QObject *parent)
    : QObject(parent)
    , m_card(std::move(card))
{
    m_pool.setMaxThreadCount(1);
}

CardScanner::~CardScanner()
{
    stop();
}

void CardScanner::start(const QVector<File> &files)
{
    m_scan.requestStop();
    m_scan = StopToken();
    {
        const QMutexLocker locker(&m_mutex);
        m_resume.wakeAll();
    }
    m_running = true;
    const StopToken stop = m_scan;
    m_pool.start([this, stop, files] { run(stop, files); });
}

void CardScanner::stop()
{
    m_scan.requestStop();
    {
        const QMutexLocker locker(&m_mutex);
        m_resume.wakeAll();
    }
    m_pool.waitForDone();
    m_running = false;
}

void CardScanner::setPaused(bool paused)
{
    const QMutexLocker locker(&m_mutex);
    m_paused = paused;
    if (!paused)
        m_resume.wakeAll();
}

void CardScanner::run(const StopToken &stop, QVector<File> files)
{
    const auto current = [&stop] { return !stop.stopRequested(); };
    QVector<FilePicture> batch;
    QElapsedTimer sinceBatch;
    sinceBatch.start();
    const auto deliver = [&] {
        QMetaObject::invokeMethod(this, [this, stop, batch] {
            if (!stop.stopRequested())
                Q_EMIT scanned(batch);
        }, Qt::QueuedConnection);
        batch.clear();
        sinceBatch.restart();
    };
    // Between two reads the scan gives way: to a newer scan, and to a download, after
    // which the file is read again from its start.
    const auto proceed = [this, &current] { return current() && !m_paused.load(); };
    for (int i = 0; i < files.size();) {
        {
            QMutexLocker locker(&m_mutex);
            while (m_paused && current())
                m_resume.wait(&m_mutex);
        }
        if (!current())
            return;
        bool interrupted = false;
        const FilePicture picture = QuickScan::scanFile(*m_card, files.at(i).entry, files.at(i).cardPath, proceed,
                                                        &interrupted);
        if (interrupted)
            continue;
        batch.append(picture);
        ++i;
        if (sinceBatch.elapsed() >= BatchIntervalMs)
            deliver();
    }
    deliver();
    QMetaObject::invokeMethod(this, [this, stop] {
        if (stop.stopRequested())
            return;
        m_running = false;
        Q_EMIT finished();
    }, Qt::QueuedConnection);
}

QuickLookLoader::QuickLookLoader(std::shared_ptr<Filesystem> card, QObject *parent)
    : QObject(parent)
    , m_card(std::move(card))
{
    m_pool.setMaxThreadCount(1);
}

QuickLookLoader::~QuickLookLoader()
{
    cancel();
    m_pool.waitForDone();
}

void QuickLookLoader::cancel()
{
    m_load.requestStop();
}

void QuickLookLoader::load(const QString &cardPath)
{
    m_load.requestStop();
    m_load = StopToken();
    const StopToken stop = m_load;
    std::shared_ptr<Filesystem> card = m_card;
    m_pool.start([this, stop, card, cardPath] {
        const auto cancelled = [stop] { return stop.stopRequested(); };
        auto look = std::make_shared<QuickLook>();
        look->cardPath = cardPath;
        // A file that cannot be read still answers, with its reason, unless overtaken.
        const bool done = !cancelled() && (loadQuickLook(*card, cardPath, cancelled, look.get()) || !cancelled());
        QMetaObject::invokeMethod(this, [this, stop, done, look] {
            if (done && !stop.stopRequested())
                Q_EMIT loaded(look);
            else
                Q_EMIT discarded(look->cardPath);
        }, Qt::QueuedConnection);
    });
}
