#include "driver/outcometable.h"
#include "common/installationfixture.h"
#include "common/logcapture.h"
#include "common/packagebuilder.h"
#include "common/sequencetypes.h"
#include "config/iniwritecheck.h"
#include "config/interruptedsave.h"
#include "platform/registrystore.h"
#include "updater/cvupdater.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString step1 = QStringLiteral("3_2_to_3_3");
const QString step2 = QStringLiteral("3_3_to_3_4");
const QString step3 = QStringLiteral("3_4_to_3_5");

// The id of a process that has ended: a lock file naming it is stale.
qint64 endedProcessId()
{
    QProcess process;
#ifdef Q_OS_WIN
    process.start(QStringLiteral("cmd"), {QStringLiteral("/c"), QStringLiteral("exit")});
#else
    process.start(QStringLiteral("sleep"), {QStringLiteral("0.05")});
#endif
    if (!process.waitForStarted())
        return -1;
    const qint64 pid = process.processId();
    process.waitForFinished();
    return pid;
}

// This machine's name as QLockFile itself writes it into a lock: on Windows that is
// not QSysInfo's host name.
QString lockHostName()
{
    QTemporaryDir dir;
    QLockFile lock(dir.filePath(QStringLiteral("probe.lock")));
    qint64 pid = 0;
    QString hostName;
    QString appName;
    if (!dir.isValid() || !lock.tryLock(0) || !lock.getLockInfo(&pid, &hostName, &appName))
        return QString();
    return hostName;
}

// The application: each commit a sqlite3 shell of its own, another process.
class Application
{
public:
    bool start(const QString &database)
    {
        m_database = database;
        m_shell = QStandardPaths::findExecutable(QStringLiteral("sqlite3"));
        return !m_shell.isEmpty();
    }
    // Empty when the row was committed, else the shell's error.
    QString commit(const QString &value) const
    {
        QProcess shell;
        shell.setProcessChannelMode(QProcess::MergedChannels);
        shell.start(m_shell, {m_database, QStringLiteral("INSERT INTO work VALUES('%1');").arg(value)});
        if (!shell.waitForFinished(10000))
            return QStringLiteral("no answer");
        const QString answer = QString::fromUtf8(shell.readAll()).trimmed();
        return shell.exitCode() == 0 && answer.isEmpty() ? QString() : answer + QStringLiteral(" (failed)");
    }

private:
    QString m_database;
    QString m_shell;
};

bool setModified(const QString &path, const QDateTime &time)
{
    QFile file(path);
    return file.open(QIODevice::ReadWrite) && file.setFileTime(time, QFileDevice::FileModificationTime);
}

} // namespace

// What an interrupted update leaves behind and how the next run deals with it: an
// update that stopped between recording its version and setting its flag, a journal
// of the database beside a backup being put back, a flag file that cannot be read,
// saves killed half-way, INI files that a full disk left incomplete.
class TestCrashRecovery : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void backupRecordsTarget();
    void interruptedUpdate_data();
    void interruptedUpdate();
    void restoreRefusedOverRecordedUpdate();
    void restoreRemovesJournalOfReplacedDatabase_data();
    void restoreRemovesJournalOfReplacedDatabase();
    void unreadableFlagChangesNothing();

    void interruptedSaveLeftovers_data();
    void interruptedSaveLeftovers();
    void incompleteIniFile_data();
    void incompleteIniFile();
    void registryCommitKilledHalfWay_data();
    void registryCommitKilledHalfWay();
    void applicationWritesMeanwhile_data();
    void applicationWritesMeanwhile();

private:
    void buildPackage(const QString &version);

    InstallationFixture m_fixture;
};

void TestCrashRecovery::initTestCase()
{
    qRegisterMetaType<Outcome>();
    qRegisterMetaType<Stage>();
    QVERIFY2(m_fixture.setUp(), qPrintable(m_fixture.error()));
}

void TestCrashRecovery::init()
{
    QVERIFY2(m_fixture.reset(), qPrintable(m_fixture.error()));
}

