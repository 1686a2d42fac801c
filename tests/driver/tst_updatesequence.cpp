#include "common/installationfixture.h"
#include "common/logcapture.h"
#include "common/packagebuilder.h"
#include "common/sequencetypes.h"
#include "updater/cvupdater.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtTest>

namespace {

const QString step1 = QStringLiteral("3_2_to_3_3");
const QString step2 = QStringLiteral("3_3_to_3_4");

} // namespace

// The stages of an update on a real installation, without the window: which stages
// start, in which order, and what the outcome says, for every way a run can end.
class TestUpdateSequence : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void run_data();
    void run();
    void noInstallationDirectory_data();
    void noInstallationDirectory();
    void resultTextId_data();
    void resultTextId();

private:
    InstallationFixture m_fixture;
};

void TestUpdateSequence::initTestCase()
{
    qRegisterMetaType<Outcome>();
    qRegisterMetaType<Stage>();
    QVERIFY2(m_fixture.setUp(), qPrintable(m_fixture.error()));
}

void TestUpdateSequence::init()
{
    QVERIFY2(m_fixture.reset(), qPrintable(m_fixture.error()));

    PackageBuilder installation(m_fixture.installPath());
    installation.files({"ostrelle.exe=v3.2", "user/notes.txt=mine"})
        .database(QStringLiteral("kqdata.db"), {"CREATE TABLE person(id INTEGER PRIMARY KEY, name TEXT)"});
    QVERIFY2(installation.ok(), qPrintable(installation.error()));

    PackageBuilder package(m_fixture.packagePath());
    package.markedIni(QStringLiteral("version.ini"), {{"RELEASE/VERSION", "3.4"}})
        .files({PackageBuilder::stepPath(step1, "common/ostrelle.exe=v3.3"),
                PackageBuilder::stepPath(step2, "common/ostrelle.exe=v3.4")})
        .sqlScript(step1, "INSERT INTO person(name) VALUES('ann');\n");
    QVERIFY2(package.ok(), qPrintable(package.error()));
    QVERIFY2(m_fixture.writeKey(QStringLiteral("3.2")), qPrintable(m_fixture.error()));
    m_fixture.openDatabase();
}

void TestUpdateSequence::run_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<Stages>("stages");
    QTest::addColumn<Outcome>("outcome");
    QTest::addColumn<Stage>("failedStage");
    QTest::addColumn<QString>("flag");
    QTest::addColumn<QString>("program");

    const Stages update{Stage::CheckVersion, Stage::CheckPackage, Stage::CheckFlag, Stage::Backup, Stage::Execute,
                        Stage::RegistryAndShortcut};

    QTest::newRow("success") << "success" << update << Outcome::Succeeded << Stage::CheckVersion << "true" << "v3.4";
    QTest::newRow("version refused") << "refused" << Stages{Stage::CheckVersion} << Outcome::VersionRefused
                                     << Stage::CheckVersion << "" << "v3.2";
    QTest::newRow("interrupted, restored, updated")
        << "interrupted"
        << Stages{Stage::CheckVersion, Stage::CheckPackage, Stage::CheckFlag, Stage::RestoreInterrupted, Stage::Backup, Stage::Execute,
                  Stage::RegistryAndShortcut}
        << Outcome::Succeeded << Stage::CheckVersion << "true" << "v3.4";
    QTest::newRow("interrupted, no backup")
        << "interrupted without backup" << Stages{Stage::CheckVersion, Stage::CheckPackage, Stage::CheckFlag, Stage::RestoreInterrupted}
        << Outcome::InterruptedRestoreFailed << Stage::RestoreInterrupted << "false" << "v3.3";
    QTest::newRow("backup fails") << "backup fails"
                                  << Stages{Stage::CheckVersion, Stage::CheckPackage, Stage::CheckFlag, Stage::Backup}
                                  << Outcome::BackupFailed << Stage::Backup << "" << "v3.2";
    QTest::newRow("step fails, restored")
        << "step fails" << Stages{Stage::CheckVersion, Stage::CheckPackage, Stage::CheckFlag, Stage::Backup, Stage::Execute,
                                  Stage::RestoreAfterFailure}
        << Outcome::UpdateFailedRestored << Stage::Execute << "true" << "v3.2";
    // The copy stops half-way (the program file came before the blocked entry); the
    // flag stays false, so the next run begins with a restore.
    QTest::newRow("step fails, restore fails")
        << "restore fails" << Stages{Stage::CheckVersion, Stage::CheckPackage, Stage::CheckFlag, Stage::Backup, Stage::Execute,
                                     Stage::RestoreAfterFailure}
        << Outcome::UpdateFailedRestoreFailed << Stage::Execute << "false" << "v3.2";
    QTest::newRow("registry fails, restored")
        << "registry fails" << (Stages(update) << Stage::RestoreAfterFailure) << Outcome::UpdateFailedRestored
        << Stage::RegistryAndShortcut << "true" << "v3.2";
}

