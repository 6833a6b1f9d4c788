#include "cardimage.h"

#include <QCryptographicHash>
#include <QFile>
#include <QProcess>
#include <QtEndian>
#include <QTest>

FileRecord CardImage::addFile(int dirSlot, int recordSlot, quint32 startTime, quint32 firstSector,
                              quint32 sectors, quint32 flags)
{
    const FileRecord record{startTime, firstSector, firstSector + sectors - 1, flags};
    setRecord(dirSlot, recordSlot, record);
    put(Card::sectorOffset(firstSector), patternRun(firstSector, sectors));
    return record;
}

void CardImage::fillLog()
{
    put(Card::LogOffset, patternRun(Card::LogOffset / Card::SectorSize, Card::LogExportSectors));
}

bool CardImage::write(const QString &path) const
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        qWarning("cannot create %s: %s", qPrintable(path), qPrintable(file.errorString()));
        return false;
    }
    if (const Status written = CardImageWriter::write(file); !written) {
        qWarning("cannot write %s: %s", qPrintable(path), qPrintable(written.message));
        return false;
    }
    return true;
}

QByteArray CardImage::pattern(quint64 sector)
{
    QByteArray bytes(int(Card::SectorSize), '\0');
    const QByteArray label = "sector " + QByteArray::number(sector) + ' ';
    for (int i = 0; i < bytes.size(); ++i)
        bytes[i] = label[i % label.size()];
    qToLittleEndian<quint64>(sector, bytes.data() + bytes.size() - 8);
    return bytes;
}

QByteArray CardImage::patternRun(quint64 first, qint64 count)
{
    QByteArray bytes;
    bytes.reserve(int(count * Card::SectorSize));
    for (qint64 i = 0; i < count; ++i)
        bytes += pattern(first + quint64(i));
    return bytes;
}

CardImage minimalCard()
{
    CardImage card(20480);
    card.setDirectory(1, 1000000000);
    card.addFile(1, 0, 1000000000, 30000, 10, 1);
    return card;
}

QByteArray fileChecksum(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    return hash.result().toHex();
}

QByteArray fileContents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

CardRun runVexaCard(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral(VEXA_CARD_PATH), arguments);
    process.closeWriteChannel();
    CardRun run;
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
        return run;
    run.status = process.exitCode();
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}
