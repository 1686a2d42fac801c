#ifndef DIRHANDLE_H
#define DIRHANDLE_H

#include <QByteArray>
#include <QString>

#include <vector>
#ifdef Q_OS_WIN
#include <string>
#endif

// An open directory, and the operations on the entries it holds by their names alone.
//
// A tree walk that hands whole paths to the system stops where the path grows longer
// than the system takes (PATH_MAX, 4096 bytes on Linux): an installation may hold a
// file far deeper than that, and a backup that cannot reach it is no backup. On Unix
// each level is opened relative to the one above (openat), so no call ever sees more
// than one name. On Windows, where a handle cannot name a child, the directory is held
// as its extended-length path ("\\?\C:\..."), which the system takes up to 32 767
// characters long (the programs' manifest declares them longPathAware).
class DirHandle
{
public:
    enum class Kind { None, File, Dir, Link, Other };
    struct Status
    {
        Kind kind = Kind::None;
        qint64 size = -1;
        qint64 changed = -1; // change time, nanoseconds since 1970 (ChangeStamp); -1 unknown
    };
    struct Listed
    {
        QString name;
        QByteArray rawName; // as the file system holds it; Unix only
        bool decodable = true; // false: rawName is not valid in the file name encoding
        bool hidden = false;
        bool maybeDir = true; // false: the listing itself says it is neither a directory nor a link
    };

    DirHandle() = default;
    ~DirHandle();
    DirHandle(DirHandle &&other) noexcept;
    DirHandle &operator=(DirHandle &&other) noexcept;
    DirHandle(const DirHandle &) = delete;
    DirHandle &operator=(const DirHandle &) = delete;

    // The directory at path, a link to one followed.
    static DirHandle open(const QString &path);
    // The directory name in this one; followLink false: a link there is not entered.
    DirHandle openChild(const QString &name, bool followLink = true) const;

    bool isOpen() const;
    // Why the last open failed (errno, or the Windows error), 0 after a success.
    int error() const { return m_error; }
    // Whether the last open failed because nothing is there.
    bool isMissing() const;
    // The directory's path as it was reached, for messages (any length).
    QString path() const { return m_path; }
    QString pathOf(const QString &name) const { return m_path + QLatin1Char('/') + name; }
    // What identifies the directory itself, whichever way it was reached (device and
    // inode on Unix, the canonical path on Windows): what a loop through a link meets again.
    QString identity() const;
    // Whether this directory, however it was reached (through links), lies inside root
    // or is root itself.
    bool isInside(const DirHandle &root) const;

    // The entry name; followLink true: what a link leads to (None for a dangling one).
    Status status(const QString &name, bool followLink) const;
    // Every entry but "." and "..", unsorted. False (errno set) when it cannot be read.
    bool list(std::vector<Listed> *entries) const;

    bool makeDir(const QString &name) const;
    // Removes the file or link name (never what a link points to). True when nothing is
    // there any more; a directory stays (false).
    bool removeFile(const QString &name) const;
    // Removes the directory name with all it holds, links as links; at any depth.
    bool removeTree(const QString &name) const;
    bool readLink(const QString &name, QByteArray *text) const;
    bool makeLink(const QByteArray &text, const QString &name) const;

#ifdef Q_OS_WIN
    // The extended-length form of the entry name, for the wide Windows calls.
    std::wstring nativePath(const QString &name) const;
#else
    int fd() const { return m_fd; }
    // The text of the link rawName in the directory dirFd (AT_FDCWD: the current one).
    static bool readLinkAt(int dirFd, const QByteArray &rawName, QByteArray *text);
    // The name as the file system takes it.
    static QByteArray encodeName(const QString &name);
#endif

    // The extended-length form of an absolute or relative path on Windows ("\\?\C:\a",
    // "\\?\UNC\server\share\a"); the path as it is elsewhere.
    static QString extendedPath(const QString &path);

private:
#ifndef Q_OS_WIN
    int m_fd = -1;
#endif
    bool m_open = false;
    int m_error = 0;
    QString m_path;
};

#endif // DIRHANDLE_H