void TestUpdateSequence::run()
{
    QFETCH(QString, scenario);
    QFETCH(Stages, stages);
    QFETCH(Outcome, outcome);
    QFETCH(Stage, failedStage);
    QFETCH(QString, flag);
    QFETCH(QString, program);

    PackageBuilder installation(m_fixture.installPath());
    PackageBuilder package(m_fixture.packagePath());
    if (scenario == QLatin1String("refused")) {
        QVERIFY(m_fixture.writeKey(QStringLiteral("3.4")));
    } else if (scenario == QLatin1String("interrupted")) {
        installation.files({"backup/ostrelle.exe=v3.2"})
            .markedIni(QStringLiteral("config/UPDATER.ini"), {{"UPDATE/FLAG", "false"}})
            .file(QStringLiteral("ostrelle.exe"), "v3.3");
    } else if (scenario == QLatin1String("interrupted without backup")) {
        installation.markedIni(QStringLiteral("config/UPDATER.ini"), {{"UPDATE/FLAG", "false"}})
            .file(QStringLiteral("ostrelle.exe"), "v3.3");
    } else if (scenario == QLatin1String("backup fails")) {
        installation.dir(QStringLiteral("backup/ostrelle.exe"));
    } else if (scenario == QLatin1String("step fails")) {
        package.sqlScript(step2, "INSERT INTO no_such_table VALUES(1);\n");
    } else if (scenario == QLatin1String("restore fails")) {
        // A file an earlier backup held, where the update puts a directory: the restore
        // cannot put the file back.
        installation.files({"backup/plugins=old plugin list"});
        package.files({PackageBuilder::stepPath(step2, "common/plugins/new.txt=x")})
            .sqlScript(step2, "INSERT INTO no_such_table VALUES(1);\n");
    }
    QVERIFY2(installation.ok(), qPrintable(installation.error()));
    QVERIFY2(package.ok(), qPrintable(package.error()));

    CVUpdater *updater = CVUpdater::getInstance();
    if (scenario == QLatin1String("registry fails")) {
#ifdef Q_OS_WIN
        QSKIP("blocks the registry stand-in's file; the registry cannot be blocked that way");
#endif
        // Read at start; a directory stands where the key's file would be written.
        const QString keyFile = m_fixture.keyFile(QStringLiteral("Ostrelle"));
        QVERIFY(QFile::remove(keyFile));
        QVERIFY(QDir().mkpath(keyFile));
    }

    UpdateSequence sequence(updater);
    Stages seen;
    sequence.setStageListener([&seen](Stage stage) { seen << stage; });
    LogCapture log;
    QCOMPARE(sequence.run(), outcome);
    QCOMPARE(seen, stages);
    if (outcome != Outcome::Succeeded)
        QCOMPARE(sequence.failedStage(), failedStage);
    QCOMPARE(m_fixture.flagOnDisk(), flag);
    QCOMPARE(PackageBuilder::readFile(m_fixture.programPath()), program.toUtf8());
    // Each statement's line once: the check before the backup parses without them.
    if (scenario == QLatin1String("success"))
        QCOMPARE(log.lines().filter(QStringLiteral(" sql: \"INSERT INTO person")).size(), 1);

    // A sequence runs again from the start: a refused version stays refused.
    if (outcome == Outcome::VersionRefused) {
        seen.clear();
        QCOMPARE(sequence.run(), Outcome::VersionRefused);
        QCOMPARE(seen, Stages{Stage::CheckVersion});
    }
}

void TestUpdateSequence::noInstallationDirectory_data()
{
    QTest::addColumn<QString>("displayIcon");

    QTest::newRow("directory missing") << "/Gone/ostrelle.exe";
    // Without a directory the flag path would be "/config/UPDATER.ini".
    QTest::newRow("no path") << "";
}

void TestUpdateSequence::noInstallationDirectory()
{
    QFETCH(QString, displayIcon);

    const QString missing = displayIcon.isEmpty() ? QString() : m_fixture.rootPath() + displayIcon;
    const QString flagDirectory =
        missing.isEmpty() ? QStringLiteral("/config") : QFileInfo(missing).absolutePath() + QStringLiteral("/config");
    if (QFileInfo::exists(flagDirectory))
        QSKIP("the directory this case must not create already exists");
    // A null path leaves "DisplayIcon" out of the key.
    QVERIFY(m_fixture.removeKey(QStringLiteral("Ostrelle")));
    QVERIFY(m_fixture.writeKey(QStringLiteral("Ostrelle"), QStringLiteral("3.2"), missing));

    CVUpdater *updater = CVUpdater::getInstance();
    QCOMPARE(updater->getInstallPath(), missing.isEmpty() ? QString() : QFileInfo(missing).path());
    UpdateSequence sequence(updater);
    Stages seen;
    sequence.setStageListener([&seen](Stage stage) { seen << stage; });
    QCOMPARE(sequence.run(), Outcome::BackupFailed);
    QCOMPARE(seen, (Stages{Stage::CheckVersion, Stage::CheckFlag, Stage::Backup}));
    QVERIFY(!QFileInfo::exists(flagDirectory));
    if (!missing.isEmpty())
        QVERIFY(!QFileInfo::exists(QFileInfo(missing).absolutePath()));
}

void TestUpdateSequence::resultTextId_data()
{
    QTest::addColumn<Outcome>("outcome");
    QTest::addColumn<int>("textId");

    QTest::newRow("succeeded") << Outcome::Succeeded << 1515;
    QTest::newRow("version refused") << Outcome::VersionRefused << 1513;
    QTest::newRow("interrupted restore failed") << Outcome::InterruptedRestoreFailed << 1514;
    QTest::newRow("backup failed") << Outcome::BackupFailed << 1514;
    QTest::newRow("update failed, restored") << Outcome::UpdateFailedRestored << 1514;
    QTest::newRow("update failed, restore failed") << Outcome::UpdateFailedRestoreFailed << 1514;
}

void TestUpdateSequence::resultTextId()
{
    QFETCH(Outcome, outcome);
    QFETCH(int, textId);
    QCOMPARE(UpdateSequence::resultTextId(outcome), textId);
}

QTEST_GUILESS_MAIN(TestUpdateSequence)
#include "tst_updatesequence.moc"
