#ifndef DATABASESNAPSHOT_H
#define DATABASESNAPSHOT_H

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class QSqlDatabase;

// A private copy of an SQLite database, with its write-ahead log or rollback journal, in
// a temporary directory, for the checks that only read it. SQLite writes beside a
// database even on a read-only connection: the "-shm" index of a WAL database takes the
// reader's marks, and a check that promises to change nothing must not touch it. The
// copy is opened instead; it shows what the database holds as committed, the journal
// applied or rolled back as SQLite would do it. The files are stamped (size and change
// time) before and after the copy; a database that changed meanwhile is copied again.
class DatabaseSnapshot
{
public:
    enum class State {
        Taken,   // filePath() is the copy
        Missing, // there is no such file
        Failed   // it could not be copied, or kept changing (errorString())
    };
    enum class Health {
        Sound,   // PRAGMA quick_check said "ok"
        Damaged, // SQLite found the file damaged, or it is no database at all (problems())
        Unknown  // the check could not be made (errorString())
    };

    explicit DatabaseSnapshot(const QString &databasePath);
    ~DatabaseSnapshot();
    DatabaseSnapshot(const DatabaseSnapshot &) = delete;
    DatabaseSnapshot &operator=(const DatabaseSnapshot &) = delete;

    State state() const { return m_state; }
    QString filePath() const;
    QString errorString() const { return m_error; }

    // PRAGMA quick_check on the copy; its first lines (at most maxLines) in problems().
    Health quickCheck(int maxLines = 3);
    QStringList problems() const { return m_problems; }

    // PRAGMA quick_check on an open connection (the updater's own, while it holds the
    // database, needs no copy): its first lines in *problems, why it could not be made
    // in *error.
    static Health quickCheckOn(QSqlDatabase &db, int maxLines, QStringList *problems, QString *error);

    // The suffixes of the files SQLite keeps beside a database that hold its content.
    static QStringList journalSuffixes();

private:
    bool copyOnce();

    QString m_path;
    QTemporaryDir m_dir;
    State m_state = State::Failed;
    QString m_error;
    QStringList m_problems;
};

#endif // DATABASESNAPSHOT_H
