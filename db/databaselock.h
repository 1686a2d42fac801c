#ifndef DATABASELOCK_H
#define DATABASELOCK_H

#include <QString>

// SQLite's exclusive lock on a database file, taken on a handle of our own without
// waiting: a write lock on SQLite's lock bytes (the pending byte at 1 GiB, the reserved
// byte, the shared range), which no connection of another process gets past: it reads
// and writes nothing, its answer is "database is locked". Given back by unlock() or when
// the object goes.
//
// Elsewhere than on Windows it is an open file description lock: it stays when this
// process opens and closes the file by another descriptor (the backup's copy does), which
// would end a plain fcntl lock. It conflicts with SQLite's own locks of this process too,
// so a connection of ours beside it must not lock (DBControl::hold()). On Windows the lock
// belongs to the handle and conflicts with every other handle's, this process's included.
class DatabaseLock
{
public:
    DatabaseLock() = default;
    ~DatabaseLock();
    DatabaseLock(const DatabaseLock &) = delete;
    DatabaseLock &operator=(const DatabaseLock &) = delete;

    // False, with *errorString, when another process holds a lock on the file (its text then
    // says "is in use by another program") or the file cannot be opened.
    bool lock(const QString &path, QString *errorString);
    void unlock();
    bool isLocked() const;

private:
#ifdef Q_OS_WIN
    void *m_handle = nullptr; // a HANDLE
#else
    int m_fd = -1;
#endif
};

#endif // DATABASELOCK_H
