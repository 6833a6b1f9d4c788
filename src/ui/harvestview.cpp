#include "harvestview.h"

#include "devicediscoverer.h"
#include "filesystem.h"
#include "ledger.h"
#include "stationtable.h"
#include "timelinepainter.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QSettings>
#include <QSplitter>
#include <QTreeWidget>
#include <QtConcurrent>


#include <algorithm>
#include <cerrno>
#include <mutex>

namespace {

constexpr char ArchiveKey[] = "harvest/archive";
constexpr char StationsKey[] = "harvest/stations";
// Bytes read from a file's start to find its first record: the longest record our
// recorders write, in sectors.

enum Column { CardColumn, StationColumn, RecordingsColumn, FilesColumn, StateColumn, ProgressColumn };

// The cards present and what the archive holds, read-only; runs on the thread pool.
HarvestSurvey surveyCards(const QString &archive, const QString &stations, const QStringList &images)
{
    HarvestSurvey survey;
    StationTable table;
    const StationTable *mapping = nullptr;
    if (!stations.isEmpty()) {
        if (const Status loaded = StationTable::load(stations, &table); loaded)
            mapping = &table;
        else
            survey.problems.append(loaded.message);
    }
    // No ledger yet: every card is new. Opened read-only, so that a look never creates one.
    std::unique_ptr<Ledger> ledger;
    if (!archive.isEmpty() && QFileInfo::exists(Ledger::path(archive))) {
        if (const Status opened = Ledger::open(archive, &ledger, Ledger::Mode::ReadOnly); !opened)
            survey.problems.append(opened.message);
    }
    const auto harvested = [&ledger](const QString &cardKey, Status *status) {
        return ledger ? ledger->harvestedFiles(cardKey, status) : QHash<QString, qint64>();
    };
    for (const DeviceProbe &probe : DeviceDiscoverer().probeDevices(images)) {
        if (probe.verdict != DeviceProbe::Card)
            continue;
        HarvestCard card = HarvestView::lookAtCard(probe.device, mapping, harvested);
        card.first = probe.first;
        card.last = probe.last;
        survey.cards.append(card);
    }
    if (ledger) {
        if (const Status read = readCampaign(*ledger, &survey.report); read)
            survey.hasReport = survey.report.end > survey.report.start;
        else
            survey.problems.append(read.message);
    }
    return survey;
}

} // namespace

// What the harvest's threads hand to the view: nothing once the view is gone. The view's
// thread clears `view` under the lock before it is destroyed, so a message is either
// posted to a living view (and dropped with it) or not posted at all.
struct HarvestView::Relay
{
    std::mutex mutex;
    HarvestView *view = nullptr;
    // Until the archive's lock is held: a harvest from elsewhere may keep it for long,
    // and a view closed meanwhile does not wait for it.
    std::atomic_bool locking{true};

    template<class F> void post(F call)
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (view)
            QMetaObject::invokeMethod(view, [v = view, call = std::move(call)]() { call(v); }, Qt::QueuedConnection);
    }
};

AvailabilityView::AvailabilityView(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("w_availability"));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
}

void AvailabilityView::setReport(const CampaignReport &report)
{
    m_report = report;
    m_picture = campaignPicture(m_report);
    // Every channel's row and the axis; the scroll area beyond that.
    setMinimumHeight(sizeHint().height());
    updateGeometry();
    update();
}

QSize AvailabilityView::sizeHint() const
{
    if (m_picture.isEmpty())
        return QSize(600, 4 * fontMetrics().height());
    return QSize(600, TimelinePainter(m_picture, fontMetrics(), 600).height());
}

void AvailabilityView::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    const QPalette pal = palette();
    p.fillRect(rect(), pal.color(QPalette::Base));
    if (m_picture.isEmpty() || m_report.end <= m_report.start) {
        p.setPen(pal.color(QPalette::PlaceholderText));
        p.drawText(rect(), Qt::AlignCenter, tr("Nothing harvested into this archive yet."));
        return;
    }
    TimelinePainter(m_picture, fontMetrics(), width()).paint(p, m_report.start, m_report.end, pal);
}

