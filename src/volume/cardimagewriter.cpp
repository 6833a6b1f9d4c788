#include "cardimagewriter.h"

CardImageWriter::CardImageWriter(quint32 tableSector)
    : m_table(int(Card::BlockSize), '\0')
{
    m_header.magic = Card::VolumeMagic;
    m_header.tableSector = tableSector;
}

void CardImageWriter::setDirectory(int slot, quint32 startTime, quint32 occupancy)
{
    encodeDirectorySlot(m_table.data(), slot, DirectorySlot{startTime, occupancy});
}

void CardImageWriter::setRecord(int dirSlot, int recordSlot, const FileRecord &record)
{
    QByteArray &block = m_blocks[dirSlot];
    if (block.isEmpty())
        block = QByteArray(int(Card::BlockSize), '\0');
    encodeFileRecord(block.data(), recordSlot, record);
}

void CardImageWriter::put(qint64 offset, const QByteArray &bytes)
{
    m_data.insert(offset, bytes);
}

Status CardImageWriter::write(QFile &image) const
{
    QByteArray header(int(Card::HeaderSize), '\0');
    encodeVolumeHeader(header.data(), m_header);

    QMap<qint64, QByteArray> pieces = m_data;
    pieces.insert(Card::HeaderOffset, header);
    // The slots after the last directory stay zero: the directory list ends there.
    pieces.insert(Card::sectorOffset(m_header.tableSector), m_table);
    for (auto it = m_blocks.cbegin(); it != m_blocks.cend(); ++it)
        pieces.insert(Card::sectorOffset(Card::directoryBlockSector(m_header.tableSector, it.key())),
                      it.value());

    qint64 end = 0;
    for (auto it = pieces.cbegin(); it != pieces.cend(); ++it) {
        // Seeking past the end leaves a hole: unused blocks and sectors take no disk space.
        if (!image.seek(it.key()) || image.write(it.value()) != it.value().size())
            return Status::failure(image.errorString());
        end = qMax(end, it.key() + it.value().size());
    }
    if (!image.resize(m_length > 0 ? m_length : end))
        return Status::failure(image.errorString());
    return Status();
}
