// SHA-256 through OpenSSL's EVP interface, which uses the processor's SHA instructions
// where it has them (several times faster than a portable implementation).
#pragma once

#include "copysink.h"
#include "status.h"

#include <QByteArray>
#include <QHash>
#include <QString>

struct evp_md_ctx_st;

class Sha256
{
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;

    // Starts a new digest, forgetting what was added.
    void reset();
    void addData(const char *data, qint64 length);
    // The digest of everything added since reset(), as 64 lowercase hex digits; ends it
    // (call reset() before adding again).
    QByteArray hexResult();

    // The digest of `data` in one call.
    static QByteArray hexDigest(const char *data, qint64 length);

private:
    evp_md_ctx_st *m_context;
};

// Gives back what OpenSSL keeps for the calling thread (it sets it up on first use and
// frees it when the thread ends): for a thread of a pool, which lives on after the work
// that hashed. Hashing again later sets it up anew.
void releaseHashingState();

// The SHA-256 of the file at `path` as 64 lowercase hex digits in *hexDigest; when it
// cannot be read, a failure naming the file and the system's reason, and *hexDigest empty.
Status sha256OfFile(const QString &path, QByteArray *hexDigest);

// The hash of a copy in the same pass: every byte of every chunk, which is what the
// destination file receives (unreadable sectors as the zeros the chunk carries).
class HashSink : public CopySink
{
public:
    Status begin(const CopySource &source) override;
    Status consume(const SectorChunk &chunk) override;
    Status finish(CopyEnd end) override;

    // The digest of the last file that ended Complete or Incomplete; empty otherwise.
    QByteArray hexDigest() const { return m_digest; }
    // The digest of every file that ended Complete or Incomplete, by card path (the
    // last one of a path read twice): read after a run whose hashing lagged behind.
    QByteArray hexDigestOf(const QString &cardPath) const { return m_digests.value(cardPath); }

private:
    Sha256 m_hash;
    QString m_cardPath; // of the file being hashed
    QByteArray m_digest;
    QHash<QString, QByteArray> m_digests;
};
