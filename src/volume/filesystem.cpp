#include "filesystem.h"
#include "copyjob.h"
#include "destinationwriter.h"
#include "gpstime.h"

#include <QMutexLocker>

namespace {

QString withoutLeadingSlash(const QString &name)
{
    return name.startsWith(QLatin1Char('/')) ? name.mid(1) : name;
}

// Keeps a file's bytes in memory as they are read, growing with what the card delivers:
// a corrupt record that claims more than the card holds costs no more than the card has.
class MemorySink : public CopySink
{
public:
    Status begin(const CopySource &) override
    {
        m_data.clear();
        return Status();
    }
    Status consume(const SectorChunk &chunk) override
    {
        m_data.append(chunk.data, chunk.length);
        return Status();
    }
    Status finish(CopyEnd end) override
    {
        if (end != CopyEnd::Complete && end != CopyEnd::Incomplete)
            m_data.clear();
        return Status();
    }
    QByteArray take() { return std::move(m_data); }

private:
    QByteArray m_data;
};

} // namespace

Filesystem::Filesystem()
    : m_readAhead(std::make_unique<ReadAhead>())
{
}

Filesystem::~Filesystem() = default;

bool Filesystem::open(const QString &devicePath)
{
    return openDevice(std::make_unique<CardDevice>(devicePath));
}

bool Filesystem::openDevice(std::unique_ptr<CardDevice> device)
{
    QMutexLocker locker(&m_lock);
    m_model.reset();
    m_device = std::move(device);
    m_error.clear();
    m_stop.clear();
    m_cardGone.clear();
    if (const Status opened = m_device->open(); !opened) {
        m_error = opened.message;
        return false;
    }
    auto model = std::make_unique<CardModel>(*m_device);
    if (const Status header = model->readHeader(); !header) {
        m_error = header.message;
        return false;
    }
    m_model = std::move(model);
    return true;
}

QString Filesystem::errorString() const
{
    QMutexLocker locker(&m_lock);
    return m_error;
}

QString Filesystem::devicePath() const
{
    QMutexLocker locker(&m_lock);
    return m_device ? m_device->path() : QString();
}

QList<EntryInfo> Filesystem::list(const QString &path)
{
    QMutexLocker locker(&m_lock);
    if (path == QLatin1String("/"))
        return listRoot();
    return listDirectory(directoryIndex(path));
}

QList<EntryInfo> Filesystem::listRoot(QStringList *problems)
{
    QMutexLocker locker(&m_lock);
    return m_model ? m_model->root(problems) : QList<EntryInfo>();
}

QList<EntryInfo> Filesystem::listDirectory(int index, QString *problem)
{
    QMutexLocker locker(&m_lock);
    return m_model ? m_model->directory(index, problem) : QList<EntryInfo>();
}

QList<EntryInfo> Filesystem::listFiles(QStringList *problems)
{
    QMutexLocker locker(&m_lock);
    QList<EntryInfo> files;
    for (const EntryInfo &top : listRoot(problems)) {
        // By slot, not by name: two directories that began in the same minute share a
        // name, and each must show its own files.
        if (top.isDirectory)
            files.append(listDirectory(top.index));
        else
            files.append(top);
    }
    return files;
}

QString Filesystem::cardPath(const EntryInfo &entry)
{
    QMutexLocker locker(&m_lock);
    return m_model ? m_model->source(entry).cardPath : QString();
}

std::optional<EntryInfo> Filesystem::resolve(const QString &path)
{
    QMutexLocker locker(&m_lock);
    return m_model ? m_model->resolve(path) : std::nullopt;
}

bool Filesystem::findEntry(const QString &path, EntryInfo *entry)
{
    const std::optional<EntryInfo> found = resolve(path);
    if (found)
        *entry = *found;
    return found.has_value();
}

int Filesystem::findDirectory(int year, int month, int day, int hour, int minute)
{
    // An impossible date converts to 0, which would match the free slots of the table
    // (their start time is 0 too): such a name names no directory.
    if (!isValidCalendar(year, month, day, hour, minute, 0))
        return -1;
    QMutexLocker locker(&m_lock);
    return m_model ? m_model->findDirectory(calendarToGps(year, month, day, hour, minute, 0)) : -1;
}

int Filesystem::directoryIndex(const QString &name)
{
    quint32 minuteStart = 0;
    if (!parseDirectoryName(withoutLeadingSlash(name), &minuteStart))
        return -1;
    QMutexLocker locker(&m_lock);
    return m_model ? m_model->findDirectory(minuteStart) : -1;
}

int Filesystem::findFileRecord(int dirIndex, const QString &fileName, FileRecord *record)
{
    quint32 startTime = 0;
    if (dirIndex <= 0 || !parseFileName(fileName, &startTime))
        return -1;
    QMutexLocker locker(&m_lock);
    return m_model ? m_model->findRecord(dirIndex, startTime, record) : -1;
}

QByteArray Filesystem::readFile(const QString &path)
{
    // Every directory of the name's minute is looked through, as for an export.
    const std::optional<EntryInfo> entry = resolve(path);
    if (!entry || !entry->isFile())
        return {};
    MemorySink memory;
    copy(*entry, path, nullptr, {&memory}, Watch::Unwatched);
    return memory.take();
}

