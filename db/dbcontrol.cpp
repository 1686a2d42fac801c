#include "db/dbcontrol.h"

#include "db/columntest.h"
#include "log/applog.h"
#include "log/debugtext.h"
#include "layout/installlayout.h"

#include <QAtomicPointer>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QReadLocker>
#include <QSqlError>
#include <QThread>
#include <QUrl>
#include <QWriteLocker>

namespace {

const char kModifyListSignature[] = "bool DBControl::execModifySql(const QStringList&)";

// How one call reports a failed statement. Only the list form of execModifySql, the
// one the update steps use, writes to the updater's log file; the others stay plain
// debug output. The call's errorString() keeps the lines in every case.
struct FailureReport
{
    const char *message;
    bool toLogFile;
    QString &errorString;
    void operator()(const QString &error, const QString &sql) const
    {
        const QString failure = debugText(message, error);
        const QString statement = debugText("SQL:", sql);
        errorString = failure + QLatin1Char('\n') + statement;
        if (toLogFile) {
            ZR_LOG_DEBUG(kModifyListSignature) << message << error;
            ZR_LOG_DEBUG(kModifyListSignature) << "SQL:" << sql;
            ZR_LOG_DEBUG(kModifyListSignature) << error;
        } else {
            qDebug().noquote() << failure;
            qDebug().noquote() << statement;
        }
    }
};

enum class Outcome { Done, StatementFailed, RowIdFailed, SourceStopped };

// The frame of every modifying call: write lock, one query for all statements, one
// transaction that is committed only when every statement ran.
template <typename Statements>
bool runInTransaction(QReadWriteLock &lock, QSqlDatabase &db, const FailureReport &report,
                      Statements runStatements)
{
    QWriteLocker locker(&lock);
    QSqlQuery query(db);
    query.setForwardOnly(true);

    // Without the BEGIN every statement would commit on its own and a later failure
    // could no longer undo the earlier ones; run nothing instead.
    if (!db.transaction()) {
        report(db.lastError().text(), QStringLiteral("BEGIN"));
        return false;
    }

    switch (runStatements(query)) {
    case Outcome::StatementFailed:
        db.rollback();
        report(query.lastError().text(), query.lastQuery());
        return false;
    case Outcome::RowIdFailed:
    case Outcome::SourceStopped:
        // getLastInsertRowId(), or the script's source, has said why.
        db.rollback();
        return false;
    case Outcome::Done:
        break;
    }

    query.finish();
    // A COMMIT refused by the engine (the file locked by the running application,
    // a full disk) leaves nothing written: that is a failure, not a success.
    if (!db.commit()) {
        const QString error = db.lastError().text();
        db.rollback();
        report(error, QStringLiteral("COMMIT"));
        return false;
    }
    return true;
}

// A statement that does not prepare is reported with the engine's reason at once,
// instead of a vaguer error from executing nothing.
bool execPrepared(QSqlQuery &query, const QString &sql, const QVector<BindValue> &values)
{
    if (!query.prepare(sql))
        return false;
    for (const BindValue &bind : values)
        query.bindValue(bind.placeholder, bind.value, bind.paramType);
    return query.exec();
}

// The instance once made, for createdInstance().
QAtomicPointer<DBControl> s_created;

// The installation whose database the first getInstance() opens (setInstallPath()).
QString &installPathForFirstUse()
{
    static QString path;
    return path;
}

} // namespace

DBControl *DBControl::getInstance()
{
    static DBControl instance;
    return &instance;
}

void DBControl::setInstallPath(const QString &installPath)
{
    installPathForFirstUse() = installPath;
}

DBControl *DBControl::createdInstance()
{
    return s_created.loadAcquire();
}

DBControl::DBControl()
    : m_db(QSqlDatabase::addDatabase(QStringLiteral("QSQLITE")))
{
    m_db.setHostName(QStringLiteral("localhost"));
    m_path = InstallLayout::databasePath(installPathForFirstUse());
    m_db.setDatabaseName(m_path);
    openDB();
    s_created.storeRelease(this);
}

