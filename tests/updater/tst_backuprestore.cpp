#include "common/deeptree.h"
#include "common/installationfixture.h"
#include "common/logcapture.h"
#include "common/packagebuilder.h"
#include "config/configbase.h"
#include "db/dbcontrol.h"
#include "fileutil/symlink.h"
#include "platform/changestamp.h"
#include "platform/dirhandle.h"
#include "updater/cvupdater.h"
#include "updater/updateflag.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>
#include <QSignalSpy>
#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>

#include <memory>
#include <vector>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

const QString backupSignature = QStringLiteral("bool CVUpdater::backupVersion()");
const QString restoreSignature = QStringLiteral("bool CVUpdater::restoreVersion()");
const QString execSignature = QStringLiteral("bool CVUpdater::execUpdate()");
const QString regSignature = QStringLiteral("bool CVUpdater::updateRegKey()");
const QString copySignature = QStringLiteral("bool ZRPubMethod::copyDir(QDir, QDir, bool)");
const QString restoreDirSignature = QStringLiteral("bool ZRPubMethod::restoreDir(QDir, QDir, qint64)");

// The debug stream prints a string value in quotes, with its backslashes doubled.
QString quoted(QString text)
{
    text.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    return QStringLiteral("\"%1\"").arg(text);
}

QList<int> emitted(const QSignalSpy &spy)
{
    QList<int> values;
    for (const QList<QVariant> &arguments : spy)
        values << arguments.at(0).toInt();
    return values;
}

// The reserved names of the installation below: folders at the top, files anywhere.
const QStringList reservedEntries{"log", "image", "Updater", "install.log", "config/UPDATER.ini"};

#ifdef Q_OS_WIN
// A file that cannot be replaced: Windows neither removes nor replaces a file while a
// handle that does not share deleting is open, as Qt opens every file. Closed again
// when the object goes.
class Immutable
{
public:
    explicit Immutable(const QString &path)
        : m_file(path)
    {
        m_file.open(QIODevice::ReadOnly);
    }
    Immutable(const Immutable &) = delete;
    Immutable &operator=(const Immutable &) = delete;

    bool isSet() const { return m_file.isOpen(); }
    void clear() { m_file.close(); }

private:
    QFile m_file;
};
#else
// The immutable attribute stops every user, root included, from replacing or removing
// a file, unlike permissions. Cleared again when the object goes, so that the test's
// directories can be removed.
class Immutable
{
public:
    explicit Immutable(const QString &path)
        : m_path(path)
        , m_set(run(QStringLiteral("+i")))
    {
    }
    ~Immutable() { clear(); }
    Immutable(const Immutable &) = delete;
    Immutable &operator=(const Immutable &) = delete;

    bool isSet() const { return m_set; }
    void clear()
    {
        if (m_set)
            m_set = !run(QStringLiteral("-i"));
    }

private:
    bool run(const QString &flag) const
    {
        QProcess chattr;
        chattr.setProcessChannelMode(QProcess::MergedChannels);
        chattr.start(QStringLiteral("chattr"), {flag, m_path});
        return chattr.waitForFinished() && chattr.exitStatus() == QProcess::NormalExit && chattr.exitCode() == 0;
    }

    QString m_path;
    bool m_set;
};
#endif

QByteArray linkAt(const DirHandle &dir, const QString &name)
{
    QByteArray text;
    return dir.readLink(name, &text) ? text : QByteArray();
}

} // namespace

// The update manager's backup, restore, update execution, registry and shortcut on a
// real installation: files, marked INI files, an SQLite database, the registry
// stand-in and the desktop of a test home.
class TestBackupRestore : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void backupLeavesReservedNamesOut();
    void backupFailures_data();
    void backupFailures();
    void backupFlagNotWritten();
    void restorePutsBackupBack();
    void restoreFailures_data();
    void restoreFailures();
    void restoreCreatesNoDatabase();
    void restoreRefusedWhileDatabaseHeld();
    void journalOfInterruptedStep_data();
    void journalOfInterruptedStep();
    void restoreGoesOnPastFilesItCannotReplace();
    void restoreReadsOnlyWhatChangedSinceTheBackup();
    void secondBackupCopiesOnlyWhatChanged();
    void failedUpdateLeavesNothingChanged();
    void linkToOwnBackupStaysALink();
    void oldBackupHoldsLinkedDirectory_data();
    void oldBackupHoldsLinkedDirectory();
    void deepTreeIsBackedUpUpdatedAndRestored();
    void deepFileThatCannotBeCopied_data();
    void deepFileThatCannotBeCopied();
    void execUpdateRefusedList();
    void execUpdateTwoSteps();
    void stepsWriteNoFileInPlaceButTheDatabase();
    void updateRegKey_data();
    void updateRegKey();
    void shortcutProblemsAreNotFatal_data();
    void shortcutProblemsAreNotFatal();
    void unwritableKey_data();
    void unwritableKey();
    void flagNotWrittenPutsKeyBack();

private:
    CVUpdater *startUpdater();
    bool writeVersion(const QString &version);
    QStringList rows(const QString &sql) const { return PackageBuilder::query(m_fixture.databasePath(), sql); }

    InstallationFixture m_fixture;
};

void TestBackupRestore::initTestCase()
{
    QVERIFY2(m_fixture.setUp(), qPrintable(m_fixture.error()));
}

void TestBackupRestore::init()
{
    QVERIFY2(m_fixture.reset(), qPrintable(m_fixture.error()));

    PackageBuilder installation(m_fixture.installPath());
    installation
        .files({"ostrelle.exe=v3.2", "bin/lib.txt=3.2", "user/notes.txt=mine", "log/today.txt=log",
                "image/logo.png=img", "Updater/updater.exe=u", "install.log=il", "docs/log/old.txt=deep",
                "docs/Log/kept.txt=case differs", "docs/logbook.txt=prefix", ".hidden=h"})
        .markedIni(QStringLiteral("config/UPDATER.ini"), {{"UPDATE/FLAG", "true"}})
        .markedIni(QStringLiteral("config/app.ini"), {{"main/lang", "en"}})
        .database(QStringLiteral("kqdata.db"), {"CREATE TABLE person(id INTEGER PRIMARY KEY, name TEXT)",
                                                "INSERT INTO person(name) VALUES('ann')"});
    QVERIFY2(installation.ok(), qPrintable(installation.error()));
    QVERIFY(writeVersion(QStringLiteral("3.4")));
    QVERIFY2(m_fixture.writeKey(QStringLiteral("3.2")), qPrintable(m_fixture.error()));
    m_fixture.openDatabase();
}

CVUpdater *TestBackupRestore::startUpdater()
{
    // Deleted by the fixture's reset before the next case.
    return CVUpdater::getInstance();
}

bool TestBackupRestore::writeVersion(const QString &version)
{
    PackageBuilder package(m_fixture.packagePath());
    package.markedIni(QStringLiteral("version.ini"), {{"RELEASE/VERSION", version}});
    return package.ok();
}

void TestBackupRestore::backupLeavesReservedNamesOut()
{
    // An earlier backup: its extra file stays, its older copy is replaced.
    PackageBuilder earlier(m_fixture.backupPath());
    earlier.files({"stale.txt=from 3.1", "bin/lib.txt=3.1"});
    QVERIFY(earlier.ok());

    QStringList expected = PackageBuilder::snapshot(m_fixture.installPath(),
                                                    QStringList(reservedEntries) << ".hidden" << "backup");
    expected << "stale.txt=from 3.1";
    expected.sort();

    CVUpdater *updater = startUpdater();
    LogCapture log;
    QVERIFY(updater->backupVersion());

    QCOMPARE(PackageBuilder::snapshot(m_fixture.backupPath()), expected);
    QCOMPARE(PackageBuilder::query(m_fixture.backupPath() + QStringLiteral("/kqdata.db"), "SELECT name FROM person"),
             QStringList{"ann"});
    QCOMPARE(m_fixture.flagOnDisk(), QStringLiteral("false"));
    QCOMPARE(log.lines(), QStringList{"Debug " + backupSignature + " backup successed!"});
}

