#ifndef CHANGESTAMP_H
#define CHANGESTAMP_H

#include <QString>

class DirHandle;

// What the file system records about a file's last change: the status change time
// (ctime; ChangeTime on Windows), which every write, truncation and rename moves on and
// which, unlike the modification time, copies and archives do not carry over. A file
// whose change time lies before a backup began holds what the backup copied from it,
// so a restore need not read it.
class ChangeStamp
{
public:
    // The stamp of the entry at path, a link not followed.
    static ChangeStamp of(const QString &path);
    // The stamp of the entry name of dir, a link not followed; at any depth.
    static ChangeStamp at(const DirHandle &dir, const QString &name);

    // The file system's clock: the change time of a file made in dirPath for the
    // purpose, and removed again. Taken from the file system and not from the system
    // clock, as the file system stamps files with its own (a share's server).
    // -1 when no file can be made there.
    static qint64 now(const QString &dirPath);

    // Whether the file system holding path keeps change times that move on with every
    // write and rename. FAT keeps none; network file systems stamp with another
    // machine's clock and may cache. Unknown file systems count as not keeping them.
    static bool isKeptAt(const QString &path);

    bool isRegularFile() const { return m_regular; }
    qint64 size() const { return m_size; }
    // Nanoseconds since 1970-01-01 UTC; -1 when unknown.
    qint64 changed() const { return m_changed; }

private:
    bool m_regular = false;
    qint64 m_size = -1;
    qint64 m_changed = -1;
};

#endif // CHANGESTAMP_H
