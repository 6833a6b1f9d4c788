// Builds card images for the tests as sparse files: the volume header, the directory
// table, directory blocks, file sectors with recognisable content, and the log area.
// Each malformed card in a test is a good one with one thing changed.
#pragma once

#include "cardimagewriter.h"

#include <QByteArray>
#include <QString>

// The card image writer of the program, with the tests' helpers: files whose sectors
// name themselves, a recognisable log, and writing to a path.
class CardImage : public CardImageWriter
{
public:
    explicit CardImage(quint32 tableSector = 20480) : CardImageWriter(tableSector) {}

    // A record of `sectors` sectors from `firstSector` whose sectors hold pattern().
    FileRecord addFile(int dirSlot, int recordSlot, quint32 startTime, quint32 firstSector,
                       quint32 sectors, quint32 flags = 0);

    // Fills the log area (4097 sectors) with a recognisable pattern.
    void fillLog();

    // Writes the image; false with a test failure message when the file can't be written.
    bool write(const QString &path) const;

    // 512 bytes that name their sector, so misplaced or shifted sectors show.
    static QByteArray pattern(quint64 sector);
    // The bytes a reader should deliver for `count` sectors from `first`.
    static QByteArray patternRun(quint64 first, qint64 count);
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
