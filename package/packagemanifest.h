#ifndef PACKAGEMANIFEST_H
#define PACKAGEMANIFEST_H

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>

// The list of every file of an update package with its size and SHA-256, kept as
// "package.manifest" in the package directory and signed by "package.manifest.sig".
//
// The text is UTF-8 with line feeds (no carriage returns), first a header line, then one
// line per file, sorted by the path's UTF-8 bytes:
//
//     corvane-manifest 1
//     <sha-256, 64 lower-case hex digits> <size in bytes, decimal> <path>
//
// A path is relative to the package directory, "/" between its parts; no part is empty,
// ".", "..", or ends in a dot or a space (Windows drops those, so two names would be one
// file), and no path holds "\", ":" or a control character or repeats another path in a
// different letter case. The manifest itself, its signature and the updater's "log/"
// directory are never listed. The parser takes nothing else: any other line, a second
// entry for a path, more than kMaxEntries entries, a size above kMaxFileSize or a text
// above kMaxTextBytes is malformed.
class PackageManifest
{
public:
    static const char kFileName[];      // "package.manifest"
    static const char kSignatureName[]; // "package.manifest.sig"
    static const char kHeader[];        // "corvane-manifest 1"
    static constexpr int kMaxEntries = 200000;
    static constexpr int kMaxPathBytes = 1024;
    static constexpr qint64 kMaxFileSize = qint64(1) << 36;
    static constexpr qint64 kMaxTextBytes = qint64(64) << 20;

    struct Entry
    {
        QString path;
        qint64 size = 0;
        QByteArray sha256; // 32 bytes
    };

    // A package's files as they lie on disk: regular files by path with their sizes,
    // and entries a manifest cannot name (links, devices, names it does not allow).
    struct Listing
    {
        struct Irregular
        {
            QString path;
            QString why;
        };
        QMap<QString, qint64> files;
        QList<Irregular> irregular;
    };

    bool parse(const QByteArray &text);
    // Reads at most kMaxTextBytes (a longer file is malformed) and parses it.
    bool read(const QString &filePath);
    QByteArray toText() const;

    // Lists and hashes every file of the package directory. False when a file cannot be
    // read or the package holds an entry a manifest cannot name. progress gets the
    // bytes hashed so far and the total.
    bool scan(const QString &packageDir, const std::function<void(qint64, qint64)> &progress = {});

    static bool listPackage(const QString &packageDir, Listing *listing, QString *error);
    // True when the path may stand in a manifest; otherwise why names the rule.
    static bool isAllowedPath(const QString &path, QString *why = nullptr);
    // The manifest, its signature and the updater's log are not part of the package.
    static bool isExcluded(const QString &relativePath);

    const QVector<Entry> &entries() const { return m_entries; }
    qint64 totalSize() const;
    QString errorString() const { return m_error; }

private:
    bool fail(const QString &error);

    QVector<Entry> m_entries;
    QString m_error;
};

#endif // PACKAGEMANIFEST_H