void TestBackupRestore::backupFailures_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QStringList>("expectedLog");

    QTest::newRow("no installation path") << "no path" << QStringList();
    QTest::newRow("installation missing") << "missing"
                                          << QStringList{"Warning " + backupSignature + " installpath is not exist!"};
    QTest::newRow("copy fails") << "copy"
                                << QStringList{"Warning " + copySignature + ' ' + quoted("remove lib.txt failed"),
                                               "Warning " + backupSignature + " backup failed!"};
}

void TestBackupRestore::backupFailures()
{
    QFETCH(QString, scenario);
    QFETCH(QStringList, expectedLog);

    if (scenario == QLatin1String("no path")) {
        QVERIFY(m_fixture.removeKey(QStringLiteral("Ostrelle")));
        QVERIFY(m_fixture.writeKey(QStringLiteral("Ostrelle"), QStringLiteral("3.2"), QString()));
    } else if (scenario == QLatin1String("missing")) {
        QVERIFY(m_fixture.writeKey(QStringLiteral("Ostrelle"), QStringLiteral("3.2"),
                                   m_fixture.rootPath() + QStringLiteral("/Gone/ostrelle.exe")));
    } else {
        // A directory where the backup's copy of a file goes cannot be removed.
        QVERIFY(QDir().mkpath(m_fixture.backupPath() + QStringLiteral("/bin/lib.txt")));
    }

    CVUpdater *updater = startUpdater();
    LogCapture log;
    QVERIFY(!updater->backupVersion());
    QCOMPARE(log.lines(), expectedLog);
    QCOMPARE(m_fixture.flagOnDisk(), QStringLiteral("true"));
    if (scenario != QLatin1String("copy"))
        QVERIFY(!QFileInfo::exists(m_fixture.backupPath()));
    // Nothing was created at the root for an empty path.
    QVERIFY(!QFileInfo::exists(QStringLiteral("/backup")));
}

void TestBackupRestore::backupFlagNotWritten()
{
    // The flag file's own backup cannot be replaced, so the flag cannot be saved.
    QVERIFY(QDir().mkpath(m_fixture.flagFilePath() + QStringLiteral(".bak")));

    CVUpdater *updater = startUpdater();
    LogCapture log;
    QVERIFY(!updater->backupVersion());
    QCOMPARE(log.lines(), (QStringList{"Debug " + backupSignature + " backup successed!",
                                       "Warning " + backupSignature + ' '
                                           + quoted(QStringLiteral("write update flag %1 failed")
                                                        .arg(m_fixture.flagFilePath()))}));
    // An update must not start without the flag that would reveal its interruption.
    QCOMPARE(m_fixture.flagOnDisk(), QStringLiteral("true"));
}

void TestBackupRestore::restorePutsBackupBack()
{
    CVUpdater *updater = startUpdater();
    QVERIFY(updater->backupVersion());
    const QStringList backedUp = PackageBuilder::snapshot(m_fixture.backupPath());

    // What an update and the user did afterwards.
    QVERIFY(QFile::remove(m_fixture.installPath() + QStringLiteral("/user/notes.txt")));
    PackageBuilder changes(m_fixture.installPath());
    changes.files({"bin/lib.txt=3.4", "bin/added.txt=new in 3.4", "log/today.txt=more log"})
        .markedIni(QStringLiteral("config/app.ini"), {{"main/lang", "de"}, {"main/added", "1"}});
    QVERIFY(changes.ok());
    QVERIFY(DBControl::getInstance()->execModifySql(
        QStringList{"INSERT INTO person(name) VALUES('bob')", "ALTER TABLE person ADD COLUMN email TEXT"}));
    QCOMPARE(rows("SELECT name FROM person ORDER BY id"), (QStringList{"ann", "bob"}));
    // The update's own last write, as the sequence records it: nothing to keep.
    updater->recordDatabase();

    LogCapture log;
    QVERIFY(updater->restoreVersion());
    QCOMPARE(log.lines(), QStringList{"Debug " + restoreSignature + " restore successed!"});

    // Everything of the backup is back; what the update added stays; reserved names
    // were neither backed up nor touched.
    QCOMPARE(PackageBuilder::readFile(m_fixture.installPath() + QStringLiteral("/user/notes.txt")), QByteArray("mine"));
    QCOMPARE(PackageBuilder::readFile(m_fixture.installPath() + QStringLiteral("/bin/lib.txt")), QByteArray("3.2"));
    QCOMPARE(PackageBuilder::readFile(m_fixture.installPath() + QStringLiteral("/bin/added.txt")),
             QByteArray("new in 3.4"));
    QCOMPARE(PackageBuilder::readFile(m_fixture.installPath() + QStringLiteral("/log/today.txt")),
             QByteArray("more log"));
    QCOMPARE(PackageBuilder::iniValues(m_fixture.installPath() + QStringLiteral("/config/app.ini"))
                 .value(QStringLiteral("main/lang")),
             QStringLiteral("en"));
    QCOMPARE(rows("SELECT name FROM person ORDER BY id"), QStringList{"ann"});
    QCOMPARE(rows("SELECT COUNT(*) FROM pragma_table_info('person') WHERE name = 'email'"), QStringList{"0"});
    QCOMPARE(m_fixture.flagOnDisk(), QStringLiteral("true"));
    QCOMPARE(PackageBuilder::snapshot(m_fixture.backupPath()), backedUp);

    // The connection is open again, on the restored file.
    QVERIFY(DBControl::getInstance()->getDatabase()->isOpen());
    QSqlQuery query;
    QVERIFY(DBControl::getInstance()->execSelectSql(query, QStringLiteral("SELECT COUNT(*) FROM person")));
    QVERIFY(query.next());
    QCOMPARE(query.value(0).toInt(), 1);
}

void TestBackupRestore::restoreFailures_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QStringList>("expectedLog");
    QTest::addColumn<bool>("databaseOpen");

    QTest::newRow("no installation path") << "no path" << QStringList() << true;
    QTest::newRow("installation missing")
        << "missing" << QStringList{"Warning " + restoreSignature + " installpath is not exist!"} << true;
    QTest::newRow("no backup") << "no backup" << QStringList{"Warning " + restoreSignature + " bak file is not exist!"}
                               << true;
    // The database stays closed: it may be among what could not be put back.
    QTest::newRow("copy fails") << "copy"
                                << QStringList{"Warning " + restoreDirSignature + ' '
                                                   + quoted("remove user/notes.txt failed,reason:a directory is in the way"),
                                               "Warning " + restoreSignature + " restore failed!"}
                                << false;
}

