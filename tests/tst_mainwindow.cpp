// The window's form, its slot table, the device chooser and the remembered download
// folder. Runs offscreen.
#include "devicediscoverer.h"
#include "mainwindow.h"

#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
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

class TestMainWindow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init() { QSettings().clear(); }

    void form();
    void slotTable();
    void deviceChooser();
    void folderRememberedAcrossRuns_data();
    void folderRememberedAcrossRuns();
    void cancelledFolderChooserChangesNothing();

private:
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

void TestMainWindow::form()
{
    MainWindow window;
    QCOMPARE(window.windowTitle(), QStringLiteral("MainWindow"));
    QCOMPARE(window.size(), QSize(617, 447));
    auto *grid = qobject_cast<QGridLayout *>(window.centralWidget()->layout());
    QVERIFY(grid);
    QCOMPARE(window.centralWidget()->objectName(), QStringLiteral("centralwidget"));
    QCOMPARE(grid->objectName(), QStringLiteral("gridLayout"));

    // Grid rows from the top; row 2 stays empty.
    const QPair<QString, int> rows[] = {{QStringLiteral("horizontalLayout"), 0},
                                        {QStringLiteral("tw_files"), 1},
                                        {QStringLiteral("horizontalLayout_2"), 3},
                                        {QStringLiteral("pb_progress"), 4}};
    QCOMPARE(grid->count(), 4);
    int placed = 0;
    for (const auto &[name, row] : rows) {
        for (int i = 0; i < grid->count(); ++i) {
            QLayoutItem *item = grid->itemAt(i);
            QObject *object = item->widget() ? static_cast<QObject *>(item->widget()) : item->layout();
            if (object->objectName() != name)
                continue;
            int r, c, rs, cs;
            grid->getItemPosition(i, &r, &c, &rs, &cs);
            QCOMPARE(QList<int>({r, c, rs, cs}), QList<int>({row, 0, 1, 1}));
            ++placed;
        }
    }
    QCOMPARE(placed, 4);

    // Each row's widgets in order, with their texts.
    auto rowWidgets = [&window](const char *layout) {
        QStringList names;
        auto *box = window.findChild<QLayout *>(QLatin1String(layout));
        for (int i = 0; box && i < box->count(); ++i) {
            QWidget *w = box->itemAt(i)->widget();
            QString text;
            if (auto *button = qobject_cast<QPushButton *>(w))
                text = button->text();
            if (auto *label = qobject_cast<QLabel *>(w))
                text = label->text();
            names.append(w->objectName() + QLatin1Char('=') + text);
        }
        return names;
    };
    QCOMPARE(rowWidgets("horizontalLayout"), QStringList({"cb_device=", "b_open=Open"}));
    QCOMPARE(rowWidgets("horizontalLayout_2"),
             QStringList({"b_selectAll=Select All", "b_downloadChecked=Download selected",
                          "label=Download folder:", "e_downloadFolder=", "b_browseDownloadFolder=..."}));
    QCOMPARE(window.findChild<QLayout *>(QStringLiteral("horizontalLayout_2"))->contentsMargins().top(), 2);

    auto *tree = window.findChild<QTreeWidget *>(QStringLiteral("tw_files"));
    QCOMPARE(tree->columnCount(), 2);
    QCOMPARE(tree->headerItem()->text(0), QStringLiteral("Name"));
    QCOMPARE(tree->headerItem()->text(1), QStringLiteral("Size"));
    auto *combo = window.findChild<QComboBox *>(QStringLiteral("cb_device"));
    QCOMPARE(combo->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
    QCOMPARE(combo->sizePolicy().verticalPolicy(), QSizePolicy::Fixed);
    auto *bar = window.findChild<QProgressBar *>(QStringLiteral("pb_progress"));
    QCOMPARE(bar->value(), 0);
    QVERIFY(!bar->isHidden());
}

void TestMainWindow::slotTable()
{
    MainWindow window;
    const QMetaObject *meta = window.metaObject();
    QStringList slotList;
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
        const QMetaMethod method = meta->method(i);
        if (method.methodType() == QMetaMethod::Slot)
            slotList.append(QString::fromLatin1(method.methodSignature())
                            + (method.access() == QMetaMethod::Public ? QLatin1String(" public")
                                                                      : QLatin1String(" private")));
    }
    QCOMPARE(slotList, QStringList({"openFile() public", "itemDoubleClicked(QTreeWidgetItem*) public",
                                    "browseDownloadFolder() public", "downloadChecked() public",
                                    "selectAll() public", "progress(int,int) private",
                                    "progressValueChanged(int) private",
                                    "itemChanged(QTreeWidgetItem*,int) private"}));
}

void TestMainWindow::deviceChooser()
{
    // Windows' raw drives, whatever this machine has.
    const QStringList drives = DeviceDiscoverer::physicalDrives();
    QCOMPARE(drives.size(), 16);
    QCOMPARE(drives.first(), QStringLiteral("\\\\.\\PhysicalDrive0"));
    QCOMPARE(drives.at(10), QStringLiteral("\\\\.\\PhysicalDrive10"));
    QCOMPARE(drives.last(), QStringLiteral("\\\\.\\PhysicalDrive15"));

    // Card images named on the command line come first; missing ones are left out.
    QTemporaryDir dir;
    const QString a = dir.filePath(QStringLiteral("a.img"));
    const QString b = dir.filePath(QStringLiteral("b.img"));
    for (const QString &path : {a, b}) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    MainWindow window;
    window.addCardImages({a, dir.filePath(QStringLiteral("missing.img")), b});
    auto *combo = window.findChild<QComboBox *>(QStringLiteral("cb_device"));
    QStringList shown;
    for (int i = 0; i < combo->count(); ++i)
        shown.append(combo->itemText(i));
    QCOMPARE(shown, QStringList({QDir::toNativeSeparators(a), QDir::toNativeSeparators(b)})
                        + DeviceDiscoverer().listDevices());
    QCOMPARE(combo->currentIndex(), 0);
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
    auto folderField = [](MainWindow &w) { return w.findChild<QLineEdit *>(QStringLiteral("e_downloadFolder")); };
    {
        MainWindow first;
        QCOMPARE(folderField(first)->text(), QString()); // first run: nothing stored
        folderField(first)->setText(QStringLiteral("/something/else"));
        first.show();
        QVERIFY(first.close());
    }
    {
        MainWindow second;
        QCOMPARE(folderField(second)->text(), QStringLiteral("/something/else"));
        folderField(second)->setText(typed);
        second.show();
        QVERIFY(second.close());
    }
    MainWindow third;
    QCOMPARE(folderField(third)->text(), typed);
}

void TestMainWindow::cancelledFolderChooserChangesNothing()
{
    MainWindow window;
    auto *edit = window.findChild<QLineEdit *>(QStringLiteral("e_downloadFolder"));
    edit->setText(QStringLiteral("/previous"));
    QString caption;
    QTimer timer;
    connect(&timer, &QTimer::timeout, this, [&] {
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            auto *dialog = qobject_cast<QFileDialog *>(widget);
            if (dialog && dialog->isVisible()) {
                caption = dialog->windowTitle();
                dialog->reject();
            }
        }
    });
    timer.start(10);
    window.findChild<QPushButton *>(QStringLiteral("b_browseDownloadFolder"))->click();
    QCOMPARE(caption, QStringLiteral("Select download folder"));
    QCOMPARE(edit->text(), QStringLiteral("/previous"));
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
