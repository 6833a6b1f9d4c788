#include "sha256.h"
#include "platform.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>


namespace {

QByteArray toHex(const unsigned char *digest, unsigned int length)
{
    return QByteArray(reinterpret_cast<const char *>(digest), int(length)).toHex();
}

} // namespace

Sha256::Sha256()
    : m_context(EVP_MD_CTX_new())
{
    reset();
}

Sha256::~Sha256()
{
    EVP_MD_CTX_free(m_context);
}

void Sha256::reset()
{
    EVP_DigestInit_ex(m_context, EVP_sha256(), nullptr);
}

void Sha256::addData(const char *data, qint64 length)
{
    if (length > 0)
        EVP_DigestUpdate(m_context, data, size_t(length));
}

QByteArray Sha256::hexResult()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(m_context, digest, &length);
    return toHex(digest, length);
}

QByteArray Sha256::hexDigest(const char *data, qint64 length)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    EVP_Digest(data, size_t(qMax<qint64>(length, 0)), digest, &digestLength, EVP_sha256(), nullptr);
    return toHex(digest, digestLength);
}

void releaseHashingState()
{
    OPENSSL_thread_stop();
}

Status sha256OfFile(const QString &path, QByteArray *hexDigest)
{
    hexDigest->clear();
    // Only a regular file: a FIFO or a device (a link to /dev/zero) would make the read
    // wait, or never end.
    OpenFile file;
    Status status = file.openForReading(path);
    if (!status)
        return status;
    Sha256 hash;
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    qint64 got = 0;
    while ((got = file.read(buffer.data(), buffer.size(), &status)) > 0)
        hash.addData(buffer.constData(), got);
    if (got < 0)
        return status;
    *hexDigest = hash.hexResult();
    return Status();
}

Status HashSink::begin(const CopySource &source)
{
    m_cardPath = source.cardPath;
    m_digest.clear();
    m_hash.reset();
    return Status();
}

Status HashSink::consume(const SectorChunk &chunk)
{
    m_hash.addData(chunk.data, chunk.length);
    return Status();
}

Status HashSink::finish(CopyEnd end)
{
    const QByteArray digest = m_hash.hexResult();
    if (end == CopyEnd::Complete || end == CopyEnd::Incomplete) {
        m_digest = digest;
        m_digests.insert(m_cardPath, digest);
    }
    return Status();
}