void TestBackupRestore::restoreFailures()
{
    QFETCH(QString, scenario);
    QFETCH(QStringList, expectedLog);
    QFETCH(bool, databaseOpen);

    PackageBuilder installation(m_fixture.installPath());
    installation.markedIni(QStringLiteral("config/UPDATER.ini"), {{"UPDATE/FLAG", "false"}});
    if (scenario == QLatin1String("no path")) {
        QVERIFY(m_fixture.removeKey(QStringLiteral("Ostrelle")));
        QVERIFY(m_fixture.writeKey(QStringLiteral("Ostrelle"), QStringLiteral("3.2"), QString()));
    } else if (scenario == QLatin1String("missing")) {
        QVERIFY(m_fixture.writeKey(QStringLiteral("Ostrelle"), QStringLiteral("3.2"),
                                   m_fixture.rootPath() + QStringLiteral("/Gone/ostrelle.exe")));
    } else if (scenario == QLatin1String("copy")) {
        installation.files({"backup/user/notes.txt=backed up"});
        QVERIFY(QFile::remove(m_fixture.installPath() + QStringLiteral("/user/notes.txt")));
        installation.dir(QStringLiteral("user/notes.txt"));
    }
    QVERIFY(installation.ok());

    CVUpdater *updater = startUpdater();
    LogCapture log;
    QVERIFY(!updater->restoreVersion());
    QCOMPARE(log.lines(), expectedLog);
    QCOMPARE(m_fixture.flagOnDisk(), QStringLiteral("false"));
    QCOMPARE(DBControl::getInstance()->getDatabase()->isOpen(), databaseOpen);
}

void TestBackupRestore::restoreCreatesNoDatabase()
{
    // An installation without a database, backed up as it is.
    m_fixture.closeDatabase();
    QVERIFY(QFile::remove(m_fixture.databasePath()));
    CVUpdater *updater = startUpdater();
    QVERIFY(updater->backupVersion());
    QVERIFY(!QFileInfo::exists(m_fixture.backupPath() + QStringLiteral("/kqdata.db")));

    QVERIFY(updater->restoreVersion());
    QVERIFY(!QFileInfo::exists(m_fixture.databasePath()));
    // An update step that runs statements still gets its database.
    QVERIFY(DBControl::getInstance()->execModifySql(QStringList{QStringLiteral("CREATE TABLE t(x)")}));
    QVERIFY(QFileInfo::exists(m_fixture.databasePath()));
}

void TestBackupRestore::restoreRefusedWhileDatabaseHeld()
{
    const QString begin = QStringLiteral("BEGIN EXCLUSIVE");
    const QString insert = QStringLiteral("INSERT INTO person(name) VALUES('carol')");
#ifdef Q_OS_WIN
    // Byte-range locks belong to a file handle on Windows, not to a process: a second
    // connection of this process holds the database as the application would.
    const QString applicationConnection = QStringLiteral("application");
    CVUpdater *updater = startUpdater();
    QVERIFY(updater->backupVersion());
    {
        QSqlDatabase application = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), applicationConnection);
        application.setDatabaseName(m_fixture.databasePath());
        QVERIFY(application.open());
        QSqlQuery query(application);
        QVERIFY2(query.exec(begin) && query.exec(insert), qPrintable(query.lastError().text()));
    }
    const auto commit = [&]() {
        QSqlDatabase application = QSqlDatabase::database(applicationConnection, false);
        const bool committed = application.commit();
        application.close();
        return committed;
    };
#else
    const QString shell = QStandardPaths::findExecutable(QStringLiteral("sqlite3"));
    if (shell.isEmpty())
        QSKIP("no sqlite3 shell to hold the database from another process");
    CVUpdater *updater = startUpdater();
    QVERIFY(updater->backupVersion());

    // The running application, in the middle of a write transaction.
    QProcess application;
    application.setProcessChannelMode(QProcess::MergedChannels);
    application.start(shell, {m_fixture.databasePath()});
    QVERIFY(application.waitForStarted());
    application.write(".timeout 5000\n" + begin.toUtf8() + ";\n" + insert.toUtf8() + ";\n");
    const auto commit = [&]() {
        application.write("COMMIT;\n");
        application.closeWriteChannel();
        return application.waitForFinished(10000) && application.exitCode() == 0
            && application.readAll().trimmed().isEmpty();
    };
#endif
    {
        // Until the lock is held: an exclusive transaction of our own is refused.
        QSqlDatabase probe = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("probe"));
        probe.setDatabaseName(m_fixture.databasePath());
        probe.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=0"));
        QVERIFY(probe.open());
        QSqlQuery query(probe);
        QTRY_VERIFY_WITH_TIMEOUT(!query.exec(begin) || !query.exec(QStringLiteral("ROLLBACK")), 10000);
        QVERIFY2(query.lastError().text().contains(QStringLiteral("locked")), qPrintable(query.lastError().text()));
        probe.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("probe"));
    QVERIFY(QFileInfo::exists(m_fixture.databasePath() + QStringLiteral("-journal")));

    LogCapture log;
    QVERIFY(!updater->restoreVersion());
    QVERIFY2(log.lines().join(QLatin1Char('\n')).contains(QStringLiteral("is in use by another program")),
             qPrintable(log.lines().join(QLatin1Char('\n'))));
    QCOMPARE(m_fixture.flagOnDisk(), QStringLiteral("false"));

    // Its work is not lost: neither its journal moved nor its lock broken.
    QVERIFY2(commit(), "the application's COMMIT failed");
#ifdef Q_OS_WIN
    QSqlDatabase::removeDatabase(applicationConnection);
#endif
    QCOMPARE(rows("SELECT name FROM person ORDER BY id"), (QStringList{"ann", "carol"}));
}

void TestBackupRestore::journalOfInterruptedStep_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<bool>("restored");
    QTest::addColumn<bool>("journalBack");

    // The database the journal belongs to is replaced: the journal goes with it.
    QTest::newRow("database restored") << "restored" << true << false;
    // It stays: so does its journal, which SQLite rolls back into it at the next opening.
    QTest::newRow("backup without database") << "no database" << true << true;
    // The restore goes on past what it cannot replace: the database is put back, and
    // its journal goes with the database it belonged to.
    QTest::newRow("copy fails before the database") << "copy fails" << false << false;
}

void TestBackupRestore::journalOfInterruptedStep()
{
    QFETCH(QString, scenario);
    QFETCH(bool, restored);
    QFETCH(bool, journalBack);

    CVUpdater *updater = startUpdater();
    QVERIFY(updater->backupVersion());
    // The step changed the database, and was killed in its next transaction.
    QVERIFY(DBControl::getInstance()->execModifySql(QStringList{"INSERT INTO person(name) VALUES('bob')"}));
    m_fixture.closeDatabase();
    const QString journal = m_fixture.databasePath() + QStringLiteral("-journal");
    const QByteArray journalBytes("the pages before the killed transaction");
    PackageBuilder installation(m_fixture.installPath());
    installation.file(QStringLiteral("kqdata.db-journal"), journalBytes);
    if (scenario == QLatin1String("no database")) {
        QVERIFY(QFile::remove(m_fixture.backupPath() + QStringLiteral("/kqdata.db")));
    } else if (scenario == QLatin1String("copy fails")) {
        // "bin" comes before "kqdata.db".
        QVERIFY(QFile::remove(m_fixture.installPath() + QStringLiteral("/bin/lib.txt")));
        installation.dir(QStringLiteral("bin/lib.txt"));
    }
    QVERIFY(installation.ok());

    QCOMPARE(updater->restoreVersion(), restored);
    QCOMPARE(QFileInfo::exists(journal), journalBack);
    if (journalBack)
        QCOMPARE(PackageBuilder::readFile(journal), journalBytes);
    QVERIFY(!QFileInfo::exists(journal + QStringLiteral(".restoring")));
}

