#include "common/logcapture.h"
#include "common/scopedcurrentdir.h"
#include "common/testhome.h"
#include "db/dbcontrol.h"
#include "updater/cvupdater.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

const char kCheckConnection[] = "check";
const char kNoSuchTable[] = "\"no such table: missing Unable to execute statement\"";
const char kModifyListSignature[] = "bool DBControl::execModifySql(const QStringList&)";

QString debug(const QString &text)
{
    return QStringLiteral("Debug ") + text;
}

} // namespace

class TestDBControl : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void instance();
    void isSelectSql_data();
    void isSelectSql();
    void execSelectSql();
    void execSelectSqlRefusesWithoutRunning();
    void execSelectSqlFailure();
    void isColumnExists_data();
    void isColumnExists();
    void isColumnExistsFailure();

    void modifyListAllOrNothing();
    void modifyListEmpty();
    void modifyOtherForms();
    void boundBatchRunsMatchingPairs_data();
    void boundBatchRunsMatchingPairs();
    void failureMessages_data();
    void failureMessages();

    void insertSingleRowIds();
    void insertBatchRowIds();
    void insertBatchFailureKeepsIdsSoFar();

    void closeThenReopen();
    void openFailure();
    void beginRefusedRunsNothing();
    void commitRefusedIsFailure();

private:
    QString dbPath() const { return m_install.path() + QStringLiteral("/kqdata.db"); }
    QVariant scalar(const QString &sql) const;
    int itemCount() const { return scalar(QStringLiteral("SELECT COUNT(*) FROM item")).toInt(); }

    std::unique_ptr<TestHome> m_home;
    std::unique_ptr<ScopedCurrentDir> m_cwd;
    QTemporaryDir m_install;
    DBControl *m_control = nullptr;
};

void TestDBControl::initTestCase()
{
    m_home.reset(new TestHome);
    m_cwd.reset(new ScopedCurrentDir(m_home->path()));
    QVERIFY(m_install.isValid());
    m_home->writeUninstallKey(m_install.path());
    CVUpdater::setProgramDir(m_home->path());
    DBControl::setInstallPath(m_install.path());

    // The installation path is taken once, here; every case replaces the file in it.
    m_control = DBControl::getInstance();
    QVERIFY(m_control);
}

void TestDBControl::init()
{
    m_control->closeDB();
    QFile::remove(dbPath());
    m_control->openDB();
    QVERIFY(m_control->isOpened());

    QSqlDatabase check = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), kCheckConnection);
    check.setDatabaseName(dbPath());
    QVERIFY(check.open());
    QSqlQuery query(check);
    const QStringList schema{
        QStringLiteral("CREATE TABLE item(id INTEGER PRIMARY KEY, name TEXT NOT NULL, NameLong TEXT, \"it's\" TEXT)"),
        QStringLiteral("CREATE TABLE \"o'brien\"(x INTEGER)"),
    };
    for (const QString &sql : schema)
        QVERIFY2(query.exec(sql), qPrintable(query.lastError().text()));
}

void TestDBControl::cleanup()
{
    // Every call releases the lock on every path.
    QReadWriteLock *lock = m_control->getLock();
    QVERIFY(lock->tryLockForWrite());
    lock->unlock();

    QSqlDatabase::database(kCheckConnection, false).close();
    QSqlDatabase::removeDatabase(kCheckConnection);
}

void TestDBControl::cleanupTestCase()
{
    m_control->closeDB();
}

QVariant TestDBControl::scalar(const QString &sql) const
{
    QSqlQuery query(QSqlDatabase::database(kCheckConnection, false));
    if (!query.exec(sql) || !query.next())
        return QVariant();
    return query.value(0);
}

