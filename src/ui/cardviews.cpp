#include "cardviews.h"

#include "filesystem.h"
#include "timelinewidget.h"
#include "treeitems.h"
#include "waveformwidget.h"

#include <QHeaderView>
#include <QHelpEvent>
#include <QSet>
#include <QSignalBlocker>
#include <QStyle>
#include <QToolTip>
#include <QTreeWidget>

namespace {

// The timeline is redrawn from the figures at most this often while the scan runs.
constexpr int TimelineIntervalMs = 250;

void setColumns(QTreeWidgetItem *item, const QString &channels, const QString &start, const QString &end,
                const QString &verdict)
{
    item->setText(CardViews::ChannelsColumn, channels);
    item->setText(CardViews::StartColumn, start);
    item->setText(CardViews::EndColumn, end);
    item->setText(CardViews::CheckColumn, verdict);
}

QVector<const FilePicture *> filesOf(QTreeWidgetItem *folder, const CardViews &views)
{
    QVector<const FilePicture *> files;
    for (int i = 0; i < folder->childCount(); ++i) {
        if (folder->child(i)->type() != FileItem::Type)
            continue;
        if (const FilePicture *f = views.figures(static_cast<const FileItem *>(folder->child(i))->path))
            files.append(f);
    }
    return files;
}

} // namespace

CardViews::CardViews(std::shared_ptr<Filesystem> card, QTreeWidget *tree, QWidget *parent)
    : QSplitter(Qt::Vertical, parent)
    , m_tree(tree)
    , m_timeline(new TimelineWidget(this))
    , m_waveform(new WaveformWidget(this))
    , m_scanner(card)
    , m_loader(card)
{
    setObjectName(QStringLiteral("cardViews"));
    m_timeline->setObjectName(QStringLiteral("timeline"));
    m_waveform->setObjectName(QStringLiteral("waveform"));
    addWidget(m_timeline);
    addWidget(m_waveform);
    setStretchFactor(0, 1);
    setStretchFactor(1, 2);
    setChildrenCollapsible(false);

    m_tree->setColumnCount(ColumnCount);
    m_tree->setHeaderLabels({tr("Name"), tr("Size"), tr("Channels"), tr("Start"), tr("End"), tr("Check")});
    const QFontMetrics fm = m_tree->fontMetrics();
    const int pad = 3 * fm.averageCharWidth();
    QHeaderView *header = m_tree->header();
    header->resizeSection(NameColumn, fm.horizontalAdvance(QStringLiteral("20230314_092607")) + 4 * pad);
    header->resizeSection(SizeColumn, fm.horizontalAdvance(QStringLiteral("2097152")) + pad / 2);
    header->resizeSection(ChannelsColumn, fm.horizontalAdvance(QStringLiteral("HHE HHN HHZ")) + pad);
    header->resizeSection(StartColumn, fm.horizontalAdvance(QStringLiteral("2023-03-14 09:26:07")) + pad);
    header->resizeSection(EndColumn, fm.horizontalAdvance(QStringLiteral("2023-03-14 09:26:07")) + pad);
    header->resizeSection(CheckColumn, fm.horizontalAdvance(QStringLiteral("clock unlocked")) + pad);

    m_timelineTimer.setSingleShot(true);
    m_timelineTimer.setInterval(TimelineIntervalMs);
    connect(&m_timelineTimer, &QTimer::timeout, this, &CardViews::refreshTimeline);
    connect(&m_scanner, &CardScanner::scanned, this, [this](const QVector<FilePicture> &files) { showFiles(files, false); });
    connect(&m_scanner, &CardScanner::finished, this, [this] {
        refreshTimeline();
        Q_EMIT scanFinished();
    });
    connect(&m_loader, &QuickLookLoader::loaded, m_waveform, &WaveformWidget::setQuickLook);
    connect(m_tree, &QTreeWidget::currentItemChanged, this, &CardViews::currentItemChanged);
    connect(m_timeline, &TimelineWidget::fileClicked, this, &CardViews::selectFile);
    m_tree->viewport()->installEventFilter(this);
}

CardViews::~CardViews()
{
    m_scanner.stop();
}

void CardViews::stop()
{
    m_scanner.stop();
    m_loader.cancel();
}

