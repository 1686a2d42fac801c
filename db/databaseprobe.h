#ifndef DATABASEPROBE_H
#define DATABASEPROBE_H

#include <QString>

// Whether another process (the application) holds an SQLite database: a connection of
// its own tries SQLite's exclusive lock without waiting and gives it back at once. A
// database in use must not be replaced by a restore, nor updated under the application.
class DatabaseProbe
{
public:
    enum class State {
        Free,      // the exclusive lock could be taken: nobody reads or writes it
        InUse,     // another connection holds a lock on it, or (Windows) another
                   // program holds the file open without sharing
        Missing,   // no such file (nothing is created)
        Failed     // it could not be opened or asked (errorString())
    };

    static State probe(const QString &path, QString *errorString = nullptr);

private:
    DatabaseProbe() = delete;
};

#endif // DATABASEPROBE_H