void TestCrashRecovery::buildPackage(const QString &version)
{
    PackageBuilder package(m_fixture.packagePath());
    package.markedIni(QStringLiteral("version.ini"), {{"RELEASE/VERSION", version}})
        .files({PackageBuilder::stepPath(step1, "common/ostrelle.exe=v3.3"),
                PackageBuilder::stepPath(step2, "common/ostrelle.exe=v3.4"),
                PackageBuilder::stepPath(step3, "common/ostrelle.exe=v3.5")});
    QVERIFY2(package.ok(), qPrintable(package.error()));
}

void TestCrashRecovery::backupRecordsTarget()
{
    // The flag and the version it is for reach the file in one save.
    PackageBuilder installation(m_fixture.installPath());
    installation.files({"ostrelle.exe=v3.2"});
    QVERIFY(installation.ok());
    buildPackage(QStringLiteral("3.4"));
    QVERIFY(m_fixture.writeKey(QStringLiteral("3.2")));

    CVUpdater *updater = CVUpdater::getInstance();
    QVERIFY(updater->backupVersion());
    const QMap<QString, QString> flagFile = PackageBuilder::iniValues(m_fixture.flagFilePath());
    QCOMPARE(flagFile.value(QStringLiteral("UPDATE/FLAG")), QStringLiteral("false"));
    QCOMPARE(flagFile.value(QStringLiteral("UPDATE/TARGET")), QStringLiteral("3.4"));
    // Not yet recorded: the key still names 3.2.
    QCOMPARE(updater->recordedUpdate(), CVUpdater::RecordedUpdate::No);
    delete updater;
}

void TestCrashRecovery::interruptedUpdate_data()
{
    QTest::addColumn<QString>("target");     // UPDATE/TARGET, empty for none
    QTest::addColumn<QString>("keyVersion"); // what the uninstall key names
    QTest::addColumn<QString>("package");
    QTest::addColumn<Outcome>("outcome");
    QTest::addColumn<Stages>("stages");
    QTest::addColumn<QString>("data");      // data.txt afterwards: "finished" or, restored, "old"
    QTest::addColumn<QString>("program");

    const Stages update{Stage::CheckVersion, Stage::CheckPackage, Stage::CheckFlag, Stage::Backup, Stage::Execute,
                        Stage::RegistryAndShortcut};
    const Stages restoreFirst{Stage::CheckVersion, Stage::CheckPackage, Stage::CheckFlag, Stage::RestoreInterrupted, Stage::Backup,
                              Stage::Execute, Stage::RegistryAndShortcut};

    // Killed after the key, before the flag: complete, only the flag is missing.
    QTest::newRow("recorded, same package")
        << "3.4" << "3.4" << "3.4" << Outcome::Succeeded << Stages{Stage::CheckVersion, Stage::CheckFlag}
        << "finished" << "v3.4";
    // The old backup must not come back over it: the backup the newer update takes
    // holds the finished files.
    QTest::newRow("recorded, newer package")
        << "3.4" << "3.4" << "3.5" << Outcome::Succeeded << update << "finished" << "v3.5";
    // Killed before the key: half-way, restored first as always.
    QTest::newRow("not recorded yet") << "3.4" << "3.2" << "3.4" << Outcome::Succeeded << restoreFirst << "old"
                                      << "v3.4";
    // A flag file of an earlier updater has no target: restored first, as it always was.
    QTest::newRow("earlier updater's flag file")
        << "" << "3.4" << "3.5" << Outcome::Succeeded << restoreFirst << "old" << "v3.5";
    QTest::newRow("earlier updater's flag file, same package")
        << "" << "3.4" << "3.4" << Outcome::VersionRefused << Stages{Stage::CheckVersion} << "finished" << "v3.4";
}