void CardViews::cardOpened()
{
    stop();
    m_files.clear();
    m_items.clear();
    m_picture = CardPicture();
    m_pictureStale = false;
    m_timeline->setPicture(CardPicture());
    m_waveform->setQuickLook(nullptr);

    // Room for a file's name under its directory, with its check box.
    const int nameWidth = 2 * m_tree->indentation() + m_tree->fontMetrics().horizontalAdvance(QStringLiteral("20230314_092607"))
                          + 4 * m_tree->fontMetrics().averageCharWidth() + m_tree->style()->pixelMetric(QStyle::PM_IndicatorWidth);
    if (m_tree->header()->sectionSize(NameColumn) < nameWidth)
        m_tree->header()->resizeSection(NameColumn, nameWidth);

    qsizetype count = 0;
    for (int i = 0; i < m_tree->topLevelItemCount(); ++i)
        count += m_tree->topLevelItem(i)->childCount();
    QVector<CardScanner::File> files;
    files.reserve(count);
    m_items.reserve(count);
    m_files.reserve(count);
    for (int i = 0; i < m_tree->topLevelItemCount(); ++i) {
        QTreeWidgetItem *top = m_tree->topLevelItem(i);
        for (int j = 0; j < top->childCount(); ++j) {
            QTreeWidgetItem *child = top->child(j);
            if (child->type() != FileItem::Type)
                continue;
            const auto *file = static_cast<const FileItem *>(child);
            m_items.insert(file->path, child);
            files.append({file->path, file->entry});
        }
    }
    m_scanner.start(files);
}

void CardViews::setDownloading(bool downloading)
{
    m_scanner.setPaused(downloading);
}

void CardViews::applyFullFigures(QVector<FilePicture> files)
{
    for (FilePicture &f : files)
        f.full = true;
    showFiles(files, true);
    refreshTimeline();
}

const FilePicture *CardViews::figures(const QString &cardPath) const
{
    const auto it = m_files.constFind(cardPath);
    return it == m_files.cend() ? nullptr : &it.value();
}

void CardViews::showFiles(const QVector<FilePicture> &files, bool full)
{
    // The window reacts to every change of an item (its check marks); these are not.
    const QSignalBlocker blocker(m_tree);
    QSet<QTreeWidgetItem *> folders;
    for (const FilePicture &f : files) {
        QTreeWidgetItem *item = m_items.value(f.cardPath);
        if (!item)
            continue;
        // A download's figures are not overtaken by the quick scan's.
        const auto known = m_files.constFind(f.cardPath);
        if (!full && known != m_files.cend() && known->full)
            continue;
        if (known == m_files.cend())
            m_picture.add(f);
        else
            m_pictureStale = true;
        m_files.insert(f.cardPath, f);
        const bool any = f.records > 0;
        setColumns(item, f.channelText(), any ? utcText(f.start) : QString(), any ? utcText(f.end) : QString(),
                   f.verdict());
        if (item->parent())
            folders.insert(item->parent());
    }
    for (QTreeWidgetItem *folder : folders)
        showFolder(folder);
    if (!m_timelineTimer.isActive())
        m_timelineTimer.start();
}

void CardViews::showFolder(QTreeWidgetItem *folder)
{
    const FolderSummary s = summarize(filesOf(folder, *this));
    setColumns(folder, s.channels, s.any ? utcText(s.start) : QString(), s.any ? utcText(s.end) : QString(), s.verdict);
}

QString CardViews::details(QTreeWidgetItem *item) const
{
    if (!item)
        return QString();
    if (item->type() == FileItem::Type) {
        const FilePicture *f = figures(static_cast<const FileItem *>(item)->path);
        return f ? f->details() : QString();
    }
    return summarize(filesOf(item, *this)).details;
}

bool CardViews::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_tree->viewport() && event->type() == QEvent::ToolTip) {
        auto *help = static_cast<QHelpEvent *>(event);
        const QString text = m_tree->columnAt(help->pos().x()) >= ChannelsColumn ? details(m_tree->itemAt(help->pos()))
                                                                                  : QString();
        if (!text.isEmpty()) {
            QToolTip::showText(help->globalPos(), text, m_tree->viewport());
            return true;
        }
    }
    return QSplitter::eventFilter(watched, event);
}

void CardViews::refreshTimeline()
{
    m_timelineTimer.stop();
    if (m_pictureStale) {
        QVector<const FilePicture *> files;
        files.reserve(m_files.size());
        for (const FilePicture &f : std::as_const(m_files))
            files.append(&f);
        m_picture = CardPicture::fromFiles(files);
        m_pictureStale = false;
    }
    m_picture.sort();
    m_timeline->setPicture(m_picture);
}

void CardViews::currentItemChanged(QTreeWidgetItem *item)
{
    if (!item || item->type() != FileItem::Type || !m_items.contains(static_cast<FileItem *>(item)->path)) {
        m_loader.cancel();
        m_timeline->setSelectedPath(QString());
        m_waveform->setQuickLook(nullptr);
        return;
    }
    const QString path = static_cast<FileItem *>(item)->path;
    m_timeline->setSelectedPath(path);
    m_waveform->setMessage(tr("Reading %1 …").arg(path));
    m_loader.load(path);
}

void CardViews::selectFile(const QString &cardPath)
{
    QTreeWidgetItem *item = m_items.value(cardPath);
    if (!item)
        return;
    m_tree->setCurrentItem(item);
    m_tree->scrollToItem(item);
}
