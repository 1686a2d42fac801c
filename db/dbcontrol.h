#ifndef DBCONTROL_H
#define DBCONTROL_H

#include "db/bindvalue.h"
#include "db/databaselock.h"
#include "db/databasesnapshot.h"

#include <QReadWriteLock>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStringList>
#include <QVector>

#include <functional>

// The one gateway to the application's database, "<installation>/kqdata.db".
// One connection for the whole process, opened on first use. SELECTs run under
// the read lock; every modifying or inserting call runs under the write lock in a
// transaction of its own that is rolled back at the first failing statement.
// The lock is not recursive: never call isColumnExists() or execSelectSql() while
// holding the write lock.
class DBControl
{
public:
    // The instance takes the installation path once, at the first call: the one last
    // given to setInstallPath() (the update manager gives it when it reads it).
    static DBControl *getInstance();
    static void setInstallPath(const QString &installPath);
    // The instance if getInstance() has made it, else null: what only closes or reopens
    // the connection must not make it, as making it opens, and so creates, the database.
    static DBControl *createdInstance();

    void openDB();
    void closeDB();
    // Opens the connection again after its file may have been replaced: at once when
    // the file is there; when it is not, at the first call that runs a statement, so
    // that a database the installation did not have is only created by an update step
    // that runs one.
    void reopenDB();
    bool isOpened() const;

    // Holds the database until releaseHold(): SQLite's exclusive lock is taken at once (no
    // waiting) and kept, so no other program can read or commit while the update may
    // still replace the database; one that tries gets "database is locked". A
    // write-ahead log is emptied into the file first (settle()). Every later opening
    // (reopenDB() after a restore) takes the hold again, on the file then in place.
    // On Windows the connection itself holds it, in SQLite's exclusive locking mode.
    // Elsewhere a DatabaseLock does, which stays while the connection is closed (a
    // restore) and when the backup opens and closes the file; the connection beside it
    // then takes no locks of its own (SQLite's "unix-none"), and in WAL mode keeps the
    // log's index in its memory (exclusive locking mode).
    // False, with errorString(), when another connection holds a lock now.
    bool hold();
    // Back to the ordinary connection, which holds no lock between calls.
    void releaseHold();
    // Whether hold() was asked for and the database is held now.
    bool isHeld() const;
    // Whether the hold is a lock of this process that outlasts the connection (not on
    // Windows): a restore then needs no lock of its own, and could not take one.
    bool holdsFileLock() const { return m_holdLock.isLocked(); }
    // Writes what the write-ahead log holds into the database file and empties the log,
    // so that the files alone say what the database holds. Meaningful while held.
    bool settle();
    // PRAGMA quick_check on this connection, in place: the file held needs no copy, as
    // no one else can write it meanwhile. Its first lines (at most maxLines) in *problems,
    // why it could not be made in errorString().
    DatabaseSnapshot::Health quickCheck(int maxLines, QStringList *problems);
    // Why the last call failed, in the words of its debug messages (a failed statement:
    // the failure line, then its "SQL:" line); empty when the last call succeeded.
    QString errorString() const { return m_errorString; }
    QSqlDatabase *getDatabase();
    QReadWriteLock *getLock();

    bool isSelectSql(const QString &sql);
    // Replaces query with a fresh one on the connection and runs sql; the caller
    // steps through the rows afterwards.
    bool execSelectSql(QSqlQuery &query, const QString &sql);
    // The same with named placeholders: sql is prepared and values bound before it runs.
    bool execSelectSql(QSqlQuery &query, const QString &sql, const QVector<BindValue> &values);
    // Runs on the caller's query, so on the same connection and inside its transaction.
    bool getLastInsertRowId(QSqlQuery &query, int &rowId);
    // 1 when table exists and its CREATE statement mentions column (ignoring ASCII
    // case), 0 when not, -1 when the query fails.
    int isColumnExists(const QString &table, const QString &column);

    bool execModifySql(const QStringList &sqlList);
    // Runs one statement inside execModifyScript()'s transaction; false when it failed
    // (reported and kept in errorString()), after which the source must stop.
    using StatementRunner = std::function<bool(const QString &sql)>;
    // Hands a runner to source and expects false when source stopped early.
    using ScriptSource = std::function<bool(const StatementRunner &run)>;
    // A script of any length in one transaction, its statements run as the source
    // yields them (a parser reading the file), and committed only when the source got
    // through it: a statement that fails, or a source that stops (a parse error half-way),
    // rolls back everything it ran. isColumnExists() may be asked from within the source,
    // on the same thread: it then sees what ran so far.
    bool execModifyScript(const ScriptSource &source);
    bool execModifySql(const QString &sql);
    bool execModifySql(const QString &sql, const QVector<BindValue> &values);
    // Runs pairs (sqlList[i], values[i]) while both lists have an entry.
    bool execModifySql(const QStringList &sqlList, const QVector<QVector<BindValue>> &values);

    bool execInsertSql(const QString &sql, int &rowId);
    bool execInsertSql(const QString &sql, const QVector<BindValue> &values, int &rowId);
    // Appends one id per statement to rowIds, keeping what it held.
    bool execInsertSql(const QStringList &sqlList, const QVector<QVector<BindValue>> &values,
                       QVector<int> &rowIds);
    // Clears rowIds first, then appends one id per statement.
    bool execInsertSql(const QStringList &sqlList, QVector<int> &rowIds);

private:
    DBControl();
    ~DBControl() = default;
    void openIfDeferred();
    // On the open connection: exclusive locking mode, the write lock taken at once.
    bool takeHold();
    // A select on the connection without taking the lock: execSelectSql() takes it
    // first; the thread in execModifyScript() holds the write lock already.
    bool execInScript(QSqlQuery &query, const QString &sql, const QVector<BindValue> &values);
    Q_DISABLE_COPY(DBControl)

    QSqlDatabase m_db;
    QReadWriteLock m_lock; // non-recursive
    bool m_isOpen = false;
    bool m_openWhenUsed = false;
    bool m_holding = false; // hold() asked for, until releaseHold()
    bool m_held = false;    // the connection is in exclusive locking mode and locked
    DatabaseLock m_holdLock; // the hold elsewhere than on Windows
    // The thread inside execModifyScript(), which holds the write lock; null otherwise.
    Qt::HANDLE m_scriptThread = nullptr;
    QString m_path;
    QString m_errorString;
};

#endif // DBCONTROL_H