void TestCrashRecovery::interruptedUpdate()
{
    QFETCH(QString, target);
    QFETCH(QString, keyVersion);
    QFETCH(QString, package);
    QFETCH(Outcome, outcome);
    QFETCH(Stages, stages);
    QFETCH(QString, data);
    QFETCH(QString, program);

    PackageBuilder::IniKeys flagKeys{{"UPDATE/FLAG", "false"}};
    if (!target.isEmpty())
        flagKeys.append({QStringLiteral("UPDATE/TARGET"), target});
    PackageBuilder installation(m_fixture.installPath());
    installation.files({"ostrelle.exe=v3.4", "data.txt=finished", "backup/ostrelle.exe=v3.2", "backup/data.txt=old"})
        .markedIni(QStringLiteral("config/UPDATER.ini"), flagKeys);
    QVERIFY(installation.ok());
    buildPackage(package);
    QVERIFY(m_fixture.writeKey(keyVersion));

    CVUpdater *updater = CVUpdater::getInstance();
    UpdateSequence sequence(updater);
    Stages seen;
    sequence.setStageListener([&seen](Stage stage) { seen << stage; });
    LogCapture log;
    QCOMPARE(sequence.run(), outcome);
    QCOMPARE(seen, stages);
    QCOMPARE(PackageBuilder::readFile(m_fixture.installPath() + QStringLiteral("/data.txt")), data.toUtf8());
    QCOMPARE(PackageBuilder::readFile(m_fixture.programPath()), program.toUtf8());
    if (outcome == Outcome::Succeeded) {
        QCOMPARE(m_fixture.flagOnDisk(), QStringLiteral("true"));
        QCOMPARE(QFileInfo(m_fixture.desktopPath() + QStringLiteral("/Ostrelle.lnk")).symLinkTarget(),
                 m_fixture.programPath());
    } else {
        QCOMPARE(m_fixture.flagOnDisk(), QStringLiteral("false"));
    }
    const QStringList finished = log.linesContaining(QStringLiteral("had stopped before its flag; completing it"));
    QCOMPARE(finished.size(), stages.contains(Stage::RestoreInterrupted) || outcome != Outcome::Succeeded ? 0 : 1);
    delete updater;
}

void TestCrashRecovery::restoreRefusedOverRecordedUpdate()
{
    PackageBuilder installation(m_fixture.installPath());
    installation.files({"ostrelle.exe=v3.4", "backup/ostrelle.exe=v3.2"})
        .markedIni(QStringLiteral("config/UPDATER.ini"), {{"UPDATE/FLAG", "false"}, {"UPDATE/TARGET", "3.4"}});
    QVERIFY(installation.ok());
    buildPackage(QStringLiteral("3.4"));
    QVERIFY(m_fixture.writeKey(QStringLiteral("3.4")));

    CVUpdater *updater = CVUpdater::getInstance();
    QCOMPARE(updater->recordedUpdate(), CVUpdater::RecordedUpdate::Yes);
    LogCapture log;
    QVERIFY(!updater->restoreVersion());
    QString key = InstallationFixture::keyPath(QStringLiteral("Ostrelle"));
    key.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    QCOMPARE(log.lines(), QStringList{QStringLiteral("Warning bool CVUpdater::restoreVersion() \"the update recorded "
                                                     "in %1 is complete, its backup is not restored\"")
                                          .arg(key)});
    QCOMPARE(PackageBuilder::readFile(m_fixture.programPath()), QByteArray("v3.4"));
    QCOMPARE(m_fixture.flagOnDisk(), QStringLiteral("false"));
    delete updater;
}

void TestCrashRecovery::restoreRemovesJournalOfReplacedDatabase_data()
{
    QTest::addColumn<bool>("backupHasDatabase");
    QTest::addColumn<bool>("backupHasJournal");

    QTest::newRow("backup holds the database") << true << false;
    // Taken while the application's own transaction was open: the pair comes back.
    QTest::newRow("backup holds database and journal") << true << true;
    // Nothing replaces the database, so its journal is still its own.
    QTest::newRow("backup without database") << false << false;
}

