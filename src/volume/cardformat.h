// The recorder's card layout, and the one place where its bytes become values.
//
// The card is a flat run of 512-byte sectors with no partition table:
//
//   byte 8192         VolumeHeader (magic 0xDEADBABA, tableSector)
//   tableSector       DirectoryTable: 256 slots of 16 bytes; slot 0 unused
//   tableSector+8*i   DirectoryBlock of table slot i: 128 FileRecords of 32 bytes
//   first..last       a file's data, copied verbatim
//   byte 4194304      the recorder's log area
//
// All card integers are unsigned 32-bit little-endian. Sector numbers are 32-bit, their
// byte offsets are computed in 64 bits so that every sector of a large card is reachable.
#pragma once

#include <QtGlobal>

namespace Card {

constexpr qint64 SectorSize = 512;
constexpr qint64 BlockSize = 4096;
constexpr qint64 SectorsPerBlock = BlockSize / SectorSize;
static_assert(SectorsPerBlock == 8, "a block is eight sectors");

constexpr qint64 HeaderOffset = 8192;
constexpr qint64 HeaderSize = 24;
constexpr quint32 VolumeMagic = 0xDEADBABA;

constexpr qint64 DirectorySlotSize = 16;
constexpr int TableSlots = int(BlockSize / DirectorySlotSize);
constexpr int FirstDirectorySlot = 1; // slot 0 of the table never describes a directory
constexpr int LastDirectorySlot = TableSlots - 1;
static_assert(TableSlots == 256, "the table holds 256 slots");

constexpr qint64 FileRecordSize = 32;
constexpr int RecordsPerBlock = int(BlockSize / FileRecordSize);
static_assert(RecordsPerBlock == 128, "a directory block holds 128 records");

// The log area lies at a fixed place, whatever the header says. The listing reports
// 4096 sectors; the export copies one sector more, as the recorder's own tools do.
constexpr qint64 LogOffset = 4194304;
constexpr qint64 LogListedSize = 2097152;
constexpr int LogExportSectors = 4097;
static_assert(LogOffset % SectorSize == 0, "the log starts on a sector");

// Byte offset of sector `sector`, without 32-bit truncation.
constexpr qint64 sectorOffset(quint64 sector) { return qint64(sector) * SectorSize; }

// Sector of the directory block of table slot `slot` (tableSector for slot 0, the table).
constexpr quint64 directoryBlockSector(quint32 tableSector, int slot)
{
    return quint64(tableSector) + quint64(SectorsPerBlock) * quint64(slot);
}

} // namespace Card

// VolumeHeader, 24 bytes at byte 8192.
//   Offset | Size | Field       | Meaning
//   0      | 4    | magic       | 0xDEADBABA on a card volume
//   4      | 4    | tableSector | sector of the DirectoryTable
//   8      | 16   | -           | not interpreted
struct VolumeHeader
{
    quint32 magic = 0;
    quint32 tableSector = 0;
};

// DirectorySlot, 16 bytes at byte 16*i of the table block.
//   Offset | Size | Field     | Meaning
//   0      | 4    | startTime | GPS second the recording directory began
//   4      | 4    | -         | not interpreted
//   8      | 4    | occupancy | zero: the directory list ends here
//   12     | 4    | -         | not interpreted
struct DirectorySlot
{
    quint32 startTime = 0;
    quint32 occupancy = 0;
};

// FileRecord, 32 bytes at byte 32*k of a directory block.
//   Offset | Size | Field       | Meaning
//   0      | 4    | startTime   | GPS second the file's recording began
//   4      | 12   | -           | not interpreted
//   16     | 4    | firstSector | first data sector; zero marks an empty slot
//   20     | 4    | lastSector  | last data sector, inclusive
//   24     | 4    | flags       | bit 0: the entry's file flag
//   28     | 4    | -           | not interpreted
struct FileRecord
{
    quint32 startTime = 0;
    quint32 firstSector = 0;
    quint32 lastSector = 0;
    quint32 flags = 0;

    bool isEmpty() const { return firstSector == 0; }
    // Sectors that reading or exporting takes: last - first + 1, zero or less for a
    // record whose last sector lies below its first.
    qint64 sectorCount() const { return qint64(lastSector) - qint64(firstSector) + 1; }
    // Bytes the listing reports: one sector less than what is read, negative for a
    // record whose last sector lies below its first.
    qint64 listedSize() const { return (qint64(lastSector) - qint64(firstSector)) * Card::SectorSize; }
    // Bytes that reading or exporting takes; never negative.
    qint64 readLength() const { return qMax<qint64>(0, sectorCount()) * Card::SectorSize; }
};

// Decoders take a buffer and its length and fail (false) when it is too short.
// Block decoders take a whole 4096-byte block and a slot number within it.
bool decodeVolumeHeader(const char *data, qint64 length, VolumeHeader *header);
bool decodeDirectorySlot(const char *block, qint64 length, int slot, DirectorySlot *entry);
bool decodeFileRecord(const char *block, qint64 length, int slot, FileRecord *record);

// Encoders write the fields' bytes and leave the uninterpreted bytes as they are.
// They serve card image writers (the demonstration card, tests), never a card.
void encodeVolumeHeader(char *data, const VolumeHeader &header);
void encodeDirectorySlot(char *block, int slot, const DirectorySlot &entry);
void encodeFileRecord(char *block, int slot, const FileRecord &record);
