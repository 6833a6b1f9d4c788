#include "sha256.h"
#include "platform.h"

#include <QFile>

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cerrno>
#include <cstring>

#if defined(Q_OS_UNIX) && !defined(VEXA_PORTABLE_FILES)
#define VEXA_POSIX_FILES
#include <unistd.h>
#endif

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

QByteArray sha256OfFile(const QString &path, QString *error)
{
#ifndef VEXA_POSIX_FILES
    // Where there are no POSIX reads: the system's reason when it left one in errno.
    // A FIFO or a device is refused before it is opened: a read of it could wait forever.
    if (const Status regular = checkRegularFile(path, true); !regular) {
        if (error)
            *error = regular.message;
        return QByteArray();
    }
    QFile file(path);
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    Sha256 hash;
    errno = 0;
    qint64 got = file.open(QIODevice::ReadOnly) ? 0 : -1;
    while (got >= 0 && (got = file.read(buffer.data(), buffer.size())) > 0)
        hash.addData(buffer.constData(), got);
    if (got < 0) {
        if (error)
            *error = QStringLiteral("cannot read %1: %2")
                         .arg(path, errno ? QString::fromLocal8Bit(std::strerror(errno)) : file.errorString());
        return QByteArray();
    }
    return hash.hexResult();
#else
    // Plain reads: QFile would report a failed read as "Unknown error". Only a regular
    // file: a FIFO or a device (a link to /dev/zero) would make the read wait, or never end.
    Status opened;
    const int fd = openRegularFile(path, &opened);
    if (fd < 0) {
        if (error)
            *error = opened.message;
        return QByteArray();
    }
    Sha256 hash;
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    for (;;) {
        const auto got = ::read(fd, buffer.data(), size_t(buffer.size()));
        if (got == 0)
            break;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            if (error)
                *error = QStringLiteral("cannot read %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
            ::close(fd);
            return QByteArray();
        }
        hash.addData(buffer.constData(), got);
    }
    ::close(fd);
    return hash.hexResult();
#endif
}

bool HashSink::begin(const CopySource &source)
{
    m_cardPath = source.cardPath;
    m_digest.clear();
    m_hash.reset();
    return true;
}

bool HashSink::consume(const SectorChunk &chunk)
{
    m_hash.addData(chunk.data, chunk.length);
    return true;
}

bool HashSink::finish(CopyEnd end)
{
    const QByteArray digest = m_hash.hexResult();
    if (end == CopyEnd::Complete || end == CopyEnd::Incomplete) {
        m_digest = digest;
        m_digests.insert(m_cardPath, digest);
    }
    return true;
}