void DBControl::openDB()
{
    m_openWhenUsed = false;
    m_errorString.clear();
    m_isOpen = true;
    m_held = false;
    if (m_db.isOpen())
        m_db.close();
#ifdef Q_OS_WIN
    // Held, a lock that another program holds now is the answer, not a reason to wait.
    m_db.setConnectOptions(m_holding ? QStringLiteral("QSQLITE_BUSY_TIMEOUT=0") : QString());
#else
    if (m_holding) {
        // On the file in place now: after a restore that is another one.
        if (!m_holdLock.lock(m_path, &m_errorString)) {
            m_isOpen = false;
            ZR_LOG_WARNING("bool DBControl::hold()") << QStringLiteral("hold %1 failed: %2").arg(m_path, m_errorString);
            return;
        }
        m_db.setDatabaseName(QString::fromUtf8(QUrl::fromLocalFile(m_path).toEncoded())
                             + QStringLiteral("?vfs=unix-none"));
        m_db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI"));
    } else {
        m_holdLock.unlock();
        m_db.setDatabaseName(m_path);
        m_db.setConnectOptions(QString());
    }
#endif
    if (!m_db.open()) {
        m_isOpen = false;
        m_errorString = QStringLiteral("open database failed");
        qDebug() << "open database failed";
        return;
    }
    if (m_holding && !takeHold()) {
        m_db.close();
        m_isOpen = false;
    }
}

void DBControl::closeDB()
{
    m_openWhenUsed = false;
    m_held = false;
    if (m_db.isOpen())
        m_db.close();
}

bool DBControl::takeHold()
{
    QWriteLocker locker(&m_lock);
    QSqlQuery query(m_db);
    QStringList statements;
#ifdef Q_OS_WIN
    // In exclusive locking mode SQLite keeps every lock it took until the connection
    // closes; an empty exclusive transaction takes the write lock (in WAL mode the lock
    // on the database file, and the log's index moves into this process's memory).
    statements << QStringLiteral("PRAGMA locking_mode=EXCLUSIVE");
#else
    // The lock is ours already (m_holdLock). A log's index lives in shared memory,
    // which a connection that takes no locks must not use: exclusive locking mode keeps
    // it in this process's. Only in WAL mode: in rollback mode that mode would keep the
    // journal file between transactions, and a kill would leave it behind.
    QFile file(m_path);
    if (file.open(QIODevice::ReadOnly) && file.read(20).size() == 20 && file.seek(18)) {
        // Header bytes 18 and 19, the file format versions, are 2 in WAL mode.
        char version = 0;
        if (file.getChar(&version) && version == 2)
            statements << QStringLiteral("PRAGMA locking_mode=EXCLUSIVE");
    }
#endif
    statements << QStringLiteral("BEGIN EXCLUSIVE") << QStringLiteral("COMMIT");
    for (const QString &sql : qAsConst(statements)) {
        if (!query.exec(sql)) {
            m_errorString = query.lastError().text();
            ZR_LOG_WARNING("bool DBControl::hold()") << QStringLiteral("hold %1 failed: %2").arg(m_path, m_errorString);
            return false;
        }
    }
    m_held = true;
    return true;
}

bool DBControl::isHeld() const
{
#ifdef Q_OS_WIN
    return m_held;
#else
    return m_holding && m_holdLock.isLocked();
#endif
}

bool DBControl::hold()
{
    m_holding = true;
    openDB();
    if (!m_held)
        return false;
    // A log the application left full would be written into the file by our closing
    // connection later, changing the database the identity was taken of.
    return settle();
}

void DBControl::releaseHold()
{
    if (!m_holding)
        return;
    m_holding = false;
    m_held = false;
    m_holdLock.unlock();
    // Closing gives the locks back. The ordinary connection comes back also after a
    // hold that failed, so a later run's steps find it; it creates no database.
    reopenDB();
}

bool DBControl::settle()
{
    if (!m_held)
        return true;
    QWriteLocker locker(&m_lock);
    QSqlQuery query(m_db);
    // In rollback mode this answers without doing anything.
    const bool done = query.exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
    // The first column is 1 when a reader kept the checkpoint from finishing.
    if (!done || (query.next() && query.value(0).toInt() != 0)) {
        m_errorString = done ? QStringLiteral("the log could not be emptied") : query.lastError().text();
        ZR_LOG_WARNING("bool DBControl::settle()")
            << QStringLiteral("checkpoint %1 failed: %2").arg(m_path, m_errorString);
        return false;
    }
    return true;
}

