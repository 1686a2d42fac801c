#ifndef FILEHOLDERS_H
#define FILEHOLDERS_H

#include <QList>
#include <QString>
#include <QStringList>

// Which other processes hold files open: the application beside the updater, with its
// database or a program file of the installation. An idle SQLite connection holds no
// lock (rollback journal) or only a shared one in the "-shm" file (WAL), so asking for
// SQLite's lock alone misses it; the processes' open files do not.
// Linux: every process's open files (/proc/<pid>/fd), its program and mapped libraries
// (/proc/<pid>/exe, /proc/<pid>/maps) and the file locks (/proc/locks, which also names
// processes of other users whose files cannot be read). Windows: a file that cannot be
// opened without sharing is held; the Restart Manager names who holds it.
class FileHolders
{
public:
    struct Holder
    {
        // 0 when the system does not say (a lock without its owner, Wine's Restart Manager).
        qint64 pid = 0;
        // The program's name; empty when not known.
        QString name;
        // The files asked about that it holds, in the order asked.
        QStringList files;
    };

    // Every other process that holds one of paths open, ordered by process id; this
    // process is left out. Paths that do not exist are held by no one.
    static QList<Holder> find(const QStringList &paths);

private:
    FileHolders() = delete;
};

#endif // FILEHOLDERS_H
