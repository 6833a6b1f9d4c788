// The card's views: the quick scan against figures computed here from what was packed,
// the timeline's mapping of times to pixels, the min/max envelope against a direct
// computation, and the cancellation of a quick look. Records are packed by libmseed.
#include "cardimage.h"
#include "cardscanner.h"
#include "cardviews.h"
#include "mainwindow.h"
#include "mseedrecords.h"
#include "envelope.h"
#include "filesystem.h"
#include "quicklook.h"
#include "quickscan.h"
#include "recordscanner.h"
#include "reportpicture.h"
#include "samplecard.h"
#include "timeaxis.h"
#include "timelinewidget.h"
#include "treeitems.h"
#include "waveformwidget.h"

#include <QSignalSpy>
#include <QTest>
#include <QtWidgets>

#include <libmseed.h>

#include <algorithm>
#include <cmath>
#include <random>

namespace {

constexpr quint32 T1 = 1362000000; // GPS 2023-03-04
constexpr hptime_t Start = hptime_t(T1 + 315964800 - 18) * HPTMODULUS; // its UTC
constexpr hptime_t Sec = HPTMODULUS;

// Sectors [first, last] of a card image cannot be read, as on a worn card: a read that
// touches them fails whole.
class FaultyCard : public CardDevice
{
public:
    FaultyCard(const QString &path, quint64 first, quint64 last) : CardDevice(path), m_first(first), m_last(last) {}
    SectorRead readSectors(quint64 sector, qint64 count, char *data) override
    {
        if (sector <= m_last && sector + quint64(count) > m_first)
            return SectorRead{SectorRead::Unreadable, 0, EIO};
        return CardDevice::readSectors(sector, count, data);
    }

private:
    quint64 m_first, m_last;
};

// 512-byte Steim-2 records of XX.VEXA..`channel` at 100 Hz from `start`.
QList<MseedRecord> pack(const char *channel, hptime_t start, const QVector<qint32> &samples, bool locked = true)
{
    MseedSeries series;
    series.channel = channel;
    series.start = start;
    series.ioFlags = locked ? 0x20 : 0;
    return packSeries(series, samples);
}

QVector<qint32> wave(int count, int seed)
{
    std::mt19937 random(seed);
    QVector<qint32> v(count);
    for (int i = 0; i < count; ++i)
        v[i] = qint32(2000 * std::sin(i / 50.0) + int(random() % 200));
    return v;
}

// A file of three channels from Start, `seconds` long; HHZ misses [gapFrom, gapTo) seconds
// when gapTo > gapFrom; all channels record [unlockedFrom, unlockedTo) with the clock unlocked.
QByteArray recording(int seconds, int gapFrom = 0, int gapTo = 0, int unlockedFrom = 0, int unlockedTo = 0,
                     hptime_t start = Start)
{
    QList<MseedRecord> all;
    int seed = 0;
    for (const char *channel : {"HHZ", "HHN", "HHE"}) {
        QVector<int> cuts{0, seconds};
        if (gapTo > gapFrom && QByteArray(channel) == "HHZ")
            cuts = {0, gapFrom, gapTo, seconds};
        for (int i = 0; i + 1 < cuts.size(); i += 2) {
            QVector<int> bounds{cuts[i], cuts[i + 1]};
            if (unlockedTo > unlockedFrom)
                bounds = {cuts[i], qBound(cuts[i], unlockedFrom, cuts[i + 1]), qBound(cuts[i], unlockedTo, cuts[i + 1]), cuts[i + 1]};
            for (int b = 0; b + 1 < bounds.size(); ++b) {
                if (bounds[b + 1] > bounds[b])
                    all += pack(channel, start + bounds[b] * Sec, wave((bounds[b + 1] - bounds[b]) * 100, ++seed),
                                !(unlockedTo > unlockedFrom && b == 1));
            }
        }
    }
    std::stable_sort(all.begin(), all.end(), [](const MseedRecord &a, const MseedRecord &b) { return a.start < b.start; });
    return joinRecords(all);
}

// One directory of files, each given as its records; the path of file i is paths[i].
QStringList writeCard(const QString &image, const QList<QByteArray> &files, quint32 firstSector = 40000)
{
    CardImage card;
    card.setDirectory(1, T1);
    QStringList paths;
    quint32 sector = firstSector;
    for (int i = 0; i < files.size(); ++i) {
        const quint32 sectors = quint32(files[i].size() / 512);
        card.setRecord(1, i, FileRecord{T1 + quint32(i) * 7200, sector, sector + sectors - 1, 1});
        card.put(Card::sectorOffset(sector), files[i]);
        paths << QLatin1Char('/') + cardDirectoryName(T1) + QLatin1Char('/') + cardFileName(T1 + quint32(i) * 7200);
        sector += sectors + 8;
    }
    if (!card.write(image))
        return {};
    return paths;
}

} // namespace

