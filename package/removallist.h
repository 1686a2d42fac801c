#ifndef REMOVALLIST_H
#define REMOVALLIST_H

#include "package/pathlisttext.h"

#include <QByteArray>
#include <QString>
#include <QVector>

// The paths a version step removes from the installation, kept as "remove.list" in the
// step's directory of the package (application/<step>/remove.list), beside the step's
// common/, config/ and sql/, so an updater that does not know it never copies it.
//
// The text is UTF-8 with line feeds (no carriage returns), first a header line, then one
// line per path, sorted by the path's UTF-8 bytes:
//
//     corvane-removals 1
//     file <sha-256, 64 lower-case hex digits> <size in bytes, decimal> <path>
//     dir <path>
//
// A file line holds the file as the older release shipped it: the updater removes only a
// file that still has that size and SHA-256. A directory is removed once it is empty.
// Paths are relative to the installation and follow the manifest's rules
// (PackageManifest::isAllowedPath); besides, none names what the updater never removes
// (isRemovablePath): the reserved names, config/, kqdata.db and its journals, and
// hidden entries, which the backup does not hold. No path repeats another, in any letter
// case, or lies below a listed file. Anything else is malformed.
class RemovalList
{
public:
    static const char kFileName[]; // "remove.list"
    static const char kHeader[];   // "corvane-removals 1"
    static constexpr int kMaxEntries = 200000;
    static constexpr qint64 kMaxTextBytes = qint64(64) << 20;

    using Entry = PathListText::Line;

    bool parse(const QByteArray &text);
    // Reads at most kMaxTextBytes (a longer file is malformed) and parses it.
    bool read(const QString &filePath);
    // Sorted as the parser wants it.
    QByteArray toText() const;

    void addFile(const QString &path, qint64 size, const QByteArray &sha256);
    void addDirectory(const QString &path);

    // True when the updater may remove what stands at path; otherwise why names the rule.
    static bool isRemovablePath(const QString &path, QString *why = nullptr);

    const QVector<Entry> &entries() const { return m_entries; }
    bool isEmpty() const { return m_entries.isEmpty(); }
    QString errorString() const { return m_error; }

private:
    bool fail(const QString &error);

    QVector<Entry> m_entries;
    QString m_error;
};

#endif // REMOVALLIST_H
