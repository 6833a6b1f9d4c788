// The window's form, its slot table, the device chooser and the remembered download
// folder. Runs offscreen.
#include "devicediscoverer.h"
#include "mainwindow.h"

#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMetaMethod>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <functional>

class TestMainWindow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();

    void form();
    void slotTable();
    void tabOrder();
    void deviceChooser();
    void cardImagesFirst();
    void folderRememberedAcrossRuns_data();
    void folderRememberedAcrossRuns();
    void folderChooser();

private:
    // Runs `onDialog` on the first QFileDialog that appears, from the event loop.
    void whenDialogShows(std::function<void(QFileDialog *)> onDialog);

    QTemporaryDir m_settingsDir;
};

void TestMainWindow::initTestCase()
{
    QVERIFY(m_settingsDir.isValid());
    QCoreApplication::setOrganizationName(QStringLiteral("Orvane"));
    QCoreApplication::setApplicationName(QStringLiteral("Vexa reader"));
    // Never the user's own settings.
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_settingsDir.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_settingsDir.path());
}

void TestMainWindow::init()
{
    QSettings().clear();
}

void TestMainWindow::form()
{
    MainWindow window;
    QCOMPARE(window.objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(window.windowTitle(), QStringLiteral("MainWindow"));
    QCOMPARE(window.size(), QSize(617, 447));

    auto *central = window.centralWidget();
    QVERIFY(central);
    QCOMPARE(central->objectName(), QStringLiteral("centralwidget"));
    auto *grid = qobject_cast<QGridLayout *>(central->layout());
    QVERIFY(grid);
    QCOMPARE(grid->objectName(), QStringLiteral("gridLayout"));

    auto rowOf = [grid](QObject *object) {
        for (int i = 0; i < grid->count(); ++i) {
            QLayoutItem *item = grid->itemAt(i);
            if (item->widget() == object || item->layout() == object) {
                int row, column, rowSpan, columnSpan;
                grid->getItemPosition(i, &row, &column, &rowSpan, &columnSpan);
                if (column != 0 || rowSpan != 1 || columnSpan != 1)
                    return -1;
                return row;
            }
        }
        return -1;
    };
    auto *tree = window.findChild<QTreeWidget *>(QStringLiteral("tw_files"));
    auto *deviceRow = window.findChild<QHBoxLayout *>(QStringLiteral("horizontalLayout"));
    auto *buttonRow = window.findChild<QHBoxLayout *>(QStringLiteral("horizontalLayout_2"));
    auto *bar = window.findChild<QProgressBar *>(QStringLiteral("pb_progress"));
    QVERIFY(tree && deviceRow && buttonRow && bar);
    QCOMPARE(grid->count(), 4); // row 2 stays empty
    QCOMPARE(rowOf(deviceRow), 0);
    QCOMPARE(rowOf(tree), 1);
    QCOMPARE(rowOf(buttonRow), 3);
    QCOMPARE(rowOf(bar), 4);

    QCOMPARE(tree->columnCount(), 2);
    QCOMPARE(tree->headerItem()->text(0), QStringLiteral("Name"));
    QCOMPARE(tree->headerItem()->text(1), QStringLiteral("Size"));
    QVERIFY(!tree->isSortingEnabled());

    // Each row's widgets, in order, with their texts.
    auto *combo = window.findChild<QComboBox *>(QStringLiteral("cb_device"));
    QVERIFY(combo);
    QCOMPARE(deviceRow->itemAt(0)->widget(), combo);
    QCOMPARE(combo->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
    QCOMPARE(combo->sizePolicy().verticalPolicy(), QSizePolicy::Fixed);
    QVERIFY(!combo->isEditable());
    QCOMPARE(deviceRow->itemAt(1)->widget()->objectName(), QStringLiteral("b_open"));
    QCOMPARE(qobject_cast<QPushButton *>(deviceRow->itemAt(1)->widget())->text(), QStringLiteral("Open"));

    const QStringList names{QStringLiteral("b_selectAll"), QStringLiteral("b_downloadChecked"), QStringLiteral("label"),
                            QStringLiteral("e_downloadFolder"), QStringLiteral("b_browseDownloadFolder")};
    const QStringList texts{QStringLiteral("Select All"), QStringLiteral("Download selected"),
                            QStringLiteral("Download folder:"), QString(), QStringLiteral("...")};
    QCOMPARE(buttonRow->count(), names.size());
    for (int i = 0; i < names.size(); ++i) {
        QWidget *widget = buttonRow->itemAt(i)->widget();
        QCOMPARE(widget->objectName(), names.at(i));
        if (auto *button = qobject_cast<QPushButton *>(widget))
            QCOMPARE(button->text(), texts.at(i));
        if (auto *label = qobject_cast<QLabel *>(widget))
            QCOMPARE(label->text(), texts.at(i));
    }
    QVERIFY(qobject_cast<QLineEdit *>(buttonRow->itemAt(3)->widget()));
    QCOMPARE(buttonRow->contentsMargins().top(), 2);
    QCOMPARE(buttonRow->contentsMargins().bottom(), 2);

    QCOMPARE(bar->value(), 0);
    QCOMPARE(bar->maximum(), 100);
    QVERIFY(!bar->isHidden());
    for (QWidget *widget : central->findChildren<QWidget *>())
        QVERIFY2(widget->isEnabled(), qPrintable(widget->objectName()));
}

void TestMainWindow::slotTable()
{
    MainWindow window;
    const QMetaObject *meta = window.metaObject();
    QCOMPARE(meta->className(), "MainWindow");
    QStringList slotList;
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
        const QMetaMethod method = meta->method(i);
        if (method.methodType() != QMetaMethod::Slot)
            continue;
        slotList.append(QString::fromLatin1(method.methodSignature())
                     + (method.access() == QMetaMethod::Public ? QLatin1String(" public") : QLatin1String(" private")));
    }
    const QStringList expected{
        QStringLiteral("openFile() public"),
        QStringLiteral("itemDoubleClicked(QTreeWidgetItem*) public"),
        QStringLiteral("browseDownloadFolder() public"),
        QStringLiteral("downloadChecked() public"),
        QStringLiteral("selectAll() public"),
        QStringLiteral("progress(int,int) private"),
        QStringLiteral("progressValueChanged(int) private"),
        QStringLiteral("itemChanged(QTreeWidgetItem*,int) private"),
    };
    QCOMPARE(slotList, expected);

    // Every slot is reached from its widget.
    struct Wire { const char *sender; const char *signal; const char *slot; };
    const Wire wires[] = {
        {"b_open", SIGNAL(clicked()), SLOT(openFile())},
        {"tw_files", SIGNAL(itemDoubleClicked(QTreeWidgetItem*,int)), SLOT(itemDoubleClicked(QTreeWidgetItem*))},
        {"b_browseDownloadFolder", SIGNAL(clicked()), SLOT(browseDownloadFolder())},
        {"pb_progress", SIGNAL(valueChanged(int)), SLOT(progressValueChanged(int))},
        {"b_downloadChecked", SIGNAL(clicked()), SLOT(downloadChecked())},
        {"b_selectAll", SIGNAL(clicked()), SLOT(selectAll())},
        {"tw_files", SIGNAL(itemChanged(QTreeWidgetItem*,int)), SLOT(itemChanged(QTreeWidgetItem*,int))},
    };
    for (const Wire &wire : wires) {
        QObject *sender = window.findChild<QObject *>(QLatin1String(wire.sender));
        QVERIFY(sender);
        // A connection that exists already cannot be made a second time as unique.
        QVERIFY2(!QObject::connect(sender, wire.signal, &window, wire.slot, Qt::UniqueConnection), wire.slot);
    }
}

void TestMainWindow::tabOrder()
{
    MainWindow window;
    const QStringList order{QStringLiteral("tw_files"), QStringLiteral("cb_device"), QStringLiteral("b_open"),
                            QStringLiteral("b_selectAll"), QStringLiteral("b_downloadChecked"),
                            QStringLiteral("e_downloadFolder"), QStringLiteral("b_browseDownloadFolder")};
    QWidget *widget = window.findChild<QWidget *>(order.first());
    QStringList seen{order.first()};
    for (QWidget *next = widget->nextInFocusChain(); next != widget && seen.size() < order.size();
         next = next->nextInFocusChain()) {
        if (order.contains(next->objectName()))
            seen.append(next->objectName());
    }
    QCOMPARE(seen, order);
}

void TestMainWindow::deviceChooser()
{
    const QStringList drives = DeviceDiscoverer::physicalDrives();
    QCOMPARE(drives.size(), 16);
    QCOMPARE(drives.first(), QStringLiteral("\\\\.\\PhysicalDrive0"));
    QCOMPARE(drives.at(10), QStringLiteral("\\\\.\\PhysicalDrive10"));
    QCOMPARE(drives.last(), QStringLiteral("\\\\.\\PhysicalDrive15"));

    MainWindow window;
    auto *combo = window.findChild<QComboBox *>(QStringLiteral("cb_device"));
    QStringList shown;
    for (int i = 0; i < combo->count(); ++i)
        shown.append(combo->itemText(i));
    QCOMPARE(shown, DeviceDiscoverer().listDevices());
    QCOMPARE(combo->currentIndex(), shown.isEmpty() ? -1 : 0);
#ifdef Q_OS_WIN
    QCOMPARE(shown, drives);
#endif
}

void TestMainWindow::cardImagesFirst()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString a = dir.filePath(QStringLiteral("a.img"));
    const QString b = dir.filePath(QStringLiteral("b.img"));
    for (const QString &path : {a, b}) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }

    MainWindow window;
    auto *combo = window.findChild<QComboBox *>(QStringLiteral("cb_device"));
    const int devices = combo->count();
    window.addCardImages({a, dir.filePath(QStringLiteral("missing.img")), b});
    QCOMPARE(combo->count(), devices + 2);
    QCOMPARE(combo->itemText(0), QDir::toNativeSeparators(a));
    QCOMPARE(combo->itemText(1), QDir::toNativeSeparators(b));
    QCOMPARE(combo->currentIndex(), 0);
    QCOMPARE(combo->currentText(), QDir::toNativeSeparators(a));
}

