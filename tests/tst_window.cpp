// The window: its form, the remembered download folder, and a card image opened, checked
// and downloaded, with every dialog answered as a user would. Runs offscreen.
#include "cardimage.h"
#include "cardviews.h"
#include "mainwindow.h"
#include "samplecard.h"

#include <QTest>
#include <QtWidgets>

constexpr quint32 T1 = 1000000000; // 2011-09-14 01:46:40

// A card whose sectors first..last fail every read with `error`, each failure taking
// `delayMs` as on a worn card.
class FailingCard : public CardDevice
{
public:
    FailingCard(const QString &path, quint64 first, quint64 last, int error, int delayMs)
        : CardDevice(path), m_first(first), m_last(last), m_error(error), m_delayMs(delayMs)
    {
    }
    SectorRead readSectors(quint64 sector, qint64 count, char *data) override
    {
        if (sector > m_last || sector + quint64(count) <= m_first)
            return CardDevice::readSectors(sector, count, data);
        ++failures;
        QThread::msleep(m_delayMs);
        return SectorRead{SectorRead::Unreadable, 0, m_error};
    }
    std::atomic<int> failures{0};

private:
    quint64 m_first, m_last;
    int m_error, m_delayMs;
};

class TestWindow : public QObject
{
    Q_OBJECT

    QTemporaryDir m_settings, m_cards;
    std::unique_ptr<QTemporaryDir> m_out;
    std::unique_ptr<MainWindow> m_window;
    QTimer m_dialogTimer;
    QStringList m_dialogs; // "title: text" of each dialog answered, then a box's details
    QString m_answer;      // the button pressed in a box that has it; otherwise OK, or Cancel
    QMutex m_mutex;
    QStringList m_copies; // the reader's copies: "s" and the sector count at the start, "e" at the end
    QSemaphore m_started, m_proceed;
    bool m_hold = false; // a copy waits after its first sector for m_proceed

