#ifndef FILECOPIER_H
#define FILECOPIER_H

#include <QString>

#include <memory>

class DirHandle;

// Copies one file's bytes into a new file, for the tree copies of backup, restore
// and the update steps.
//
// Unlike QFile::copy() on Unix, it neither goes through a temporary file nor flushes
// each file to disk: a tree of thousands of files would pay one disk flush per file.
// Durability is the caller's business, once for the whole tree, before anything
// (such as the update flag) vouches for the copy; see DiskSync.
class FileCopier
{
public:
    FileCopier();
    ~FileCopier();
    FileCopier(const FileCopier &) = delete;
    FileCopier &operator=(const FileCopier &) = delete;

    // Copies the content of source (a link is followed) into a file created at target,
    // with the source's read, write and execute permissions. Fails when anything
    // already exists at target, a dangling link included ("Destination file exists"),
    // and when source is not a regular file. A copy that fails half-way removes the
    // file it created.
    bool copy(const QString &source, const QString &target);
    // The same for the entry sourceName of sourceDir and targetName of targetDir, at any
    // depth: neither path is ever handed to the system whole.
    bool copy(const DirHandle &sourceDir, const QString &sourceName, const DirHandle &targetDir,
              const QString &targetName);

    // Whether target is a regular file (not a link) with the same bytes as source:
    // sizes first, then the content. False when either cannot be read.
    bool sameContent(const QString &source, const QString &target);
    bool sameContent(const DirHandle &sourceDir, const QString &sourceName, const DirHandle &targetDir,
                     const QString &targetName);

    // Whether a copy may share the source's data on disk (the default): copy_file_range
    // clones on file systems with shared extents (XFS, Btrfs), which costs no data
    // written; a change to either file then gets blocks of its own. False for a file
    // that is written in place (the database): its copy is a real one, so the two never
    // depend on the same blocks.
    void setShareData(bool share) { m_shareData = share; }

    // Why the last copy failed, for the log; empty after a success.
    QString errorString() const;

    // Removes the file or link at path (not what a link points to) so that a copy can
    // take its place. True when nothing is at path any more; a directory stays, and
    // false. Asks the file system once instead of looking first (on Windows it looks,
    // and clears a read-only attribute, which would keep the file).
    static bool removeTarget(const QString &path);
    static bool removeTarget(const DirHandle &dir, const QString &name);

private:
    bool fail(const QString &reason);
#ifndef Q_OS_WIN
    bool copyAt(int sourceDir, const QByteArray &sourceName, int targetDir, const QByteArray &targetName,
                const QString &source, const QString &target);
    bool sameContentAt(int sourceDir, const QByteArray &sourceName, int targetDir, const QByteArray &targetName);
#endif

    QString m_errorString;
    bool m_shareData = true;
    std::unique_ptr<char[]> m_buffer; // the read/write fallback's, made on first need
    std::unique_ptr<char[]> m_compareBuffer; // sameContent()'s two halves, made on first need
};

#endif // FILECOPIER_H
