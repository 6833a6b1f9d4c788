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
    const quint64 generation = ++m_generation;
    m_resume.wakeAll();
    m_running = true;
    m_pool.start([this, generation, files] { run(generation, files); });
}

void CardScanner::stop()
{
    ++m_generation;
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

void CardScanner::run(quint64 generation, QVector<File> files)
{
    const auto current = [this, generation] { return m_generation.load() == generation; };
    QVector<FilePicture> batch;
    QElapsedTimer sinceBatch;
    sinceBatch.start();
    const auto deliver = [&] {
        QMetaObject::invokeMethod(this, [this, generation, batch] {
            if (m_generation.load() == generation)
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
    QMetaObject::invokeMethod(this, [this, generation] {
        if (m_generation.load() != generation)
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
    m_current->store(++m_generation);
}

void QuickLookLoader::load(const QString &cardPath)
{
    const quint64 mine = ++m_generation;
    m_current->store(mine);
    std::shared_ptr<std::atomic<quint64>> current = m_current;
    std::shared_ptr<Filesystem> card = m_card;
    m_pool.start([this, mine, current, card, cardPath] {
        const auto cancelled = [current, mine] { return current->load() != mine; };
        auto look = std::make_shared<QuickLook>();
        look->cardPath = cardPath;
        // A file that cannot be read still answers, with its reason, unless overtaken.
        const bool done = !cancelled() && (loadQuickLook(*card, cardPath, cancelled, look.get()) || !cancelled());
        QMetaObject::invokeMethod(this, [this, mine, done, look] {
            if (done && m_current->load() == mine)
                Q_EMIT loaded(look);
            else
                Q_EMIT discarded(look->cardPath);
        }, Qt::QueuedConnection);
    });
}
