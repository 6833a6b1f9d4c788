// The window on a card image: opening, the checkable tree, and downloads through the
// queue, with the message boxes answered as a user would. Runs offscreen.
#include "cardimage.h"
#include "mainwindow.h"
#include "treeitems.h"

#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QMessageBox>
#include <QMutex>
#include <QProgressBar>
#include <QPushButton>
#include <QSemaphore>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>

namespace {

constexpr quint32 T1 = 1000000000; // 2011-09-14 01:46:40
constexpr quint32 T2 = T1 + 3600;

// Two directories of three files each, and a filled log area.
CardImage twoDirectoryCard()
{
    CardImage card;
    card.setDirectory(1, T1);
    card.addFile(1, 0, T1, 30000, 10);
    card.addFile(1, 1, T1 + 20, 30100, 5);
    card.addFile(1, 5, T1 + 40, 30200, 300);
    card.setDirectory(2, T2);
    card.addFile(2, 0, T2, 31000, 7);
    card.addFile(2, 1, T2 + 30, 31100, 2);
    card.addFile(2, 2, T2 + 45, 31200, 40);
    card.fillLog();
    return card;
}

// Answers every message box that shows, and remembers what it said.
class MessageBoxes : public QObject
{
public:
    MessageBoxes()
    {
        connect(&m_timer, &QTimer::timeout, this, [this] {
            for (QWidget *widget : QApplication::topLevelWidgets()) {
                auto *box = qobject_cast<QMessageBox *>(widget);
                if (box && box->isVisible()) {
                    seen.append({box->windowTitle(), box->text()});
                    box->done(QMessageBox::Ok);
                }
            }
        });
        m_timer.start(5);
    }
    QList<QPair<QString, QString>> seen;

private:
    QTimer m_timer;
};

// Every progress report of the reader, in order, as the exporting thread sends them.
class ProgressLog
{
public:
    explicit ProgressLog(Filesystem *reader)
    {
        QObject::connect(reader, &Filesystem::progress, reader, [this](int current, int total) {
            QMutexLocker locker(&m_mutex);
            m_reports.append({current, total});
        }, Qt::DirectConnection);
    }
    // The copies one after another: the totals of the runs of reports that each end in a
    // final report. Empty when a copy began before the one before it had ended.
    QList<int> copies() const
    {
        QMutexLocker locker(&m_mutex);
        QList<int> totals;
        bool open = false;
        for (const auto &[current, total] : m_reports) {
            if (open && total != totals.last())
                return {};
            if (!open)
                totals.append(total);
            open = current != total;
        }
        return open ? QList<int>() : totals;
    }

private:
    mutable QMutex m_mutex;
    QList<QPair<int, int>> m_reports;
};

} // namespace

class TestCardWindow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void treeOfACard();
    void checkMarks();
    void failedAndRepeatedOpen();
    void batchInTreeOrder();
    void failingFilesDoNotStopTheBatch();
    void downloadFolderChecked();
    void closeDuringDownload();
    void sameMinuteDirectories();

private:
    // A window opened on `card`, downloading into m_out.
    MainWindow *openWindow(const CardImage &card);
    QTreeWidget *tree() const { return m_window->findChild<QTreeWidget *>(QStringLiteral("tw_files")); }
    QPushButton *button(const char *name) const { return m_window->findChild<QPushButton *>(QLatin1String(name)); }
    QTreeWidgetItem *file(int directory, int index) const { return tree()->topLevelItem(directory)->child(index); }
    QByteArray exported(const QString &name) const { return fileContents(m_out->filePath(name)); }
    bool waitForBatch() const { return QTest::qWaitFor([this] { return !m_window->isDownloading(); }, 20000); }

    QTemporaryDir m_settings;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QTemporaryDir> m_out;
    std::unique_ptr<MainWindow> m_window;
    QString m_image;
};

void TestCardWindow::initTestCase()
{
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_settings.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_settings.path());
}

void TestCardWindow::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_out = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid() && m_out->isValid());
    m_image = m_dir->filePath(QStringLiteral("card.img"));
}

void TestCardWindow::cleanup()
{
    m_window.reset();
}

MainWindow *TestCardWindow::openWindow(const CardImage &card)
{
    if (!card.write(m_image))
        return nullptr;
    m_window = std::make_unique<MainWindow>();
    m_window->addCardImages({m_image});
    m_window->findChild<QLineEdit *>(QStringLiteral("e_downloadFolder"))->setText(m_out->path());
    button("b_open")->click();
    return m_window.get();
}

