#include "treeitems.h"

DirectoryItem::DirectoryItem(const EntryInfo &listed)
    : QTreeWidgetItem(Type)
    , entry(listed)
{
}

DirectoryItem::~DirectoryItem() = default;

FileItem::FileItem(const EntryInfo &listed)
    : QTreeWidgetItem(Type)
    , entry(listed)
{
}

FileItem::~FileItem() = default;