QByteArray Filesystem::readEntrySectors(const EntryInfo &entry, qint64 first, qint64 count)
{
    std::shared_ptr<CardDevice> device;
    {
        QMutexLocker locker(&m_lock);
        device = m_device;
    }
    const qint64 sectors = qMin(count, entry.record.sectorCount() - first);
    if (!device || !entry.isFile() || first < 0 || sectors <= 0)
        return {};
    QByteArray data(sectors * Card::SectorSize, Qt::Uninitialized);
    const SectorRead read = device->readSectors(entry.record.firstSector + quint64(first), sectors, data.data());
    data.resize(read.outcome == SectorRead::Read ? read.bytes : 0);
    return data;
}

void Filesystem::requestStop()
{
    stopToken().requestStop();
}

void Filesystem::clearStopRequest()
{
    stopToken().clear();
}

void Filesystem::setStopToken(const StopToken &token)
{
    QMutexLocker locker(&m_lock);
    m_stop = token;
}

StopToken Filesystem::stopToken() const
{
    QMutexLocker locker(&m_lock);
    return m_stop;
}

ExportResult Filesystem::exportFile(const QString &path, const QString &folder)
{
    return copyPath(path, &folder, {});
}

ExportResult Filesystem::exportFile(const QString &path, const QString &folder, const QList<CopySink *> &extraSinks)
{
    return copyPath(path, &folder, extraSinks);
}

ExportResult Filesystem::exportLog(const QString &folder)
{
    return copyPath(QStringLiteral("/log"), &folder, {});
}

ExportResult Filesystem::scanFile(const QString &path, const QList<CopySink *> &sinks)
{
    return copyPath(path, nullptr, sinks);
}

ExportResult Filesystem::viewFile(const QString &path, const QList<CopySink *> &sinks)
{
    return copyPath(path, nullptr, sinks, Watch::Unwatched);
}

ExportResult Filesystem::scanEntry(const EntryInfo &entry, const QList<CopySink *> &sinks)
{
    // Its card path comes with the source: not formed twice for every file of a batch.
    return copy(entry, QString(), nullptr, sinks);
}

ExportResult Filesystem::copyPath(const QString &path, const QString *folder, const QList<CopySink *> &sinks, Watch watch)
{
    const std::optional<EntryInfo> entry = resolve(path);
    if (!entry) {
        ExportResult result;
        result.message = QStringLiteral("no such file on the card: %1").arg(path);
        return result;
    }
    return copy(*entry, path, folder, sinks, watch);
}

ExportResult Filesystem::copy(const EntryInfo &entry, const QString &path, const QString *folder,
                              const QList<CopySink *> &sinks, Watch watch)
{
    ExportResult result;
    std::shared_ptr<CardDevice> device;
    CopySource source;
    {
        QMutexLocker locker(&m_lock);
        if (!m_model) {
            result.message = QStringLiteral("no card is open");
            return result;
        }
        device = m_device;
        source = m_model->source(entry);
    }
    const QString named = path.isEmpty() ? source.cardPath : path;
    if (source.outputName.isEmpty()) {
        result.message = QStringLiteral("no such file on the card: %1").arg(named);
        return result;
    }
    // Every further read would fail as well, each taking its time on a real card.
    if (m_cardGone.stopRequested()) {
        result.cardStopped = true;
        result.message = QStringLiteral("%1: not copied, the card stopped answering before it").arg(named);
        return result;
    }
    // The caller's sinks first: a refused destination fails the copy before they see a
    // chunk, as any other failure does.
    QList<CopySink *> all = sinks;
    std::unique_ptr<DestinationWriter> writer;
    if (folder) {
        writer = std::make_unique<DestinationWriter>(*folder, device->identity());
        all.append(writer.get());
    }
    CopyJob job(*device, source, all);
    // Every read of the card ends when it stops answering; an export also at its job's stop.
    job.setStopToken(watch == Watch::ProgressAndStop ? stopToken().child(m_cardGone) : m_cardGone);
    if (watch == Watch::ProgressAndStop) {
        job.setReadAhead(m_readAhead.get());
        job.setProgress([this](int current, int total) { Q_EMIT progress(current, total); });
    }
    const CopyResult copied = job.run();

    if (writer)
        result.destination = writer->destination();
    result.bytesWritten = copied.bytesCopied;
    result.sectorsReplaced = copied.sectorsReplaced;
    result.cardStopped = copied.cardStopped;
    if (copied.cardStopped)
        m_cardGone.requestStop();
    result.message = copied.message;
    result.status = copied.end;
    if (copied.end == CopyEnd::Stopped && m_cardGone.stopRequested()) {
        // Another read of this card found it gone while this one ran.
        result.cardStopped = true;
        result.message = QStringLiteral("%1: not complete, the card stopped answering").arg(named);
    } else if (copied.end == CopyEnd::Stopped) {
        result.message = QStringLiteral("stopped before %1 was complete")
                             .arg(result.destination.isEmpty() ? named : result.destination);
    }
    return result;
}
