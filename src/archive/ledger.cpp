// STAND-IN until the ledger is merged: one line per file harvested.
#include "ledger.h"

#include <QFile>

#include <atomic>

Status Ledger::open(const QString &archive, std::unique_ptr<Ledger> *ledger)
{
    *ledger = std::make_unique<Ledger>();
    (*ledger)->m_path = archive + QStringLiteral("/ledger-standin.txt");
    return Status();
}

QHash<QString, qint64> Ledger::harvestedFiles(const QString &cardKey)
{
    QHash<QString, qint64> files;
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        return files;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() == 3 && QString::fromUtf8(fields.at(0)) == cardKey)
            files.insert(QString::fromUtf8(fields.at(1)), fields.at(2).toLongLong());
    }
    return files;
}

Status Ledger::beginHarvest(const QString &cardKey, const QString &, const QString &, const QString &, qint64 *harvestId)
{
    static std::atomic<qint64> next{1};
    *harvestId = next++;
    m_keys.insert(*harvestId, cardKey);
    return Status();
}

Status Ledger::recordFiles(qint64 harvestId, const QVector<LedgerFile> &files)
{
    QFile file(m_path);
    if (!file.open(QIODevice::Append))
        return Status::failure(file.errorString());
    QByteArray text;
    for (const LedgerFile &f : files)
        text += m_keys.value(harvestId).toUtf8() + '\t' + f.cardPath.toUtf8() + '\t' + QByteArray::number(f.sectors) + '\n';
    file.write(text);
    return Status();
}

Status Ledger::recordUnmapped(qint64, const QStringList &) { return Status(); }
Status Ledger::finishHarvest(qint64, const QString &, int, int) { return Status(); }
