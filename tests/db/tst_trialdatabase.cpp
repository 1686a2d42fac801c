#include "db/trialdatabase.h"
#include "common/packagebuilder.h"

#include <QDir>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// Every file of the directory with its bytes and modification time: the installed
// database and anything SQLite might leave beside it (journals, WAL files).
QStringList filesOf(const QString &dirPath)
{
    QStringList files;
    const QFileInfoList entries = QDir(dirPath).entryInfoList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QFileInfo &entry : entries) {
        files << QStringLiteral("%1 %2 %3")
                     .arg(entry.fileName())
                     .arg(QString::fromLatin1(PackageBuilder::readFile(entry.filePath()).toHex()))
                     .arg(entry.lastModified().toMSecsSinceEpoch());
    }
    return files;
}

// Whether a condition holds on the copy. The copy is reached only through run(), so
// the condition becomes a statement that fails when it is false (abs() of the
// smallest integer overflows).
bool holds(TrialDatabase &trial, const QString &condition, QString *error)
{
    int failed = -1;
    return trial.run({QStringLiteral("SELECT CASE WHEN %1 THEN 1 ELSE abs(-9223372036854775807 - 1) END").arg(condition)},
                     &failed, error);
}

} // namespace

// The package check's private copy of the installation's database: faithful enough
// that the update scripts behave on it as on the installed file, and the installed
// file itself never changes.
class TestTrialDatabase : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void copyIsFaithful();
    void scriptsRunStepAfterStep();
    void failingStatementRollsBack();
    void columnTest_data();
    void columnTest();
    void missingDatabase();
    void notADatabase();
    void copyFailureFallsBackToInstalledFile();

private:
    QTemporaryDir m_dir;
    QString m_database;
};

void TestTrialDatabase::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_database = m_dir.filePath(QStringLiteral("kqdata.db"));
    PackageBuilder tree(m_dir.path());
    tree.database(QStringLiteral("kqdata.db"),
                  {"CREATE TABLE orders (id INTEGER PRIMARY KEY AUTOINCREMENT, item TEXT NOT NULL, "
                   "qty INTEGER, total INTEGER GENERATED ALWAYS AS (qty * 2) VIRTUAL)",
                   "INSERT INTO orders (item, qty) VALUES ('pen', 1), ('ink', 2), ('paper', 3), ('gone', 4)",
                   // The counter stays at 4 although the highest id is 3.
                   "DELETE FROM orders WHERE item = 'gone'",
                   "CREATE TABLE \"odd \"\"name\"\"\" (k TEXT PRIMARY KEY, v TEXT) WITHOUT ROWID",
                   "INSERT INTO \"odd \"\"name\"\"\" VALUES ('a', 'b')",
                   "CREATE TABLE audit (what TEXT)",
                   "CREATE INDEX orders_item ON orders (item)",
                   "CREATE VIEW big_orders AS SELECT item FROM orders WHERE qty > 1",
                   "CREATE TRIGGER orders_audit AFTER INSERT ON orders BEGIN INSERT INTO audit VALUES (new.item); END",
                   "PRAGMA user_version = 7"});
    QVERIFY2(tree.ok(), qPrintable(tree.error()));
}

void TestTrialDatabase::copyIsFaithful()
{
    const QStringList before = filesOf(m_dir.path());
    {
        TrialDatabase trial(m_database);
        QCOMPARE(trial.state(), TrialDatabase::State::Copied);
        QVERIFY(trial.canRun());

        QString error;
        const QStringList conditions{
            "(SELECT group_concat(id || item || qty || total, ',') FROM orders) = '1pen12,2ink24,3paper36'",
            "(SELECT seq FROM sqlite_sequence WHERE name = 'orders') = 4",
            "(SELECT v FROM \"odd \"\"name\"\"\" WHERE k = 'a') = 'b'",
            "(SELECT count(*) FROM sqlite_master WHERE name IN ('orders_item', 'big_orders', 'orders_audit')) = 3",
            "(SELECT user_version FROM pragma_user_version) = 7",
        };
        for (const QString &condition : conditions)
            QVERIFY2(holds(trial, condition, &error), qPrintable(QStringLiteral("%1: %2").arg(condition, error)));

        // The counter carries on where the installed file left it, and the trigger fires.
        int failed = -1;
        QVERIFY2(trial.run({"INSERT INTO orders (item, qty) VALUES ('stamp', 5)"}, &failed, &error), qPrintable(error));
        QVERIFY2(holds(trial, "(SELECT id FROM orders WHERE item = 'stamp') = 5 AND (SELECT what FROM audit) = 'stamp'", &error),
                 qPrintable(error));
    }
    QCOMPARE(filesOf(m_dir.path()), before);
}

void TestTrialDatabase::scriptsRunStepAfterStep()
{
    TrialDatabase trial(m_database);
    int failed = -1;
    QString error;
    QCOMPARE(trial.isColumnExists(QStringLiteral("orders"), QStringLiteral("note")), 0);
    QVERIFY2(trial.run({"ALTER TABLE orders ADD COLUMN note TEXT", "UPDATE orders SET note = 'x'"}, &failed, &error),
             qPrintable(error));
    // The next step's guard sees what this step did.
    QCOMPARE(trial.isColumnExists(QStringLiteral("orders"), QStringLiteral("note")), 1);
    QVERIFY(!trial.run({"ALTER TABLE orders ADD COLUMN note TEXT"}, &failed, &error));
    QCOMPARE(failed, 0);
    QVERIFY2(error.contains(QStringLiteral("duplicate column name: note")), qPrintable(error));

    // The installed file knows nothing of it.
    QCOMPARE(PackageBuilder::query(m_database, QStringLiteral("SELECT count(*) FROM pragma_table_info('orders') WHERE name = 'note'")),
             QStringList{"0"});
}