void TestCardWindow::treeOfACard()
{
    QVERIFY(openWindow(twoDirectoryCard()));
    QVERIFY(!m_window->findChild<QComboBox *>(QStringLiteral("cb_device"))->isEnabled());
    QTreeWidget *t = tree();
    QCOMPARE(t->topLevelItemCount(), 3);

    const QStringList names[] = {
        {QStringLiteral("20110914_014640"), QStringLiteral("20110914_014700"), QStringLiteral("20110914_014720")},
        {QStringLiteral("20110914_024640"), QStringLiteral("20110914_024710"), QStringLiteral("20110914_024725")},
    };
    const QStringList sizes[] = {{"4608", "2048", "153088"}, {"3072", "512", "19968"}};
    const QString directories[] = {QStringLiteral("20110914_0146"), QStringLiteral("20110914_0246")};
    for (int d = 0; d < 2; ++d) {
        QTreeWidgetItem *dir = t->topLevelItem(d);
        QCOMPARE(dir->type(), 1001);
        QCOMPARE(dir->text(0), directories[d]);
        QCOMPARE(dir->text(1), QStringLiteral("0"));
        QCOMPARE(dir->checkState(0), Qt::Unchecked);
        QCOMPARE(dir->childCount(), 3);
        for (int f = 0; f < 3; ++f) {
            auto *item = static_cast<FileItem *>(dir->child(f));
            QCOMPARE(item->type(), 1002);
            QCOMPARE(item->text(0), names[d].at(f));
            QCOMPARE(item->text(1), sizes[d].at(f));
            QCOMPARE(item->path, QLatin1Char('/') + directories[d] + QLatin1Char('/') + names[d].at(f));
            QCOMPARE(item->checkState(0), Qt::Unchecked);
        }
    }
    auto *log = static_cast<FileItem *>(t->topLevelItem(2));
    QCOMPARE(log->type(), 1002);
    QCOMPARE(log->text(0), QStringLiteral("log"));
    QCOMPARE(log->text(1), QStringLiteral("2097152"));
    QCOMPARE(log->path, QStringLiteral("/log"));
    QCOMPARE(log->childCount(), 0);
}

void TestCardWindow::checkMarks()
{
    QVERIFY(openWindow(twoDirectoryCard()));
    QTreeWidgetItem *dir = tree()->topLevelItem(0);
    QTreeWidgetItem *other = tree()->topLevelItem(1);
    QTreeWidgetItem *log = tree()->topLevelItem(2);

    file(0, 0)->setCheckState(0, Qt::Checked);
    QCOMPARE(dir->checkState(0), Qt::PartiallyChecked);
    file(0, 1)->setCheckState(0, Qt::Checked);
    QCOMPARE(dir->checkState(0), Qt::PartiallyChecked);
    file(0, 2)->setCheckState(0, Qt::Checked);
    QCOMPARE(dir->checkState(0), Qt::Checked);
    for (int f = 0; f < 3; ++f)
        file(0, f)->setCheckState(0, Qt::Unchecked);
    QCOMPARE(dir->checkState(0), Qt::Unchecked);

    // A click on a partly checked directory checks it, and with it all its files.
    file(0, 1)->setCheckState(0, Qt::Checked);
    dir->setCheckState(0, Qt::Checked);
    for (int f = 0; f < 3; ++f)
        QCOMPARE(file(0, f)->checkState(0), Qt::Checked);
    dir->setCheckState(0, Qt::Unchecked);
    for (int f = 0; f < 3; ++f)
        QCOMPARE(file(0, f)->checkState(0), Qt::Unchecked);

    log->setCheckState(0, Qt::Checked);
    QCOMPARE(dir->checkState(0), Qt::Unchecked);
    QCOMPARE(other->checkState(0), Qt::Unchecked);
    log->setCheckState(0, Qt::Unchecked);

    button("b_selectAll")->click();
    for (int d = 0; d < 3; ++d)
        QCOMPARE(tree()->topLevelItem(d)->checkState(0), Qt::Checked);
    for (int d = 0; d < 2; ++d)
        for (int f = 0; f < 3; ++f)
            QCOMPARE(file(d, f)->checkState(0), Qt::Checked);
}