void TestMainWindow::folderRememberedAcrossRuns_data()
{
    QTest::addColumn<QString>("typed");
    QTest::newRow("folder") << QStringLiteral("/data/recordings");
    QTest::newRow("non-Latin-1") << QStringLiteral("/data/Ørvane ΣΕΙΣΜΟΣ");
    QTest::newRow("cleared") << QString();
}

void TestMainWindow::folderRememberedAcrossRuns()
{
    QFETCH(QString, typed);
    {
        MainWindow first;
        auto *edit = first.findChild<QLineEdit *>(QStringLiteral("e_downloadFolder"));
        QCOMPARE(edit->text(), QString()); // first run: nothing stored
        edit->setText(QStringLiteral("/something/else"));
        first.show();
        QVERIFY(first.close()); // stores
        QCOMPARE(QSettings().value(QStringLiteral("download_folder")).toString(), QStringLiteral("/something/else"));
    }
    {
        MainWindow second;
        auto *edit = second.findChild<QLineEdit *>(QStringLiteral("e_downloadFolder"));
        QCOMPARE(edit->text(), QStringLiteral("/something/else"));
        edit->setText(typed);
        second.show();
        QVERIFY(second.close());
    }
    MainWindow third;
    QCOMPARE(third.findChild<QLineEdit *>(QStringLiteral("e_downloadFolder"))->text(), typed);
}

