#include "ledger.h"
#include "platform.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <atomic>
#include <cerrno>
#include <functional>

namespace {

const char Driver[] = "QSQLITE";
// Another process harvesting into the same archive holds the write lock for one
// transaction at a time; wait for it rather than fail.
const char ConnectOptions[] = "QSQLITE_BUSY_TIMEOUT=60000";

const char *const Schema[] = {
    "CREATE TABLE IF NOT EXISTS cards(id INTEGER PRIMARY KEY, card_key TEXT UNIQUE NOT NULL,"
    " recorded TEXT, station TEXT, first_harvest TEXT, last_harvest TEXT)",
    "CREATE TABLE IF NOT EXISTS harvests(id INTEGER PRIMARY KEY, card_id INTEGER NOT NULL, device TEXT,"
    " started TEXT, finished TEXT, outcome TEXT, new_files INTEGER, skipped_files INTEGER)",
    "CREATE TABLE IF NOT EXISTS files(id INTEGER PRIMARY KEY, card_id INTEGER NOT NULL, card_path TEXT NOT NULL,"
    " sectors INTEGER NOT NULL, sha256 TEXT, first_us INTEGER, last_us INTEGER, station TEXT, outcome TEXT,"
    " harvest_id INTEGER, harvested TEXT, UNIQUE(card_id, card_path))",
    "CREATE TABLE IF NOT EXISTS channels(file_id INTEGER NOT NULL, channel TEXT NOT NULL, sample_rate REAL,"
    " first_us INTEGER, last_us INTEGER, samples INTEGER, records INTEGER)",
    "CREATE TABLE IF NOT EXISTS segments(file_id INTEGER NOT NULL, channel TEXT NOT NULL, start_us INTEGER,"
    " end_us INTEGER)",
    "CREATE TABLE IF NOT EXISTS gaps(file_id INTEGER NOT NULL, channel TEXT NOT NULL, after_us INTEGER,"
    " before_us INTEGER)",
    "CREATE TABLE IF NOT EXISTS unmapped(code TEXT NOT NULL, card_id INTEGER NOT NULL, PRIMARY KEY(code, card_id))",
    "CREATE INDEX IF NOT EXISTS channels_file ON channels(file_id)",
    "CREATE INDEX IF NOT EXISTS segments_file ON segments(file_id)",
    "CREATE INDEX IF NOT EXISTS segments_channel ON segments(channel, start_us)",
    "CREATE INDEX IF NOT EXISTS gaps_file ON gaps(file_id)",
    "CREATE INDEX IF NOT EXISTS files_station ON files(station)",
};

QString now()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
}

QString connectionName()
{
    static std::atomic<quint64> serial{0};
    return QStringLiteral("vexa-ledger-%1").arg(++serial);
}

// The first 16 bytes of every SQLite database file.
const QByteArray &sqliteMagic()
{
    static const QByteArray magic("SQLite format 3\0", 16);
    return magic;
}

// A statement run against one ledger: every failure becomes a Status naming the ledger
// and what the database said.
class LedgerQuery
{
public:
    LedgerQuery(const QString &connection, const QString &path)
        : m_query(QSqlDatabase::database(connection, false)), m_path(path) {}

    bool prepare(const char *sql, Status *status)
    {
        if (m_query.prepare(QLatin1String(sql)))
            return true;
        *status = failure();
        return false;
    }
    void bind(const QVariant &value) { m_query.addBindValue(value); }
    bool exec(Status *status)
    {
        if (m_query.exec())
            return true;
        *status = failure();
        return false;
    }
    bool exec(const char *sql, Status *status)
    {
        if (m_query.exec(QLatin1String(sql)))
            return true;
        *status = failure();
        return false;
    }
    bool next() { return m_query.next(); }
    QVariant value(int i) const { return m_query.value(i); }
    QVariant lastInsertId() const { return m_query.lastInsertId(); }
    void finish() { m_query.finish(); }

    Status failure() const
    {
        return Status::failure(QStringLiteral("campaign ledger %1: %2").arg(m_path, m_query.lastError().text()));
    }

private:
    QSqlQuery m_query;
    QString m_path;
};

// Runs a query of the reading side and hands each row to `row`.
Status selectRows(const QString &connection, const QString &path, const char *sql,
                  const std::function<void(const LedgerQuery &)> &row)
{
    Status status;
    LedgerQuery q(connection, path);
    if (!q.exec(sql, &status))
        return status;
    while (q.next())
        row(q);
    return status;
}

