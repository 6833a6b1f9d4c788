// The card image of the copy benchmarks: one large file right after the directory table,
// every byte of it written by the caller so that one read puts it in the page cache.
#pragma once

#include <QFile>
#include <QStringList>

namespace BenchCard {

constexpr qint64 MiB = 1024 * 1024;

// The image's size from "PROGRAM IMAGE MIB", 1 to `maxMebibytes`; 0 after the usage
// line on stderr.
qint64 mebibytes(const QStringList &arguments, qint64 maxMebibytes, const char *program);

// The GPS time the card's one directory and file start at.
quint32 fileStart();

// Opens `image` for writing and writes the volume header, the directory table and the
// block of a card whose one file holds `length` bytes (whole sectors), leaving the file
// positioned at the file's first byte. Returns that byte's offset, or -1 when the image can't be written.
qint64 writeHead(QFile &image, qint64 length);

// Reports a failed write of `image` with its reason and returns the exit status, 1.
int fail(const QFile &image, const char *program);

} // namespace BenchCard