class TestViews : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private Q_SLOTS:
    void quickScan_data();
    void quickScan();
    void quickScanAgainstReport_data();
    void quickScanAgainstReport();
    void envelope();
    void timeAxis();
    void zoomAndPan();
    void timeline();
    void quickLookCancelled();
    void quickLookStreams();
    void windowWhileScanning();
};

void TestViews::quickScan_data()
{
    QTest::addColumn<int>("seconds");
    QTest::addColumn<int>("gapFrom");
    QTest::addColumn<int>("gapTo");
    QTest::addColumn<int>("unlockedFrom");
    QTest::addColumn<int>("unlockedTo");
    QTest::addColumn<int>("badSector"); // in the file, -1: none
    QTest::addColumn<QString>("verdict");

    QTest::newRow("continuous") << 60 << 0 << 0 << 0 << 0 << -1 << "ok";
    QTest::newRow("gap") << 60 << 20 << 25 << 0 << 0 << -1 << "1 gap";
    QTest::newRow("unlocked") << 60 << 0 << 0 << 10 << 30 << -1 << "clock unlocked";
    // No record sets the lock bit: the recorder does not report its lock; nothing to say.
    QTest::newRow("lock bit never used") << 60 << 0 << 0 << 0 << 60 << -1 << "ok";
    QTest::newRow("unreadable") << 60 << 0 << 0 << 0 << 0 << 40 << "1 gap, unreadable";
    QTest::newRow("long, ends only") << 3600 << 0 << 0 << 0 << 0 << -1 << "unchecked";
}

