// STAND-IN until the ledger is merged: the API the harvest is written against.
#pragma once

#include "status.h"

#include <QByteArray>
#include <QHash>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVector>

#include <memory>

struct LedgerChannel
{
    QString id;
    double sampleRate = 0;
    qint64 first = 0, last = 0, samples = 0, records = 0;
    QVector<QPair<qint64, qint64>> segments;
    QVector<QPair<qint64, qint64>> gaps;
};

struct LedgerFile
{
    QString cardPath;
    qint64 sectors = 0;
    QByteArray sha256;
    qint64 first = 0, last = 0;
    QString station;
    QString outcome;
    QVector<LedgerChannel> channels;
};

class Ledger
{
public:
    static Status open(const QString &archive, std::unique_ptr<Ledger> *ledger);
    QHash<QString, qint64> harvestedFiles(const QString &cardKey);
    Status beginHarvest(const QString &cardKey, const QString &recorded, const QString &station, const QString &device,
                        qint64 *harvestId);
    Status recordFiles(qint64 harvestId, const QVector<LedgerFile> &files);
    Status recordUnmapped(qint64 harvestId, const QStringList &codes);
    Status finishHarvest(qint64 harvestId, const QString &outcome, int newFiles, int skippedFiles);

private:
    QString m_path;
    QHash<qint64, QString> m_keys;
};
