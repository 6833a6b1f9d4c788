// One copy of a card file: its sectors read once, in large chunks, and each chunk handed
// to every sink in card order. A file of more than one chunk is read on the batch's
// read-ahead thread while the sinks take the chunk before, through a small ring of chunk
// buffers; a file of one chunk is read and consumed on the calling thread.
#pragma once

#include "copysink.h"
#include "stoptoken.h"

#include <QList>
#include <QString>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

class CardDevice;

// How one copy went, for the caller.
struct CopyResult
{
    CopyEnd end = CopyEnd::Failed;
    qint64 bytesCopied = 0;     // bytes handed to the sinks
    qint64 sectorsReplaced = 0; // unreadable sectors handed on as zeros
    bool cardEnded = false;     // the card ended before the file's last sector
    bool cardStopped = false;   // the card stopped answering: the rest of a batch is futile
    QString message;            // why it is not complete; empty when complete
};

// The thread that reads ahead of a copy's sinks, kept for a whole batch: one reader for
// every long file of it rather than a thread started per file. Its owner (the card's
// Filesystem) ends it; the copy it serves stops it through the copy's stop token.
class ReadAhead
{
public:
    ReadAhead() = default;
    // Waits for the copy it serves, then ends the thread.
    ~ReadAhead();
    ReadAhead(const ReadAhead &) = delete;
    ReadAhead &operator=(const ReadAhead &) = delete;

    // Runs `task` on the thread, started at the first call; false, and nothing run, while
    // it serves another copy (the window's quick look beside a download).
    bool start(std::function<void()> task);
    // Waits until the task started has returned.
    void wait();

private:
    void work();

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::function<void()> m_task;
    bool m_busy = false;
    bool m_quit = false;
    std::thread m_thread;
};

class CopyJob
{
public:
    // Chunk of one read (1 MiB): large enough to copy near the speed of the disk.
    static constexpr qint64 ChunkSectors = 2048;
    // Chunk buffers in the ring: the one being read, the one being consumed, and one
    // each way to absorb jitter. Memory stays at four chunks whatever the file's size.
    static constexpr int RingSize = 4;
    // Consecutive unreadable sectors after which the card counts as gone. A worn spot of
    // a flash card spans an erase page, 4 to 16 KiB (8 to 32 sectors); a run of 64 (32 KiB)
    // is more than any such spot, and with each failing read taking up to seconds on a
    // real card, going on would turn a pulled card into hours of zeros.
    static constexpr int StoppedRun = 64;

    using Progress = std::function<void(int current, int total)>;

    CopyJob(CardDevice &device, const CopySource &source, const QList<CopySink *> &sinks);

    // Called with (i, n) after sector i of n was handed to the sinks, and (n, n) once when
    // a copy ends Complete or Incomplete, on the thread that runs the job; n is the
    // sector count clamped to an int. Not at all when the copy failed or was stopped.
    void setProgress(const Progress &progress) { m_progress = progress; }
    // The stop of the job this copy belongs to (a batch, a command), read between chunks
    // and between sectors of a retry. The copy runs on a child of it.
    void setStopToken(const StopToken &token) { m_stop = token.child(); }
    // The batch's reader for files of more than one chunk; without one, or while it
    // serves another copy, such a file is read on a thread of its own.
    void setReadAhead(ReadAhead *reader) { m_readAhead = reader; }
    // Asks the running copy, and this copy only, to stop; safe from any thread.
    void requestStop() { m_stop.requestStop(); }

    // Runs the copy on the calling thread (and, for long files, the read-ahead thread).
    CopyResult run();

private:
    struct Chunk;
    bool stopRequested() const;
    void readChunk(qint64 firstSector, Chunk &chunk, int *failureRun);
    bool consume(const Chunk &chunk, qint64 *emitted, int total, QString *error);

    CardDevice &m_device;
    CopySource m_source;
    QList<CopySink *> m_sinks;
    Progress m_progress;
    StopToken m_stop;
    ReadAhead *m_readAhead = nullptr;
};
