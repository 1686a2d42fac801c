#ifndef DBCONTROL_H
#define DBCONTROL_H

#include "db/bindvalue.h"

#include <QReadWriteLock>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStringList>
#include <QVector>

// The one gateway to the application's database, "<installation>/kqdata.db".
// One connection for the whole process, opened on first use. SELECTs run under
// the read lock; every modifying or inserting call runs under the write lock in a
// transaction of its own that is rolled back at the first failing statement.
// The lock is not recursive: never call isColumnExists() or execSelectSql() while
// holding the write lock.
class DBControl
{
public:
    // The instance takes the installation path from CVUpdater once, at the first call.
    static DBControl *getInstance();
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
    Q_DISABLE_COPY(DBControl)

    QSqlDatabase m_db;
    QReadWriteLock m_lock; // non-recursive
    bool m_isOpen = false;
    bool m_openWhenUsed = false;
    QString m_errorString;
};

#endif // DBCONTROL_H