void TestCrashRecovery::restoreRemovesJournalOfReplacedDatabase()
{
    QFETCH(bool, backupHasDatabase);
    QFETCH(bool, backupHasJournal);

    // An update step killed in its transaction: the database one step ahead of the
    // backup, with the journal of that step beside it.
    PackageBuilder installation(m_fixture.installPath());
    installation.database(QStringLiteral("kqdata.db"), {"CREATE TABLE t(v TEXT)", "INSERT INTO t VALUES('step 1')"})
        .files({"kqdata.db-journal=journal of the killed step", "kqdata.db-wal=wal", "kqdata.db-shm=shm"})
        .markedIni(QStringLiteral("config/UPDATER.ini"), {{"UPDATE/FLAG", "false"}, {"UPDATE/TARGET", "3.4"}});
    if (backupHasDatabase)
        installation.database(QStringLiteral("backup/kqdata.db"), {"CREATE TABLE t(v TEXT)", "INSERT INTO t VALUES('before')"});
    else
        installation.files({"backup/ostrelle.exe=v3.2"});
    if (backupHasJournal)
        installation.files({"backup/kqdata.db-journal=the backup's own"});
    QVERIFY2(installation.ok(), qPrintable(installation.error()));
    buildPackage(QStringLiteral("3.4"));
    QVERIFY(m_fixture.writeKey(QStringLiteral("3.2")));

    CVUpdater *updater = CVUpdater::getInstance();
    QVERIFY(updater->restoreVersion());
    const QString db = m_fixture.databasePath();
    if (backupHasDatabase) {
        QCOMPARE(PackageBuilder::readFile(db + QStringLiteral("-journal")),
                 backupHasJournal ? QByteArray("the backup's own") : QByteArray());
        QVERIFY(!QFileInfo::exists(db + QStringLiteral("-wal")));
        QVERIFY(!QFileInfo::exists(db + QStringLiteral("-shm")));
        if (!backupHasJournal)
            QCOMPARE(PackageBuilder::query(db, QStringLiteral("SELECT v FROM t")), QStringList{"before"});
    } else {
        QCOMPARE(PackageBuilder::readFile(db + QStringLiteral("-journal")),
                 QByteArray("journal of the killed step"));
        QCOMPARE(PackageBuilder::readFile(db + QStringLiteral("-wal")), QByteArray("wal"));
    }
    QCOMPARE(m_fixture.flagOnDisk(), QStringLiteral("true"));
    delete updater;
}

void TestCrashRecovery::unreadableFlagChangesNothing()
{
    // Taken for "true", an unreadable flag would back up a half-updated installation
    // over the only whole copy. A directory in its place cannot be read, even by root.
    PackageBuilder installation(m_fixture.installPath());
    installation.files({"ostrelle.exe=v3.3", "backup/ostrelle.exe=v3.2", "config/UPDATER.ini/"});
    QVERIFY(installation.ok());
    buildPackage(QStringLiteral("3.4"));
    QVERIFY(m_fixture.writeKey(QStringLiteral("3.2")));
    const QStringList before = PackageBuilder::snapshot(m_fixture.installPath());

    CVUpdater *updater = CVUpdater::getInstance();
    UpdateSequence sequence(updater);
    Stages seen;
    sequence.setStageListener([&seen](Stage stage) { seen << stage; });
    LogCapture log;
    const Outcome outcome = sequence.run();
    QCOMPARE(outcome, Outcome::FlagFailed);
    QCOMPARE(seen, (Stages{Stage::CheckVersion, Stage::CheckPackage, Stage::CheckFlag}));
    QCOMPARE(sequence.failedStage(), Stage::CheckFlag);
    QCOMPARE(UpdateSequence::resultTextId(outcome), 1514);
    QCOMPARE(OutcomeTable::status(outcome), OutcomeTable::FlagFailed);
    QCOMPARE(PackageBuilder::snapshot(m_fixture.installPath()), before);
    QCOMPARE(log.linesContaining(QStringLiteral("file left as it is")).size(), 1);
    delete updater;
}

