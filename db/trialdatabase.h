#ifndef TRIALDATABASE_H
#define TRIALDATABASE_H

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QStringList>

#include <memory>

class DatabaseSnapshot;

// A private in-memory copy of the installation's database for the dry run: the update
// scripts of a package are run against it one version step after the other, the way
// the update would run them, and nothing reaches the installed file.
//
// The installed file is never opened itself: a DatabaseSnapshot of it (the file and its
// journal copied to a temporary directory; SQLite writes the "-shm" of a WAL database even
// for a reader) is attached while it is copied: tables with their rows, then indexes, views and triggers, the AUTOINCREMENT
// counters and the user version. A database that does not exist gives an empty copy,
// just as the update would start from an empty database there.
class TrialDatabase
{
public:
    enum class State {
        Copied,          // a full copy of the installed database
        NoInstalledFile, // an empty database, as the update would create one
        CopyFailed,      // readable, but not every object could be copied (errorString());
                         // the snapshot stays attached read-only for the column test
        Unreadable,      // not a database, or not readable (errorString())
    };

    explicit TrialDatabase(const QString &installedPath);
    ~TrialDatabase();
    TrialDatabase(const TrialDatabase &) = delete;
    TrialDatabase &operator=(const TrialDatabase &) = delete;

    State state() const { return m_state; }
    // Whether scripts can be tried: Copied or NoInstalledFile.
    bool canRun() const;
    QString errorString() const { return m_error; }

    // The column test of the update scripts' IFN_COL directive, as DBControl makes it:
    // 1 when the table's CREATE statement mentions the column (ASCII case ignored), 0
    // when not (or no such table), -1 when the query fails. Asks the copy, or the
    // installed file when the copy failed.
    int isColumnExists(const QString &table, const QString &column);

    // Runs the statements in one transaction, committed to the copy when all succeed.
    // On a failure the copy is rolled back, and failedIndex (-1 for the transaction
    // itself) and error describe the first statement that failed.
    bool run(const QStringList &statements, int *failedIndex, QString *error);

    // The same one statement at a time, as a script is read: begin(), then
    // execStatement() for each statement while it succeeds, then finish(), which commits when every
    // statement ran (ok) and rolls back otherwise. Each false gives the reason in error.
    bool begin(QString *error);
    bool execStatement(const QString &statement, QString *error);
    bool finish(bool ok, QString *error);

private:
    State copyInstalled(const QString &installedPath);
    bool copyObjects();
    bool exec(const QString &sql);

    std::unique_ptr<DatabaseSnapshot> m_snapshot;
    std::unique_ptr<QSqlQuery> m_query; // between begin() and finish()
    QString m_connectionName;
    QSqlDatabase m_db;
    State m_state = State::Unreadable;
    QString m_masterTable = QStringLiteral("SQLITE_MASTER");
    QString m_error;
};

#endif // TRIALDATABASE_H
