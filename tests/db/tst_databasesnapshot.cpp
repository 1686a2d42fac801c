#include "db/trialdatabase.h"
#include "common/packagebuilder.h"
#include "db/databasesnapshot.h"

#include <QDir>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// Every file of the directory with its bytes and change time: the database and what
// SQLite keeps beside it ("-wal", "-shm").
QStringList filesOf(const QString &dirPath)
{
    QStringList files;
    const QFileInfoList entries = QDir(dirPath).entryInfoList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
    for (const QFileInfo &entry : entries) {
        files << QStringLiteral("%1 %2 %3")
                     .arg(entry.fileName())
                     .arg(QString::fromLatin1(PackageBuilder::readFile(entry.filePath()).toHex()))
                     .arg(entry.lastModified().toMSecsSinceEpoch());
    }
    return files;
}

const QStringList kTables{"CREATE TABLE orders (id INTEGER PRIMARY KEY, item TEXT)",
                          "INSERT INTO orders (item) VALUES ('pen'), ('ink')"};

} // namespace

// The read-only checks of the installation's database: quick_check finds damage, and
// neither it nor the dry run's copy writes a byte beside a database in use.
class TestDatabaseSnapshot : public QObject
{
    Q_OBJECT

private slots:
    void quickCheck_data();
    void quickCheck();
    void walDatabaseUntouched();
};

void TestDatabaseSnapshot::quickCheck_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("state");
    QTest::addColumn<int>("health");
    QTest::newRow("sound") << "sound" << int(DatabaseSnapshot::State::Taken) << int(DatabaseSnapshot::Health::Sound);
    QTest::newRow("damaged page") << "damaged" << int(DatabaseSnapshot::State::Taken) << int(DatabaseSnapshot::Health::Damaged);
    QTest::newRow("no database") << "garbage" << int(DatabaseSnapshot::State::Taken) << int(DatabaseSnapshot::Health::Damaged);
    QTest::newRow("missing") << "missing" << int(DatabaseSnapshot::State::Missing) << int(DatabaseSnapshot::Health::Unknown);
}

void TestDatabaseSnapshot::quickCheck()
{
    QFETCH(QString, kind);
    QFETCH(int, state);
    QFETCH(int, health);
    QTemporaryDir dir;
    PackageBuilder tree(dir.path());
    if (kind == QLatin1String("sound"))
        tree.database(QStringLiteral("kqdata.db"), kTables);
    else if (kind == QLatin1String("damaged"))
        tree.damagedDatabase(QStringLiteral("kqdata.db"), kTables);
    else if (kind == QLatin1String("garbage"))
        tree.file(QStringLiteral("kqdata.db"), QByteArray(4096, 'x'));
    QVERIFY2(tree.ok(), qPrintable(tree.error()));
    const QStringList before = filesOf(dir.path());

    DatabaseSnapshot snapshot(dir.filePath(QStringLiteral("kqdata.db")));
    QCOMPARE(int(snapshot.state()), state);
    QCOMPARE(int(snapshot.quickCheck()), health);
    if (health == int(DatabaseSnapshot::Health::Damaged)) {
        QVERIFY(!snapshot.problems().isEmpty());
        QVERIFY(snapshot.problems().size() <= 4);
    }
    QCOMPARE(filesOf(dir.path()), before);
}

void TestDatabaseSnapshot::walDatabaseUntouched()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("kqdata.db"));
    // The application: a WAL database it keeps open, its last commits only in the log.
    QSqlDatabase app = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("app"));
    app.setDatabaseName(path);
    QVERIFY(app.open());
    {
        QSqlQuery query(app);
        QVERIFY(query.exec(QStringLiteral("PRAGMA journal_mode=WAL")));
        QVERIFY(query.exec(QStringLiteral("PRAGMA wal_autocheckpoint=0")));
        QVERIFY(query.exec(kTables.at(0)));
        for (int i = 0; i < 5; ++i)
            QVERIFY(query.exec(QStringLiteral("INSERT INTO orders (item) VALUES ('row %1')").arg(i)));
    }
    QVERIFY(QFileInfo::exists(path + QStringLiteral("-wal")));
    QVERIFY(QFileInfo::exists(path + QStringLiteral("-shm")));
    const QStringList before = filesOf(dir.path());
    QCOMPARE(before.size(), 3);

    {
        DatabaseSnapshot snapshot(path);
        QCOMPARE(snapshot.state(), DatabaseSnapshot::State::Taken);
        QCOMPARE(snapshot.quickCheck(), DatabaseSnapshot::Health::Sound);
        // The dry run's copy holds what only the log held.
        TrialDatabase trial(path);
        QCOMPARE(trial.state(), TrialDatabase::State::Copied);
        int failed = -1;
        QString error;
        QVERIFY2(trial.run({QStringLiteral("SELECT CASE WHEN (SELECT count(*) FROM orders) = 5 THEN 1 "
                                           "ELSE abs(-9223372036854775807 - 1) END")},
                           &failed, &error),
                 qPrintable(error));
    }
    QCOMPARE(filesOf(dir.path()), before);

    app.close();
    app = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("app"));
}

QTEST_GUILESS_MAIN(TestDatabaseSnapshot)
#include "tst_databasesnapshot.moc"
