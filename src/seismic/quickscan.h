// The quick scan of a card file: its records' headers only, from the whole file when it is
// small and from its first and last sectors otherwise, read through the card reader.
#pragma once

#include "cardpicture.h"

#include <QByteArray>
#include <QVector>

#include <functional>

class Filesystem;
struct EntryInfo;

namespace QuickScan {

// Files up to this many sectors are read whole (1 MiB: a few milliseconds even on a slow
// card); of a longer file its first and last sectors only.
constexpr qint64 WholeFileSectors = 2048;
constexpr qint64 HeadSectors = 16;
constexpr qint64 TailSectors = 16;

// The figures of the records in `head` (the file's sectors from its first) and `tail` (its
// last sectors, empty when `head` is the whole file). `whole`: head holds every sector the
// file has; `missingSectors`: sectors of a whole read that could not be read, of which
// `unreadable` (indices in the file) were zero-filled in `head`.
FilePicture summarize(const QString &cardPath, const QByteArray &head, const QByteArray &tail, bool whole,
                      qint64 missingSectors = 0, const QVector<qint64> &unreadable = {});

// The channels' figures of those records, as summarize() draws them, and with `gaps`
// their gaps and overlaps: the same figures a full pass over the same records gives,
// but for what only decoding tells (decoding failures).
QVector<ChannelQuality> channelFigures(const QByteArray &head, const QByteArray &tail, bool whole,
                                       const QVector<qint64> &unreadable = {}, QVector<GapQuality> *gaps = nullptr);

// Reads what the quick scan needs of the listed file `entry` at `cardPath`, and
// summarizes it. `proceed`, when given, is asked before every read; once it answers false
// the scan of the file ends and *interrupted is set (its figures are then incomplete).
FilePicture scanFile(Filesystem &card, const EntryInfo &entry, const QString &cardPath,
                     const std::function<bool()> &proceed = {}, bool *interrupted = nullptr);

} // namespace QuickScan