void TestBackupRestore::restoreGoesOnPastFilesItCannotReplace()
{
    {
        PackageBuilder probe(m_fixture.rootPath());
        probe.file(QStringLiteral("probe"), "p");
        QVERIFY(probe.ok());
        Immutable probeLock(probe.path(QStringLiteral("probe")));
        if (!probeLock.isSet())
            QSKIP("chattr +i does not work here (it needs root and a file system with the attribute, e.g. ext4)");
    }

    CVUpdater *updater = startUpdater();
    QVERIFY(updater->backupVersion());
    // What a failed update left: three files changed, and "ostrelle.exe", between the
    // other two in name order, cannot be replaced.
    PackageBuilder changes(m_fixture.installPath());
    changes.files({"bin/lib.txt=3.4", "ostrelle.exe=v3.4", "user/notes.txt=changed"});
    QVERIFY(changes.ok());
    const QString locked = m_fixture.programPath();
    Immutable lock(locked);
    QVERIFY(lock.isSet());

    LogCapture log;
    QVERIFY(!updater->restoreVersion());
    // Every other file is back; the one it could not replace is named.
    QCOMPARE(PackageBuilder::readFile(m_fixture.installPath() + QStringLiteral("/bin/lib.txt")), QByteArray("3.2"));
    QCOMPARE(PackageBuilder::readFile(m_fixture.installPath() + QStringLiteral("/user/notes.txt")), QByteArray("mine"));
    QCOMPARE(PackageBuilder::readFile(locked), QByteArray("v3.4"));
    const QStringList named = log.linesContaining(QStringLiteral("ostrelle.exe"));
    QCOMPARE(named.size(), 1);
    QVERIFY2(named.constFirst().startsWith("Warning " + restoreDirSignature + ' '), qPrintable(named.constFirst()));
    QCOMPARE(log.lines().constLast(), "Warning " + restoreSignature + " restore failed!");
    // Something still differs from the backup, so the flag says so.
    QCOMPARE(m_fixture.flagOnDisk(), QStringLiteral("false"));

    // Once the file can be replaced, the next restore completes.
    lock.clear();
    QVERIFY(!lock.isSet());
    QVERIFY(updater->restoreVersion());
    QCOMPARE(PackageBuilder::readFile(locked), QByteArray("v3.2"));
    QCOMPARE(m_fixture.flagOnDisk(), QStringLiteral("true"));

    // A file that cannot be replaced but equals its backup does not stop a restore.
    QVERIFY(updater->backupVersion());
    changes.files({"bin/lib.txt=3.4"});
    QVERIFY(changes.ok());
    Immutable untouched(locked);
    QVERIFY(untouched.isSet());
    log.clear();
    QVERIFY(updater->restoreVersion());
    QCOMPARE(log.lines(), QStringList{"Debug " + restoreSignature + " restore successed!"});
    QCOMPARE(PackageBuilder::readFile(m_fixture.installPath() + QStringLiteral("/bin/lib.txt")), QByteArray("3.2"));
    QCOMPARE(m_fixture.flagOnDisk(), QStringLiteral("true"));
}

void TestBackupRestore::restoreReadsOnlyWhatChangedSinceTheBackup()
{
    if (!ChangeStamp::isKeptAt(m_fixture.installPath()))
        QSKIP("the file system of the temporary directory keeps no change times");
    const QString install = m_fixture.installPath();
    const QString backup = m_fixture.backupPath();
    // A file as old as the installation and of the same size as "docs/logbook.txt",
    // to be renamed onto it after the backup.
    PackageBuilder outside(m_fixture.rootPath());
    outside.file(QStringLiteral("old.txt"), "prefiX");
    QVERIFY(outside.ok());
    // Older than the backup's start by more than the room left for coarse stamps.
    QThread::msleep(1300);

    CVUpdater *updater = startUpdater();
    QVERIFY(updater->backupVersion());
    QVERIFY(UpdateFlag(install).read().backupStarted > 0);

    // Witnesses: the backup's copy differs (same size) from an installed file nobody
    // touched, so whether the restore compares that file shows in what it leaves there.
    const auto tamper = [&](const QString &relative) {
        QFile copy(backup + QLatin1Char('/') + relative);
        QVERIFY(copy.open(QIODevice::ReadWrite));
        QVERIFY(copy.write("X") == 1);
    };
    tamper(QStringLiteral("user/notes.txt"));
    // The database is written in place, its stamp synced later than its pages: it is
    // compared however old its change time.
    const qint64 databaseSize = QFileInfo(m_fixture.databasePath()).size();
    QCOMPARE(PackageBuilder::query(backup + QStringLiteral("/kqdata.db"), "UPDATE person SET name = 'eve'"), QStringList());
    QCOMPARE(QFileInfo(backup + QStringLiteral("/kqdata.db")).size(), databaseSize);
    // What the failed update left: changes of the same size, so that only the content
    // or the change time tells them.
    {
        QFile lib(install + QStringLiteral("/bin/lib.txt"));
        QVERIFY(lib.open(QIODevice::ReadWrite));
        QVERIFY(lib.write("3.4") == 3);
    }
    QVERIFY(QFile::remove(install + QStringLiteral("/docs/logbook.txt")));
    QVERIFY(QFile::rename(m_fixture.rootPath() + QStringLiteral("/old.txt"), install + QStringLiteral("/docs/logbook.txt")));

    LogCapture log;
    QVERIFY(updater->restoreVersion());
    QCOMPARE(log.lines(), QStringList{"Debug " + restoreSignature + " restore successed!"});
    QCOMPARE(PackageBuilder::readFile(install + QStringLiteral("/bin/lib.txt")), QByteArray("3.2"));
    QCOMPARE(PackageBuilder::readFile(install + QStringLiteral("/docs/logbook.txt")), QByteArray("prefix"));
    QCOMPARE(PackageBuilder::readFile(install + QStringLiteral("/user/notes.txt")), QByteArray("mine"));
    QCOMPARE(rows("SELECT name FROM person"), QStringList{"eve"});

    const auto recordStart = [&](const QString &start) {
        ConfigBase flag(m_fixture.flagFilePath());
        flag.setValue(QStringLiteral("UPDATE/BACKUPSTART"), start);
        QVERIFY(flag.save());
    };
    // A backup that recorded no start (an earlier updater's) has every file compared.
    recordStart(QString());
    QVERIFY(updater->restoreVersion());
    QCOMPARE(PackageBuilder::readFile(install + QStringLiteral("/user/notes.txt")), QByteArray("Xine"));

    // A clock now behind the backup's start could have stamped the update's changes as
    // older than the backup: every file is compared.
    tamper(QStringLiteral("ostrelle.exe"));
    recordStart(QString::number((QDateTime::currentMSecsSinceEpoch() + 3600 * 1000) * 1000000));
    log.clear();
    QVERIFY(updater->restoreVersion());
    QCOMPARE(log.lines(), (QStringList{"Warning " + restoreSignature
                                           + " \"the clock is behind the start of the backup,every file is compared\"",
                                       "Debug " + restoreSignature + " restore successed!"}));
    QCOMPARE(PackageBuilder::readFile(m_fixture.programPath()), QByteArray("X3.2"));
}