void TestDBControl::instance()
{
    QCOMPARE(DBControl::getInstance(), m_control);
    const QSqlDatabase *db = m_control->getDatabase();
    QCOMPARE(db->driverName(), QStringLiteral("QSQLITE"));
    QCOMPARE(db->connectionName(), QString::fromLatin1(QSqlDatabase::defaultConnection));
    QCOMPARE(db->hostName(), QStringLiteral("localhost"));
    QCOMPARE(db->databaseName(), QStringLiteral("%1/kqdata.db").arg(CVUpdater::getInstance()->getInstallPath()));
    QCOMPARE(db->databaseName(), dbPath());
    QVERIFY(db->isOpen());
    QVERIFY(QFile::exists(dbPath()));
}

void TestDBControl::isSelectSql_data()
{
    QTest::addColumn<QString>("sql");
    QTest::addColumn<bool>("select");

    QTest::newRow("upper case") << "SELECT 1" << true;
    QTest::newRow("lower case") << "select 1" << true;
    QTest::newRow("mixed case") << "SeLeCt 1" << true;
    QTest::newRow("blanks and line ends first") << " \t\r\n  select 1" << true;
    QTest::newRow("any word starting with the six letters") << "SELECTED" << true;
    QTest::newRow("WITH clause") << "WITH x AS (SELECT 1) SELECT * FROM x" << false;
    QTest::newRow("parenthesis") << "(SELECT 1)" << false;
    QTest::newRow("comment first") << "-- list\nSELECT 1" << false;
    QTest::newRow("too short") << "SELEC" << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("insert") << "INSERT INTO item(name) VALUES('a')" << false;
}

void TestDBControl::isSelectSql()
{
    QFETCH(QString, sql);
    QFETCH(bool, select);

    LogCapture capture;
    QCOMPARE(m_control->isSelectSql(sql), select);
    QCOMPARE(capture.otherMessages(), select ? QStringList() : QStringList{debug("is not select sql")});
    QVERIFY(capture.lines().isEmpty());
}

void TestDBControl::execSelectSql()
{
    QVERIFY(m_control->execModifySql(QStringList{
        QStringLiteral("INSERT INTO item(name) VALUES('first')"),
        QStringLiteral("INSERT INTO item(name) VALUES('second')"),
    }));

    QSqlQuery query;
    QVERIFY(m_control->execSelectSql(query, QStringLiteral("  \n\tselect name from item order by id")));
    // Rows are stepped after the call, outside the lock.
    QVERIFY(m_control->getLock()->tryLockForWrite());
    m_control->getLock()->unlock();
    QStringList names;
    while (query.next())
        names << query.value(0).toString();
    QCOMPARE(names, (QStringList{QStringLiteral("first"), QStringLiteral("second")}));
}

void TestDBControl::execSelectSqlRefusesWithoutRunning()
{
    // A WITH clause can carry an INSERT: refusing it must mean not running it.
    LogCapture capture;
    QSqlQuery query;
    QVERIFY(!m_control->execSelectSql(
        query, QStringLiteral("WITH x(n) AS (SELECT 'w') INSERT INTO item(name) SELECT n FROM x")));
    QCOMPARE(capture.otherMessages(), QStringList{debug("is not select sql")});
    QVERIFY(!query.isActive());
    QCOMPARE(itemCount(), 0);
}

void TestDBControl::execSelectSqlFailure()
{
    LogCapture capture;
    QSqlQuery query;
    QVERIFY(!m_control->execSelectSql(query, QStringLiteral("select * from missing")));
    QCOMPARE(capture.otherMessages(), QStringList{debug(QStringLiteral("exec select sql failed: ") + kNoSuchTable)});
    QVERIFY(capture.lines().isEmpty());
}

