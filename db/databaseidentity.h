#ifndef DATABASEIDENTITY_H
#define DATABASEIDENTITY_H

#include <QString>

// What tells one state of an SQLite database on disk from another, as one line of text
// for the update flag file: the file's size and change time, SQLite's file change
// counter (header offset 24, bumped by every commit in rollback mode) and a hash of the
// write-ahead log's content (where commits go in WAL mode). Taken after the updater's
// own last write, it lets a later restore see that another program has worked in the
// database since, and keep that database instead of replacing it.
class DatabaseIdentity
{
public:
    // "missing" when there is no database; empty when it cannot be read.
    static QString of(const QString &databasePath);
    // Whether the database's write-ahead log holds anything (a log SQLite emptied or
    // removed does not).
    static bool hasLog(const QString &databasePath);

private:
    DatabaseIdentity() = delete;
};

#endif // DATABASEIDENTITY_H