DatabaseSnapshot::Health DBControl::quickCheck(int maxLines, QStringList *problems)
{
    openIfDeferred();
    m_errorString.clear();
    problems->clear();
    if (!m_db.isOpen()) {
        m_errorString = QStringLiteral("open database failed");
        return DatabaseSnapshot::Health::Unknown;
    }
    QWriteLocker locker(&m_lock);
    const DatabaseSnapshot::Health health = DatabaseSnapshot::quickCheckOn(m_db, maxLines, problems, &m_errorString);
    ZR_LOG_DEBUG("DatabaseSnapshot::Health DBControl::quickCheck(int, QStringList*)")
        << "quick_check" << m_path << int(health) << *problems;
    return health;
}

void DBControl::reopenDB()
{
    if (QFileInfo::exists(m_path)) {
        openDB();
        return;
    }
    closeDB();
    m_isOpen = false;
    m_openWhenUsed = true;
}

void DBControl::openIfDeferred()
{
    if (m_openWhenUsed)
        openDB();
}

bool DBControl::isOpened() const
{
    return m_isOpen;
}

QSqlDatabase *DBControl::getDatabase()
{
    return &m_db;
}

QReadWriteLock *DBControl::getLock()
{
    return &m_lock;
}

bool DBControl::isSelectSql(const QString &sql)
{
    if (sql.trimmed().left(6).toUpper() == QLatin1String("SELECT"))
        return true;
    m_errorString = QStringLiteral("is not select sql");
    qDebug() << "is not select sql";
    return false;
}

bool DBControl::execSelectSql(QSqlQuery &query, const QString &sql)
{
    openIfDeferred();
    QReadLocker locker(&m_lock);
    m_errorString.clear();
    if (!isSelectSql(sql))
        return false;
    query = QSqlQuery(m_db);
    if (!query.exec(sql)) {
        m_errorString = debugText("exec select sql failed:", query.lastError().text());
        qDebug().noquote() << m_errorString;
        return false;
    }
    return true;
}

bool DBControl::execSelectSql(QSqlQuery &query, const QString &sql, const QVector<BindValue> &values)
{
    openIfDeferred();
    QReadLocker locker(&m_lock);
    m_errorString.clear();
    if (!isSelectSql(sql))
        return false;
    return execInScript(query, sql, values);
}

bool DBControl::getLastInsertRowId(QSqlQuery &query, int &rowId)
{
    if (!query.exec(QStringLiteral("select last_insert_rowid()"))) {
        m_errorString = debugText("get rowid failed", query.lastError().text());
        qDebug().noquote() << m_errorString;
        return false;
    }
    if (!query.next())
        return false;
    rowId = query.value(0).toString().toInt();
    return true;
}

int DBControl::isColumnExists(const QString &table, const QString &column)
{
    const QString sql = ColumnTest::sql(QStringLiteral("SQLITE_MASTER"));
    QSqlQuery query;
    // Inside execModifyScript() this thread holds the write lock already, and the
    // question is about the transaction's own view.
    const QVector<BindValue> values = ColumnTest::values(table, column);
    const bool inScript = m_scriptThread != nullptr && m_scriptThread == QThread::currentThreadId();
    const bool asked = inScript ? execInScript(query, sql, values) : execSelectSql(query, sql, values);
    if (!asked) {
        // The select's own failure says why; this message says what was asked.
        const QString cause = m_errorString;
        const QString failure = debugText("isColumnExists exec sql err:", sql, table, column);
        qDebug().noquote() << failure;
        m_errorString = cause.isEmpty() ? failure : failure + QLatin1Char('\n') + cause;
        return -1;
    }
    return ColumnTest::answer(query);
}

bool DBControl::execModifySql(const QStringList &sqlList)
{
    openIfDeferred();
    m_errorString.clear();
    const FailureReport report{"modify multisql failed,", true, m_errorString};
    return runInTransaction(m_lock, m_db, report, [&sqlList](QSqlQuery &query) {
        for (const QString &sql : sqlList) {
            if (!query.exec(sql))
                return Outcome::StatementFailed;
        }
        return Outcome::Done;
    });
}

bool DBControl::execInScript(QSqlQuery &query, const QString &sql, const QVector<BindValue> &values)
{
    m_errorString.clear();
    query = QSqlQuery(m_db);
    if (!execPrepared(query, sql, values)) {
        m_errorString = debugText("exec select sql failed:", query.lastError().text());
        qDebug().noquote() << m_errorString;
        return false;
    }
    return true;
}