void TestViews::quickScan()
{
    QFETCH(int, seconds);
    QFETCH(int, gapFrom);
    QFETCH(int, gapTo);
    QFETCH(int, unlockedFrom);
    QFETCH(int, unlockedTo);
    QFETCH(int, badSector);
    QFETCH(QString, verdict);

    const QByteArray bytes = recording(seconds, gapFrom, gapTo, unlockedFrom, unlockedTo);
    QCOMPARE(bytes.size() / 512 > QuickScan::WholeFileSectors, seconds > 600);
    const QString image = m_dir.filePath("scan.img");
    const QStringList paths = writeCard(image, {bytes});
    QCOMPARE(paths.size(), 1);
    Filesystem fs;
    if (badSector >= 0)
        QVERIFY(fs.openDevice(std::make_unique<FaultyCard>(image, 40000 + badSector, 40000 + badSector)));
    else
        QVERIFY(fs.open(image));

    EntryInfo entry;
    QVERIFY(fs.findEntry(paths[0], &entry));
    const FilePicture f = QuickScan::scanFile(fs, entry, paths[0]);
    QCOMPARE(f.channelText(), QString("HHE HHN HHZ"));
    QCOMPARE(f.start, Start);
    QCOMPARE(f.end, Start + seconds * Sec - Sec / 100); // the last sample
    QCOMPARE(utcText(f.start), QString("2023-03-04 21:19:42"));
    for (const qint64 t : {qint64(951868799), qint64(4107542400), qint64(-1)}) // 2000-02-29, 2100-03-01, 1969
        QCOMPARE(utcText(t * Sec + 999999), QDateTime::fromSecsSinceEpoch(t, Qt::UTC).toString("yyyy-MM-dd HH:mm:ss"));
    QCOMPARE(f.verdict(), verdict);
    QCOMPARE(f.channels.size(), 3);
    const ChannelSpans &z = f.channels[2];
    QCOMPARE(z.id, QString("XX.VEXA..HHZ"));
    if (gapTo > gapFrom) {
        QCOMPARE(z.gaps.size(), 1);
        QCOMPARE(z.gaps[0].start, Start + gapFrom * Sec - Sec / 100);
        QCOMPARE(z.gaps[0].end, Start + gapTo * Sec);
        QCOMPARE(z.gaps[0].unreadableSectors, 0);
    }
    if (unlockedTo > unlockedFrom && unlockedTo - unlockedFrom == seconds) {
        QVERIFY(z.unlocked.isEmpty());
    } else if (unlockedTo > unlockedFrom) {
        QCOMPARE(z.unlocked.size(), 1);
        QCOMPARE(z.unlocked[0].start, Start + unlockedFrom * Sec);
        QCOMPARE(z.unlocked[0].end, Start + unlockedTo * Sec);
    }
    if (badSector >= 0) {
        // The lost record leaves a gap in exactly one channel, blamed on the card.
        QCOMPARE(f.unreadableSectors, 1);
        QCOMPARE(f.gapCount(), 1);
        for (const ChannelSpans &c : f.channels) {
            if (!c.gaps.isEmpty())
                QCOMPARE(c.gaps[0].unreadableSectors, 1);
        }
    }
}

void TestViews::quickScanAgainstReport_data()
{
    QTest::addColumn<QString>("card");
    QTest::addColumn<int>("badSector"); // of the card, -1: none
    QTest::addColumn<QStringList>("verdicts");
    // The demo's unlocked stretch and its gap of 7 s in all three channels.
    QTest::newRow("demo") << "demo" << -1
                          << QStringList{"ok", "clock unlocked", "ok", "ok", "3 gaps", "ok", "ok", "ok", "ok"};
    QTest::newRow("gap, unlocked, long") << "packed" << -1 << QStringList{"ok", "1 gap, clock unlocked", "unchecked"};
    QTest::newRow("unreadable") << "packed" << 40040 << QStringList{"1 gap, unreadable", "1 gap, clock unlocked", "unchecked"};
}

void TestViews::quickScanAgainstReport()
{
    // Every file: the quick scan says what the full check of a copy says of its channels,
    // start and end; where both read every record, their verdicts agree too.
    QFETCH(QString, card);
    QFETCH(int, badSector);
    QFETCH(QStringList, verdicts);
    const QString image = m_dir.filePath("report.img");
    QFile::remove(image);
    if (card == "demo") {
        QFile file(image);
        QVERIFY(file.open(QIODevice::WriteOnly) && SampleCard::write(file));
    } else {
        QCOMPARE(writeCard(image, {recording(60), recording(60, 20, 25, 30, 40), recording(3600)}).size(), 3);
    }
    Filesystem fs;
    if (badSector >= 0)
        QVERIFY(fs.openDevice(std::make_unique<FaultyCard>(image, badSector, badSector)));
    else
        QVERIFY(fs.open(image));
    QStringList seen;
    for (const EntryInfo &entry : fs.listFiles()) {
        if (!entry.isFile())
            continue;
        const QString path = fs.cardPath(entry);
        RecordScanner scanner;
        fs.scanEntry(entry, {&scanner});
        const QualityReport report = scanner.report();
        QCOMPARE(report.files.size(), 1);
        const FileQuality &full = report.files[0];
        const FilePicture quick = QuickScan::scanFile(fs, entry, path);
        QStringList codes;
        for (const QString &id : full.channels)
            codes << id.section('.', 3);
        codes.sort();
        QCOMPARE(quick.channelText(), codes.join(' '));
        QCOMPARE(utcText(quick.start), utcText(full.start));
        QCOMPARE(quick.start, full.start);
        QCOMPARE(quick.end, full.end);
        const QVector<FilePicture> pictures = filePictures(report);
        QCOMPARE(pictures.size(), full.complete ? 1 : 0);
        if (!pictures.isEmpty() && quick.whole)
            QCOMPARE(pictures[0].verdict(), quick.verdict());
        seen << quick.verdict();
    }
    QCOMPARE(seen, verdicts);
}