void TestCardWindow::failedAndRepeatedOpen()
{
    QVERIFY(openWindow(twoDirectoryCard()));
    tree()->topLevelItem(0)->setCheckState(0, Qt::Checked);

    // The same path now holds something else: a card with one directory of one file.
    CardImage changed = minimalCard();
    QVERIFY(changed.write(m_image));
    button("b_open")->click();
    QCOMPARE(tree()->topLevelItemCount(), 2);
    QCOMPARE(tree()->topLevelItem(0)->checkState(0), Qt::Unchecked);
    QCOMPARE(tree()->topLevelItem(0)->childCount(), 1);
    QCOMPARE(file(0, 0)->text(0), QStringLiteral("20110914_014640"));

    // And then no card at all: one message, and the tree stays.
    changed.setMagic(0x12345678);
    QVERIFY(changed.write(m_image));
    MessageBoxes boxes;
    button("b_open")->click();
    QCOMPARE(boxes.seen.size(), 1);
    QCOMPARE(boxes.seen.first().first, QStringLiteral("Error"));
    QCOMPARE(boxes.seen.first().second, QStringLiteral("Unable to open device"));
    QCOMPARE(tree()->topLevelItemCount(), 2);
    QVERIFY(!m_window->findChild<QComboBox *>(QStringLiteral("cb_device"))->isEnabled());
}

void TestCardWindow::batchInTreeOrder()
{
    QVERIFY(openWindow(twoDirectoryCard()));
    ProgressLog progress(m_window->cardReader());
    auto *bar = m_window->findChild<QProgressBar *>(QStringLiteral("pb_progress"));
    file(0, 0)->setCheckState(0, Qt::Checked);
    file(0, 2)->setCheckState(0, Qt::Checked);
    file(1, 1)->setCheckState(0, Qt::Checked);

    button("b_downloadChecked")->click();
    // One download at a time: the controls that would start another are off.
    QVERIFY(m_window->isDownloading());
    QVERIFY(!button("b_open")->isEnabled());
    QVERIFY(!button("b_downloadChecked")->isEnabled());
    emit tree()->itemDoubleClicked(file(1, 0), 0);
    QVERIFY(waitForBatch());

    // Tree order, the unchecked log included, each copy after the previous one ended.
    QCOMPARE(progress.copies(), (QList<int>{10, 300, 2, 4097}));
    QCOMPARE(exported(QStringLiteral("20110914_014640.mseed")), CardImage::patternRun(30000, 10));
    QCOMPARE(exported(QStringLiteral("20110914_014720.mseed")), CardImage::patternRun(30200, 300));
    QCOMPARE(exported(QStringLiteral("20110914_024710.mseed")), CardImage::patternRun(31100, 2));
    QCOMPARE(exported(QStringLiteral("log")),
             CardImage::patternRun(Card::LogOffset / Card::SectorSize, Card::LogExportSectors));
    QCOMPARE(QDir(m_out->path()).entryList(QDir::Files).size(), 4); // nothing from the double-click
    QVERIFY(button("b_open")->isEnabled());
    QVERIFY(button("b_downloadChecked")->isEnabled());
    QVERIFY(bar->isHidden());
    QCOMPARE(bar->maximum(), 4097); // the bar counts sectors
    QCOMPARE(bar->value(), 4097);
}

void TestCardWindow::failingFilesDoNotStopTheBatch()
{
    CardImage card = twoDirectoryCard();
    // The card image ends inside the last file of the second directory.
    card.setLength(Card::sectorOffset(31220));
    QVERIFY(openWindow(card));
    // And the first file's destination is taken by a folder.
    QVERIFY(QDir(m_out->path()).mkdir(QStringLiteral("20110914_014640.mseed")));
    button("b_selectAll")->click();

    MessageBoxes boxes;
    button("b_downloadChecked")->click();
    QVERIFY(waitForBatch());
    QTRY_COMPARE(boxes.seen.size(), 1);
    const QString text = boxes.seen.first().second;
    QVERIFY2(text.contains(QLatin1String("/20110914_0146/20110914_014640: cannot write")), qPrintable(text));
    QVERIFY2(text.contains(QLatin1String("/20110914_0246/20110914_024725: the card ends")), qPrintable(text));
    QCOMPARE(text.count(QLatin1Char('\n')), 3); // a heading, a blank line, the two files

    // Every other file came through whole; the cut one holds what the card had.
    QCOMPARE(exported(QStringLiteral("20110914_014700.mseed")), CardImage::patternRun(30100, 5));
    QCOMPARE(exported(QStringLiteral("20110914_014720.mseed")), CardImage::patternRun(30200, 300));
    QCOMPARE(exported(QStringLiteral("20110914_024640.mseed")), CardImage::patternRun(31000, 7));
    QCOMPARE(exported(QStringLiteral("20110914_024725.mseed")), CardImage::patternRun(31200, 20));
    QVERIFY(QFileInfo::exists(m_out->filePath(QStringLiteral("log"))));
    QVERIFY(button("b_downloadChecked")->isEnabled());
}

