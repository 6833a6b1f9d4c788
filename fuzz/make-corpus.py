#!/usr/bin/env python3
# Writes the seed corpus of fuzz_card: small valid cards and a few with one thing wrong,
# in the input layout described at the top of fuzz_card.cpp.
import os
import struct

here = os.path.dirname(os.path.abspath(__file__))
corpus = os.path.join(here, "corpus")


def header(table_sector, length=0, flags=0, magic=0):
    return struct.pack("<BIII", flags, magic, table_sector, length)


def directory(slot, start, occupancy=1):
    return struct.pack("<BBII", 0, slot, start, occupancy)


def record(dir_slot, rec_slot, start, first, last, flags=0):
    if first < 0x10000 and last < 0x10000:
        return struct.pack("<BBBIHHI", 2, dir_slot, rec_slot, start, first, last, flags)
    return struct.pack("<BBBIIII", 1, dir_slot, rec_slot, start, first, last, flags)


def unreadable(first_sector, count):
    return struct.pack("<BIB", 4, first_sector, count)


def raw(offset, data):
    return struct.pack("<BIB", 3, offset, len(data)) + data


LOG = 4194304
END_OF_LOG = LOG + 4097 * 512
T = 1000000000  # 2011-09-14 01:46:40
DATA_END = 3400 * 512  # beyond every file of the small cards

seeds = {
    # One directory with one file of ten sectors, no log area on the card.
    "minimal": header(32, DATA_END) + directory(1, T) + record(1, 0, T, 3000, 3009, 1)
    + raw(3000 * 512, b"sector 3000 "),
    # Three directories of a few files each, and a card long enough for the whole log.
    "three-directories": header(32, END_OF_LOG)
    + directory(1, T) + directory(2, T + 3600) + directory(3, T + 7200)
    + record(1, 0, T, 3000, 3003) + record(1, 1, T + 60, 3004, 3004, 1)
    + record(2, 0, T + 3600, 3100, 3107) + record(2, 5, T + 3660, 3200, 3201)
    + record(3, 127, T + 7200, 3300, 3340, 1)
    + raw(LOG, b"log line\n") + raw(END_OF_LOG - 16, b"end of the log.\n"),
    # Two recordings that began in the same minute share a name.
    "same-minute": header(32, DATA_END) + directory(1, T) + directory(2, T + 30)
    + record(1, 0, T, 3000, 3001) + record(2, 0, T + 35, 3010, 3011),
    # Last sector below the first: an empty file.
    "last-below-first": header(32, DATA_END) + directory(1, T) + record(1, 0, T, 3000, 2999),
    # A record that claims far more sectors than the card has.
    "huge-record": header(32, DATA_END) + directory(1, T) + record(1, 0, T, 100, 0x7FFFFFF0),
    # The card ends inside a file, and inside the log area.
    "ends-in-file": header(32, 3005 * 512 + 100) + directory(1, T) + record(1, 0, T, 3000, 3009),
    "ends-in-log": header(32, LOG + 1000 * 512 + 7) + directory(1, T) + record(1, 0, T, 3000, 3009),
    # The card ends inside the table, and inside a directory block.
    "ends-in-table": header(32, 32 * 512 + 1000) + directory(1, T),
    "ends-in-block": header(32, (32 + 8) * 512 + 2000) + directory(1, T) + record(1, 0, T, 3000, 3001),
    # The table placed far beyond the end of the card.
    "table-beyond": header(0xFFFFFFF8, 0, flags=2) + directory(1, T),
    # A worn card: sectors of a file, of the table and of the log cannot be read.
    "worn": header(32, END_OF_LOG) + directory(1, T) + directory(2, T + 3600)
    + record(1, 0, T, 3000, 3009) + record(2, 0, T + 3600, 3100, 3199)
    + unreadable(3003, 2) + unreadable(3150, 1) + unreadable(8192 + 100, 3),
    # Not a card volume.
    "no-magic": header(32, 0, flags=1, magic=0x12345678) + directory(1, T),
    # Every slot of the table occupied, their blocks empty but one.
    "full-table": header(32, DATA_END) + b"".join(directory(i, T + 120 * i) for i in range(1, 256))
    + record(255, 0, T + 120 * 255, 3000, 3000),
}

os.makedirs(corpus, exist_ok=True)
for name, data in seeds.items():
    with open(os.path.join(corpus, name), "wb") as f:
        f.write(data)