void TestBackupRestore::secondBackupCopiesOnlyWhatChanged()
{
    if (!ChangeStamp::isKeptAt(m_fixture.installPath()))
        QSKIP("the file system of the temporary directory keeps no change times");
    const QString install = m_fixture.installPath();
    const QString backup = m_fixture.backupPath();
    // Older than the first backup's start by more than the room left for coarse stamps.
    QThread::msleep(1300);
    CVUpdater *updater = startUpdater();
    QVERIFY(updater->backupVersion());

    // Witnesses in the backup, of the installed files' sizes: a copy kept without being
    // read keeps its mark. A backup copy cut short (a killed backup) is told by its size.
    const auto mark = [&](const QString &relative, const QByteArray &text) {
        QFile copy(backup + QLatin1Char('/') + relative);
        QVERIFY(copy.open(QIODevice::ReadWrite));
        QVERIFY(copy.write(text) == text.size());
    };
    mark(QStringLiteral("user/notes.txt"), "X");
    mark(QStringLiteral("docs/logbook.txt"), "X");
    QVERIFY(QFile(backup + QStringLiteral("/ostrelle.exe")).resize(2));
    // The database is compared whatever its stamp says.
    QCOMPARE(PackageBuilder::query(backup + QStringLiteral("/kqdata.db"), "UPDATE person SET name = 'eve'"), QStringList());
    // Changed since: in place at the same size, and rewritten with the very same bytes.
    {
        QFile lib(install + QStringLiteral("/bin/lib.txt"));
        QVERIFY(lib.open(QIODevice::ReadWrite));
        QVERIFY(lib.write("3.4") == 3);
    }
    QVERIFY(PackageBuilder(install).file(QStringLiteral("docs/logbook.txt"), "prefix").ok());

    QVERIFY(updater->backupVersion());
    QCOMPARE(PackageBuilder::readFile(backup + QStringLiteral("/user/notes.txt")), QByteArray("Xine"));
    QCOMPARE(PackageBuilder::readFile(backup + QStringLiteral("/ostrelle.exe")), QByteArray("v3.2"));
    QCOMPARE(PackageBuilder::readFile(backup + QStringLiteral("/bin/lib.txt")), QByteArray("3.4"));
    QCOMPARE(PackageBuilder::readFile(backup + QStringLiteral("/docs/logbook.txt")), QByteArray("prefix"));
    QCOMPARE(PackageBuilder::query(backup + QStringLiteral("/kqdata.db"), "SELECT name FROM person"), QStringList{"ann"});

    // Without a recorded start of the last backup, every file is compared.
    {
        ConfigBase flag(m_fixture.flagFilePath());
        flag.setValue(QStringLiteral("UPDATE/BACKUPSTART"), QString());
        QVERIFY(flag.save());
    }
    mark(QStringLiteral("user/notes.txt"), "X");
    QVERIFY(updater->backupVersion());
    QCOMPARE(PackageBuilder::readFile(backup + QStringLiteral("/user/notes.txt")), QByteArray("mine"));
}

void TestBackupRestore::failedUpdateLeavesNothingChanged()
{
    // Folders that bear a reserved name below the top, program links, a .so version
    // chain, a link to a directory inside and one to a directory outside the installation
    // (plain files where links are not Unix links).
    const QString outside = m_fixture.rootPath() + QStringLiteral("/shared");
    PackageBuilder elsewhere(outside);
    elsewhere.files({"fonts/a.ttf=font"});
    PackageBuilder installation(m_fixture.installPath());
    installation.files({"share/mime/image/png.xml=old png", "share/icons/log/l.svg=old svg",
                        "plugins/Updater/u.so=old u", "share/backup/b.txt=old b", "lib/libx.so.1.2=lib 1.2",
                        "docs/image/deep/x.png=old x"});
#ifdef Q_OS_WIN
    installation.files({"lib/libx.so.1=lib 1.2", "lib/libx.so=lib 1.2", "bin/ostrelle=launcher"});
#else
    installation.link(QStringLiteral("lib/libx.so.1"), QStringLiteral("libx.so.1.2"))
        .link(QStringLiteral("lib/libx.so"), QStringLiteral("libx.so.1"))
        .link(QStringLiteral("bin/ostrelle"), QStringLiteral("../ostrelle.exe"))
        .link(QStringLiteral("data"), QStringLiteral("share"))
        .link(QStringLiteral("fonts"), outside + QStringLiteral("/fonts"));
#endif
    QVERIFY(elsewhere.ok() && installation.ok());
    const QStringList ignored{"backup", "log", "image", "Updater", "install.log", "config/UPDATER.ini",
                              "config/UPDATER.ini.bak"};
    const QStringList before = PackageBuilder::snapshot(m_fixture.installPath(), ignored);
    const QStringList outsideBefore = PackageBuilder::snapshot(outside);

    // The first step writes into all of them, the second one's script fails.
    PackageBuilder package(m_fixture.packagePath());
    const QString step = QStringLiteral("3_2_to_3_3");
    package
        .files({PackageBuilder::stepPath(step, "common/share/mime/image/png.xml=new png"),
                PackageBuilder::stepPath(step, "common/share/icons/log/l.svg=new svg"),
                PackageBuilder::stepPath(step, "common/plugins/Updater/u.so=new u"),
                PackageBuilder::stepPath(step, "common/share/backup/b.txt=new b"),
                PackageBuilder::stepPath(step, "common/docs/image/deep/x.png=new x"),
                PackageBuilder::stepPath(step, "common/lib/libx.so=lib 3.3"),
                PackageBuilder::stepPath(step, "common/lib/libx.so.1.2=lib 1.2 patched"),
                PackageBuilder::stepPath(step, "common/bin/ostrelle=launcher 3.3"),
                PackageBuilder::stepPath(step, "common/bin/lib.txt=3.3"),
                PackageBuilder::stepPath("3_3_to_3_4", "common/")})
        .sqlScript("3_3_to_3_4", "THIS IS NOT SQL;\n");
    QVERIFY(package.ok());

    CVUpdater *updater = startUpdater();
    QVERIFY(updater->backupVersion());
#ifndef Q_OS_WIN
    // Links are backed up as links, never followed out of the installation.
    QCOMPARE(PackageBuilder::linkText(m_fixture.backupPath() + QStringLiteral("/fonts")), outside + QStringLiteral("/fonts"));
    QCOMPARE(PackageBuilder::linkText(m_fixture.backupPath() + QStringLiteral("/lib/libx.so")), QStringLiteral("libx.so.1"));
#endif
    QVERIFY(!updater->execUpdate());
    QCOMPARE(PackageBuilder::readFile(m_fixture.installPath() + QStringLiteral("/share/mime/image/png.xml")),
             QByteArray("new png"));
    QVERIFY(updater->restoreVersion());

    // Every file the update changed is back, byte for byte, and every link a link again.
    const QStringList after = PackageBuilder::snapshot(m_fixture.installPath(), ignored);
    for (const QString &row : after)
        QVERIFY2(before.contains(row), qPrintable(row));
    QCOMPARE(after, before);
#ifndef Q_OS_WIN
    QCOMPARE(PackageBuilder::linkText(m_fixture.installPath() + QStringLiteral("/lib/libx.so")), QStringLiteral("libx.so.1"));
    QCOMPARE(PackageBuilder::linkText(m_fixture.installPath() + QStringLiteral("/bin/ostrelle")), QStringLiteral("../ostrelle.exe"));
#endif
    QCOMPARE(PackageBuilder::snapshot(outside), outsideBefore);
    QCOMPARE(m_fixture.flagOnDisk(), QStringLiteral("true"));
}

void TestBackupRestore::linkToOwnBackupStaysALink()
{
#ifdef Q_OS_WIN
    QSKIP("links are kept as links where they are Unix links");
#else
    PackageBuilder installation(m_fixture.installPath());
    installation.link(QStringLiteral("lk"), QStringLiteral("backup")).link(QStringLiteral("abs"), m_fixture.backupPath());
    QVERIFY(installation.ok());

    CVUpdater *updater = startUpdater();
    QVERIFY(updater->backupVersion());
    QVERIFY(updater->backupVersion());
    QVERIFY(updater->restoreVersion());
    QCOMPARE(PackageBuilder::linkText(m_fixture.backupPath() + QStringLiteral("/lk")), QStringLiteral("backup"));
    QCOMPARE(PackageBuilder::linkText(m_fixture.backupPath() + QStringLiteral("/abs")), m_fixture.backupPath());
    QCOMPARE(PackageBuilder::linkText(m_fixture.installPath() + QStringLiteral("/lk")), QStringLiteral("backup"));
    // Nothing below the backup but one copy of the installation.
    const QStringList backedUp = PackageBuilder::snapshot(m_fixture.backupPath());
    for (const QString &row : backedUp)
        QVERIFY2(!row.startsWith(QLatin1String("lk/")) && !row.startsWith(QLatin1String("abs/")), qPrintable(row));
#endif
}