void TestCardWindow::downloadFolderChecked()
{
    QVERIFY(openWindow(twoDirectoryCard()));
    const QString missing = m_out->filePath(QStringLiteral("no/such/folder"));
    m_window->findChild<QLineEdit *>(QStringLiteral("e_downloadFolder"))->setText(missing);
    file(0, 0)->setCheckState(0, Qt::Checked);

    MessageBoxes boxes;
    button("b_downloadChecked")->click();
    QCOMPARE(boxes.seen.size(), 1);
    QVERIFY(boxes.seen.first().second.contains(QDir::toNativeSeparators(missing)));
    QVERIFY(!m_window->isDownloading());
    QVERIFY(button("b_downloadChecked")->isEnabled());
    QVERIFY(!QFileInfo::exists(missing));
}

void TestCardWindow::closeDuringDownload()
{
    CardImage card = twoDirectoryCard();
    card.addFile(1, 6, T1 + 50, 100000, 32768); // 16 MiB
    QVERIFY(openWindow(card));
    file(0, 3)->setCheckState(0, Qt::Checked);
    file(1, 0)->setCheckState(0, Qt::Checked);

    // Hold the export after its first sector until the window has asked it to stop.
    QSemaphore started;
    QSemaphore proceed;
    QObject::connect(m_window->cardReader(), &Filesystem::progress, m_window->cardReader(),
                     [&](int current, int) {
                         if (current == 0) {
                             started.release();
                             proceed.tryAcquire(1, 10000);
                         }
                     }, Qt::DirectConnection);
    button("b_downloadChecked")->click();
    QVERIFY(started.tryAcquire(1, 10000));
    std::unique_ptr<QThread> releaser(QThread::create([&proceed] {
        QThread::msleep(300);
        proceed.release();
    }));
    releaser->start();
    QVERIFY(m_window->close());
    releaser->wait();

    // Nothing runs any more, the partial copy is gone and nothing queued has started.
    QCOMPARE(QThreadPool::globalInstance()->activeThreadCount(), 0);
    QCOMPARE(QDir(m_out->path()).entryList(QDir::Files), QStringList());
    m_window.reset();
}

void TestCardWindow::sameMinuteDirectories()
{
    CardImage card;
    card.setDirectory(1, T1);
    card.addFile(1, 0, T1, 30000, 3);
    card.setDirectory(2, T1 + 10);
    card.addFile(2, 0, T1 + 15, 30100, 4);
    card.fillLog();
    QVERIFY(openWindow(card));

    QCOMPARE(tree()->topLevelItem(0)->text(0), tree()->topLevelItem(1)->text(0));
    QCOMPARE(file(0, 0)->text(0), QStringLiteral("20110914_014640"));
    QCOMPARE(file(1, 0)->text(0), QStringLiteral("20110914_014655"));

    // A double-click downloads one file, or the log; on a directory it does nothing.
    emit tree()->itemDoubleClicked(tree()->topLevelItem(0), 1);
    QVERIFY(!m_window->isDownloading());
    emit tree()->itemDoubleClicked(file(1, 0), 1);
    QVERIFY(waitForBatch());
    QCOMPARE(QDir(m_out->path()).entryList(QDir::Files), QStringList{QStringLiteral("20110914_014655.mseed")});
    QCOMPARE(exported(QStringLiteral("20110914_014655.mseed")), CardImage::patternRun(30100, 4));
    emit tree()->itemDoubleClicked(tree()->topLevelItem(2), 0);
    QVERIFY(waitForBatch());
    QCOMPARE(exported(QStringLiteral("log")).size(), Card::LogExportSectors * Card::SectorSize);
}

QTEST_MAIN(TestCardWindow)
#include "tst_cardwindow.moc"
