// The card as a run of 512-byte sectors: opened read-only and never for writing, read
// at sector offsets with positioned reads, so that no two readers share a file position.
#pragma once

#include "platform.h"
#include "status.h"

#include <QString>
#include <QtGlobal>

#include <atomic>

// How one read of whole sectors went.
struct SectorRead
{
    enum Outcome {
        Read,       // every sector asked for
        EndOfCard,  // the card ends inside the range: `bytes` were there before its end
        Unreadable, // the system failed the read; `error` says why
    };
    Outcome outcome = Unreadable;
    qint64 bytes = 0; // bytes delivered; 0 for Unreadable
    int error = 0;    // errno of an unreadable read (a Windows error code there)
};

class CardDevice
{
public:
    explicit CardDevice(const QString &path);
    virtual ~CardDevice();
    CardDevice(const CardDevice &) = delete;
    CardDevice &operator=(const CardDevice &) = delete;

    // Opens the card read-only. A path that is neither a regular file nor a block or
    // character device (a FIFO, a socket, a folder) is refused before it is opened, so
    // that a FIFO cannot hang the open. A failure (or a refusal) says why, with the
    // system's reason and, for a permission failure, what to do about it.
    Status open();
    bool isOpen() const;
    QString path() const { return m_path; }

    // Bytes on the card; -1 while unknown (a device that reports no size).
    qint64 size() const { return m_size; }
    FileIdentity identity() const { return m_identity; }
    // Whether reads bypass the system's cache (a block device on Linux).
    bool isUnbuffered() const { return m_direct; }

    // Reads `count` whole sectors from card sector `sector` into `data`. Positioned: any
    // thread may read at any time. Reads past the end deliver what lies before it.
    virtual SectorRead readSectors(quint64 sector, qint64 count, char *data);

    // Memory alignment that unbuffered reads need from `data`; readSectors() copies
    // through a buffer of its own when `data` is not aligned.
    static constexpr qint64 Alignment = 4096;

private:
    SectorRead readRaw(qint64 offset, qint64 length, char *data);

    QString m_path;
    qint64 m_size = -1;
    FileIdentity m_identity;
    std::atomic<bool> m_direct{false}; // unbuffered reads, with aligned buffers
    OpenFile m_file;
};

// Memory for unbuffered reads: starts at a multiple of CardDevice::Alignment. data() is
// null when the memory could not be had.
class AlignedBuffer
{
public:
    explicit AlignedBuffer(qint64 length);
    ~AlignedBuffer();
    AlignedBuffer(const AlignedBuffer &) = delete;
    AlignedBuffer &operator=(const AlignedBuffer &) = delete;
    char *data() const { return m_data; }

private:
    char *m_data = nullptr;
};

// The system's text for an errno value.
QString systemError(int error);