void TestCrashRecovery::interruptedSaveLeftovers_data()
{
    QTest::addColumn<QString>("lock");      // "stale", "running", "empty", "foreign" or "none"
    QTest::addColumn<QString>("temporary"); // name of a file beside "app.ini"
    QTest::addColumn<int>("temporaryAgeSecs");
    QTest::addColumn<bool>("lockRemoved");
    QTest::addColumn<bool>("temporaryRemoved");

    QTest::newRow("stale lock and its temporary file") << "stale" << "app.ini.QwErTy" << 0 << true << true;
    QTest::newRow("lock of a running process") << "running" << "app.ini.QwErTy" << 0 << false << false;
    // Killed between creating the lock and filling it: nothing else was written yet.
    QTest::newRow("empty lock") << "empty" << "" << 0 << true << false;
    QTest::newRow("not a lock file") << "foreign" << "app.ini.QwErTy" << 0 << false << false;
    // Without a lock nothing tells a temporary file from a user's file of that name.
    QTest::newRow("no lock") << "none" << "app.ini.backup" << 0 << false << false;
    QTest::newRow("written long before the lock") << "stale" << "app.ini.QwErTy" << -600 << true << false;
    QTest::newRow("not a temporary name") << "stale" << "app.ini.old" << 0 << true << false;
    QTest::newRow("another file's temporary") << "stale" << "other.ini.QwErTy" << 0 << true << false;
}

void TestCrashRecovery::interruptedSaveLeftovers()
{
    QFETCH(QString, lock);
    QFETCH(QString, temporary);
    QFETCH(int, temporaryAgeSecs);
    QFETCH(bool, lockRemoved);
    QFETCH(bool, temporaryRemoved);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString lockPath = dir.filePath(QStringLiteral("app.ini.lock"));
    QDateTime lockedAt = QDateTime::currentDateTime().addSecs(-30);
    PackageBuilder files(dir.path());
    files.file(QStringLiteral("app.ini"), "[a]\nb=1\n").file(QStringLiteral("other.ini"), "[a]\nb=1\n");
    std::unique_ptr<QLockFile> held;
    if (lock == QLatin1String("stale")) {
        const qint64 pid = endedProcessId();
        QVERIFY(pid > 0);
        const QString hostName = lockHostName();
        QVERIFY(!hostName.isEmpty());
        files.file(QStringLiteral("app.ini.lock"),
                   QStringLiteral("%1\ncorvane-updater-cli\n%2\n").arg(pid).arg(hostName).toUtf8());
    } else if (lock == QLatin1String("running")) {
        held.reset(new QLockFile(lockPath));
        QVERIFY(held->tryLock(0));
    } else if (lock == QLatin1String("empty")) {
        files.file(QStringLiteral("app.ini.lock"), QByteArray());
    } else if (lock == QLatin1String("foreign")) {
        files.file(QStringLiteral("app.ini.lock"), "keep me: I am a user's file\n");
    }
    if (!temporary.isEmpty())
        files.file(temporary, "[a]\nb=2\n");
    QVERIFY2(files.ok(), qPrintable(files.error()));
#ifdef Q_OS_WIN
    // QLockFile keeps its file open without write sharing on Windows: its time cannot be
    // set from outside, so the temporary file takes the lock's own instead.
    const bool lockTimeFixed = held != nullptr;
#else
    const bool lockTimeFixed = false;
#endif
    if (lockTimeFixed)
        lockedAt = QFileInfo(lockPath).lastModified();
    else if (QFileInfo::exists(lockPath))
        QVERIFY(setModified(lockPath, lockedAt));
    if (!temporary.isEmpty())
        QVERIFY(setModified(dir.filePath(temporary), lockedAt.addSecs(temporaryAgeSecs)));

    LogCapture log;
    const int removed = InterruptedSave::cleanDirectory(dir.path());
    QCOMPARE(QFileInfo::exists(lockPath), !lockRemoved && lock != QLatin1String("none"));
    if (!temporary.isEmpty())
        QCOMPARE(QFileInfo::exists(dir.filePath(temporary)), !temporaryRemoved);
    QCOMPARE(removed, int(lockRemoved) + int(temporaryRemoved));
    QCOMPARE(log.lines().size(), removed);
    // The files saved in between are never touched.
    QVERIFY(QFileInfo::exists(dir.filePath(QStringLiteral("app.ini"))));
    QVERIFY(QFileInfo::exists(dir.filePath(QStringLiteral("other.ini"))));
}

