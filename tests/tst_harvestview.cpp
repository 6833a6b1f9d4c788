// The window's harvest view: two recorders' cards listed with their stations as filed,
// harvested at once into a new archive, their receipts and states after. Runs offscreen.
#include "harvestview.h"
#include "ledger.h"
#include "mainwindow.h"
#include "samplecard.h"

#include <QSignalSpy>
#include <QTest>
#include <QtWidgets>

class TestHarvestView : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;

    QString writeCard(const QString &name, const SampleCard::Options &options)
    {
        QFile image(m_dir.filePath(name));
        if (!image.open(QIODevice::WriteOnly))
            qWarning() << "cannot write" << name << image.errorString();
        else if (const Status written = SampleCard::write(image, options); !written)
            qWarning() << "cannot write" << name << written.message << image.errorString();
        return QDir::toNativeSeparators(QFileInfo(image).absoluteFilePath());
    }

private Q_SLOTS:
    void initTestCase()
    {
        QCoreApplication::setOrganizationName("Orvane");
        QCoreApplication::setApplicationName("Vexa reader");
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_dir.filePath("settings")); // never the user's
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_dir.filePath("settings"));
    }

    void harvestTwoCards()
    {
        SampleCard::Options first;
        first.start = SampleCard::startOnDay(2024, 4, 29);
        const QString a = writeCard("a.img", first);
        SampleCard::Options moved;
        moved.station = "VEXB";
        moved.start = SampleCard::startOnDay(2024, 5, 1);
        const QString b = writeCard("b.img", moved);
        QFile table(m_dir.filePath("stations.csv"));
        QVERIFY(table.open(QIODevice::WriteOnly));
        table.write("recorded,network,station\nXX.VEXB,AB,SITE2\n");
        table.close();
        const QString archive = m_dir.filePath("archive");

        MainWindow window;
        window.addCardImages({a, b});
        window.findChild<QPushButton *>("b_harvest")->click();
        auto *view = window.findChild<HarvestView *>();
        QVERIFY(view && view->isVisible());
        view->setArchive(archive);
        view->setStationTable(table.fileName());
        auto *tree = view->findChild<QTreeWidget *>("tw_cards");
        const auto rows = [tree]() {
            QStringList texts;
            for (int i = 0; i < tree->topLevelItemCount(); ++i) {
                const QTreeWidgetItem *item = tree->topLevelItem(i);
                texts.append(QStringList{item->text(0), item->text(1), item->text(2).left(10), item->text(4)}.join('|'));
            }
            return texts;
        };
        QTRY_COMPARE_WITH_TIMEOUT(rows(),
                                  (QStringList{a + "|XX.VEXA|2024-04-29|new", b + "|AB.SITE2 (recorded XX.VEXB)|2024-05-01|new"}),
                                  20000);

        // At the end every bar has counted all the files its card had to read.
        QStringList bars;
        connect(view, &HarvestView::harvestFinished, this, [&]() {
            for (int i = 0; i < tree->topLevelItemCount(); ++i) {
                const auto *bar = qobject_cast<QProgressBar *>(tree->itemWidget(tree->topLevelItem(i), 5));
                bars.append(bar ? QString("%1/%2").arg(bar->value()).arg(bar->maximum()) : "none");
            }
        });
        view->findChild<QPushButton *>("b_harvest")->click();
        QVERIFY(view->isHarvesting());
        QTRY_VERIFY_WITH_TIMEOUT(!view->isHarvesting(), 120000);
        QCOMPARE(view->receipts().size(), 2);
        const QString files = QString::number(view->cards().at(0).files);
        QCOMPARE(bars, (QStringList{files + "/" + files, files + "/" + files}));
        QStringList lines = view->findChild<QPlainTextEdit *>("te_receipts")->toPlainText().split('\n');
        QCOMPARE(lines.size(), 3); // the recorder the table does not name is said so, under its line
        QVERIFY2(lines[1].startsWith("    warning: ") && lines[1].contains("XX.VEXA is not in the station table"), qPrintable(lines[1]));
        lines.removeAt(1);
        QVERIFY2(lines[0].startsWith(a + ": XX.VEXA, " + files + " files new, 0 already harvested") && lines[0].contains(", verified, complete, "), qPrintable(lines[0]));
        QVERIFY2(lines[1].startsWith(b + ": AB.SITE2, " + files + " files new") && lines[1].contains(", verified, complete, "), qPrintable(lines[1]));
        QTRY_COMPARE_WITH_TIMEOUT(rows(),
                                  (QStringList{a + "|XX.VEXA|2024-04-29|harvested", b + "|AB.SITE2 (recorded XX.VEXB)|2024-05-01|harvested"}),
                                  20000);
        QVERIFY(!view->findChild<AvailabilityView *>()->isEmpty());
        if (qEnvironmentVariableIsSet("VEXA_HARVEST_SCREENSHOT")) // docs/harvest-view.png
            QVERIFY(view->grab().save(qEnvironmentVariable("VEXA_HARVEST_SCREENSHOT")));

        // A card's state against what the ledger holds of it: a file missing or grown since
        // is read again.
        std::unique_ptr<Ledger> ledger;
        QVERIFY(Ledger::open(archive, &ledger, Ledger::Mode::ReadOnly));
        const HarvestCard listed = view->cards().at(1);
        const QHash<QString, qint64> all = ledger->harvestedFiles(listed.recorded + "/" + listed.firstDirectory);
        QCOMPARE(all.size(), listed.files);
        QStringList paths = all.keys();
        paths.removeAll("/log");
        const QString file = paths.value(0);
        QHash<QString, qint64> missing = all, grown = all, onlyLog;
        missing.remove(file);
        grown[file] -= 1;
        onlyLog.insert("/log", all.value("/log"));
        const struct { const char *name; QHash<QString, qint64> harvested; QString state; int toRead; } cases[] = {
            {"none", {}, "new", listed.files},
            {"only the log", onlyLog, "new", listed.files},
            {"all", all, "harvested", 0},
            {"one missing", missing, "partly harvested", 2},
            {"one grown", grown, "partly harvested", 2},
        };
        for (const auto &c : cases) {
            const HarvestCard card = HarvestView::lookAtCard(QDir::fromNativeSeparators(b), nullptr,
                                                             [&c](const QString &, Status *) { return c.harvested; });
            QVERIFY2(card.state == c.state && card.toRead == c.toRead && card.station == "XX.VEXB",
                     qPrintable(QString("%1: %2 %3 %4").arg(c.name, card.state).arg(card.toRead).arg(card.station)));
        }
    }

    void stopAtOnce_data()
    {
        QTest::addColumn<bool>("closing");
        QTest::newRow("Stop") << false;
        QTest::newRow("closing the view") << true;
    }
    void stopAtOnce() // the harvest ends before its files are read; the card stays to be harvested
    {
        QFETCH(bool, closing);
        const QString card = writeCard("c.img", SampleCard::Options());
        HarvestView view;
        view.show();
        view.setStationTable(QString());
        view.setArchive(m_dir.filePath(QTest::currentDataTag()));
        view.addCardImages({card});
        const auto states = [&view]() {
            QStringList texts;
            for (const HarvestCard &c : view.cards())
                texts.append(c.state);
            return texts;
        };
        QTRY_COMPARE_WITH_TIMEOUT(states(), QStringList{"new"}, 20000);
        QSignalSpy looked(&view, &HarvestView::surveyed); // again, once the harvest ended
        view.findChild<QPushButton *>("b_harvest")->click();
        QVERIFY(view.isHarvesting() && view.findChild<QPushButton *>("b_stop")->isEnabled());
        if (closing)
            QVERIFY(view.close());
        else
            view.findChild<QPushButton *>("b_stop")->click();
        QTRY_VERIFY_WITH_TIMEOUT(!view.isHarvesting(), 60000);
        const QString receipts = view.findChild<QPlainTextEdit *>("te_receipts")->toPlainText();
        if (view.receipts().isEmpty())
            QCOMPARE(receipts, QString("Stopped before any card was read."));
        else
            QVERIFY2(view.receipts().size() == 1 && view.receipts()[0].outcome == "stopped", qPrintable(receipts));
        QTRY_COMPARE_WITH_TIMEOUT(looked.count(), 1, 20000);
        QVERIFY2(states().size() == 1 && states()[0] != "harvested", qPrintable(states().join(',')));
    }
};

QTEST_MAIN(TestHarvestView)
#include "tst_harvestview.moc"