// BEGIN IMMEDIATE takes the write lock at once, so that two writers wait for each other
// at the start instead of one failing halfway; rolled back unless committed.
class WriteTransaction
{
public:
    WriteTransaction(const QString &connection, const QString &path) : m_connection(connection), m_path(path) {}
    ~WriteTransaction()
    {
        if (m_open) {
            Status ignored;
            LedgerQuery(m_connection, m_path).exec("ROLLBACK", &ignored);
        }
    }
    Status begin()
    {
        Status status;
        m_open = LedgerQuery(m_connection, m_path).exec("BEGIN IMMEDIATE", &status);
        return status;
    }
    Status commit()
    {
        Status status;
        if (LedgerQuery(m_connection, m_path).exec("COMMIT", &status))
            m_open = false;
        return status;
    }

private:
    QString m_connection;
    QString m_path;
    bool m_open = false;
};

} // namespace

QString Ledger::path(const QString &archive)
{
    return archive + QStringLiteral("/campaign.sqlite");
}

Status Ledger::open(const QString &archive, std::unique_ptr<Ledger> *ledger, Mode mode)
{
    ledger->reset();
    const QString file = path(archive);
    if (!QSqlDatabase::isDriverAvailable(QLatin1String(Driver)))
        return Status::failure(QStringLiteral("cannot open the campaign ledger %1: Qt SQL's SQLite driver is missing "
                                              "(Debian's package libqt6sql6-sqlite)").arg(file));
    const QFileInfo folder(archive);
    if (!folder.isDir()) {
        const int error = folder.exists() ? ENOTDIR : ENOENT;
        return Status::failure(error, QStringLiteral("cannot open the campaign ledger in %1: %2")
                                          .arg(archive, systemErrorText(error)));
    }
    Status status = checkRegularFile(file, true);
    if (!status)
        return status;
    if (QFileInfo::exists(file)) {
        // Look at the file before SQLite does, so that a file of anything else is named for
        // what it is and never touched.
        const int fd = openRegularFile(file, &status);
        if (fd < 0)
            return status;
        QFile head;
        if (!head.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
            return Status::failure(QStringLiteral("cannot read %1: %2").arg(file, head.errorString()));
        const QByteArray magic = head.read(sqliteMagic().size());
        if (!magic.isEmpty() && magic != sqliteMagic())
            return Status::refused(QStringLiteral("%1 is not a campaign ledger (it is not an SQLite database); it was "
                                                  "left as it is: move it away or harvest into another archive")
                                       .arg(file));
    } else if (mode == Mode::ReadOnly) {
        return Status::failure(ENOENT, QStringLiteral("no campaign ledger in %1 (%2): harvest cards into it first")
                                           .arg(archive, systemErrorText(ENOENT)));
    }

    std::unique_ptr<Ledger> opened(new Ledger);
    opened->m_connection = connectionName();
    opened->m_path = file;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QLatin1String(Driver), opened->m_connection);
        db.setDatabaseName(file);
        QString options = QLatin1String(ConnectOptions);
        if (mode == Mode::ReadOnly)
            options += QStringLiteral(";QSQLITE_OPEN_READONLY");
        db.setConnectOptions(options);
        if (!db.open())
            return Status::failure(QStringLiteral("cannot open the campaign ledger %1: %2").arg(file, db.lastError().text()));
    }
    status = opened->initialise(mode == Mode::Create);
    if (!status)
        return status;
    *ledger = std::move(opened);
    return Status();
}

Ledger::~Ledger()
{
    {
        QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        if (db.isValid())
            db.close();
    }
    QSqlDatabase::removeDatabase(m_connection);
}

