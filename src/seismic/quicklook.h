// The quick look at one file: every record decoded with libmseed into its channels' traces,
// each with its min/max pyramid, ready to draw at any zoom.
#pragma once

#include "envelope.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <functional>

struct QuickLook
{
    QString cardPath;
    QVector<Trace> traces; // sorted by id
    qint64 start = 0;      // UTC microseconds: first sample of any trace
    qint64 end = 0;        // after the last sample of any trace
    qint64 records = 0;
    qint64 undecodable = 0; // records whose samples libmseed could not decode

    bool isEmpty() const { return traces.isEmpty(); }
};

// Decodes the records in a file's sectors. `cancelled` is asked before every record; once
// it answers true the work stops and the result is false.
bool decodeQuickLook(QByteArray bytes, const std::function<bool()> &cancelled, QuickLook *look);
