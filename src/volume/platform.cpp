// What the two systems share: the temporary name a file is written under, and the
// handle's ownership; closing it is each system's own.
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
