#include "carddevice.h"
#include "cardformat.h"
#include "status.h"

#include <cerrno>
#include <cstring>

namespace {

QString openFailure(const QString &path, int error)
{
    QString message = QStringLiteral("cannot open %1: %2").arg(path, systemError(error));
    if (isPermissionError(error))
        message += QStringLiteral("; run as a member of the group that owns it, e.g. disk, or with sudo");
    return message;
}

} // namespace

AlignedBuffer::AlignedBuffer(qint64 length)
    : m_data(allocateAligned(length, CardDevice::Alignment))
{
}

AlignedBuffer::~AlignedBuffer()
{
    freeAligned(m_data);
}

QString systemError(int error)
{
    return systemErrorText(error);
}

CardDevice::CardDevice(const QString &path)
    : m_path(path)
{
}

CardDevice::~CardDevice() = default;

bool CardDevice::isOpen() const
{
    return m_file.isOpen();
}

Status CardDevice::open()
{
    bool unbuffered = false;
    const Status opened = m_file.openCard(m_path, &unbuffered, &m_size);
    if (!opened) {
        return opened.code == Status::Refused
            ? Status{Status::Refused, opened.error, QStringLiteral("cannot open %1: %2").arg(m_path, opened.message)}
            : Status::failure(opened.error, openFailure(m_path, opened.error));
    }
    m_direct = unbuffered;
    m_identity = m_file.identity();
    return Status();
}

SectorRead CardDevice::readRaw(qint64 offset, qint64 length, char *data)
{
    SectorRead result;
    Status status;
    const qint64 total = m_file.readAt(data, length, offset, &status);
    // A device that refused unbuffered reads is read through the cache from now on.
    m_direct = m_file.isUnbuffered();
    if (total < 0) {
        result.error = status.error;
        return result;
    }
    result.outcome = total == length ? SectorRead::Read : SectorRead::EndOfCard;
    result.bytes = total;
    return result;
}

SectorRead CardDevice::readSectors(quint64 sector, qint64 count, char *data)
{
    SectorRead result;
    if (!isOpen()) {
        result.error = EBADF;
        return result;
    }
    const qint64 offset = Card::sectorOffset(sector);
    qint64 length = qMax<qint64>(0, count) * Card::SectorSize;
    // Beyond the end of a raw device a read may fail rather than come back short; there
    // is nothing there, which is not the same as an unreadable sector.
    if (m_size >= 0)
        length = qBound<qint64>(0, m_size - offset, length);
    if (length == 0) {
        result.outcome = count > 0 ? SectorRead::EndOfCard : SectorRead::Read;
        return result;
    }
    if (!m_direct || quintptr(data) % Alignment == 0) {
        result = readRaw(offset, length, data);
    } else {
        AlignedBuffer buffer(length);
        if (!buffer.data()) {
            result.error = ENOMEM;
            return result;
        }
        result = readRaw(offset, length, buffer.data());
        if (result.bytes > 0)
            std::memcpy(data, buffer.data(), size_t(result.bytes));
    }
    if (result.outcome == SectorRead::Read && length < count * Card::SectorSize)
        result.outcome = SectorRead::EndOfCard;
    return result;
}