void TestViews::envelope()
{
    // A slow wave with one spike of one sample and one negative spike.
    QVector<float> series(10007);
    for (int i = 0; i < series.size(); ++i)
        series[i] = float(std::lround(100 * std::sin(i / 300.0)));
    series[4321] = 5000;
    series[9000] = -7000;
    const EnvelopePyramid pyramid(series);
    std::mt19937 random(7);
    for (int n = 0; n < 2000; ++n) {
        qint64 a = random() % series.size(), b = random() % (series.size() + 1);
        if (a > b)
            std::swap(a, b);
        const ColumnExtent e = pyramid.extent(a, b);
        QCOMPARE(e.valid, a < b);
        if (a < b) {
            const auto [lo, hi] = std::minmax_element(series.cbegin() + a, series.cbegin() + b);
            QCOMPARE(e.lo, *lo);
            QCOMPARE(e.hi, *hi);
        }
    }

    // The same series as a trace at 100 Hz with a gap of 2 s after sample 6000: per
    // column the extent of the samples whose times fall in it, and none in the gap.
    Trace trace;
    trace.segments.append({Start, 100, EnvelopePyramid(series.mid(0, 6000))});
    trace.segments.append({Start + 62 * Sec, 100, EnvelopePyramid(series.mid(6000))});
    const qint64 end = Start + 62 * Sec + 4007 * Sec / 100;
    const int columns = 347;
    const QVector<ColumnExtent> cols = trace.columns(Start, end, columns);
    QCOMPARE(cols.size(), columns);
    const double width = double(end - Start) / columns;
    int spikes = 0, empty = 0;
    for (int c = 0; c < columns; ++c) {
        const qint64 t0 = Start + qint64(std::llround(c * width)), t1 = Start + qint64(std::llround((c + 1) * width));
        float lo = 0, hi = 0;
        bool any = false;
        for (int i = 0; i < series.size(); ++i) {
            const qint64 t = i < 6000 ? Start + qint64(i) * Sec / 100 : Start + 62 * Sec + qint64(i - 6000) * Sec / 100;
            if (t >= t0 && t < t1) {
                lo = any ? qMin(lo, series[i]) : series[i];
                hi = any ? qMax(hi, series[i]) : series[i];
                any = true;
            }
        }
        QCOMPARE(cols[c].valid, any);
        if (any) {
            QCOMPARE(cols[c].lo, lo);
            QCOMPARE(cols[c].hi, hi);
        }
        spikes += (cols[c].hi == 5000) + (cols[c].lo == -7000);
        empty += !any;
    }
    QCOMPARE(spikes, 2);
    QVERIFY(empty >= 3); // 2 s of 100 s over 347 columns: the line breaks
}