void TestCrashRecovery::incompleteIniFile_data()
{
    QTest::addColumn<QByteArray>("onDisk");
    QTest::addColumn<bool>("complete");

    const QByteArray whole("[UPDATE]\nFLAG=false\nTARGET=3.4\n\n[ZRFILE_BEGIN]\nCODE=tarnwoven\n\n"
                           "[ZRFILE_END]\nCODE=tarnwoven\n");
    QTest::newRow("as written") << whole << true;
    // What QSettings leaves on a full disk: nothing, or the part before the last flush.
    QTest::newRow("empty") << QByteArray() << false;
    QTest::newRow("cut after a line") << whole.left(whole.indexOf("[ZRFILE_END]")) << false;
    QTest::newRow("cut inside a line") << whole.left(whole.size() - 4) << false;
    QTest::newRow("a key added by another program")
        << QByteArray(whole + "\n[Z]\nextra=1\n") << true;
}

void TestCrashRecovery::incompleteIniFile()
{
    QFETCH(QByteArray, onDisk);
    QFETCH(bool, complete);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("UPDATER.ini"));
    QSettings settings(path, QSettings::IniFormat);
    settings.setValue(QStringLiteral("UPDATE/FLAG"), false);
    settings.setValue(QStringLiteral("UPDATE/TARGET"), QStringLiteral("3.4"));
    settings.setValue(QStringLiteral("ZRFILE_BEGIN/CODE"), QStringLiteral("tarnwoven"));
    settings.setValue(QStringLiteral("ZRFILE_END/CODE"), QStringLiteral("tarnwoven"));
    settings.sync();
    QCOMPARE(settings.status(), QSettings::NoError);
    QVERIFY(IniWriteCheck::isComplete(settings));

    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(onDisk), qint64(onDisk.size()));
    file.close();
    QCOMPARE(IniWriteCheck::isComplete(settings), complete);
}

void TestCrashRecovery::registryCommitKilledHalfWay_data()
{
    QTest::addColumn<QByteArray>("keyFile"); // null: no file
    QTest::addColumn<QString>("version");

    // Killed before the new file was in place, or after it was read back whole.
    QTest::newRow("key file whole") << QByteArray("[General]\nDisplayVersion=3.4\n") << "3.4";
    // Killed after a full disk left the new file empty, before the old one came back.
    QTest::newRow("key file left empty") << QByteArray("") << "3.2";
    QTest::newRow("key file gone") << QByteArray() << "3.2";
}

void TestCrashRecovery::registryCommitKilledHalfWay()
{
    QFETCH(QByteArray, keyFile);
    QFETCH(QString, version);
#ifdef Q_OS_WIN
    QSKIP("the registry stand-in's own commit; Windows writes the registry");
#endif

    const QString path = m_fixture.keyFile(QStringLiteral("Ostrelle"));
    QCOMPARE(RegistryStore::filePath(InstallationFixture::keyPath(QStringLiteral("Ostrelle"))), path);
    PackageBuilder registry(QFileInfo(path).absolutePath());
    registry.file(QFileInfo(path).fileName() + QStringLiteral(".previous"), "[General]\nDisplayVersion=3.2\n");
    if (!keyFile.isNull())
        registry.file(QFileInfo(path).fileName(), keyFile);
    QVERIFY(registry.ok());

    const std::unique_ptr<QSettings> key = RegistryStore::open(InstallationFixture::keyPath(QStringLiteral("Ostrelle")));
    QCOMPARE(key->value(QStringLiteral("DisplayVersion")).toString(), version);
    QVERIFY(!QFileInfo::exists(path + QStringLiteral(".previous")));
}

QTEST_GUILESS_MAIN(TestCrashRecovery)
#include "tst_crashrecovery.moc"

