#ifndef DISKSYNC_H
#define DISKSYNC_H

#include <QString>
#include <QStringList>

// Puts what was written on disk at the moments when something starts to vouch for
// it: before the update flag says "the backup is complete" (false) or "the
// installation is whole again" (true). The copies themselves do not flush each file
// (see FileCopier); one flush of each file system involved, here, does the job of
// thousands of per-file flushes, and covers the directory entries too. On Windows,
// where a whole volume cannot always be flushed, the copies note each file they
// write, and the flush goes through those files.
class DiskSync
{
public:
    // Flushes every file system that holds a part of the trees below dirPaths: their
    // own, and those of directories mounted or linked into them, each once (on Windows:
    // every noted file below them). False, with a warning, when a tree cannot be read
    // or a file system (a file) reports that data did not reach the disk.
    static bool flushTrees(const QStringList &dirPaths);
    static bool flushTree(const QString &dirPath) { return flushTrees(QStringList{dirPath}); }

    // A file written without a flush of its own, to be flushed by the next flushTrees()
    // of a tree that holds it (on Windows; elsewhere whole file systems are flushed).
    static void noteWritten(const QString &filePath);

private:
    DiskSync() = delete;
};

#endif // DISKSYNC_H