void TestMainWindow::whenDialogShows(std::function<void(QFileDialog *)> onDialog)
{
    auto *timer = new QTimer(this);
    timer->setInterval(10);
    connect(timer, &QTimer::timeout, this, [timer, onDialog] {
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            auto *dialog = qobject_cast<QFileDialog *>(widget);
            if (dialog && dialog->isVisible()) {
                timer->stop();
                timer->deleteLater();
                onDialog(dialog);
                return;
            }
        }
    });
    timer->start();
}

void TestMainWindow::folderChooser()
{
    QTemporaryDir chosen;
    QVERIFY(chosen.isValid());
    MainWindow window;
    auto *edit = window.findChild<QLineEdit *>(QStringLiteral("e_downloadFolder"));
    auto *browse = window.findChild<QPushButton *>(QStringLiteral("b_browseDownloadFolder"));
    edit->setText(QStringLiteral("/previous"));

    QString caption;
    whenDialogShows([&caption](QFileDialog *dialog) {
        caption = dialog->windowTitle();
        dialog->reject();
    });
    browse->click();
    QCOMPARE(caption, QStringLiteral("Select download folder"));
    QCOMPARE(edit->text(), QStringLiteral("/previous"));

    whenDialogShows([&chosen](QFileDialog *dialog) {
        QVERIFY(dialog->testOption(QFileDialog::ShowDirsOnly));
        dialog->setDirectory(chosen.path());
        QMetaObject::invokeMethod(dialog, "accept"); // protected in QFileDialog
    });
    browse->click();
    QCOMPARE(QDir(edit->text()).canonicalPath(), QDir(chosen.path()).canonicalPath());
    // Chosen, not yet stored: that happens on close.
    QVERIFY(!QSettings().contains(QStringLiteral("download_folder")));
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