void TestCrashRecovery::applicationWritesMeanwhile_data()
{
    QTest::addColumn<QString>("journalMode");
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QString>("sql"); // the step's dbupdate.sql
    QTest::addColumn<QStringList>("installed"); // the rows of "work" afterwards
    QTest::addColumn<QStringList>("kept");      // those of the kept database; empty: none kept

    for (const char *mode : {"DELETE", "WAL"}) {
        const QByteArray tag(mode);
        // Started after the backup, it commits at every stage: "database is locked" until
        // the run has ended, then its row goes in.
        QTest::newRow(tag + ", commits during an update that succeeds")
            << mode << "during" << "INSERT INTO work VALUES('step');" << QStringList{"before", "step", "after"}
            << QStringList();
        QTest::newRow(tag + ", commits during an update that fails")
            << mode << "during" << "INSERT INTO nothing VALUES(1);" << QStringList{"before", "after"} << QStringList();
        // Days later: the work since the update is kept aside, the backup comes back.
        QTest::newRow(tag + ", --restore after work since the update")
            << mode << "restore" << "INSERT INTO work VALUES('step');" << QStringList{"before"}
            << QStringList{"before", "step", "since"};
        // Stopped after its backup, then worked on: the next run keeps that work.
        QTest::newRow(tag + ", interrupted after the backup, then worked on")
            << mode << "interrupted" << "INSERT INTO work VALUES('step');" << QStringList{"before", "step"}
            << QStringList{"before", "since"};
    }
}

void TestCrashRecovery::applicationWritesMeanwhile()
{
    QFETCH(QString, journalMode);
    QFETCH(QString, scenario);
    QFETCH(QString, sql);
    QFETCH(QStringList, installed);
    QFETCH(QStringList, kept);

    PackageBuilder installation(m_fixture.installPath());
    installation.files({"ostrelle.exe=v3.2"})
        .database(QStringLiteral("kqdata.db"), {QStringLiteral("PRAGMA journal_mode=%1").arg(journalMode),
                                               "CREATE TABLE work(v TEXT)", "INSERT INTO work VALUES('before')"});
    QVERIFY2(installation.ok(), qPrintable(installation.error()));
    PackageBuilder package(m_fixture.packagePath());
    package.markedIni(QStringLiteral("version.ini"), {{"RELEASE/VERSION", "3.3"}})
        .files({PackageBuilder::stepPath(step1, "common/ostrelle.exe=v3.3")})
        .sqlScript(step1, sql);
    QVERIFY(package.ok());
    QVERIFY(m_fixture.writeKey(QStringLiteral("3.2")));
    const QString db = m_fixture.databasePath();
    Application application;
    if (!application.start(db))
        QSKIP("no sqlite3 shell to write the database from another process");

    CVUpdater *updater = CVUpdater::getInstance();
    UpdateSequence sequence(updater);
    QStringList refused;
    if (scenario == QLatin1String("during")) {
        sequence.setStageListener([&](Stage stage) {
            if (stage >= Stage::Execute)
                refused << application.commit(QStringLiteral("lost"));
        });
    } else if (scenario == QLatin1String("interrupted")) {
        QVERIFY(updater->backupVersion());
    }
    if (scenario != QLatin1String("interrupted"))
        sequence.run();
    if (scenario != QLatin1String("during"))
        QCOMPARE(application.commit(QStringLiteral("since")), QString());
    if (scenario == QLatin1String("restore"))
        QVERIFY(updater->restoreVersion());
    if (scenario == QLatin1String("interrupted"))
        QCOMPARE(sequence.run(), Outcome::Succeeded);
    if (scenario == QLatin1String("during")) {
        QVERIFY(!refused.isEmpty());
        for (const QString &answer : qAsConst(refused))
            QVERIFY2(answer.contains(QStringLiteral("database is locked")), qPrintable(answer));
        QCOMPARE(application.commit(QStringLiteral("after")), QString());
    }

    QCOMPARE(PackageBuilder::query(db, QStringLiteral("SELECT v FROM work ORDER BY rowid")), installed);
    const QStringList keptFiles = QDir(m_fixture.installPath()).entryList({"kqdata.db.kept-*"}, QDir::Files);
    if (kept.isEmpty()) {
        QCOMPARE(keptFiles, QStringList());
        QVERIFY(updater->keptDatabase().isEmpty());
    } else {
        const QString keptPath = updater->keptDatabase();
        QCOMPARE(keptFiles, QStringList{QFileInfo(keptPath).fileName()});
        QCOMPARE(PackageBuilder::query(keptPath, QStringLiteral("SELECT v FROM work ORDER BY rowid")), kept);
    }
    delete updater;
}