void TestTrialDatabase::failingStatementRollsBack()
{
    TrialDatabase trial(m_database);
    int failed = -1;
    QString error;
    QVERIFY(!trial.run({"INSERT INTO audit VALUES ('first')", "INSERT INTO audit VALUES ('second')",
                        "INSERT INTO no_such_table VALUES (1)", "INSERT INTO audit VALUES ('never')"},
                       &failed, &error));
    QCOMPARE(failed, 2);
    QVERIFY2(error.contains(QStringLiteral("no such table: no_such_table")), qPrintable(error));
    // Nothing of the failed transaction stayed.
    QVERIFY2(holds(trial, "(SELECT count(*) FROM audit) = 0", &error), qPrintable(error));
}

void TestTrialDatabase::columnTest_data()
{
    QTest::addColumn<QString>("table");
    QTest::addColumn<QString>("column");
    QTest::addColumn<int>("result");
    QTest::newRow("present") << "orders" << "qty" << 1;
    QTest::newRow("letter case ignored") << "orders" << "QTY" << 1;
    QTest::newRow("part of another name") << "orders" << "ite" << 1;
    QTest::newRow("absent") << "orders" << "note" << 0;
    QTest::newRow("table name is exact") << "ORDERS" << "qty" << 0;
    QTest::newRow("no such table") << "nothing" << "qty" << 0;
    QTest::newRow("quote in the name") << "orders'" << "qty" << 0;
}

void TestTrialDatabase::columnTest()
{
    QFETCH(QString, table);
    QFETCH(QString, column);
    QFETCH(int, result);
    TrialDatabase trial(m_database);
    QCOMPARE(trial.isColumnExists(table, column), result);
}

void TestTrialDatabase::missingDatabase()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("kqdata.db"));
    {
        TrialDatabase trial(path);
        QCOMPARE(trial.state(), TrialDatabase::State::NoInstalledFile);
        QVERIFY(trial.canRun());
        QCOMPARE(trial.isColumnExists(QStringLiteral("orders"), QStringLiteral("id")), 0);
        int failed = -1;
        QString error;
        QVERIFY(trial.run({"CREATE TABLE orders (id INTEGER)"}, &failed, &error));
        QCOMPARE(trial.isColumnExists(QStringLiteral("orders"), QStringLiteral("id")), 1);
    }
    QVERIFY(QDir(dir.path()).isEmpty());
}

void TestTrialDatabase::notADatabase()
{
    QTemporaryDir dir;
    PackageBuilder tree(dir.path());
    tree.file(QStringLiteral("kqdata.db"), QByteArray(4096, 'x'));
    QVERIFY(tree.ok());
    const QStringList before = filesOf(dir.path());
    {
        TrialDatabase trial(dir.filePath(QStringLiteral("kqdata.db")));
        QCOMPARE(trial.state(), TrialDatabase::State::Unreadable);
        QVERIFY(!trial.canRun());
        QVERIFY2(trial.errorString().contains(QStringLiteral("file is not a database")), qPrintable(trial.errorString()));
        int failed = 0;
        QString error;
        QVERIFY(!trial.run({"SELECT 1"}, &failed, &error));
        QCOMPARE(failed, -1);
    }
    QCOMPARE(filesOf(dir.path()), before);
}

void TestTrialDatabase::copyFailureFallsBackToInstalledFile()
{
    QTemporaryDir dir;
    PackageBuilder tree(dir.path());
    // An FTS table's shadow tables are made again by creating the FTS table itself, so
    // copying them one by one fails.
    tree.database(QStringLiteral("kqdata.db"), {"CREATE TABLE notes (id INTEGER, body TEXT)"});
    QVERIFY(tree.ok());
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("fts"));
        db.setDatabaseName(dir.filePath(QStringLiteral("kqdata.db")));
        QVERIFY(db.open());
        QSqlQuery query(db);
        if (!query.exec(QStringLiteral("CREATE VIRTUAL TABLE search USING fts5(body)"))) {
            db.close();
            db = QSqlDatabase();
            QSqlDatabase::removeDatabase(QStringLiteral("fts"));
            QSKIP("this SQLite has no FTS5");
        }
        query.finish();
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("fts"));
    const QStringList before = filesOf(dir.path());
    {
        TrialDatabase trial(dir.filePath(QStringLiteral("kqdata.db")));
        QCOMPARE(trial.state(), TrialDatabase::State::CopyFailed);
        QVERIFY(!trial.canRun());
        QVERIFY2(trial.errorString().contains(QStringLiteral("already exists")), qPrintable(trial.errorString()));
        // The directives are still answered, by the installed file.
        QCOMPARE(trial.isColumnExists(QStringLiteral("notes"), QStringLiteral("body")), 1);
        QCOMPARE(trial.isColumnExists(QStringLiteral("notes"), QStringLiteral("title")), 0);
    }
    QCOMPARE(filesOf(dir.path()), before);
}

QTEST_GUILESS_MAIN(TestTrialDatabase)
#include "tst_trialdatabase.moc"