void TestViews::timeAxis()
{
    const TimeAxis axis(Start, Start + 3600 * Sec, 100, 1000);
    QCOMPARE(axis.x(Start), 100.0);
    QCOMPARE(axis.x(Start + 1800 * Sec), 600.0);
    QCOMPARE(axis.time(600.0), Start + 1800 * Sec);
    QCOMPARE(axis.time(axis.x(Start + 1234567890)), Start + 1234567890);
    // An hour over 1000 px with labels 80 px apart: 5 min steps, on round clock times.
    QCOMPARE(axis.tickStep(80), 300 * Sec);
    const QVector<TimeAxis::Tick> ticks = axis.ticks(80);
    QCOMPARE(ticks.size(), 12);
    QCOMPARE(ticks.first().label, QString("21:20"));
    QCOMPARE(TimeAxis(Start, Start + 60 * Sec, 0, 600).tickStep(80), 10 * Sec);
    QCOMPARE(TimeAxis(Start, Start + 86400 * Sec, 0, 1000).tickStep(80), 2 * 3600 * Sec);
    const QVector<TimeAxis::Tick> day = TimeAxis(Start, Start + 86400 * Sec, 0, 1000).ticks(80);
    QVERIFY(std::any_of(day.cbegin(), day.cend(), [](const TimeAxis::Tick &t) { return t.label == "2023-03-05"; }));
    // Dates of damaged records, year 0 to year 9999: the width, not the span, bounds the ticks.
    const qint64 year0 = -62167219200 * Sec, year9999 = 253402300799 * Sec;
    const QVector<TimeAxis::Tick> ages = TimeAxis(year0, year9999, 0, 1000).ticks(80);
    QVERIFY2(!ages.isEmpty() && ages.size() <= 1000 / 80 + 2, qPrintable(QString::number(ages.size())));
}

