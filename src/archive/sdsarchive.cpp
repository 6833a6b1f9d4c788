#include "sdsarchive.h"

#include <QDateTime>

#include <cmath>

SdsArchive::SdsArchive(const QString &root, bool splitMidnight)
    : m_root(root)
    , m_store(root)
    , m_router(m_store, splitMidnight)
{
}

SdsArchive::~SdsArchive()
{
    if (!m_finished)
        rollback();
    m_store.releaseAll();
}

void SdsArchive::setCardIdentity(quint64 device, quint64 inode)
{
    FileIdentity card;
    card.device = device;
    card.inode = inode;
    card.valid = true;
    m_store.setCardIdentity(card);
}

QString SdsArchive::dayFilePath(const QString &network, const QString &station, const QString &location,
                                const QString &channel, int year, int dayOfYear)
{
    const QString yearText = QStringLiteral("%1").arg(year, 4, 10, QLatin1Char('0'));
    const QString dayText = QStringLiteral("%1").arg(dayOfYear, 3, 10, QLatin1Char('0'));
    const QString folder = channel + QLatin1String(".D");
    return yearText + QLatin1Char('/') + network + QLatin1Char('/') + station + QLatin1Char('/') + folder
        + QLatin1Char('/') + network + QLatin1Char('.') + station + QLatin1Char('.') + location + QLatin1Char('.')
        + channel + QLatin1String(".D.") + yearText + QLatin1Char('.') + dayText;
}

QString SdsArchive::logFileName() const
{
    if (!hasFirstRecord())
        return QString();
    const qint64 milliseconds = qint64(std::floor(double(firstRecordTime()) / 1000.0));
    return QLatin1String("log.")
        + QDateTime::fromMSecsSinceEpoch(milliseconds, Qt::UTC).toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'"));
}

Status SdsArchive::failed(const Status &status)
{
    m_error = status.message;
    return status;
}

SdsArchive::Outcome SdsArchive::addRecord(const char *raw, int length, const MSRecord_s *parsed)
{
    if (m_closed) {
        m_error = QStringLiteral("the archive %1 is closed").arg(m_root);
        return Failed;
    }
    Status status;
    const Outcome outcome = m_router.file(raw, length, parsed, &status);
    if (!status)
        m_error = status.message;
    return outcome;
}

Status SdsArchive::commit()
{
    const Status written = m_store.commit();
    if (!written) {
        rollback();
        return failed(written);
    }
    m_router.commit();
    return written;
}

Status SdsArchive::rollback()
{
    m_router.rollback();
    const Status taken = m_store.rollback();
    return taken ? taken : failed(taken);
}

QList<SdsDayFile> SdsArchive::finish(Status *status)
{
    if (!m_finished) {
        if (!m_closed)
            m_finishStatus = commit();
        m_closed = true;
        m_finished = true;
        Status hashed;
        m_listed = m_store.hashAll(&hashed);
        if (!hashed) {
            failed(hashed);
            if (m_finishStatus)
                m_finishStatus = hashed;
        }
    }
    if (status)
        *status = m_finishStatus;
    return m_listed;
}

QList<SdsDayFile> SdsArchive::close(Status *status)
{
    QList<SdsDayFile> changed;
    for (const SdsDayFile &file : finish(status)) {
        if (file.recordsAdded > 0)
            changed.append(file);
    }
    m_store.releaseAll();
    return changed;
}
