// What the two systems share: the temporary name a file is written under, and the
// handles' ownership (an open folder's, an open file's); closing them is each system's own.
#include "platform.h"

#include <QRandomGenerator>

QString temporaryFileName(const QString &name)
{
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    QString tag;
    for (int i = 0; i < 6; ++i)
        tag += QLatin1Char(letters[QRandomGenerator::global()->bounded(int(sizeof letters - 1))]);
    return QStringLiteral(".%1.%2.part").arg(name, tag);
}

OpenFile::~OpenFile()
{
    close();
}

OpenFile::OpenFile(OpenFile &&other) noexcept
    : m_handle(other.m_handle), m_path(std::move(other.m_path)), m_position(other.m_position), m_unbuffered(other.m_unbuffered.load())
{
    other.m_handle = Closed;
}

OpenFile &OpenFile::operator=(OpenFile &&other) noexcept
{
    if (this != &other) {
        close();
        m_handle = other.m_handle;
        m_path = std::move(other.m_path);
        m_position = other.m_position;
        m_unbuffered = other.m_unbuffered.load();
        other.m_handle = Closed;
    }
    return *this;
}

qint64 OpenFile::read(char *into, qint64 length, Status *status)
{
    const qint64 got = readAt(into, length, m_position, status);
    if (got > 0)
        m_position += got;
    return got;
}

FolderHandle::~FolderHandle()
{
    close();
}

FolderHandle::FolderHandle(FolderHandle &&other) noexcept
    : m_handle(other.m_handle), m_path(other.m_path)
{
    other.m_handle = Closed;
}

FolderHandle &FolderHandle::operator=(FolderHandle &&other) noexcept
{
    if (this != &other) {
        close();
        m_handle = other.m_handle;
        m_path = other.m_path;
        other.m_handle = Closed;
    }
    return *this;
}