Status Ledger::initialise(bool create)
{
    Status status;
    // What the file is, read before anything is written to it.
    auto identify = [this](qint64 *applicationId, qint64 *objects, qint64 *version) {
        Status s;
        LedgerQuery q(m_connection, m_path);
        if (!q.exec("PRAGMA application_id", &s) || !q.next())
            return s.ok() ? q.failure() : s;
        *applicationId = q.value(0).toLongLong();
        q.finish();
        if (!q.exec("PRAGMA user_version", &s) || !q.next())
            return s.ok() ? q.failure() : s;
        *version = q.value(0).toLongLong();
        q.finish();
        if (!q.exec("SELECT COUNT(*) FROM sqlite_master", &s) || !q.next())
            return s.ok() ? q.failure() : s;
        *objects = q.value(0).toLongLong();
        return Status();
    };
    auto judge = [this](qint64 applicationId, qint64 objects, qint64 version) {
        if (applicationId == ApplicationId) {
            if (version > SchemaVersion)
                return Status::refused(QStringLiteral("campaign ledger %1 was written by a newer Vexa reader (ledger "
                                                      "version %2); it was left as it is").arg(m_path).arg(version));
            return Status();
        }
        if (applicationId != 0 || objects > 0)
            return Status::refused(QStringLiteral("%1 is an SQLite database of another program, not a campaign ledger; "
                                                  "it was left as it is: move it away or harvest into another archive")
                                       .arg(m_path));
        return Status();
    };

    qint64 applicationId = 0, objects = 0, version = 0;
    status = identify(&applicationId, &objects, &version);
    if (!status)
        return status;
    status = judge(applicationId, objects, version);
    if (!status)
        return status;
    if (!create) {
        if (applicationId != ApplicationId)
            return Status::failure(QStringLiteral("campaign ledger %1 is empty: harvest cards into it first").arg(m_path));
        return Status();
    }

    LedgerQuery q(m_connection, m_path);
    // WAL: readers (a report) never block the harvest, and the harvest never blocks them.
    // FULL: a committed transaction is on the disk, as the harvest promises when it
    // marks files harvested.
    if (!q.exec("PRAGMA journal_mode=WAL", &status) || !q.exec("PRAGMA synchronous=FULL", &status))
        return status;
    if (applicationId == ApplicationId)
        return Status();

    WriteTransaction transaction(m_connection, m_path);
    status = transaction.begin();
    if (!status)
        return status;
    // Another harvest may have made the ledger meanwhile: then it is whole, and ours.
    status = identify(&applicationId, &objects, &version);
    if (status)
        status = judge(applicationId, objects, version);
    if (!status)
        return status;
    if (applicationId == ApplicationId)
        return transaction.commit();
    for (const char *sql : Schema) {
        if (!q.exec(sql, &status))
            return status;
    }
    const QByteArray mark = "PRAGMA application_id=" + QByteArray::number(ApplicationId);
    const QByteArray versionMark = "PRAGMA user_version=" + QByteArray::number(SchemaVersion);
    if (!q.exec(mark.constData(), &status) || !q.exec(versionMark.constData(), &status))
        return status;
    return transaction.commit();
}

QHash<QString, qint64> Ledger::harvestedFiles(const QString &cardKey, Status *status)
{
    QHash<QString, qint64> files;
    Status s;
    LedgerQuery q(m_connection, m_path);
    if (q.prepare("SELECT f.card_path, f.sectors FROM files f JOIN cards c ON c.id = f.card_id WHERE c.card_key = ?", &s)) {
        q.bind(cardKey);
        if (q.exec(&s)) {
            while (q.next())
                files.insert(q.value(0).toString(), q.value(1).toLongLong());
        }
    }
    if (status)
        *status = s;
    return files;
}

Status Ledger::beginHarvest(const QString &cardKey, const QString &recorded, const QString &station,
                            const QString &device, qint64 *harvestId)
{
    *harvestId = 0;
    WriteTransaction transaction(m_connection, m_path);
    Status status = transaction.begin();
    if (!status)
        return status;
    const QString started = now();
    LedgerQuery q(m_connection, m_path);
    if (!q.prepare("INSERT INTO cards(card_key, recorded, station, first_harvest, last_harvest) VALUES(?, ?, ?, ?, ?) "
                   "ON CONFLICT(card_key) DO UPDATE SET recorded = excluded.recorded, station = excluded.station, "
                   "last_harvest = excluded.last_harvest", &status))
        return status;
    for (const QVariant &v : {QVariant(cardKey), QVariant(recorded), QVariant(station), QVariant(started), QVariant(started)})
        q.bind(v);
    if (!q.exec(&status))
        return status;
    LedgerQuery id(m_connection, m_path);
    if (!id.prepare("SELECT id FROM cards WHERE card_key = ?", &status))
        return status;
    id.bind(cardKey);
    if (!id.exec(&status))
        return status;
    if (!id.next())
        return id.failure();
    const qint64 cardId = id.value(0).toLongLong();
    id.finish();
    LedgerQuery h(m_connection, m_path);
    if (!h.prepare("INSERT INTO harvests(card_id, device, started, outcome, new_files, skipped_files) "
                   "VALUES(?, ?, ?, 'running', 0, 0)", &status))
        return status;
    h.bind(cardId);
    h.bind(device);
    h.bind(started);
    if (!h.exec(&status))
        return status;
    const qint64 newId = h.lastInsertId().toLongLong();
    status = transaction.commit();
    if (status)
        *harvestId = newId;
    return status;
}

