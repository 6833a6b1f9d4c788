#include "cardformat.h"

#include <QtEndian>

namespace {

quint32 word(const char *data, qint64 offset)
{
    return qFromLittleEndian<quint32>(data + offset);
}

void putWord(char *data, qint64 offset, quint32 value)
{
    qToLittleEndian<quint32>(value, data + offset);
}

bool slotFits(qint64 length, int slot, int slotCount, qint64 slotSize)
{
    return slot >= 0 && slot < slotCount && length >= (slot + 1) * slotSize;
}

} // namespace

bool decodeVolumeHeader(const char *data, qint64 length, VolumeHeader *header)
{
    if (length < Card::HeaderSize)
        return false;
    header->magic = word(data, 0);
    header->tableSector = word(data, 4);
    return true;
}

bool decodeDirectorySlot(const char *block, qint64 length, int slot, DirectorySlot *entry)
{
    if (!slotFits(length, slot, Card::TableSlots, Card::DirectorySlotSize))
        return false;
    const char *p = block + slot * Card::DirectorySlotSize;
    entry->startTime = word(p, 0);
    entry->occupancy = word(p, 8);
    return true;
}

bool decodeFileRecord(const char *block, qint64 length, int slot, FileRecord *record)
{
    if (!slotFits(length, slot, Card::RecordsPerBlock, Card::FileRecordSize))
        return false;
    const char *p = block + slot * Card::FileRecordSize;
    record->startTime = word(p, 0);
    record->firstSector = word(p, 16);
    record->lastSector = word(p, 20);
    record->flags = word(p, 24);
    return true;
}

void encodeVolumeHeader(char *data, const VolumeHeader &header)
{
    putWord(data, 0, header.magic);
    putWord(data, 4, header.tableSector);
}

void encodeDirectorySlot(char *block, int slot, const DirectorySlot &entry)
{
    char *p = block + slot * Card::DirectorySlotSize;
    putWord(p, 0, entry.startTime);
    putWord(p, 8, entry.occupancy);
}

void encodeFileRecord(char *block, int slot, const FileRecord &record)
{
    char *p = block + slot * Card::FileRecordSize;
    putWord(p, 0, record.startTime);
    putWord(p, 16, record.firstSector);
    putWord(p, 20, record.lastSector);
    putWord(p, 24, record.flags);
}
