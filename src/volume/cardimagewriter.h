// Writes a card image: the volume header, the directory table, the directory blocks in
// use and whatever bytes are laid at given offsets (file sectors, the log). The image is
// sparse: ranges that nothing was laid on stay holes and read as zeros, also beyond 4 GiB.
// Used by `vexa-card sample`, the tests' malformed cards and the benchmarks' images.
#pragma once

#include "cardformat.h"
#include "status.h"

#include <QByteArray>
#include <QFile>
#include <QMap>
#include <QString>

class CardImageWriter
{
public:
    explicit CardImageWriter(quint32 tableSector = 20480);

    void setMagic(quint32 magic) { m_header.magic = magic; }
    quint32 tableSector() const { return m_header.tableSector; }

    // Table slot `slot` (0..255) with this start time; occupancy 1 marks it in use.
    void setDirectory(int slot, quint32 startTime, quint32 occupancy = 1);
    // Record `recordSlot` of the block of table slot `dirSlot`, exactly as given.
    void setRecord(int dirSlot, int recordSlot, const FileRecord &record);
    // Raw bytes at a byte offset of the image (a file's sectors, the log).
    void put(qint64 offset, const QByteArray &bytes);
    // Cuts or extends the image to `length` bytes (0: just long enough for what was laid on it).
    void setLength(qint64 length) { m_length = length; }

    // Writes the image into `image`, open for writing. The header, the table and the
    // directory blocks take precedence over bytes put at the same offset. A failure with
    // the system's reason when a write fails.
    Status write(QFile &image) const;

private:
    VolumeHeader m_header;
    QByteArray m_table;
    QMap<int, QByteArray> m_blocks;
    QMap<qint64, QByteArray> m_data;
    qint64 m_length = 0;
};