void TestDBControl::isColumnExists_data()
{
    QTest::addColumn<QString>("table");
    QTest::addColumn<QString>("column");
    QTest::addColumn<int>("exists");

    QTest::newRow("column present") << "item" << "id" << 1;
    QTest::newRow("column absent") << "item" << "price" << 0;
    QTest::newRow("inside another column's name") << "item" << "Long" << 1;
    QTest::newRow("letter case of the column ignored") << "item" << "NAMELONG" << 1;
    QTest::newRow("table name matched exactly") << "ITEM" << "id" << 0;
    QTest::newRow("missing table") << "missing" << "id" << 0;
    QTest::newRow("quote in the column") << "item" << "it's" << 1;
    QTest::newRow("quote in the table") << "o'brien" << "x" << 1;
    QTest::newRow("quote in an absent column") << "item" << "o'clock" << 0;
    // Pasted into the text these would have widened the query and answered 1.
    QTest::newRow("table that would widen the query") << "missing' OR NAME = 'item" << "id" << 0;
    QTest::newRow("column that would widen the query") << "item" << "zzz' OR NAME LIKE '" << 0;
    QTest::newRow("percent keeps its LIKE meaning") << "item" << "Name%Long" << 1;
    QTest::newRow("underscore keeps its LIKE meaning") << "item" << "N_meLong" << 1;
    QTest::newRow("empty column matches any table") << "item" << "" << 1;
}

void TestDBControl::isColumnExists()
{
    QFETCH(QString, table);
    QFETCH(QString, column);
    QFETCH(int, exists);

    LogCapture capture;
    QCOMPARE(m_control->isColumnExists(table, column), exists);
    QVERIFY(capture.otherMessages().isEmpty());
}

void TestDBControl::isColumnExistsFailure()
{
    m_control->closeDB();
    LogCapture capture;
    QCOMPARE(m_control->isColumnExists(QStringLiteral("item"), QStringLiteral("id")), -1);
    m_control->openDB();

    const QString expected = debug(QStringLiteral(
        "isColumnExists exec sql err: \"SELECT COUNT(*) FROM SQLITE_MASTER WHERE TYPE = 'table' "
        "AND NAME = :table AND SQL LIKE :column\" \"item\" \"id\""));
    QVERIFY2(capture.otherMessages().contains(expected), qPrintable(capture.otherMessages().join('\n')));
    QCOMPARE(m_control->isColumnExists(QStringLiteral("item"), QStringLiteral("id")), 1);
}

void TestDBControl::modifyListAllOrNothing()
{
    QVERIFY(m_control->execModifySql(QStringList{QStringLiteral("INSERT INTO item(name) VALUES('kept')")}));

    LogCapture capture;
    // The third statement would fail too: if it ran, the messages would name it.
    QVERIFY(!m_control->execModifySql(QStringList{
        QStringLiteral("INSERT INTO item(name) VALUES('first')"),
        QStringLiteral("INSERT INTO missing VALUES(2)"),
        QStringLiteral("INSERT INTO missing3 VALUES(3)"),
    }));

    QCOMPARE(scalar(QStringLiteral("SELECT group_concat(name) FROM item")).toString(), QStringLiteral("kept"));
    const QString sig = QString::fromLatin1(kModifyListSignature);
    QCOMPARE(capture.lines(), (QStringList{
        debug(sig + QStringLiteral(" modify multisql failed, ") + kNoSuchTable),
        debug(sig + QStringLiteral(" SQL: \"INSERT INTO missing VALUES(2)\"")),
        debug(sig + QLatin1Char(' ') + kNoSuchTable),
    }));

    // The connection is usable afterwards: nothing is left of the failed transaction.
    QVERIFY(m_control->execModifySql(QStringList{QStringLiteral("INSERT INTO item(name) VALUES('after')")}));
    QCOMPARE(itemCount(), 2);
}

void TestDBControl::modifyListEmpty()
{
    LogCapture capture;
    QVERIFY(m_control->execModifySql(QStringList()));
    QVERIFY(capture.lines().isEmpty());
    QCOMPARE(itemCount(), 0);
}