void TestBackupRestore::oldBackupHoldsLinkedDirectory_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("file"); // a file of the directory

    // A folder shared with other installations.
    QTest::newRow("plugins folder") << "plugins" << "plugins/report.dll";
    // The configuration kept elsewhere, where another program's save was cut short: its
    // lock file is left there, which the clean-up before the restore must not take for ours.
    QTest::newRow("config folder") << "config" << "config/app.ini";
}

void TestBackupRestore::oldBackupHoldsLinkedDirectory()
{
#ifdef Q_OS_WIN
    QSKIP("links are kept as links where they are Unix links");
#else
    QFETCH(QString, name);
    QFETCH(QString, file);
    PackageBuilder installation(m_fixture.installPath());
    installation.files({"plugins/report.dll=report 3.2"});
    QVERIFY(installation.ok());
    CVUpdater *updater = startUpdater();
    QVERIFY(updater->backupVersion());
    const QByteArray expected = PackageBuilder::readFile(m_fixture.backupPath() + QLatin1Char('/') + file);
    QVERIFY(!expected.isEmpty());

    // The installation's directory moved out and linked, after the backup: an older
    // updater, which followed links, would have made this backup of the link.
    const QString outside = m_fixture.rootPath() + QStringLiteral("/shared/") + name;
    QVERIFY(QDir().mkpath(m_fixture.rootPath() + QStringLiteral("/shared")));
    QVERIFY(QDir().rename(m_fixture.installPath() + QLatin1Char('/') + name, outside));
    PackageBuilder elsewhere(outside);
    elsewhere.files({"report.dll=report of the other installation", "theirs.txt=theirs"})
        .file(QStringLiteral("app.ini.lock"), QByteArray());
    installation.link(name, outside);
    QVERIFY(elsewhere.ok() && installation.ok());
    const QStringList outsideBefore = PackageBuilder::snapshot(outside);

    LogCapture log;
    QVERIFY(updater->restoreVersion());
    // The link is gone, not what it led to: the installation has the backup's directory.
    const QFileInfo restored(m_fixture.installPath() + QLatin1Char('/') + name);
    QVERIFY(restored.isDir() && !restored.isSymLink());
    QCOMPARE(PackageBuilder::readFile(m_fixture.installPath() + QLatin1Char('/') + file), expected);
    QCOMPARE(PackageBuilder::snapshot(outside), outsideBefore);
    QCOMPARE(log.linesContaining(QStringLiteral("replace link")),
             QStringList{QStringLiteral("Warning %1 \"replace link %2 (to %3) with the backup's directory\"")
                             .arg(restoreDirSignature, name, outside)});
    QCOMPARE(m_fixture.flagOnDisk(), QStringLiteral("true"));
#endif
}

void TestBackupRestore::deepTreeIsBackedUpUpdatedAndRestored()
{
    // Every byte value, so that nothing on the way may treat the file as text.
    QByteArray original;
    for (int i = 0; i < 3 * 256; ++i)
        original.append(char(i));
    PackageBuilder installation(m_fixture.installPath());
    installation.dir(QStringLiteral("deep"));
    QVERIFY(installation.ok());
    {
        const DirHandle deep = DeepTree::open(m_fixture.installPath() + QStringLiteral("/deep"), true);
        QVERIFY2(deep.isOpen(), qPrintable(qt_error_string(deep.error())));
        QVERIFY(deep.pathOf(QString()).toUtf8().size() > DeepTree::longestWholePath());
        QVERIFY(DeepTree::write(deep, QStringLiteral("data.bin"), original));
        QVERIFY(deep.makeDir(QStringLiteral("sub")));
        QVERIFY(DeepTree::write(deep.openChild(QStringLiteral("sub")), QStringLiteral("inner.txt"), "inner 3.2"));
        if (SymLink::isSupported())
            QVERIFY(deep.makeLink("data.bin", QStringLiteral("to-data")));
    }
    // The step's common tree brings a new data.bin to the same depth.
    PackageBuilder package(m_fixture.packagePath());
    package.files({PackageBuilder::stepPath("3_2_to_3_3", "common/bin/lib.txt=3.3")})
        .dir(PackageBuilder::stepPath("3_3_to_3_4", "common/deep"));
    QVERIFY(package.ok());
    const DirHandle packaged = DeepTree::open(package.path(PackageBuilder::stepPath("3_3_to_3_4", "common/deep")), true);
    QVERIFY(DeepTree::write(packaged, QStringLiteral("data.bin"), "data 3.4"));

    CVUpdater *updater = startUpdater();
    LogCapture log;
    QVERIFY(updater->backupVersion());
    const DirHandle backedUp = DeepTree::open(m_fixture.backupPath() + QStringLiteral("/deep"), false);
    QVERIFY(backedUp.isOpen());
    QCOMPARE(DeepTree::read(backedUp, QStringLiteral("data.bin")), original);
    QCOMPARE(DeepTree::read(backedUp.openChild(QStringLiteral("sub")), QStringLiteral("inner.txt")), QByteArray("inner 3.2"));
    if (SymLink::isSupported())
        QCOMPARE(linkAt(backedUp, QStringLiteral("to-data")), QByteArray("data.bin"));

    QVERIFY(updater->execUpdate());
    const DirHandle deep = DeepTree::open(m_fixture.installPath() + QStringLiteral("/deep"), false);
    QCOMPARE(DeepTree::read(deep, QStringLiteral("data.bin")), QByteArray("data 3.4"));
    // What else a failed update could have changed down there.
    QVERIFY(DeepTree::write(deep.openChild(QStringLiteral("sub")), QStringLiteral("inner.txt"), "inner changed"));
    if (SymLink::isSupported())
        QVERIFY(deep.removeFile(QStringLiteral("to-data")) && deep.makeLink("elsewhere", QStringLiteral("to-data")));

    QVERIFY(updater->restoreVersion());
    QCOMPARE(DeepTree::read(deep, QStringLiteral("data.bin")), original);
    QCOMPARE(DeepTree::read(deep.openChild(QStringLiteral("sub")), QStringLiteral("inner.txt")), QByteArray("inner 3.2"));
    if (SymLink::isSupported())
        QCOMPARE(linkAt(deep, QStringLiteral("to-data")), QByteArray("data.bin"));
    QCOMPARE(m_fixture.flagOnDisk(), QStringLiteral("true"));
    QCOMPARE(log.linesContaining(QStringLiteral("Warning")), QStringList());
}

void TestBackupRestore::deepFileThatCannotBeCopied_data()
{
    QTest::addColumn<bool>("inBackup");
    // A directory stands where the copy of a.txt goes: in the backup, or in the
    // installation that the restore puts the backup back into.
    QTest::newRow("backup") << true;
    QTest::newRow("restore") << false;
}

