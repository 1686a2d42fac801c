#ifndef DATABASEFILES_H
#define DATABASEFILES_H

#include "db/databaselock.h"

#include <QString>
#include <QStringList>

// The database's files while a restore puts "kqdata.db" back from the backup.
//
// takeOver() closes the updater's own connection and takes SQLite's exclusive lock on
// the database without waiting, so a restore never replaces a database, or moves a
// journal, that another process (the running application) holds: it fails instead,
// saying so. Holding the lock, it sets the journals of an interrupted step of our own
// aside ("-journal", "-wal", "-shm" renamed to "<name>.restoring"): SQLite would roll
// such a hot journal into the backup's database at the next opening, mixing pages of
// two versions. On Windows the lock is given back once the journals are aside, since
// no file that is open can be replaced there; elsewhere it is kept until the end.
//
// When the object goes, the lock is released and the journals set aside are dealt
// with by what happened to the database file: replaced, they belonged to a database
// that is gone and are removed; not replaced (the restore stopped before it, or the
// backup holds no database), they are put back, and SQLite rolls them back into the
// database they belong to, as before the restore. Journals that a killed restore left
// set aside are taken over by the next one, unless the database already is the
// backup's: then they belong to a database that is gone, and are removed.
//
// A database that another program has worked in since the updater's own last write
// (its identity is not the one set with setKnownIdentity()) is never replaced unkept:
// holding the lock, takeOver() first copies it, with its "-wal" and "-journal", to
// "kqdata.db.kept-<yyyyMMdd-hhmmss>" beside it (keptPath()). The copies are made under
// a ".partial" name, flushed, then renamed, the database last, so that a kill leaves
// either no kept database or a whole one; what a killed keep left half-made is removed
// by the next one.
class DatabaseFiles
{
public:
    // backupPath: the backup's copy of the database, which the restore puts in place.
    DatabaseFiles(const QString &databasePath, const QString &backupPath);
    ~DatabaseFiles();
    DatabaseFiles(const DatabaseFiles &) = delete;
    DatabaseFiles &operator=(const DatabaseFiles &) = delete;

    // The identity (DatabaseIdentity) the updater recorded after its own last write to
    // the database; empty when none was recorded: then a database whose content is not
    // the backup's is kept. Set before takeOver().
    void setKnownIdentity(const QString &identity) { m_knownIdentity = identity; }

    // False, with errorString(), when another process holds the database, a changed
    // database cannot be kept, or a journal cannot be set aside; nothing is changed then
    // (but for a kept copy).
    bool takeOver();
    // The copy takeOver() kept of a database someone else changed; empty when none.
    QString keptPath() const { return m_keptPath; }
    // The database's identity as takeOver() found it, before anything was set aside.
    QString foundIdentity() const { return m_foundIdentity; }
    // The name a kept database gets: "kqdata.db.kept-" and the time.
    static QString keptPrefix(const QString &databaseName);
    QString errorString() const { return m_errorString; }

    // The restore is complete: releases the database and opens the updater's
    // connection again (DBControl::reopenDB(), which creates no database).
    void complete();

private:
    struct Identity
    {
        bool exists = false;
        qint64 inode = 0;
        qint64 size = 0;
        qint64 modifiedNs = 0;
        bool operator==(const Identity &other) const;
    };
    static Identity identityOf(const QString &path);
    static bool sameContent(const QString &path, const QString &otherPath);

    bool mustKeep() const;
    bool keep();
    bool lock();
    void unlock();
    void release();

    QString m_path;
    QString m_backupPath;
    Identity m_database;
    QStringList m_setAside; // the journals' own names
    QString m_knownIdentity;
    QString m_foundIdentity;
    QString m_keptPath;
    DatabaseLock m_lock;
    bool m_released = true;
    QString m_errorString;
};

#endif // DATABASEFILES_H