void TestDBControl::modifyOtherForms()
{
    QVERIFY(m_control->execModifySql(QStringLiteral("INSERT INTO item(name) VALUES('single')")));
    QVERIFY(m_control->execModifySql(QStringLiteral("INSERT INTO item(name, \"it's\") VALUES(:name, :quote)"),
                                     QVector<BindValue>{{QStringLiteral(":name"), QStringLiteral("bound")},
                                                        {QStringLiteral(":quote"), QStringLiteral("it's")}}));
    QCOMPARE(scalar(QStringLiteral("SELECT group_concat(name || '/' || ifnull(\"it's\", '-'), ',') FROM item")).toString(),
             QStringLiteral("single/-,bound/it's"));

    // A failing bound statement leaves nothing behind either.
    QVERIFY(!m_control->execModifySql(QStringLiteral("INSERT INTO item(name) VALUES(:name)"),
                                      QVector<BindValue>{{QStringLiteral(":name"), QVariant()}}));
    QCOMPARE(itemCount(), 2);
}

void TestDBControl::boundBatchRunsMatchingPairs_data()
{
    QTest::addColumn<int>("texts");
    QTest::addColumn<int>("bindings");
    QTest::addColumn<QString>("stored");

    QTest::newRow("three texts, two binding vectors") << 3 << 2 << "n0,n1";
    QTest::newRow("two texts, three binding vectors") << 2 << 3 << "n0,n1";
    QTest::newRow("no binding vectors") << 3 << 0 << "";
    QTest::newRow("no texts") << 0 << 3 << "";
}

void TestDBControl::boundBatchRunsMatchingPairs()
{
    QFETCH(int, texts);
    QFETCH(int, bindings);
    QFETCH(QString, stored);

    QStringList sqlList;
    for (int i = 0; i < texts; ++i)
        sqlList << QStringLiteral("INSERT INTO item(name) VALUES(:name)");
    QVector<QVector<BindValue>> values;
    for (int i = 0; i < bindings; ++i)
        values << QVector<BindValue>{{QStringLiteral(":name"), QStringLiteral("n%1").arg(i), QSql::In}};

    QVERIFY(m_control->execModifySql(sqlList, values));
    QCOMPARE(scalar(QStringLiteral("SELECT ifnull(group_concat(name), '') FROM item")).toString(), stored);
}

void TestDBControl::failureMessages_data()
{
    QTest::addColumn<int>("form");
    QTest::addColumn<QString>("message");

    QTest::newRow("single") << 0 << "modify single sql failed,";
    QTest::newRow("bound single") << 1 << "execModifysql bind value failed,";
    QTest::newRow("bound batch") << 2 << "execModifysql bind multi value failed,";
    QTest::newRow("insert single") << 3 << "insert single sql failed,";
    QTest::newRow("insert bound single") << 4 << "exec insert bind value failed,";
    QTest::newRow("insert bound batch") << 5 << "exec insert bind multi value failed,";
    QTest::newRow("insert batch") << 6 << "insert multi sql failed,";
}

void TestDBControl::failureMessages()
{
    QFETCH(int, form);
    QFETCH(QString, message);

    const QString good = QStringLiteral("INSERT INTO item(name) VALUES('good')");
    const QString bad = QStringLiteral("INSERT INTO missing VALUES(1)");
    const QVector<BindValue> none;
    int rowId = -1;
    QVector<int> rowIds;

    LogCapture capture;
    bool ok = true;
    switch (form) {
    case 0: ok = m_control->execModifySql(bad); break;
    case 1: ok = m_control->execModifySql(bad, none); break;
    case 2: ok = m_control->execModifySql(QStringList{good, bad}, {none, none}); break;
    case 3: ok = m_control->execInsertSql(bad, rowId); break;
    case 4: ok = m_control->execInsertSql(bad, none, rowId); break;
    case 5: ok = m_control->execInsertSql(QStringList{good, bad}, {none, none}, rowIds); break;
    case 6: ok = m_control->execInsertSql(QStringList{good, bad}, rowIds); break;
    }

    QVERIFY(!ok);
    QCOMPARE(rowId, -1);
    QCOMPARE(itemCount(), 0);
    // Plain debug output only: these never reach the log file.
    QVERIFY(capture.lines().isEmpty());
    QCOMPARE(capture.otherMessages(), (QStringList{
        debug(message + QLatin1Char(' ') + kNoSuchTable),
        debug(QStringLiteral("SQL: \"") + bad + QLatin1Char('"')),
    }));
}