void TestBackupRestore::deepFileThatCannotBeCopied()
{
    QFETCH(bool, inBackup);
    PackageBuilder installation(m_fixture.installPath());
    installation.dir(QStringLiteral("deep"));
    QVERIFY(installation.ok());
    const DirHandle deep = DeepTree::open(m_fixture.installPath() + QStringLiteral("/deep"), true);
    QVERIFY(DeepTree::write(deep, QStringLiteral("a.txt"), "a 3.2") && DeepTree::write(deep, QStringLiteral("b.txt"), "b 3.2"));
    CVUpdater *updater = startUpdater();
    LogCapture log;

    if (inBackup) {
        QVERIFY(QDir().mkpath(m_fixture.backupPath() + QStringLiteral("/deep")));
        QVERIFY(DeepTree::open(m_fixture.backupPath() + QStringLiteral("/deep"), true).makeDir(QStringLiteral("a.txt")));
        QVERIFY(!updater->backupVersion());
        QCOMPARE(log.lines().constLast(), "Warning " + backupSignature + " backup failed!");
        QCOMPARE(m_fixture.flagOnDisk(), QStringLiteral("true"));
    } else {
        QVERIFY(updater->backupVersion());
        // What a failed update left: both files changed, a.txt into a directory.
        QVERIFY(deep.removeFile(QStringLiteral("a.txt")) && deep.makeDir(QStringLiteral("a.txt")));
        QVERIFY(DeepTree::write(deep, QStringLiteral("b.txt"), "b 3.4"));
        log.clear();
        QVERIFY(!updater->restoreVersion());
        // The restore went on past a.txt.
        QCOMPARE(DeepTree::read(deep, QStringLiteral("b.txt")), QByteArray("b 3.2"));
        QCOMPARE(log.lines().constLast(), "Warning " + restoreSignature + " restore failed!");
        QCOMPARE(m_fixture.flagOnDisk(), QStringLiteral("false"));
    }
    const QStringList named = log.linesContaining(QStringLiteral("a.txt"));
    QCOMPARE(named.size(), 1);
    QVERIFY2(named.constFirst().startsWith("Warning " + (inBackup ? copySignature : restoreDirSignature) + ' '),
             qPrintable(named.constFirst()));
    QVERIFY2(named.constFirst().contains(QStringLiteral("a directory is in the way")) || inBackup,
             qPrintable(named.constFirst()));
    if (inBackup)
        return;

    // Nothing keeps the installation stuck: once the file can be put back, it is.
    QVERIFY(deep.removeTree(QStringLiteral("a.txt")));
    QVERIFY(updater->restoreVersion());
    QCOMPARE(DeepTree::read(deep, QStringLiteral("a.txt")), QByteArray("a 3.2"));
    QCOMPARE(m_fixture.flagOnDisk(), QStringLiteral("true"));
}

void TestBackupRestore::execUpdateRefusedList()
{
    QVERIFY(writeVersion(QStringLiteral("4.0")));
    CVUpdater *updater = startUpdater();
    QSignalSpy progress(updater, &CVUpdater::sigProcessAddValue);
    LogCapture log;
    QVERIFY(!updater->execUpdate());
    QVERIFY(progress.isEmpty());
    QCOMPARE(log.linesContaining(execSignature), QStringList{"Warning " + execSignature + " read updatelist failed!"});
    QVERIFY(updater->getUpdateList().isEmpty());
}

void TestBackupRestore::execUpdateTwoSteps()
{
    PackageBuilder package(m_fixture.packagePath());
    package.files({PackageBuilder::stepPath("3_2_to_3_3", "common/bin/lib.txt=3.3"),
                   PackageBuilder::stepPath("3_3_to_3_4", "common/bin/lib.txt=3.4")})
        .sqlScript("3_3_to_3_4", "INSERT INTO person(name) VALUES('cy');\n");
    QVERIFY(package.ok());

    CVUpdater *updater = startUpdater();
    QSignalSpy progress(updater, &CVUpdater::sigProcessAddValue);
    QVERIFY(updater->execUpdate());
    QCOMPARE(updater->getUpdateList(), (QStringList{"3_2_to_3_3", "3_3_to_3_4"}));
    // 10 before the steps, then each step's shares of 70.
    QCOMPARE(emitted(progress), (QList<int>{10, 11, 11, 11, 35, 11, 11, 11, 35}));
    QCOMPARE(PackageBuilder::readFile(m_fixture.installPath() + QStringLiteral("/bin/lib.txt")), QByteArray("3.4"));
    QCOMPARE(rows("SELECT name FROM person ORDER BY id"), (QStringList{"ann", "cy"}));
}

void TestBackupRestore::stepsWriteNoFileInPlaceButTheDatabase()
{
#ifdef Q_OS_WIN
    QSKIP("tells files apart by their inode numbers");
#else
    // The backup's copies may share their blocks with the installed files (copy_file_range
    // clones on XFS and Btrfs): a step may replace an installed file, never write into it,
    // but for SQLite into the database, which the backup copies for real.
    PackageBuilder package(m_fixture.packagePath());
    package.files({PackageBuilder::stepPath("3_2_to_3_3", "common/bin/lib.txt=3.3"),
                   PackageBuilder::stepPath("3_3_to_3_4", "common/ostrelle.exe=v3.4"), "common/docs/logbook.txt=new"})
        .markedIni(PackageBuilder::stepPath("3_3_to_3_4", "config/app.ini"), {{"view/zoom", "2"}})
        .sqlScript("3_3_to_3_4", "INSERT INTO person(name) VALUES('cy');\n");
    QVERIFY(package.ok());
    const QString install = m_fixture.installPath();
    const auto files = [&install]() {
        QHash<QString, QPair<quint64, QByteArray>> found;
        QDirIterator it(install, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            struct stat status;
            if (!path.startsWith(install + QStringLiteral("/backup/")) && ::stat(QFile::encodeName(path).constData(), &status) == 0)
                found.insert(path, {quint64(status.st_ino), PackageBuilder::readFile(path)});
        }
        return found;
    };

    CVUpdater *updater = startUpdater();
    QVERIFY(updater->backupVersion());
    const auto before = files();
    // Held open, a replaced file's inode is not free for its successor to take.
    std::vector<std::unique_ptr<QFile>> held;
    for (auto it = before.cbegin(); it != before.cend(); ++it) {
        held.push_back(std::make_unique<QFile>(it.key()));
        QVERIFY(held.back()->open(QIODevice::ReadOnly));
    }
    QVERIFY(updater->execUpdate());
    const auto after = files();
    QCOMPARE(PackageBuilder::readFile(install + QStringLiteral("/ostrelle.exe")), QByteArray("v3.4"));
    QStringList writtenInPlace;
    for (auto it = before.cbegin(); it != before.cend(); ++it) {
        const auto now = after.constFind(it.key());
        if (now != after.cend() && now->first == it->first && now->second != it->second)
            writtenInPlace << QDir(install).relativeFilePath(it.key());
    }
    QCOMPARE(writtenInPlace, QStringList{"kqdata.db"});
#endif
}

void TestBackupRestore::updateRegKey_data()
{
    QTest::addColumn<QString>("keyName");
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("newVersion");
    QTest::addColumn<QString>("productName");

    QTest::newRow("English") << "Ostrelle" << "ostrelle.exe" << "3.4" << "Ostrelle";
    QTest::newRow("Chinese") << "Ketterin" << "Ketterin.exe" << "3.4" << "Ketterin";
    // The name follows the program path, not the key it was read from.
    QTest::newRow("English key, Chinese program") << "Ostrelle" << "Ketterin.exe" << "3.4" << "Ketterin";
    QTest::newRow("three parts written in full") << "Ostrelle" << "ostrelle.exe" << "3.4.1" << "Ostrelle";
}