namespace {

bool cardOfHarvest(const QString &connection, const QString &path, qint64 harvestId, qint64 *cardId, Status *status)
{
    LedgerQuery q(connection, path);
    if (!q.prepare("SELECT card_id FROM harvests WHERE id = ?", status))
        return false;
    q.bind(harvestId);
    if (!q.exec(status))
        return false;
    if (!q.next()) {
        *status = Status::failure(QStringLiteral("campaign ledger %1: no harvest %2").arg(path).arg(harvestId));
        return false;
    }
    *cardId = q.value(0).toLongLong();
    return true;
}

} // namespace

Status Ledger::recordFiles(qint64 harvestId, const QVector<LedgerFile> &files)
{
    WriteTransaction transaction(m_connection, m_path);
    Status status = transaction.begin();
    if (!status)
        return status;
    qint64 cardId = 0;
    if (!cardOfHarvest(m_connection, m_path, harvestId, &cardId, &status))
        return status;
    const QString harvested = now();

    LedgerQuery find(m_connection, m_path), forget(m_connection, m_path), file(m_connection, m_path),
        channel(m_connection, m_path), segment(m_connection, m_path), gap(m_connection, m_path);
    if (!find.prepare("SELECT id FROM files WHERE card_id = ? AND card_path = ?", &status)
        || !file.prepare("INSERT INTO files(card_id, card_path, sectors, sha256, first_us, last_us, station, outcome, "
                         "harvest_id, harvested) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?)", &status)
        || !channel.prepare("INSERT INTO channels(file_id, channel, sample_rate, first_us, last_us, samples, records) "
                            "VALUES(?, ?, ?, ?, ?, ?, ?)", &status)
        || !segment.prepare("INSERT INTO segments(file_id, channel, start_us, end_us) VALUES(?, ?, ?, ?)", &status)
        || !gap.prepare("INSERT INTO gaps(file_id, channel, after_us, before_us) VALUES(?, ?, ?, ?)", &status))
        return status;

    for (const LedgerFile &f : files) {
        // A file harvested before (it grew since) is replaced with its new figures.
        find.bind(cardId);
        find.bind(f.cardPath);
        if (!find.exec(&status))
            return status;
        if (find.next()) {
            const QVariant oldId = find.value(0);
            find.finish();
            for (const char *sql : {"DELETE FROM channels WHERE file_id = ?", "DELETE FROM segments WHERE file_id = ?",
                                    "DELETE FROM gaps WHERE file_id = ?", "DELETE FROM files WHERE id = ?"}) {
                if (!forget.prepare(sql, &status))
                    return status;
                forget.bind(oldId);
                if (!forget.exec(&status))
                    return status;
            }
        }
        find.finish();
        for (const QVariant &v : {QVariant(cardId), QVariant(f.cardPath), QVariant(f.sectors), QVariant(QString::fromLatin1(f.sha256)),
                                  QVariant(f.first), QVariant(f.last), QVariant(f.station), QVariant(f.outcome),
                                  QVariant(harvestId), QVariant(harvested)})
            file.bind(v);
        if (!file.exec(&status))
            return status;
        const qint64 fileId = file.lastInsertId().toLongLong();
        for (const LedgerChannel &c : f.channels) {
            for (const QVariant &v : {QVariant(fileId), QVariant(c.id), QVariant(c.sampleRate), QVariant(c.first),
                                      QVariant(c.last), QVariant(c.samples), QVariant(c.records)})
                channel.bind(v);
            if (!channel.exec(&status))
                return status;
            for (const LedgerSpan &s : c.segments) {
                for (const QVariant &v : {QVariant(fileId), QVariant(c.id), QVariant(s.first), QVariant(s.second)})
                    segment.bind(v);
                if (!segment.exec(&status))
                    return status;
            }
            for (const LedgerSpan &g : c.gaps) {
                for (const QVariant &v : {QVariant(fileId), QVariant(c.id), QVariant(g.first), QVariant(g.second)})
                    gap.bind(v);
                if (!gap.exec(&status))
                    return status;
            }
        }
    }
    return transaction.commit();
}

Status Ledger::recordUnmapped(qint64 harvestId, const QStringList &codes)
{
    WriteTransaction transaction(m_connection, m_path);
    Status status = transaction.begin();
    if (!status)
        return status;
    qint64 cardId = 0;
    if (!cardOfHarvest(m_connection, m_path, harvestId, &cardId, &status))
        return status;
    LedgerQuery q(m_connection, m_path);
    if (!q.prepare("INSERT OR IGNORE INTO unmapped(code, card_id) VALUES(?, ?)", &status))
        return status;
    for (const QString &code : codes) {
        q.bind(code);
        q.bind(cardId);
        if (!q.exec(&status))
            return status;
    }
    return transaction.commit();
}