void TestDBControl::insertSingleRowIds()
{
    int rowId = 0;
    QVERIFY(m_control->execInsertSql(QStringLiteral("INSERT INTO item(name) VALUES('a')"), rowId));
    QCOMPARE(rowId, 1);
    QVERIFY(m_control->execInsertSql(QStringLiteral("INSERT INTO item(id, name) VALUES(:id, :name)"),
                                     QVector<BindValue>{{QStringLiteral(":id"), 41},
                                                        {QStringLiteral(":name"), QStringLiteral("b")}},
                                     rowId));
    QCOMPARE(rowId, 41);
    QCOMPARE(itemCount(), 2);
}

void TestDBControl::insertBatchRowIds()
{
    const QString bound = QStringLiteral("INSERT INTO item(name) VALUES(:name)");
    QVector<int> rowIds{99};
    QVERIFY(m_control->execInsertSql(QStringList{bound, bound, bound},
                                     {{{QStringLiteral(":name"), QStringLiteral("a")}},
                                      {{QStringLiteral(":name"), QStringLiteral("b")}}},
                                     rowIds));
    QCOMPARE(rowIds, (QVector<int>{99, 1, 2}));

    rowIds = {99};
    QVERIFY(m_control->execInsertSql(QStringList{QStringLiteral("INSERT INTO item(name) VALUES('c')"),
                                                 QStringLiteral("INSERT INTO item(id, name) VALUES(10, 'd')")},
                                     rowIds));
    QCOMPARE(rowIds, (QVector<int>{3, 10}));
    QCOMPARE(itemCount(), 4);
}

void TestDBControl::insertBatchFailureKeepsIdsSoFar()
{
    const QString good = QStringLiteral("INSERT INTO item(name) VALUES('a')");
    const QString bad = QStringLiteral("INSERT INTO item(name) VALUES(NULL)");

    QVector<int> rowIds{7};
    QVERIFY(!m_control->execInsertSql(QStringList{good, bad, good}, rowIds));
    QCOMPARE(rowIds, QVector<int>{1});

    rowIds = {7};
    const QVector<BindValue> none;
    QVERIFY(!m_control->execInsertSql(QStringList{good, bad, good}, {none, none, none}, rowIds));
    QCOMPARE(rowIds, (QVector<int>{7, 1}));
    QCOMPARE(itemCount(), 0);
}

void TestDBControl::closeThenReopen()
{
    m_control->closeDB();
    QVERIFY(!m_control->getDatabase()->isOpen());
    // Only openDB() tells whether the connection is usable.
    QVERIFY(m_control->isOpened());

    {
        LogCapture capture;
        QVERIFY(!m_control->execModifySql(QStringList{QStringLiteral("INSERT INTO item(name) VALUES('x')")}));
        const QString sig = QString::fromLatin1(kModifyListSignature);
        QCOMPARE(capture.lines().size(), 3);
        QVERIFY(capture.lines().at(0).startsWith(debug(sig + QStringLiteral(" modify multisql failed, "))));
        QCOMPARE(capture.lines().at(1), debug(sig + QStringLiteral(" SQL: \"BEGIN\"")));

        QSqlQuery query;
        QVERIFY(!m_control->execSelectSql(query, QStringLiteral("SELECT COUNT(*) FROM item")));
        int rowId = 0;
        QVERIFY(!m_control->execInsertSql(QStringLiteral("INSERT INTO item(name) VALUES('x')"), rowId));
    }

    m_control->openDB();
    QVERIFY(m_control->isOpened());
    QVERIFY(m_control->execModifySql(QStringList{QStringLiteral("INSERT INTO item(name) VALUES('x')")}));
    QSqlQuery query;
    QVERIFY(m_control->execSelectSql(query, QStringLiteral("SELECT COUNT(*) FROM item")));
    QVERIFY(query.next());
    QCOMPARE(query.value(0).toInt(), 1);
}