HarvestView::HarvestView(QWidget *parent) : QDialog(parent), m_relay(std::make_shared<Relay>())
{
    setObjectName(QStringLiteral("HarvestView"));
    setWindowTitle(tr("Harvest"));

    m_archive = new QLineEdit(this);
    m_archive->setObjectName(QStringLiteral("e_archive"));
    m_archive->setPlaceholderText(tr("the campaign's archive folder"));
    m_stations = new QLineEdit(this);
    m_stations->setObjectName(QStringLiteral("e_stations"));
    m_stations->setPlaceholderText(tr("optional: the codes to file each recorder under (CSV)"));
    auto *browseArchive = new QPushButton(QStringLiteral("..."), this);
    browseArchive->setObjectName(QStringLiteral("b_browseArchive"));
    auto *browseStations = new QPushButton(QStringLiteral("..."), this);
    browseStations->setObjectName(QStringLiteral("b_browseStations"));

    m_tree = new QTreeWidget(this);
    m_tree->setObjectName(QStringLiteral("tw_cards"));
    m_tree->setRootIsDecorated(false);
    m_tree->setHeaderLabels({tr("Card"), tr("Station"), tr("Recordings"), tr("Files"), tr("State"), tr("Progress")});
    m_tree->header()->setStretchLastSection(true);

    m_addButton = new QPushButton(tr("Add card image..."), this);
    m_addButton->setObjectName(QStringLiteral("b_addImage"));
    m_lookButton = new QPushButton(tr("Look again"), this);
    m_lookButton->setObjectName(QStringLiteral("b_lookAgain"));
    m_harvestButton = new QPushButton(tr("Harvest"), this);
    m_harvestButton->setObjectName(QStringLiteral("b_harvest"));
    m_stopButton = new QPushButton(tr("Stop"), this);
    m_stopButton->setObjectName(QStringLiteral("b_stop"));
    m_stopButton->setEnabled(false);
    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("l_status"));
    m_status->setWordWrap(true);

    m_receiptText = new QPlainTextEdit(this);
    m_receiptText->setObjectName(QStringLiteral("te_receipts"));
    m_receiptText->setReadOnly(true);
    m_receiptText->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_receiptText->setPlaceholderText(tr("The receipts of the harvest, one line per card."));

    m_availability = new AvailabilityView(this);
    auto *scroll = new QScrollArea(this);
    scroll->setObjectName(QStringLiteral("sa_availability"));
    scroll->setWidgetResizable(true);
    scroll->setWidget(m_availability);

    auto *form = new QGridLayout;
    form->addWidget(new QLabel(tr("Campaign archive:"), this), 0, 0);
    form->addWidget(m_archive, 0, 1);
    form->addWidget(browseArchive, 0, 2);
    form->addWidget(new QLabel(tr("Station table:"), this), 1, 0);
    form->addWidget(m_stations, 1, 1);
    form->addWidget(browseStations, 1, 2);

    auto *buttons = new QHBoxLayout;
    buttons->addWidget(m_addButton);
    buttons->addWidget(m_lookButton);
    buttons->addStretch(1);
    buttons->addWidget(m_harvestButton);
    buttons->addWidget(m_stopButton);

    // The cards above, what the harvest said and the campaign's picture below, each as
    // tall as the user wants.
    auto *splitter = new QSplitter(Qt::Vertical, this);
    splitter->setObjectName(QStringLiteral("sp_harvest"));
    splitter->setChildrenCollapsible(false);
    splitter->addWidget(m_tree);
    splitter->addWidget(m_receiptText);
    splitter->addWidget(scroll);
    splitter->setStretchFactor(0, 2);
    splitter->setStretchFactor(1, 1);
    splitter->setStretchFactor(2, 3);
    // A few cards' rows, a few receipts, and the most room for the channels' picture.
    splitter->setSizes({150, 110, 400});

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(splitter, 1);
    layout->addWidget(m_status);
    layout->addLayout(buttons);
    resize(1000, 700);

    connect(browseArchive, &QPushButton::clicked, this, &HarvestView::browseArchive);
    connect(browseStations, &QPushButton::clicked, this, &HarvestView::browseStations);
    connect(m_addButton, &QPushButton::clicked, this, &HarvestView::browseImages);
    connect(m_lookButton, &QPushButton::clicked, this, &HarvestView::survey);
    connect(m_harvestButton, &QPushButton::clicked, this, &HarvestView::harvest);
    connect(m_stopButton, &QPushButton::clicked, this, &HarvestView::stop);
    connect(m_archive, &QLineEdit::editingFinished, this, &HarvestView::survey);
    connect(m_stations, &QLineEdit::editingFinished, this, &HarvestView::survey);
    connect(&m_surveyWatcher, &QFutureWatcherBase::finished, this, [this] { showSurvey(m_surveyWatcher.result()); });

    const QSettings settings;
    m_archive->setText(settings.value(QLatin1String(ArchiveKey)).toString());
    m_stations->setText(settings.value(QLatin1String(StationsKey)).toString());
    m_relay->view = this;
}