void TestViews::zoomAndPan()
{
    // The view over [0, 100 s): the wheel narrows it around the pointer, which stays put;
    // panning stops at the ends; never narrower than 10 ms nor wider than the whole.
    TimeView v;
    v.reset(0, 100 * Sec);
    v.zoom(0.5, 20 * Sec);
    QCOMPARE(v.start, 10 * Sec);
    QCOMPARE(v.end, 60 * Sec);
    v.pan(-30 * Sec);
    QCOMPARE(v.start, 0);
    QCOMPARE(v.end, 50 * Sec);
    v.pan(500 * Sec);
    QCOMPARE(v.end, 100 * Sec);
    v.zoom(1e-9, 99 * Sec);
    QCOMPARE(v.end - v.start, 10000);
    v.zoom(1e9, 0);
    QCOMPARE(v.start, 0);
    QCOMPARE(v.end, 100 * Sec);

    // The waveform zooms from its pyramids: the same decoded look, a narrower view, and
    // the spike still drawn; a double click shows the whole again.
    QVector<float> series(100 * 100, 0.f);
    series[5000] = 1000;
    auto look = std::make_shared<QuickLook>();
    look->start = Start;
    look->end = Start + 100 * Sec;
    look->traces.append(Trace{"XX.VEXA..HHZ", {{Start, 100, EnvelopePyramid(series)}}});
    WaveformWidget w;
    w.resize(600, 300);
    w.setQuickLook(look);
    const QPoint at(int(w.axis().x(Start + 50 * Sec)), 100);
    QWheelEvent wheel(at, w.mapToGlobal(at), QPoint(), QPoint(0, 360), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(&w, &wheel);
    QCOMPARE(w.quickLook().get(), look.get());
    QVERIFY(w.view().end - w.view().start < 60 * Sec);
    QVERIFY(w.view().start <= Start + 50 * Sec && Start + 50 * Sec <= w.view().end);
    QImage image(w.size(), QImage::Format_RGB32);
    w.render(&image);
    const int spikeX = int(std::lround(w.axis().x(Start + 50 * Sec)));
    const QRect band = w.traceRect(0);
    int inked = 0;
    for (int x = spikeX - 2; x <= spikeX + 2; ++x)
        inked += image.pixelColor(x, band.top() + band.height() / 3) == w.palette().color(QPalette::Text);
    QVERIFY(inked > 0);
    QTest::mouseDClick(&w, Qt::LeftButton, {}, at);
    QCOMPARE(w.view().start, Start);
    QCOMPARE(w.view().end, Start + 100 * Sec);
}

void TestViews::timeline()
{
    // One channel: data for 100 s, a gap of 5 s, 95 s more; a second channel locked out
    // from 150 s to 170 s; a gap lost to the card.
    CardPicture picture;
    picture.start = Start;
    picture.end = Start + 200 * Sec;
    ChannelSpans z{"XX.VEXA..HHZ", {{Start, Start + 100 * Sec, "/a/1", 0}, {Start + 105 * Sec, Start + 200 * Sec, "/a/2", 0}},
                   {{Start + 100 * Sec, Start + 105 * Sec, "/a/1", 0}}, {}};
    ChannelSpans n{"XX.VEXA..HHN", {{Start, Start + 180 * Sec, "/a/1", 0}, {Start + 190 * Sec, Start + 200 * Sec, "/a/2", 0}},
                   {{Start + 180 * Sec, Start + 190 * Sec, "/a/2", 12}}, {{Start + 150 * Sec, Start + 170 * Sec, "/a/1", 0}}};
    picture.channels = {n, z};

    TimelineWidget w;
    w.resize(900, 200);
    w.setPicture(picture);
    const TimeAxis a = w.axis();
    QImage image(w.size(), QImage::Format_RGB32);
    w.render(&image);
    const auto pixel = [&](int row, qint64 t) { return image.pixelColor(int(a.x(t)), w.rowRect(row).center().y()); };
    const QColor red(214, 39, 40), bar = w.palette().color(QPalette::Highlight);

    QCOMPARE(pixel(1, Start + 102 * Sec + Sec / 2), red);  // the gap
    QCOMPARE(pixel(1, Start + 99 * Sec), bar);             // data before it
    QCOMPARE(pixel(1, Start + 107 * Sec), bar);            // and after
    QVERIFY(pixel(0, Start + 185 * Sec) != red);           // hatched, not filled
    QVERIFY(pixel(0, Start + 185 * Sec) != bar);
    const QPoint unlockedEdge(int(a.x(Start + 160 * Sec)), w.rowRect(0).top() + 2); // shaded above the bar
    QCOMPARE(pixel(0, Start + 160 * Sec), bar);
    QVERIFY(image.pixelColor(unlockedEdge) != w.palette().color(QPalette::Base));
    QCOMPARE(image.pixelColor(QPoint(int(a.x(Start + 120 * Sec)), w.rowRect(0).top() + 2)), w.palette().color(QPalette::Base));
    QCOMPARE(pixel(0, Start + 120 * Sec), bar);

    const QPoint gapPoint(int(a.x(Start + 102 * Sec)), w.rowRect(1).center().y());
    QCOMPARE(w.toolTipAt(gapPoint), QString("Gap in XX.VEXA..HHZ\nfrom 2023-03-04 21:21:22.000\n"
                                            "to 2023-03-04 21:21:27.000 UTC\n5.00 s\n/a/1"));
    QVERIFY(w.toolTipAt(QPoint(int(a.x(Start + 185 * Sec)), w.rowRect(0).center().y())).contains("12 unreadable card sectors"));
    QVERIFY(w.toolTipAt(QPoint(int(a.x(Start + 160 * Sec)), w.rowRect(0).center().y())).contains("Clock unlocked"));

    QSignalSpy clicked(&w, &TimelineWidget::fileClicked);
    QTest::mouseClick(&w, Qt::LeftButton, {}, QPoint(int(a.x(Start + 150 * Sec)), w.rowRect(1).center().y()));
    QCOMPARE(clicked.size(), 1);
    QCOMPARE(clicked[0][0].toString(), QString("/a/2"));
}

void TestViews::quickLookCancelled()
{
    const QString image = m_dir.filePath("look.img");
    const QStringList paths = writeCard(image, {recording(3600), recording(60, 20, 25)});
    QCOMPARE(paths.size(), 2);
    auto fs = std::make_shared<Filesystem>();
    QVERIFY(fs->open(image));
    QuickLookLoader loader(fs);
    QSignalSpy loaded(&loader, &QuickLookLoader::loaded);
    QSignalSpy discarded(&loader, &QuickLookLoader::discarded);
    loader.load(paths[0]);
    loader.load(paths[1]);
    QVERIFY(loaded.wait(10000));
    QTRY_COMPARE(discarded.size(), 1);
    QCOMPARE(discarded[0][0].toString(), paths[0]);
    QTest::qWait(50);
    QCOMPARE(loaded.size(), 1);
    const auto look = loaded[0][0].value<std::shared_ptr<const QuickLook>>();
    QCOMPARE(look->cardPath, paths[1]);
    QCOMPARE(look->traces.size(), 3);
    QCOMPARE(look->traces[2].id, QString("XX.VEXA..HHZ"));
    QCOMPARE(look->traces[2].segments.size(), 2); // the gap breaks the trace
    QCOMPARE(look->start, Start);
    QCOMPARE(look->end, Start + 60 * Sec);
    QCOMPARE(look->traces[0].segments[0].samples.size(), 6000);
    // HHE was the fourth channel stretch packed.
    QCOMPARE(look->traces[0].segments[0].samples.sample(0), float(wave(6000, 4)[0]));
}

void TestViews::quickLookStreams()
{
    // One channel of more samples than a pyramid keeps buckets, in a file of more
    // sectors than one read of the pipeline.
    const int seconds = 6000;
    std::mt19937 random(7);
    QVector<qint32> samples(seconds * 100);
    for (qint32 &v : samples)
        v = qint32(random() % 200000) - 100000; // wide differences: few samples a record
    QVERIFY(samples.size() > QuickLook::MaxBuckets);
    const QByteArray file = joinRecords(pack("HHZ", Start, samples));
    QVERIFY(file.size() > 2048 * 512);
    const QString image = m_dir.filePath("stream.img");
    const QStringList paths = writeCard(image, {file});
    Filesystem fs;
    QVERIFY(fs.open(image));

    QuickLook look;
    QVERIFY(loadQuickLook(fs, paths.value(0), {}, &look));
    QCOMPARE(look.traces.size(), 1);
    QCOMPARE(look.traces[0].segments.size(), 1);
    const EnvelopePyramid &pyramid = look.traces[0].segments[0].samples;
    QCOMPARE(pyramid.size(), samples.size());
    QVERIFY(pyramid.buckets() <= QuickLook::MaxBuckets);
    QCOMPARE(look.start, Start);
    QCOMPARE(look.end, Start + seconds * Sec);

    // Columns of 600 samples: whole buckets at any resolution up to 8 samples a bucket.
    const int columns = seconds / 6;
    const QVector<ColumnExtent> got = look.traces[0].columns(look.start, look.end, columns);
    for (int c = 0; c < columns; ++c) {
        const auto [lo, hi] = std::minmax_element(samples.begin() + c * 600, samples.begin() + (c + 1) * 600);
        QVERIFY2(got[c].valid && got[c].lo == float(*lo) && got[c].hi == float(*hi), qPrintable(QString::number(c)));
    }
}

void TestViews::windowWhileScanning()
{
    // One directory of 100 files of 20 s, the fifth with a gap.
    QList<QByteArray> files;
    for (int i = 0; i < 100; ++i)
        files << (i == 4 ? recording(20, 5, 8, 0, 0, Start + 80 * Sec) : recording(20, 0, 0, 0, 0, Start + i * 20 * Sec));
    const QString image = m_dir.filePath("window.img");
    QCOMPARE(writeCard(image, files).size(), 100);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_dir.filePath("settings"));

    MainWindow window;
    window.addCardImages({image});
    window.show();
    CardViews *views = window.cardViews();
    auto *tree = window.findChild<QTreeWidget *>("tw_files");
    QSignalSpy finished(views, &CardViews::scanFinished);
    // A download holds the scan between two files: here before the first.
    views->setDownloading(true);
    window.findChild<QPushButton *>("b_open")->click();
    // The tree is whole and Select All takes while the scan waits.
    QVERIFY(views->isScanning());
    QCOMPARE(tree->topLevelItemCount(), 2);
    QCOMPARE(tree->topLevelItem(0)->childCount(), 100);
    window.findChild<QPushButton *>("b_selectAll")->click();
    QTest::qWait(200);
    for (int i = 0; i < 100; ++i)
        QCOMPARE(tree->topLevelItem(0)->child(i)->text(CardViews::ChannelsColumn), QString());
    QVERIFY(finished.isEmpty());
    views->setDownloading(false);
    QVERIFY(finished.wait(20000));

    const auto row = [&](QTreeWidgetItem *item) {
        QStringList texts;
        for (int c = 0; c < CardViews::ColumnCount; ++c)
            texts << item->text(c);
        return texts.join('|') + '|' + QString::number(item->checkState(0));
    };
    QTreeWidgetItem *folder = tree->topLevelItem(0);
    QCOMPARE(row(folder->child(0)), QString("20230304_212000|%1|HHE HHN HHZ|2023-03-04 21:19:42|2023-03-04 21:20:01|ok|2")
                                        .arg(files[0].size() - 512));
    QCOMPARE(row(folder->child(4)).section('|', 2), QString("HHE HHN HHZ|2023-03-04 21:21:02|2023-03-04 21:21:21|1 gap|2"));
    QCOMPARE(row(folder).section('|', 2), QString("HHE HHN HHZ|2023-03-04 21:19:42|2023-03-04 21:53:01|1 gap|2"));
    QVERIFY(views->details(folder->child(4)).contains("HHZ: gap of 3.01 s from 2023-03-04 21:21:06"));
    QCOMPARE(views->details(folder), QString("20230305_052000: 1 gap"));
    QCOMPARE(views->timeline()->picture().channels.size(), 3);
    QCOMPARE(views->timeline()->picture().channels[2].gaps.size(), 1);

    // Selecting a file shows its three traces; the timeline names the selected file.
    tree->setCurrentItem(folder->child(4));
    QTRY_VERIFY(views->waveform()->quickLook());
    QCOMPARE(views->waveform()->quickLook()->traces.size(), 3);
    QCOMPARE(views->waveform()->quickLook()->cardPath, "/20230304_2120/20230305_052000");
    QImage shot(views->waveform()->size(), QImage::Format_RGB32);
    views->waveform()->render(&shot);
    const QColor ink = views->waveform()->palette().color(QPalette::Text);
    for (int t = 0; t < 3; ++t) { // ink in the middle of every trace's band
        const QRect band = views->waveform()->traceRect(t);
        int inked = 0;
        for (int y = band.top(); y <= band.bottom(); ++y)
            inked += shot.pixelColor(band.center().x(), y) == ink;
        QVERIFY2(inked > 0, qPrintable(QString("trace %1").arg(t)));
    }

    // A download checks every record of what it copies; its full figures replace the
    // quick scan's.
    QTemporaryDir out;
    window.findChild<QLineEdit *>("e_downloadFolder")->setText(out.path());
    QTimer answer; // the summary box after the batch, answered as a user would
    connect(&answer, &QTimer::timeout, [] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget()))
            box->accept();
    });
    answer.start(20);
    window.findChild<QPushButton *>("b_downloadChecked")->click();
    QVERIFY(QTest::qWaitFor([&] { return !window.isDownloading(); }, 20000));
    QCOMPARE(folder->child(4)->text(CardViews::CheckColumn), QString("1 gap"));
    for (int i = 0; i < 100; ++i)
        QVERIFY(views->figures(static_cast<FileItem *>(folder->child(i))->path)->full);
    QVERIFY(views->details(folder->child(4)).endsWith("Every record checked by the download."));
    window.close();
}

QTEST_MAIN(TestViews)
#include "tst_views.moc"