void TestDBControl::openFailure()
{
    // A directory in the database's place cannot be opened as a database. The test's
    // own connection goes too: Windows removes no file that is still open.
    m_control->closeDB();
    QSqlDatabase::database(kCheckConnection, false).close();
    QVERIFY(QFile::remove(dbPath()));
    QVERIFY(QDir().mkdir(dbPath()));
    {
        LogCapture capture;
        m_control->openDB();
        QVERIFY(!m_control->isOpened());
        QCOMPARE(capture.otherMessages(), QStringList{debug("open database failed")});
        QVERIFY(!m_control->execModifySql(QStringLiteral("CREATE TABLE t(x)")));
    }
    QVERIFY(QDir().rmdir(dbPath()));
    m_control->openDB();
    QVERIFY(m_control->isOpened());
}

void TestDBControl::beginRefusedRunsNothing()
{
    // A transaction someone else left open on the connection makes BEGIN fail. Running
    // the statements anyway would put them into that foreign transaction.
    QSqlDatabase *db = m_control->getDatabase();
    QVERIFY(db->transaction());
    LogCapture capture;
    const bool ok = m_control->execModifySql(QStringList{QStringLiteral("INSERT INTO item(name) VALUES('x')")});
    QVERIFY(db->commit());

    QVERIFY(!ok);
    QCOMPARE(itemCount(), 0);
    const QString sig = QString::fromLatin1(kModifyListSignature);
    QCOMPARE(capture.lines().size(), 3);
    QVERIFY2(capture.lines().at(0).contains(QStringLiteral("cannot start a transaction within a transaction")),
             qPrintable(capture.lines().at(0)));
    QCOMPARE(capture.lines().at(1), debug(sig + QStringLiteral(" SQL: \"BEGIN\"")));
}

void TestDBControl::commitRefusedIsFailure()
{
    // Another connection holding a read transaction (the running application, say)
    // keeps the COMMIT from taking its exclusive lock.
    QSqlDatabase *db = m_control->getDatabase();
    db->setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=0"));
    m_control->openDB();

    QSqlDatabase reader = QSqlDatabase::database(kCheckConnection, false);
    QVERIFY(reader.transaction());
    bool ok = true;
    {
        QSqlQuery read(reader);
        QVERIFY(read.exec(QStringLiteral("SELECT COUNT(*) FROM item")));
        QVERIFY(read.next());

        LogCapture capture;
        ok = m_control->execModifySql(QStringList{QStringLiteral("INSERT INTO item(name) VALUES('x')")});
        const QString sig = QString::fromLatin1(kModifyListSignature);
        QCOMPARE(capture.lines(), (QStringList{
            debug(sig + QStringLiteral(" modify multisql failed, \"database is locked Unable to commit transaction\"")),
            debug(sig + QStringLiteral(" SQL: \"COMMIT\"")),
            debug(sig + QStringLiteral(" \"database is locked Unable to commit transaction\"")),
        }));
    }
    QVERIFY(reader.commit());
    QVERIFY(!ok);
    QCOMPARE(itemCount(), 0);

    // Rolled back, not left pending: the next call starts cleanly and commits.
    QVERIFY(m_control->execModifySql(QStringList{QStringLiteral("INSERT INTO item(name) VALUES('y')")}));
    QCOMPARE(itemCount(), 1);

    db->setConnectOptions(QString());
    m_control->openDB();
}

QTEST_GUILESS_MAIN(TestDBControl)
#include "tst_dbcontrol.moc"
