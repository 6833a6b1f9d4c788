// The items of the window's card tree: a recording directory, and a file or the log.
#pragma once

#include "filesystem.h"

#include <QTreeWidgetItem>

// A recording directory at the top level; its children are FileItems.
class DirectoryItem : public QTreeWidgetItem
{
public:
    static constexpr int Type = QTreeWidgetItem::UserType + 1;

    explicit DirectoryItem(const EntryInfo &listed);
    ~DirectoryItem() override;

    EntryInfo entry;
};

// A file inside a directory, or the log at the top level.
class FileItem : public QTreeWidgetItem
{
public:
    static constexpr int Type = QTreeWidgetItem::UserType + 2;

    explicit FileItem(const EntryInfo &listed);
    ~FileItem() override;

    EntryInfo entry;
    QString path; // card path: "/DIRECTORY/FILE", or "/log"
};
