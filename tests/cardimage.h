// Builds card images for the tests as sparse files: the volume header, the directory
// table, directory blocks, file sectors with recognisable content, and the log area.
// Each malformed card in a test is a good one with one thing changed.
#pragma once

#include "cardformat.h"

#include <QByteArray>
#include <QMap>
#include <QString>

class CardImage
{
public:
    explicit CardImage(quint32 tableSector = 20480);

    void setMagic(quint32 magic) { m_header.magic = magic; }
    quint32 tableSector() const { return m_header.tableSector; }

    // Table slot `slot` (0..255) with this start time; occupancy 1 marks it in use.
    void setDirectory(int slot, quint32 startTime, quint32 occupancy = 1);
    // Record `recordSlot` of the block of table slot `dirSlot`, exactly as given.
    void setRecord(int dirSlot, int recordSlot, const FileRecord &record);
    // A record of `sectors` sectors from `firstSector` whose sectors hold pattern().
    FileRecord addFile(int dirSlot, int recordSlot, quint32 startTime, quint32 firstSector,
                       quint32 sectors, quint32 flags = 0);

    // Raw bytes at a byte offset, for data that pattern() does not describe.
    void put(qint64 offset, const QByteArray &bytes);
    // Fills the log area (4097 sectors) with a recognisable pattern.
    void fillLog();

    // Cuts the image at `length` bytes (0: just long enough for what was put in it).
    void setLength(qint64 length) { m_length = length; }

    // Writes the image; false with a test failure message when the file can't be written.
    bool write(const QString &path) const;

    // 512 bytes that name their sector, so misplaced or shifted sectors show.
    static QByteArray pattern(quint64 sector);
    // The bytes a reader should deliver for `count` sectors from `first`.
    static QByteArray patternRun(quint64 first, qint64 count);

private:
    VolumeHeader m_header;
    QByteArray m_table;
    QMap<int, QByteArray> m_blocks;
    QMap<qint64, QByteArray> m_data;
    qint64 m_length = 0;
};

// The example card: one directory 20110914_0146 (slot 1) holding one file
// 20110914_014640 of sectors 30000..30009 with flags 1.
CardImage minimalCard();

// SHA-256 of a whole file, to show that an operation left a card image unchanged.
QByteArray fileChecksum(const QString &path);

// A whole file's bytes; empty when it cannot be read.
QByteArray fileContents(const QString &path);

// One run of vexa-card, with no standard input: its exit status (-1 when it crashed or
// did not end within a minute), standard output and standard error.
struct CardRun
{
    int status = -1;
    QByteArray out;
    QByteArray err;
};
CardRun runVexaCard(const QStringList &arguments);
