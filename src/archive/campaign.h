// The campaign report, read from the ledger: per station as filed its cards, files, first
// and last sample, availability and gaps; the recorder codes the station table did not
// know; the cards and their visits.
//
// Availability: each sample covers one sample period, so a segment covers from its first
// sample to a period after its last. The campaign's span runs from the earliest sample of
// any channel to the end of the latest. A channel's availability is the share of that
// span covered by the union of its segments; a station's is the mean of its channels'. A
// gap is a break in that union between a channel's first and last sample; segments whose
// next sample comes within half a sample period of when it was due count as one.
#pragma once

#include "cardpicture.h"
#include "ledger.h"

#include <QJsonObject>

struct CampaignChannel
{
    QString id;               // NET.STA.LOC.CHA
    double sampleRate = 0;    // of its latest epoch
    qint64 first = 0, last = 0, samples = 0, records = 0;
    QVector<LedgerSpan> data;   // the union of what its segments cover [start, end), in time order
    QVector<LedgerSpan> gaps;   // the breaks between them: from when a sample was due to the next one
    double availabilityPercent = 0;
};

struct CampaignStation
{
    QString station;          // NET.STA as filed
    int cards = 0, files = 0;
    qint64 first = 0, last = 0;
    double availabilityPercent = 0;
    int gaps = 0;
    QString lastHarvest;
    QVector<CampaignChannel> channels;
};

struct CampaignReport
{
    qint64 start = 0, end = 0; // the campaign's span
    QVector<CampaignStation> stations;
    QVector<Ledger::UnmappedRow> unmapped;
    QVector<Ledger::CardRow> cards;
};

// Reads the whole report from `ledger`.
Status readCampaign(Ledger &ledger, CampaignReport *report);

// The union of `segments` (sorted by start), joining those that meet within `tolerance`.
QVector<LedgerSpan> unionOfSpans(const QVector<LedgerSpan> &segments, qint64 tolerance);

// The report as JSON: "stations", "unmapped", "cards".
QJsonObject campaignJson(const CampaignReport &report);
// The report for people: a line per station, then the unmapped codes and the cards.
QString campaignText(const CampaignReport &report);
// One row per channel over the campaign's span, data and gaps, for the timeline painter.
CardPicture campaignPicture(const CampaignReport &report);

// "2024-05-01T10:00:00.000000Z"
QString isoMicroseconds(qint64 microseconds);