HarvestView::~HarvestView()
{
    m_stop.requestStop();
    {
        const std::lock_guard<std::mutex> lock(m_relay->mutex);
        m_relay->view = nullptr;
    }
    if (m_worker.joinable()) {
        // Past the lock the cards end between two sectors, their partial files removed;
        // before it, the thread ends on its own once the other harvest lets go.
        if (m_relay->locking)
            m_worker.detach();
        else
            m_worker.join();
    }
    // The survey touches nothing of the view; its result is dropped with the watcher.
}

void HarvestView::setArchive(const QString &folder)
{
    m_archive->setText(QDir::toNativeSeparators(folder));
    QSettings().setValue(QLatin1String(ArchiveKey), m_archive->text());
    survey();
}

void HarvestView::setStationTable(const QString &file)
{
    m_stations->setText(QDir::toNativeSeparators(file));
    QSettings().setValue(QLatin1String(StationsKey), m_stations->text());
    survey();
}

void HarvestView::addCardImages(const QStringList &paths)
{
    for (const QString &path : paths) {
        const QFileInfo info(path);
        const QString image = QDir::toNativeSeparators(info.absoluteFilePath());
        if (info.isFile() && !m_images.contains(image))
            m_images.append(image);
    }
    survey();
}

void HarvestView::survey()
{
    if (m_running)
        return;
    if (m_surveyWatcher.isRunning()) {
        m_surveyAgain = true;
        return;
    }
    m_status->setText(tr("Looking for cards..."));
    m_harvestButton->setEnabled(false);
    m_surveyWatcher.setFuture(QtConcurrent::run(surveyCards, QDir::fromNativeSeparators(m_archive->text().trimmed()),
                                                QDir::fromNativeSeparators(m_stations->text().trimmed()), m_images));
}

HarvestCard HarvestView::lookAtCard(const QString &device, const StationTable *table,
                                    const std::function<QHash<QString, qint64>(const QString &, Status *)> &harvested)
{
    HarvestCard card;
    card.device = device;
    Filesystem fs;
    if (!fs.open(device)) {
        card.problem = fs.errorString();
        return card;
    }
    QStringList problems;
    const CardListing listing = harvestListing(fs.listFiles(&problems));
    const QList<EntryInfo> &files = listing.recordings;
    card.files = listing.count();
    if (!problems.isEmpty())
        card.problem = problems.constFirst();
    if (files.isEmpty()) {
        card.state = tr("no recordings");
        return card;
    }
    card.firstDirectory = fs.cardPath(files.constFirst()).section(QLatin1Char('/'), 1, 1);

    // The recorder's codes and the first record's start, as the harvest names the card.
    qint64 firstTime = 0;
    QString network, station;
    if (recordedCodes(fs, files, &network, &station, &firstTime))
        card.recorded = network + QLatin1Char('.') + station;
    if (card.recorded.isEmpty()) {
        card.problem = tr("no miniSEED record at the start of its first files");
        return card;
    }
    card.station = filedStation(table, network, station, firstTime);

    Status known;
    const QHash<QString, qint64> done = harvested(card.recorded + QLatin1Char('/') + card.firstDirectory, &known);
    if (!known) {
        card.problem = known.message;
        return card;
    }
    // Taken as the harvest takes them.
    int skipped = 0;
    const QList<EntryInfo> toRead = filesToHarvest(fs, listing, done, &skipped);
    card.toRead = int(toRead.size());
    const qsizetype fresh = std::count_if(toRead.cbegin(), toRead.cend(), [](const EntryInfo &e) { return e.isFile(); });
    if (card.toRead == 0)
        card.state = tr("harvested");
    else if (fresh == files.size())
        card.state = tr("new");
    else
        card.state = tr("partly harvested");
    return card;
}