    template<class T = QPushButton> T *w(const char *name) const { return m_window->findChild<T *>(name); }
    QTreeWidget *tree() const { return w<QTreeWidget>("tw_files"); }
    QTreeWidgetItem *file(int directory, int index) const { return tree()->topLevelItem(directory)->child(index); }
    QByteArray exported(const QString &name) const { return fileContents(m_out->filePath(name)); }
    // The card's files in the download folder, without the manifest and the report.
    QStringList copiesInFolder() const { return QDir(m_out->path()).entryList({"*.mseed", "log"}, QDir::Files); }
    void open(CardImage card) // a window on `card` plus two directories of three files, and the log
    {
        const quint32 files[][5] = {{1, 0, 0, 30000, 10}, {1, 1, 20, 30100, 5}, {1, 5, 40, 30200, 300},
                                    {2, 0, 3600, 31000, 7}, {2, 1, 3630, 31100, 2}, {2, 2, 3645, 31200, 40}};
        for (const auto &[slot, record, time, first, sectors] : files) {
            card.setDirectory(int(slot), T1 + (slot - 1) * 3600);
            card.addFile(int(slot), int(record), T1 + time, first, sectors);
        }
        card.fillLog();
        QVERIFY(card.write(m_cards.filePath("card.img")));
        m_window = std::make_unique<MainWindow>();
        m_window->addCardImages({m_cards.filePath("card.img")});
        w<QLineEdit>("e_downloadFolder")->setText(m_out->path());
        connect(m_window->cardReader(), &Filesystem::progress, this, [this](int current, int total) {
            if (current == 0 || current == total) {
                const QMutexLocker locker(&m_mutex);
                m_copies.append(QString(current ? "e%1" : "s%1").arg(total));
            }
            if (current == 0 && m_hold) {
                m_started.release();
                m_proceed.tryAcquire(1, 10000);
            }
        }, Qt::DirectConnection);
        w("b_open")->click();
    }
    // The tree in order, one item a line: name, size, check mark; a directory's files indented.
    QStringList items() const
    {
        QStringList lines;
        for (QTreeWidgetItemIterator it(tree()); *it; ++it)
            lines.append(QString((*it)->parent() ? "  %1 %2 %3" : "%1 %2 %3")
                             .arg((*it)->text(0), (*it)->text(1)).arg(int((*it)->checkState(0))));
        return lines;
    }
    // Sets `item`'s mark if given, then reads the marks: 0 none, 1 partly, 2 checked, a
    // space before each top-level item.
    QString marks(QTreeWidgetItem *item = nullptr, Qt::CheckState state = Qt::Checked) const
    {
        if (item)
            item->setCheckState(0, state);
        QString text;
        for (const QString &line : items())
            text += QString(line.startsWith(' ') ? "" : " ") + line.back();
        return text.trimmed();
    }

private Q_SLOTS:
    void initTestCase()
    {
        QCoreApplication::setOrganizationName("Orvane");
        QCoreApplication::setApplicationName("Vexa reader");
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_settings.path()); // never the user's
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_settings.path());
        connect(&m_dialogTimer, &QTimer::timeout, this, [this] {
            for (QWidget *widget : QApplication::topLevelWidgets()) {
                auto *dialog = qobject_cast<QDialog *>(widget);
                auto *box = qobject_cast<QMessageBox *>(widget);
                if (!dialog || !dialog->isVisible())
                    continue;
                m_dialogs.append(dialog->windowTitle() + ": " + (box ? box->text() : QString()));
                if (box && !box->detailedText().isEmpty())
                    m_dialogs.last() += "\n" + box->detailedText();
                const QList<QAbstractButton *> buttons = box ? box->buttons() : QList<QAbstractButton *>();
                auto answer = std::find_if(buttons.begin(), buttons.end(), [this](auto *b) { return b->text() == m_answer; });
                if (answer != buttons.end())
                    (*answer)->click();
                else
                    dialog->done(box ? int(QMessageBox::Ok) : int(QDialog::Rejected));
            }
        });
        m_dialogTimer.start(5);
    }
    void init()
    {
        QSettings().clear();
        m_out = std::make_unique<QTemporaryDir>();
        m_dialogs.clear();
        m_copies.clear();
        m_hold = false;
        m_answer = "Replace";
    }
    void cleanup() { m_window.reset(); }

    void formAndSlots()
    {
        m_window = std::make_unique<MainWindow>();
        auto *grid = qobject_cast<QGridLayout *>(m_window->centralWidget()->layout());
        QVERIFY(grid);
        QStringList rows; // each grid item: row, column, spans, name, and the names and texts in it
        for (int i = 0; i < grid->count(); ++i) {
            int r, c, rs, cs;
            grid->getItemPosition(i, &r, &c, &rs, &cs);
            QLayout *box = grid->itemAt(i)->layout();
            if (auto *splitter = qobject_cast<QSplitter *>(grid->itemAt(i)->widget())) { // the tree beside the views
                rows.append(QString("%1 %2 %3 %4 %5 %6").arg(r).arg(c).arg(rs).arg(cs).arg(splitter->objectName(),
                                                                                     splitter->widget(0)->objectName()));
                continue;
            }
            rows.append(QString("%1 %2 %3 %4 %5").arg(r).arg(c).arg(rs).arg(cs).arg(
                box ? box->objectName() : grid->itemAt(i)->widget()->objectName()));
            for (int j = 0; box && j < box->count(); ++j)
                rows.last() += " " + box->itemAt(j)->widget()->objectName() + "="
                    + box->itemAt(j)->widget()->property("text").toString();
        }
        rows.sort();
        QCOMPARE(rows, QStringList({"0 0 1 1 horizontalLayout cb_device= b_open=Open b_harvest=Harvest...", "1 0 1 1 sp_tree tw_files",
                                    "3 0 1 1 horizontalLayout_2 b_selectAll=Select All b_downloadChecked=Download "
                                    "selected label=Download folder: e_downloadFolder= b_browseDownloadFolder=... cb_layout=",
                                    "4 0 1 1 horizontalLayout_3 pb_progress=0% b_stop=Stop"}));
        QVERIFY(w<QProgressBar>("pb_progress")->isHidden() && w("b_stop")->isHidden()); // until a batch runs
        QCOMPARE(tree()->headerItem()->text(0) + "|" + tree()->headerItem()->text(1), QString("Name|Size"));

        const QMetaObject *meta = m_window->metaObject();
        QStringList slotList;
        for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
            if (meta->method(i).methodType() == QMetaMethod::Slot)
                slotList.append(meta->method(i).methodSignature() + " "
                                + QStringList{"private", "protected", "public"}.at(meta->method(i).access()));
        }
        QCOMPARE(slotList, QStringList({"openFile() public", "itemDoubleClicked(QTreeWidgetItem*) public",
                                        "browseDownloadFolder() public", "downloadChecked() public",
                                        "selectAll() public", "stopDownload() public", "progress(int,int) private",
                                        "itemChanged(QTreeWidgetItem*,int) private"}));
    }

    void folderRemembered_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::newRow("folder") << "/data/recordings";
        QTest::newRow("non-Latin-1") << "/data/Ørvane ΣΕΙΣΜΟΣ";
        QTest::newRow("cleared") << QString();
    }
    void folderRemembered() // stored on close, read by the next window; a cancelled chooser changes nothing
    {
        QFETCH(QString, typed);
        QString stored; // nothing on the first run
        for (const QString &text : {QString("/something/else"), typed}) {
            m_window = std::make_unique<MainWindow>();
            QCOMPARE(w<QLineEdit>("e_downloadFolder")->text(), stored);
            w<QLineEdit>("e_downloadFolder")->setText(stored = text);
            m_window->show();
            QVERIFY(m_window->close());
        }
        m_window = std::make_unique<MainWindow>();
        QCOMPARE(w<QLineEdit>("e_downloadFolder")->text(), typed);
        w("b_browseDownloadFolder")->click();
        QCOMPARE(m_dialogs, QStringList{"Select download folder: "});
        QCOMPARE(w<QLineEdit>("e_downloadFolder")->text(), typed);
    }

    void treeMarksAndReopening()
    {
        open(CardImage());
        QCOMPARE(items(), QStringList({"20110914_0146 0 0", "  20110914_014640 4608 0", "  20110914_014700 2048 0",
                                       "  20110914_014720 153088 0", "20110914_0246 0 0", "  20110914_024640 3072 0",
                                       "  20110914_024710 512 0", "  20110914_024725 19968 0", "log 2097152 0"}));
        QCOMPARE(marks(file(0, 0), Qt::Checked), QString("1200 0000 0"));
        QCOMPARE(marks(file(0, 1), Qt::Checked), QString("1220 0000 0"));
        QCOMPARE(marks(file(0, 2), Qt::Checked), QString("2222 0000 0"));
        QCOMPARE(marks(file(1, 1), Qt::Checked), QString("2222 1020 0"));
        QCOMPARE(marks(file(1, 1), Qt::Unchecked), QString("2222 0000 0"));
        QCOMPARE(marks(file(0, 0), Qt::Unchecked), QString("1022 0000 0"));
        QCOMPARE(marks(tree()->topLevelItem(0), Qt::Checked), QString("2222 0000 0")); // clicked when partly checked
        QCOMPARE(marks(tree()->topLevelItem(0), Qt::Unchecked), QString("0000 0000 0"));
        QCOMPARE(marks(tree()->topLevelItem(2), Qt::Checked), QString("0000 0000 2"));
        QCOMPARE(marks(tree()->topLevelItem(2), Qt::Unchecked), QString("0000 0000 0"));
        w("b_selectAll")->click();
        QCOMPARE(marks(), QString("2222 2222 2"));

        // Opened again on another card: a new tree, where two directories of the same
        // minute each show their own file.
        CardImage card;
        card.setDirectory(1, T1);
        card.addFile(1, 0, T1, 30000, 3);
        card.setDirectory(2, T1 + 10);
        card.addFile(2, 0, T1 + 15, 30100, 4);
        QVERIFY(card.write(m_cards.filePath("card.img")));
        w("b_open")->click();
        const QStringList reopened{"20110914_0146 0 0", "  20110914_014640 1024 0", "20110914_0146 0 0",
                                   "  20110914_014655 1536 0", "log 2097152 0"};
        QCOMPARE(items(), reopened);
        QVERIFY(!w<QComboBox>("cb_device")->isEnabled());

        // Then no card at all: one message, the tree stays, another device can be chosen.
        card.setMagic(0x12345678);
        QVERIFY(card.write(m_cards.filePath("card.img")));
        w("b_open")->click();
        QCOMPARE(m_dialogs, QStringList{"Error: Unable to open device"});
        QCOMPARE(items(), reopened);
        QVERIFY(w<QComboBox>("cb_device")->isEnabled());
    }

    void batch() // of checked files, in tree order and one at a time, into a checked folder
    {
        CardImage card;
        card.setLength(Card::sectorOffset(31220)); // the card ends inside the last file
        open(card);
        QVERIFY(QDir(m_out->path()).mkdir("20110914_014700.mseed")); // a file's name is taken
        for (QTreeWidgetItem *item : {tree()->topLevelItem(0), file(1, 1), file(1, 2)})
            item->setCheckState(0, Qt::Checked);

        // A folder that does not exist: one message naming it, and nothing starts.
        const QString missing = m_out->filePath("no/such/folder");
        w<QLineEdit>("e_downloadFolder")->setText(missing);
        w("b_downloadChecked")->click();
        QCOMPARE(m_dialogs, QStringList{"Error: The download folder \"" + QDir::toNativeSeparators(missing)
                                        + "\" does not exist."});
        QVERIFY(!m_window->isDownloading() && w("b_downloadChecked")->isEnabled() && !QFileInfo::exists(missing));

        w<QLineEdit>("e_downloadFolder")->setText(m_out->path());
        w("b_downloadChecked")->click();
        // One batch at a time: the controls that would start another are off or ignored.
        QVERIFY(m_window->isDownloading() && !w("b_open")->isEnabled() && !w("b_downloadChecked")->isEnabled());
        emit tree()->itemDoubleClicked(file(1, 0), 0);
        // The folder is the one the batch started with.
        const QTemporaryDir other;
        w<QLineEdit>("e_downloadFolder")->setText(other.path());
        QVERIFY(QTest::qWaitFor([this] { return !m_window->isDownloading(); }, 20000));

        // Past the failures to the end, the unchecked log last, the double-clicked file not at
        // all; then one message lists the failures.
        QCOMPARE(m_copies.join(' '), QString("s10 e10 s300 e300 s2 e2 s40 e40 s4097 e4097"));
        QCOMPARE(exported("20110914_014640.mseed"), CardImage::patternRun(30000, 10));
        QCOMPARE(exported("20110914_014720.mseed"), CardImage::patternRun(30200, 300));
        QCOMPARE(exported("20110914_024710.mseed"), CardImage::patternRun(31100, 2));
        QCOMPARE(exported("20110914_024725.mseed"), CardImage::patternRun(31200, 20)); // what the card had
        QCOMPARE(exported("log"), CardImage::patternRun(Card::LogOffset / Card::SectorSize, Card::LogExportSectors));
        QCOMPARE(QDir(other.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
        QTRY_COMPARE(m_dialogs.size(), 3); // the folder, the question, the summary
        QTest::qWait(200);
        QCOMPARE(m_dialogs.size(), 3); // the batch ended once
        QVERIFY(m_dialogs[1].startsWith("Download: \"20110914_014700.mseed\" exists already in"));
        const QStringList lines = m_dialogs.last().split('\n');
        QVERIFY2(lines.size() == 3 && lines[0] == "Download: Not downloaded completely: 2 of 6 files."
                     && lines[1].startsWith("/20110914_0146/20110914_014700: cannot write")
                     && lines[2].startsWith("/20110914_0246/20110914_024725: the card ends"),
                 qPrintable(m_dialogs.last()));
        QVERIFY(w("b_open")->isEnabled() && w("b_downloadChecked")->isEnabled());
        QVERIFY(w<QProgressBar>("pb_progress")->isHidden() && w("b_stop")->isHidden());
    }

    void existingFiles_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("copies");
        QTest::addColumn<bool>("replaced");
        QTest::newRow("Replace") << "Replace" << "s10 e10 s5 e5 s4097 e4097" << true;
        QTest::newRow("Skip existing") << "Skip existing" << "s5 e5" << false;
        QTest::newRow("Cancel") << "Cancel" << "" << false;
    }
    void existingFiles() // one question for the whole batch; skipped files are not touched
    {
        QFETCH(QString, answer);
        QFETCH(QString, copies);
        QFETCH(bool, replaced);
        open(CardImage());
        for (const QString name : {"20110914_014640.mseed", "log"}) {
            QFile old(m_out->filePath(name));
            QVERIFY(old.open(QIODevice::WriteOnly) && old.write("earlier copy") == 12);
        }
        m_answer = answer;
        for (QTreeWidgetItem *item : {file(0, 0), file(0, 1)})
            item->setCheckState(0, Qt::Checked);
        w("b_downloadChecked")->click();
        QVERIFY(QTest::qWaitFor([this] { return !m_window->isDownloading(); }, 20000));
        QCOMPARE(m_dialogs.value(0), "Download: 2 of the 3 files exist already in \""
                                         + QDir::toNativeSeparators(m_out->path()) + "\".\n20110914_014640.mseed\nlog");
        QCOMPARE(m_dialogs.size(), answer == "Cancel" ? 1 : 2); // then the summary
        QCOMPARE(m_copies.join(' '), copies);
        QCOMPARE(exported("20110914_014640.mseed"), replaced ? CardImage::patternRun(30000, 10) : "earlier copy");
        QCOMPARE(exported("log").startsWith("earlier copy"), !replaced);
        QCOMPARE(QFileInfo::exists(m_out->filePath("20110914_014700.mseed")), answer != "Cancel");
    }

    void doubleClick() // a file alone, outside any queue; the log as "log"; a directory nothing
    {
        open(CardImage());
        emit tree()->itemDoubleClicked(tree()->topLevelItem(0), 0);
        QVERIFY(!m_window->isDownloading());
        emit tree()->itemDoubleClicked(file(1, 1), 0);
        QVERIFY(QTest::qWaitFor([this] { return !m_window->isDownloading(); }, 20000));
        emit tree()->itemDoubleClicked(tree()->topLevelItem(2), 0);
        QVERIFY(QTest::qWaitFor([this] { return !m_window->isDownloading(); }, 20000));
        QCOMPARE(m_copies.join(' '), QString("s2 e2 s4097 e4097"));
        QCOMPARE(QDir(m_out->path()).entryList(QDir::Files),
                 (QStringList{"20110914_024710.mseed", "log", "manifest-sha256.txt", "quality.json", "quality.txt"}));
        QCOMPARE(exported("20110914_024710.mseed"), CardImage::patternRun(31100, 2));
        QCOMPARE(exported("manifest-sha256.txt"),
                 QCryptographicHash::hash(exported("20110914_024710.mseed"), QCryptographicHash::Sha256).toHex()
                     + "  20110914_024710.mseed\n"
                     + QCryptographicHash::hash(exported("log"), QCryptographicHash::Sha256).toHex() + "  log\n"
                     + QCryptographicHash::hash(exported("quality.json"), QCryptographicHash::Sha256).toHex()
                     + "  quality.json\n"
                     + QCryptographicHash::hash(exported("quality.txt"), QCryptographicHash::Sha256).toHex()
                     + "  quality.txt\n");
        QCOMPARE(m_dialogs, (QStringList{"Download: Downloaded 1 file.", "Download: Downloaded 1 file."}));
    }

    void stopButton() // the running file removed, nothing more begun, one summary; then a copy of no sectors
    {
        CardImage card;
        card.addFile(1, 6, T1 + 50, 100000, 32768); // 16 MiB
        card.setRecord(2, 3, FileRecord{T1 + 3700, 40000, 39990, 0}); // the last sector below the first
        open(card);
        for (QTreeWidgetItem *item : {file(0, 3), file(1, 0)})
            item->setCheckState(0, Qt::Checked);
        m_hold = true;
        w("b_downloadChecked")->click();
        QVERIFY(m_started.tryAcquire(1, 10000));
        QVERIFY(!w("b_stop")->isHidden() && w("b_stop")->isEnabled());
        w("b_stop")->click();
        m_proceed.release();
        QVERIFY(QTest::qWaitFor([this] { return !m_window->isDownloading(); }, 20000));
        QCOMPARE(m_copies, QStringList{"s32768"});
        QCOMPARE(copiesInFolder(), QStringList());
        QTRY_COMPARE(m_dialogs.size(), 1);
        const QStringList lines = m_dialogs[0].split('\n');
        QVERIFY2(lines.size() == 4 && lines[0] == "Download: The download was stopped after 0 of 3 files."
                     && lines[1].startsWith("/20110914_0146/20110914_014730: stopped")
                     && lines[2] == "/20110914_0246/20110914_024640: not begun, the download was stopped"
                     && lines[3] == "/log: not begun, the download was stopped",
                 qPrintable(m_dialogs[0]));

        m_hold = false;
        emit tree()->itemDoubleClicked(file(1, 3), 0);
        QVERIFY(QTest::qWaitFor([this] { return !m_window->isDownloading(); }, 20000));
        const auto *bar = w<QProgressBar>("pb_progress");
        QVERIFY2(bar->minimum() == 0 && bar->maximum() > 0, qPrintable(QString("%1..%2").arg(bar->minimum()).arg(bar->maximum())));
    }

    void cardFailures() // a card pulled mid-batch: one message, nothing more read; a worn card closed at once
    {
        open(CardImage());
        auto pulled = std::make_unique<FailingCard>(m_cards.filePath("card.img"), 30205, ~0ull, ENODEV, 0);
        FailingCard *card = pulled.get();
        QVERIFY(m_window->cardReader()->openDevice(std::move(pulled)));
        for (QTreeWidgetItem *item : {file(0, 0), file(0, 2), file(1, 0)})
            item->setCheckState(0, Qt::Checked);
        w("b_downloadChecked")->click();
        QVERIFY(QTest::qWaitFor([this] { return !m_window->isDownloading(); }, 20000));
        QTRY_COMPARE(m_dialogs.size(), 1);
        const QStringList lines = m_dialogs[0].split('\n');
        QVERIFY2(lines.size() == 4 && lines[0] == "Download: The card stopped answering after 1 of 4 files."
                     && lines[1].startsWith("/20110914_0146/20110914_014720: ")
                     && lines[2] == "/20110914_0246/20110914_024640: not begun, the card stopped answering"
                     && lines[3] == "/log: not begun, the card stopped answering",
                 qPrintable(m_dialogs[0]));
        QCOMPARE(copiesInFolder(), QStringList{"20110914_014640.mseed"}); // no zeros
        const int failures = card->failures;
        QVERIFY2(failures < 100, qPrintable(QString::number(failures)));

        // Worn: every sector of the 300-sector file fails slowly. Closing stops the retry
        // at the next sector.
        auto worn = std::make_unique<FailingCard>(m_cards.filePath("card.img"), 30200, 30499, EIO, 20);
        card = worn.get();
        QVERIFY(m_window->cardReader()->openDevice(std::move(worn)));
        w("b_downloadChecked")->click();
        QVERIFY(QTest::qWaitFor([card] { return card->failures >= 3; }, 20000));
        m_window->cardViews()->cardOpened(); // a quick scan waiting for the download
        QElapsedTimer closing;
        closing.start();
        QVERIFY(m_window->close());
        QVERIFY2(closing.elapsed() < 1000, qPrintable(QString::number(closing.elapsed())));
        const int atClose = card->failures;
        QVERIFY2(atClose <= 5, qPrintable(QString::number(atClose))); // not the 300 sectors' retries
        // Nothing is left running: no download, no quick scan resuming after it.
        QVERIFY(!m_window->isDownloading() && !m_window->cardViews()->isScanning());
        QTest::qWait(300);
        QCOMPARE(card->failures.load(), atClose);
        QCOMPARE(m_dialogs.size(), 2); // the question about the files there; no summary
    }

    void sdsArchive() // the demonstration card filed by channel and day, the count in the summary
    {
        QFile image(m_cards.filePath("demo.img"));
        QVERIFY(image.open(QIODevice::ReadWrite | QIODevice::Truncate) && SampleCard::write(image));
        image.close();
        m_window = std::make_unique<MainWindow>();
        m_window->addCardImages({image.fileName()});
        w<QLineEdit>("e_downloadFolder")->setText(m_out->path());
        w<QComboBox>("cb_layout")->setCurrentText("SDS archive");
        w("b_open")->click();
        w("b_selectAll")->click();
        w("b_downloadChecked")->click();
        QVERIFY(QTest::qWaitFor([this] { return !m_window->isDownloading(); }, 20000));
        QTRY_COMPARE(m_dialogs.size(), 1);
        // The quality report in the details, in the columns of quality.txt.
        QVERIFY2(m_dialogs[0].startsWith("Download: Downloaded 10 files.\nSource ")
                     && m_dialogs[0].contains("\nXX.VEXA..HHN    2023-03-14T09:25:49.000000Z"),
                 qPrintable(m_dialogs[0]));
        // Three channels over two UTC days (the last recording runs past midnight).
        QStringList dayFiles;
        QDirIterator it(m_out->path(), QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext())
            dayFiles.append(QDir(m_out->path()).relativeFilePath(it.next()));
        dayFiles.sort();
        QCOMPARE(dayFiles.filter(".D.2023.").size(), 6);
        QVERIFY(dayFiles.contains("2023/XX/VEXA/HHZ.D/XX.VEXA..HHZ.D.2023.073"));
        QVERIFY(dayFiles.contains("2023/XX/VEXA/HHE.D/XX.VEXA..HHE.D.2023.074"));
        QCOMPARE(dayFiles.filter(QRegularExpression("^log/log\\.20230314T\\d{6}Z$")).size(), 1);
        QVERIFY(dayFiles.contains("manifest-sha256.txt") && dayFiles.contains("quality.txt"));
    }

    void unreadableDirectory() // marked with its reason, and named in the summary
    {
        CardImage card(60000);
        card.setLength(Card::sectorOffset(60016)); // the block of slot 2 lies beyond the end
        open(card);
        QTreeWidgetItem *directory = tree()->topLevelItem(1);
        QVERIFY(!directory->icon(0).isNull() && directory->childCount() == 0);
        QVERIFY2(directory->toolTip(0).startsWith("cannot read directory 20110914_0246 (table slot 2, sector 60016)"),
                 qPrintable(directory->toolTip(0)));
        QVERIFY(tree()->topLevelItem(0)->icon(0).isNull() && tree()->topLevelItem(0)->toolTip(0).isEmpty());
        w("b_selectAll")->click();
        w("b_downloadChecked")->click();
        QVERIFY(QTest::qWaitFor([this] { return !m_window->isDownloading(); }, 20000));
        QTRY_COMPARE(m_dialogs.size(), 1);
        QCOMPARE(m_dialogs[0], "Download: Every file listed was downloaded, but some directories could not be read.\n/20110914_0246: "
                                   + directory->toolTip(0));
        QCOMPARE(copiesInFolder().size(), 4);
    }

    void closeDuringDownload() // stops the export, removes its partial file, starts nothing queued
    {
        CardImage card;
        card.addFile(1, 6, T1 + 50, 100000, 32768); // 16 MiB
        open(card);
        for (QTreeWidgetItem *item : {file(0, 3), file(1, 0)})
            item->setCheckState(0, Qt::Checked);
        m_hold = true;
        w("b_downloadChecked")->click();
        QVERIFY(m_started.tryAcquire(1, 10000));
        std::unique_ptr<QThread> releaser(QThread::create([this] { QThread::msleep(300); m_proceed.release(); }));
        releaser->start();
        QVERIFY(m_window->close());
        releaser->wait();
        // A pool thread still counts as active for a moment after its task returned.
        QTRY_COMPARE(QThreadPool::globalInstance()->activeThreadCount(), 0);
        QCOMPARE(QDir(m_out->path()).entryList(QDir::Files), QStringList());
        QCOMPARE(m_copies, QStringList{"s32768"});
    }

    void deviceChooser() // cards first with their span; the others named no card; the choice kept
    {
        CardImage card = minimalCard();
        card.addFile(1, 1, T1 + 3725, 30100, 4);
        QVERIFY(card.write(m_cards.filePath("chooser.img")));
        QFile noise(m_cards.filePath("noise.bin"));
        QVERIFY(noise.open(QIODevice::WriteOnly) && noise.write(QByteArray(16384, 'x')) == 16384);
        noise.close();
        m_window = std::make_unique<MainWindow>();
        m_window->addCardImages({noise.fileName(), m_cards.filePath("chooser.img")});
        auto *chooser = w<QComboBox>("cb_device");
        const QString image = QDir::toNativeSeparators(QFileInfo(m_cards.filePath("chooser.img")).absoluteFilePath());
        QTRY_COMPARE(chooser->itemText(0), image + QString::fromUtf8(" \u2014 card, 2 files, 2011-09-14 01:46 to 2011-09-14 02:48"));
        const int other = chooser->findData(QDir::toNativeSeparators(noise.fileName()));
        QVERIFY(other > 0);
        QVERIFY(chooser->itemText(other).endsWith(QString::fromUtf8(" \u2014 not a card")));
        QCOMPARE(chooser->currentIndex(), other);
        for (int i = 1; i < chooser->count(); ++i)
            QVERIFY2(!chooser->itemText(i).contains(" card, "), qPrintable(chooser->itemText(i)));
        w("b_open")->click();
        // The chosen file, which is no card, is what Open tried.
        QTRY_COMPARE(m_dialogs, QStringList{"Error: Unable to open device"});
    }
};

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
