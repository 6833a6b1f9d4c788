// The checksum manifest of an output folder: "manifest-sha256.txt" in its root, one line
// per file, "HASH  RELATIVE/PATH", the format that `sha256sum -c` checks.
#pragma once

#include "status.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

class Manifest
{
public:
    static QString fileName() { return QStringLiteral("manifest-sha256.txt"); }

    // A manifest of the folder `root`; nothing is read or written until load() or save().
    explicit Manifest(const QString &root);

    QString root() const { return m_root; }
    QString path() const;

    // Records the digest (64 lowercase hex digits) of the file at `relativePath` (below
    // the root, "/"-separated), replacing an earlier one of that path. A failure for a
    // path that is absolute, leaves the root, or holds a carriage return, which
    // `sha256sum -c` would misread.
    Status setDigest(const QString &relativePath, const QByteArray &hexDigest);
    // Hashes the file at `relativePath` now and records it; a failure when it cannot be read.
    Status addFile(const QString &relativePath);
    // addFile() of each, in order, up to the first failure, which it returns.
    Status addFiles(const QStringList &relativePaths);
    const QMap<QString, QByteArray> &digests() const { return m_digests; }

    // Reads the manifest in the root, if there is one, into digests() (lines set in this
    // run win over those read). A failure when it exists but cannot be read, or when a
    // line is not a checksum line (the message names the line); the lines read are kept.
    Status load();
    // Merges what is recorded into the manifest on disk: lines of the paths set here are
    // replaced, the others kept, all sorted by path; written beside it under a temporary
    // name and renamed into place; nothing is written when nothing was recorded. A failure
    // saying why when that failed; the earlier manifest is then untouched.
    Status save();

    // One line as `sha256sum` writes it, escaped when the name holds "\" or a newline.
    static QByteArray formatLine(const QString &relativePath, const QByteArray &hexDigest);
    // Parses one line (without its newline) as `sha256sum -c` does; false when it is not
    // a checksum line.
    static bool parseLine(const QByteArray &line, QString *relativePath, QByteArray *hexDigest);

private:
    Status read(QMap<QString, QByteArray> *into);

    QString m_root;
    QMap<QString, QByteArray> m_digests; // what save() writes; sorted by path
    QMap<QString, QByteArray> m_set;     // set in this run: win over the file's lines
};

// One line of a manifest checked against the folder, as `sha256sum -c` reports it.
struct ManifestCheck
{
    enum Outcome {
        Ok,
        Failed,  // the digest differs, or the file cannot be read (reason says why)
        Missing, // no such file
    };
    QString path;
    Outcome outcome = Failed;
    QString reason; // empty for Ok and for a digest that differs
};

// Checks every line of FOLDER/manifest-sha256.txt, in the order of the file, into
// *checks. False when the manifest is missing, unreadable, not a regular file (a FIFO is
// never waited on) or without entries, or holds a line that is not a
// checksum line or names a path outside the folder (*problems says which; the other lines
// are still checked).
bool checkManifest(const QString &folder, QList<ManifestCheck> *checks, QStringList *problems);