void TestBackupRestore::updateRegKey()
{
    QFETCH(QString, keyName);
    QFETCH(QString, program);
    QFETCH(QString, newVersion);
    QFETCH(QString, productName);

    const QString programPath = m_fixture.installPath() + QLatin1Char('/') + program;
    QVERIFY(m_fixture.removeKey(QStringLiteral("Ostrelle")));
    QVERIFY(m_fixture.writeKey(keyName, QStringLiteral("3.2"), programPath));
    QVERIFY(writeVersion(newVersion));
    PackageBuilder installation(m_fixture.installPath());
    installation.markedIni(QStringLiteral("config/UPDATER.ini"), {{"UPDATE/FLAG", "false"}});
    QVERIFY(installation.ok());

    CVUpdater *updater = startUpdater();
    QCOMPARE(updater->getRegKey(), InstallationFixture::keyPath(keyName));
    QSignalSpy progress(updater, &CVUpdater::sigProcessAddValue);
    LogCapture log;
    QVERIFY(updater->updateRegKey());

    const QMap<QString, QString> key = m_fixture.keyValues(keyName);
    QCOMPARE(key, (QMap<QString, QString>{{"DisplayVersion", newVersion},
                                          {"DisplayName", productName + ' ' + newVersion},
                                          {"DisplayIcon", programPath}}));
    const QString shortcut = m_fixture.desktopPath() + QLatin1Char('/') + productName + QStringLiteral(".lnk");
    QCOMPARE(QFileInfo(shortcut).symLinkTarget(), programPath);
    QCOMPARE(QDir(m_fixture.desktopPath()).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot),
             QStringList{productName + QStringLiteral(".lnk")});
    QCOMPARE(m_fixture.flagOnDisk(), QStringLiteral("true"));
    QCOMPARE(emitted(progress), QList<int>{100});
    QCOMPARE(log.lines(), QStringList{"Debug " + regSignature + " update reg and shortcut successed"});
}

void TestBackupRestore::shortcutProblemsAreNotFatal_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QStringList>("expectedLog");

    const QString success = "Debug " + regSignature + " update reg and shortcut successed";
    // Left as it is, and no complaint: it is the shortcut of an earlier update.
    QTest::newRow("shortcut exists") << "exists" << QStringList{success};
    QTest::newRow("no desktop") << "no desktop" << QStringList{success};
}

void TestBackupRestore::shortcutProblemsAreNotFatal()
{
    QFETCH(QString, scenario);
    QFETCH(QStringList, expectedLog);

    const QString shortcut = m_fixture.desktopPath() + QStringLiteral("/Ostrelle.lnk");
    if (scenario == QLatin1String("exists")) {
        PackageBuilder desktop(m_fixture.desktopPath());
        desktop.file(QStringLiteral("Ostrelle.lnk"), "user's own");
        QVERIFY(desktop.ok());
    } else {
        QVERIFY(QDir(m_fixture.desktopPath()).removeRecursively());
        expectedLog.prepend("Warning " + regSignature + ' '
                            + quoted(QStringLiteral("create shortcut %1 failed").arg(shortcut)));
    }

    CVUpdater *updater = startUpdater();
    LogCapture log;
    QVERIFY(updater->updateRegKey());
    QCOMPARE(log.lines(), expectedLog);
    QCOMPARE(m_fixture.keyValues(QStringLiteral("Ostrelle")).value("DisplayVersion"),
             QStringLiteral("3.4"));
    QCOMPARE(m_fixture.flagOnDisk(), QStringLiteral("true"));
    // The user's own shortcut is no news; a missing one is told, not only logged.
    QCOMPARE(updater->warnings().size(), scenario == QLatin1String("exists") ? 0 : 1);
    if (scenario == QLatin1String("exists"))
        QCOMPARE(PackageBuilder::readFile(shortcut), QByteArray("user's own"));
    else
        QVERIFY(!QFileInfo::exists(m_fixture.desktopPath()));
}

void TestBackupRestore::unwritableKey_data()
{
    QTest::addColumn<bool>("parentIsFile");
    QTest::addColumn<QString>("warning");

    // Both stop root as well, unlike file permissions. A directory cannot even be read:
    // nothing is written to a key whose other values are unknown.
    QTest::newRow("key file is a directory") << false << QStringLiteral("read reg key %1 failed");
    QTest::newRow("key's parent is a file") << true << QStringLiteral("write reg key %1 failed");
}

void TestBackupRestore::unwritableKey()
{
    QFETCH(bool, parentIsFile);
    QFETCH(QString, warning);

    PackageBuilder installation(m_fixture.installPath());
    installation.markedIni(QStringLiteral("config/UPDATER.ini"), {{"UPDATE/FLAG", "false"}});
    QVERIFY(installation.ok());
    CVUpdater *updater = startUpdater();
    QCOMPARE(updater->getOldVersion(), QStringLiteral("3.2"));

#ifdef Q_OS_WIN
    QSKIP("blocks the registry stand-in's file; the registry cannot be blocked that way (tst_windowsplatform fails the flag write instead)");
#endif
    // Read at start; unwritable by the time the update ends.
    const QString keyFile = m_fixture.keyFile(QStringLiteral("Ostrelle"));
    const QByteArray keyBytes = PackageBuilder::readFile(keyFile);
    const QString keyDir = QFileInfo(keyFile).absolutePath();
    const QString aside = m_fixture.rootPath() + QStringLiteral("/key-aside");
    QVERIFY(QDir().rename(parentIsFile ? keyDir : keyFile, aside));
    PackageBuilder blocker(QFileInfo(keyDir).absolutePath());
    if (parentIsFile)
        blocker.file(QFileInfo(keyDir).fileName(), "in the way");
    else
        blocker.dir(QFileInfo(keyDir).fileName() + QLatin1Char('/') + QFileInfo(keyFile).fileName());
    QVERIFY(blocker.ok());

    QSignalSpy progress(updater, &CVUpdater::sigProcessAddValue);
    LogCapture log;
    QVERIFY(!updater->updateRegKey());
    QCOMPARE(log.lines(), QStringList{"Warning " + regSignature + ' '
                                      + quoted(warning.arg(InstallationFixture::keyPath(QStringLiteral("Ostrelle"))))});
    QCOMPARE(m_fixture.flagOnDisk(), QStringLiteral("false"));
    QVERIFY(progress.isEmpty());
    QVERIFY(QDir(m_fixture.desktopPath()).isEmpty());

    // Nothing reached the key.
    delete updater;
    if (parentIsFile)
        QVERIFY(QFile::remove(keyDir));
    else
        QVERIFY(QDir(keyFile).removeRecursively());
    QVERIFY(QDir().rename(aside, parentIsFile ? keyDir : keyFile));
    QCOMPARE(PackageBuilder::readFile(keyFile), keyBytes);
}

void TestBackupRestore::flagNotWrittenPutsKeyBack()
{
    PackageBuilder installation(m_fixture.installPath());
    installation.markedIni(QStringLiteral("config/UPDATER.ini"), {{"UPDATE/FLAG", "false"}})
        .dir(QStringLiteral("config/UPDATER.ini.bak"));
    QVERIFY(installation.ok());

    CVUpdater *updater = startUpdater();
    QSignalSpy progress(updater, &CVUpdater::sigProcessAddValue);
    LogCapture log;
    QVERIFY(!updater->updateRegKey());
    QCOMPARE(log.lines(), QStringList{"Warning " + regSignature + ' '
                                      + quoted(QStringLiteral("write update flag %1 failed")
                                                   .arg(m_fixture.flagFilePath()))});
    QVERIFY(progress.isEmpty());

    // The driver puts the old files back, so the key names the old version again.
    QCOMPARE(m_fixture.keyValues(QStringLiteral("Ostrelle")),
             (QMap<QString, QString>{{"DisplayVersion", "3.2"}, {"DisplayIcon", m_fixture.programPath()}}));
    delete updater;
    QCOMPARE(m_fixture.flagOnDisk(), QStringLiteral("false"));
}

QTEST_GUILESS_MAIN(TestBackupRestore)
#include "tst_backuprestore.moc"