Status Ledger::finishHarvest(qint64 harvestId, const QString &outcome, int newFiles, int skippedFiles)
{
    Status status;
    LedgerQuery q(m_connection, m_path);
    if (!q.prepare("UPDATE harvests SET finished = ?, outcome = ?, new_files = ?, skipped_files = ? WHERE id = ?", &status))
        return status;
    for (const QVariant &v : {QVariant(now()), QVariant(outcome), QVariant(newFiles), QVariant(skippedFiles), QVariant(harvestId)})
        q.bind(v);
    q.exec(&status);
    return status;
}

Status Ledger::cards(QVector<CardRow> *rows)
{
    rows->clear();
    return selectRows(m_connection, m_path,
                      "SELECT c.card_key, c.recorded, c.station, c.first_harvest, c.last_harvest,"
                      " (SELECT COUNT(*) FROM harvests h WHERE h.card_id = c.id),"
                      " (SELECT COUNT(*) FROM files f WHERE f.card_id = c.id)"
                      " FROM cards c ORDER BY c.station, c.card_key",
                      [rows](const LedgerQuery &q) {
                          rows->append(CardRow{q.value(0).toString(), q.value(1).toString(), q.value(2).toString(),
                                               q.value(3).toString(), q.value(4).toString(), q.value(5).toInt(),
                                               q.value(6).toInt()});
                      });
}

Status Ledger::stations(QVector<StationRow> *rows)
{
    rows->clear();
    return selectRows(m_connection, m_path,
                      "SELECT f.station, COUNT(DISTINCT f.card_id), COUNT(*), MIN(f.first_us), MAX(f.last_us),"
                      " MAX(c.last_harvest) FROM files f JOIN cards c ON c.id = f.card_id GROUP BY f.station"
                      " ORDER BY f.station",
                      [rows](const LedgerQuery &q) {
                          rows->append(StationRow{q.value(0).toString(), q.value(1).toInt(), q.value(2).toInt(),
                                                  q.value(3).toLongLong(), q.value(4).toLongLong(), q.value(5).toString()});
                      });
}

Status Ledger::channels(QVector<ChannelRow> *rows)
{
    rows->clear();
    return selectRows(m_connection, m_path,
                      "SELECT channel, sample_rate, MIN(first_us), MAX(last_us), SUM(samples), SUM(records),"
                      " COUNT(DISTINCT file_id) FROM channels GROUP BY channel, sample_rate ORDER BY channel, MIN(first_us)",
                      [rows](const LedgerQuery &q) {
                          rows->append(ChannelRow{q.value(0).toString(), q.value(1).toDouble(), q.value(2).toLongLong(),
                                                  q.value(3).toLongLong(), q.value(4).toLongLong(),
                                                  q.value(5).toLongLong(), q.value(6).toInt()});
                      });
}

namespace {

Status readSpans(const QString &connection, const QString &path, const char *sql, QHash<QString, QVector<LedgerSpan>> *spans)
{
    spans->clear();
    return selectRows(connection, path, sql, [spans](const LedgerQuery &q) {
        (*spans)[q.value(0).toString()].append(LedgerSpan(q.value(1).toLongLong(), q.value(2).toLongLong()));
    });
}

} // namespace

Status Ledger::segments(QHash<QString, QVector<LedgerSpan>> *spans)
{
    return readSpans(m_connection, m_path, "SELECT channel, start_us, end_us FROM segments ORDER BY channel, start_us, end_us",
                     spans);
}

Status Ledger::gaps(QHash<QString, QVector<LedgerSpan>> *spans)
{
    return readSpans(m_connection, m_path, "SELECT channel, after_us, before_us FROM gaps ORDER BY channel, after_us", spans);
}

Status Ledger::unmapped(QVector<UnmappedRow> *rows)
{
    rows->clear();
    return selectRows(m_connection, m_path,
                      "SELECT u.code, c.card_key FROM unmapped u JOIN cards c ON c.id = u.card_id ORDER BY u.code, c.card_key",
                      [rows](const LedgerQuery &q) {
                          const QString code = q.value(0).toString();
                          if (rows->isEmpty() || rows->last().code != code)
                              rows->append(UnmappedRow{code, {}});
                          rows->last().cards.append(q.value(1).toString());
                      });
}