void HarvestView::showSurvey(const HarvestSurvey &result)
{
    if (m_surveyAgain) {
        m_surveyAgain = false;
        survey();
        return;
    }
    m_cards = result.cards;
    m_tree->clear();
    m_bars.clear();
    for (const HarvestCard &card : std::as_const(m_cards)) {
        auto *item = new QTreeWidgetItem(m_tree);
        item->setText(CardColumn, QDir::toNativeSeparators(card.device));
        QString station = card.station;
        if (!card.recorded.isEmpty() && card.recorded != card.station)
            station = tr("%1 (recorded %2)").arg(card.station, card.recorded);
        item->setText(StationColumn, station);
        if (card.first)
            item->setText(RecordingsColumn, tr("%1 to %2").arg(cardMinuteText(card.first), cardMinuteText(card.last)));
        item->setText(FilesColumn, QString::number(card.files));
        item->setTextAlignment(FilesColumn, Qt::AlignRight | Qt::AlignVCenter);
        item->setText(StateColumn, card.state);
        if (!card.problem.isEmpty()) {
            item->setText(StateColumn, card.state.isEmpty() ? tr("unreadable") : card.state + tr(", with problems"));
            item->setToolTip(StateColumn, card.problem);
            item->setForeground(StateColumn, TimelinePainter::gapColor());
        }
        auto *bar = new QProgressBar(m_tree);
        if (card.toRead > 0) {
            bar->setRange(0, card.toRead);
            bar->setValue(0);
            bar->setFormat(tr("%v of %m files"));
        } else {
            bar->setRange(0, 1);
            bar->setValue(card.state == tr("harvested") ? 1 : 0);
            bar->setFormat(card.state == tr("harvested") ? tr("in the archive") : QString());
        }
        m_tree->setItemWidget(item, ProgressColumn, bar);
        m_bars.insert(card.device, bar);
    }
    for (int c = 0; c < ProgressColumn; ++c)
        m_tree->resizeColumnToContents(c);

    QStringList notes = result.problems;
    if (m_cards.isEmpty())
        notes.append(tr("No card found: insert one, or add a card image."));
    else if (m_archive->text().trimmed().isEmpty())
        notes.append(tr("Choose the campaign archive folder to harvest into."));
    if (!m_outcome.isEmpty())
        notes.append(m_outcome);
    m_status->setText(notes.join(QLatin1Char('\n')));
    m_availability->setReport(result.hasReport ? result.report : CampaignReport());
    setBusy(false);
    Q_EMIT surveyed();
}

