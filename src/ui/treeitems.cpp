#include "treeitems.h"

DirectoryItem::DirectoryItem(const EntryInfo &entry)
    : QTreeWidgetItem(Type)
    , entry(entry)
{
}

DirectoryItem::~DirectoryItem() = default;

FileItem::FileItem(const EntryInfo &entry)
    : QTreeWidgetItem(Type)
    , entry(entry)
{
}

FileItem::~FileItem() = default;
