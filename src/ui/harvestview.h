// The window's harvest view: the cards present (the machine's card readers and the card
// images the user adds), each with the station it will be filed under and how much of it
// the campaign archive's ledger already holds; one button harvests them all at once, a
// bar per card follows its files, the receipts and the campaign's availability follow.
#pragma once

#include "campaign.h"
#include "harvest.h"
#include "stoptoken.h"

#include <QDialog>
#include <QFutureWatcher>
#include <QHash>
#include <QStringList>
#include <QVector>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTreeWidget;

// One card as the view lists it.
struct HarvestCard
{
    QString device;
    QString recorded;       // NET.STA of its first record; empty when none was found
    QString station;        // NET.STA as it will be filed
    QString firstDirectory; // the card's first recording directory
    quint32 first = 0, last = 0; // GPS seconds its first and last recordings began
    int files = 0;          // recording files, the log included
    int toRead = 0;         // files a harvest would read now: new ones, grown ones, the log with them
    QString state;          // "new", "partly harvested", "harvested"; empty when unknown
    QString problem;        // why the card could not be looked at
};

// What a look at the cards and the archive found.
struct HarvestSurvey
{
    QVector<HarvestCard> cards;
    CampaignReport report;
    bool hasReport = false;
    QStringList problems; // the station table's or the ledger's
};

// The availability of every channel of the campaign, drawn as `vexa-card campaign --plot`
// draws it.
class AvailabilityView : public QWidget
{
    Q_OBJECT
public:
    explicit AvailabilityView(QWidget *parent = nullptr);
    void setReport(const CampaignReport &report);
    bool isEmpty() const { return m_picture.isEmpty(); }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *) override;

private:
    CampaignReport m_report;
    CardPicture m_picture;
};

class HarvestView : public QDialog
{
    Q_OBJECT
public:
    explicit HarvestView(QWidget *parent = nullptr);
    // Stops a running harvest between sectors, and waits for its cards to end.
    ~HarvestView() override;

    void setArchive(const QString &folder);
    void setStationTable(const QString &file);
    // Card images listed besides the machine's card readers; looks at the cards again.
    void addCardImages(const QStringList &paths);

    bool isHarvesting() const { return m_running; }
    const QVector<HarvestCard> &cards() const { return m_cards; }
    const QVector<HarvestReceipt> &receipts() const { return m_receipts; }

    // Reads the cards and the archive's ledger again, off the window's thread.
    void survey();
    // Harvests every card listed, one thread per card.
    void harvest();
    void stop();

    // Looks at one card read-only: its recorder's codes, its station as filed, and its
    // files against what `harvested` (the ledger's record of it) holds.
    static HarvestCard lookAtCard(const QString &device, const StationTable *table,
                                  const std::function<QHash<QString, qint64>(const QString &cardKey, Status *)> &harvested);

Q_SIGNALS:
    void surveyed();
    void harvestFinished();

public Q_SLOTS:
    // Closing the view, by its title bar or Escape, stops the harvest as Stop does; the
    // receipts still come, and show when the view is opened again.
    void reject() override;

private:
    void showSurvey(const HarvestSurvey &result);
    void fileRead(const QString &card);
    void finishHarvest(const QVector<HarvestReceipt> &receipts, const QString &failure);
    void setBusy(bool busy);
    void browseArchive();
    void browseStations();
    void browseImages();

    struct Relay;

    QLineEdit *m_archive;
    QLineEdit *m_stations;
    QTreeWidget *m_tree;
    QPushButton *m_harvestButton, *m_stopButton, *m_addButton, *m_lookButton;
    QPlainTextEdit *m_receiptText;
    QLabel *m_status;
    AvailabilityView *m_availability;

    QStringList m_images;
    QVector<HarvestCard> m_cards;
    QVector<HarvestReceipt> m_receipts;
    QHash<QString, QProgressBar *> m_bars;
    QFutureWatcher<HarvestSurvey> m_surveyWatcher;
    QString m_outcome; // of the last harvest, shown under the cards
    bool m_surveyAgain = false;
    bool m_running = false;
    StopToken m_stop;
    std::shared_ptr<Relay> m_relay;
    std::thread m_worker;
};