void HarvestView::harvest()
{
    const QString archive = QDir::fromNativeSeparators(m_archive->text().trimmed());
    if (m_running || m_surveyWatcher.isRunning())
        return;
    if (archive.isEmpty()) {
        m_status->setText(tr("Choose the campaign archive folder first."));
        return;
    }
    QStringList devices;
    for (const HarvestCard &card : std::as_const(m_cards))
        devices.append(card.device);
    if (devices.isEmpty()) {
        m_status->setText(tr("No card to harvest."));
        return;
    }
    const QString stations = QDir::fromNativeSeparators(m_stations->text().trimmed());
    QSettings settings;
    settings.setValue(QLatin1String(ArchiveKey), m_archive->text().trimmed());
    settings.setValue(QLatin1String(StationsKey), m_stations->text().trimmed());

    m_receipts.clear();
    m_receiptText->clear();
    m_outcome.clear();
    for (int i = 0; i < m_tree->topLevelItemCount(); ++i) {
        m_tree->topLevelItem(i)->setText(StateColumn, tr("harvesting"));
        if (QProgressBar *bar = m_bars.value(m_cards.at(i).device); bar && m_cards.at(i).toRead > 0)
            bar->setValue(0);
    }
    m_status->setText(tr("Harvesting %n card(s) into %1...", nullptr, int(devices.size())).arg(m_archive->text()));
    m_running = true;
    setBusy(true);
    m_stop = StopToken();
    m_relay->locking = true;

    m_worker = std::thread([relay = m_relay, stop = m_stop, archive, stations, devices]() {
        const auto fail = [&relay](const QString &failure) {
            relay->locking = false;
            relay->post([failure](HarvestView *view) { view->finishHarvest({}, failure); });
        };
        // A table that is wrong is refused before any card is read.
        StationTable table;
        if (!stations.isEmpty()) {
            if (const Status loaded = StationTable::load(stations, &table); !loaded)
                return fail(loaded.message);
        }
        errno = 0;
        if (!QDir().mkpath(archive))
            return fail(tr("cannot create the archive %1: %2").arg(archive, systemErrorText(errno)));
        Harvest harvest(archive);
        if (!stations.isEmpty())
            harvest.setStations(&table);
        harvest.setStopToken(stop);
        harvest.setFileRead([&relay](const QString &card, const QString &) {
            relay->post([card](HarvestView *view) { view->fileRead(card); });
        });
        const Status locked = harvest.lockArchive([&relay, &archive]() {
            relay->post([archive](HarvestView *view) {
                view->m_status->setText(tr("Another harvest into %1 is running; waiting for it to end.").arg(archive));
            });
        });
        relay->locking = false;
        if (!locked)
            return fail(locked.message);
        if (stop.stopRequested())
            return fail(tr("Stopped before any card was read."));
        const QVector<HarvestReceipt> receipts = harvest.harvestCards(devices);
        relay->post([receipts](HarvestView *view) { view->finishHarvest(receipts, QString()); });
    });
}

void HarvestView::stop()
{
    if (!m_running)
        return;
    m_stop.requestStop();
    m_stopButton->setEnabled(false);
    m_status->setText(tr("Stopping: each card ends between two sectors; what was read whole stays harvested."));
}

void HarvestView::fileRead(const QString &card)
{
    if (QProgressBar *bar = m_bars.value(card))
        bar->setValue(qMin(bar->value() + 1, bar->maximum()));
}

void HarvestView::finishHarvest(const QVector<HarvestReceipt> &receipts, const QString &failure)
{
    if (m_worker.joinable())
        m_worker.join(); // its last act was to post this
    m_running = false;
    m_receipts = receipts;
    QStringList lines;
    bool whole = failure.isEmpty();
    for (const HarvestReceipt &receipt : receipts) {
        whole = whole && receipt.isWhole();
        lines.append(receiptLine(receipt));
        for (const QString &warning : receipt.warnings)
            lines.append(QStringLiteral("    warning: ") + warning);
        for (const QString &problem : receipt.problems)
            lines.append(QStringLiteral("    ") + problem);
    }
    if (!failure.isEmpty())
        lines.append(failure);
    m_receiptText->setPlainText(lines.join(QLatin1Char('\n')));
    m_outcome = whole ? tr("Every card is in the archive.") : tr("Not every card is in the archive: see the receipts.");
    setBusy(false);
    survey();
    Q_EMIT harvestFinished();
}

void HarvestView::setBusy(bool busy)
{
    const bool idle = !busy && !m_running;
    m_harvestButton->setEnabled(idle && !m_surveyWatcher.isRunning());
    m_stopButton->setEnabled(m_running);
    m_lookButton->setEnabled(idle);
    m_addButton->setEnabled(idle);
    m_archive->setEnabled(idle);
    m_stations->setEnabled(idle);
}

void HarvestView::reject()
{
    stop();
    QDialog::reject();
}

void HarvestView::browseArchive()
{
    const QString folder = QFileDialog::getExistingDirectory(this, tr("Campaign archive"), m_archive->text());
    if (!folder.isEmpty())
        setArchive(folder);
}

void HarvestView::browseStations()
{
    const QString file = QFileDialog::getOpenFileName(this, tr("Station table"), m_stations->text(),
                                                      tr("Station tables (*.csv);;All files (*)"));
    if (!file.isEmpty())
        setStationTable(file);
}

void HarvestView::browseImages()
{
    const QStringList files = QFileDialog::getOpenFileNames(this, tr("Card images"), QString(),
                                                            tr("Card images (*.img *.bin *.raw);;All files (*)"));
    if (!files.isEmpty())
        addCardImages(files);
}
