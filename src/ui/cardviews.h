// The window's views of a card beside its tree: the quick scan's columns in the tree
// ("Channels", "Start", "End", "Check"), the availability timeline, and the waveform quick
// look at the selected file. Owns the workers that feed them.
#pragma once

#include "cardpicture.h"
#include "cardscanner.h"

#include <QHash>
#include <QSplitter>
#include <QTimer>

#include <memory>

class Filesystem;
class QTreeWidget;
class QTreeWidgetItem;
class TimelineWidget;
class WaveformWidget;

class CardViews : public QSplitter
{
    Q_OBJECT

public:
    enum Column { NameColumn, SizeColumn, ChannelsColumn, StartColumn, EndColumn, CheckColumn, ColumnCount };

    // Adds the columns to `tree`, whose items are the window's DirectoryItems and FileItems.
    CardViews(std::shared_ptr<Filesystem> card, QTreeWidget *tree, QWidget *parent = nullptr);
    ~CardViews() override;

    // Before another card is opened: ends the scan and the quick look of this one.
    void stop();
    // After the tree has been filled from a newly opened card: forgets the previous card
    // and starts the quick scan of every file.
    void cardOpened();
    // While a download runs the quick scan waits between files.
    void setDownloading(bool downloading);
    // The figures of files a download read whole (filePictures() of its quality report);
    // they replace the quick scan's, which never overwrites them again.
    void applyFullFigures(QVector<FilePicture> files);

    // The figures shown for the file at `cardPath`, or null.
    const FilePicture *figures(const QString &cardPath) const;
    // The details behind an item's "Check": the tree's tooltip, formed when asked for.
    QString details(QTreeWidgetItem *item) const;
    bool isScanning() const { return m_scanner.isRunning(); }

    TimelineWidget *timeline() const { return m_timeline; }
    WaveformWidget *waveform() const { return m_waveform; }
    CardScanner *scanner() { return &m_scanner; }
    QuickLookLoader *loader() { return &m_loader; }

Q_SIGNALS:
    // Every file of the card has its quick-scan figures.
    void scanFinished();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void showFiles(const QVector<FilePicture> &files, bool full);
    void showFolder(QTreeWidgetItem *folder);
    void currentItemChanged(QTreeWidgetItem *item);
    void selectFile(const QString &cardPath);
    void refreshTimeline();

    QTreeWidget *m_tree;
    TimelineWidget *m_timeline;
    WaveformWidget *m_waveform;
    CardScanner m_scanner;
    QuickLookLoader m_loader;
    QHash<QString, FilePicture> m_files;
    CardPicture m_picture;     // every file's stretches, as the timeline shows them
    bool m_pictureStale = false; // a file's figures were replaced: the picture is formed anew
    QHash<QString, QTreeWidgetItem *> m_items;
    QTimer m_timelineTimer;
};