bool DBControl::execModifyScript(const ScriptSource &source)
{
    openIfDeferred();
    m_errorString.clear();
    // The step's failure lines keep the shape they had when the step ran a list of
    // statements: whoever reads the log finds the same signature.
    FailureReport report{"modify multisql failed,", true, m_errorString};
    return runInTransaction(m_lock, m_db, report, [this, &source](QSqlQuery &query) {
        bool failed = false;
        const StatementRunner run = [&query, &failed](const QString &sql) {
            failed = !query.exec(sql);
            return !failed;
        };
        m_scriptThread = QThread::currentThreadId();
        const bool through = source(run);
        m_scriptThread = nullptr;
        if (failed)
            return Outcome::StatementFailed;
        return through ? Outcome::Done : Outcome::SourceStopped;
    });
}

bool DBControl::execModifySql(const QString &sql)
{
    openIfDeferred();
    m_errorString.clear();
    const FailureReport report{"modify single sql failed,", false, m_errorString};
    return runInTransaction(m_lock, m_db, report, [&sql](QSqlQuery &query) {
        return query.exec(sql) ? Outcome::Done : Outcome::StatementFailed;
    });
}

bool DBControl::execModifySql(const QString &sql, const QVector<BindValue> &values)
{
    openIfDeferred();
    m_errorString.clear();
    const FailureReport report{"execModifysql bind value failed,", false, m_errorString};
    return runInTransaction(m_lock, m_db, report, [&](QSqlQuery &query) {
        return execPrepared(query, sql, values) ? Outcome::Done : Outcome::StatementFailed;
    });
}

bool DBControl::execModifySql(const QStringList &sqlList, const QVector<QVector<BindValue>> &values)
{
    openIfDeferred();
    m_errorString.clear();
    const FailureReport report{"execModifysql bind multi value failed,", false, m_errorString};
    return runInTransaction(m_lock, m_db, report, [&](QSqlQuery &query) {
        const int count = qMin(sqlList.size(), values.size());
        for (int i = 0; i < count; ++i) {
            if (!execPrepared(query, sqlList.at(i), values.at(i)))
                return Outcome::StatementFailed;
        }
        return Outcome::Done;
    });
}

bool DBControl::execInsertSql(const QString &sql, int &rowId)
{
    openIfDeferred();
    m_errorString.clear();
    const FailureReport report{"insert single sql failed,", false, m_errorString};
    return runInTransaction(m_lock, m_db, report, [&](QSqlQuery &query) {
        if (!query.exec(sql))
            return Outcome::StatementFailed;
        return getLastInsertRowId(query, rowId) ? Outcome::Done : Outcome::RowIdFailed;
    });
}

bool DBControl::execInsertSql(const QString &sql, const QVector<BindValue> &values, int &rowId)
{
    openIfDeferred();
    m_errorString.clear();
    const FailureReport report{"exec insert bind value failed,", false, m_errorString};
    return runInTransaction(m_lock, m_db, report, [&](QSqlQuery &query) {
        if (!execPrepared(query, sql, values))
            return Outcome::StatementFailed;
        return getLastInsertRowId(query, rowId) ? Outcome::Done : Outcome::RowIdFailed;
    });
}

bool DBControl::execInsertSql(const QStringList &sqlList, const QVector<QVector<BindValue>> &values,
                              QVector<int> &rowIds)
{
    openIfDeferred();
    m_errorString.clear();
    const FailureReport report{"exec insert bind multi value failed,", false, m_errorString};
    return runInTransaction(m_lock, m_db, report, [&](QSqlQuery &query) {
        const int count = qMin(sqlList.size(), values.size());
        for (int i = 0; i < count; ++i) {
            if (!execPrepared(query, sqlList.at(i), values.at(i)))
                return Outcome::StatementFailed;
            int rowId = 0;
            if (!getLastInsertRowId(query, rowId))
                return Outcome::RowIdFailed;
            rowIds.append(rowId);
        }
        return Outcome::Done;
    });
}

bool DBControl::execInsertSql(const QStringList &sqlList, QVector<int> &rowIds)
{
    openIfDeferred();
    m_errorString.clear();
    const FailureReport report{"insert multi sql failed,", false, m_errorString};
    rowIds.clear();
    return runInTransaction(m_lock, m_db, report, [&](QSqlQuery &query) {
        for (const QString &sql : sqlList) {
            if (!query.exec(sql))
                return Outcome::StatementFailed;
            int rowId = 0;
            if (!getLastInsertRowId(query, rowId))
                return Outcome::RowIdFailed;
            rowIds.append(rowId);
        }
        return Outcome::Done;
    });
}
