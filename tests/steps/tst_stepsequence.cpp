#include "common/logcapture.h"
#include "common/packagebuilder.h"
#include "common/scopedcurrentdir.h"
#include "common/testhome.h"
#include "db/dbcontrol.h"
#include "platform/registrystore.h"
#include "steps/formalupdateo.h"
#include "updater/cvupdater.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

const QString listSignature = QStringLiteral("virtual bool FormalUpdateO::execUpdate(const QStringList&)");
const QString stepSignature = QStringLiteral("bool FormalUpdateO::execUpdate(const QString&)");
const QString commonSignature = QStringLiteral("bool FormalUpdateO::copyCommonFiles()");
const QString verCommonSignature =
    QStringLiteral("bool UpdateObject::updateVerCommonFiles(const QString&, const QString&)");
const QString configSignature =
    QStringLiteral("bool UpdateObject::updateConfigFiles(const QString&, const QString&)");
const QString dbSignature = QStringLiteral("bool FormalUpdateO::updateDB(const QString&)");

const QString step1 = QStringLiteral("3_4_to_3_5");
const QString step2 = QStringLiteral("3_5_to_3_6");
const QString step3 = QStringLiteral("3_6_to_3_7");

const QString mark = QStringLiteral("tarnwoven");

QList<int> emitted(const QSignalSpy &spy)
{
    QList<int> values;
    for (const QList<QVariant> &arguments : spy)
        values << arguments.at(0).toInt();
    return values;
}

// The lines of the update steps themselves, without those of the parser and the database.
QStringList stepLines(const LogCapture &log)
{
    QStringList lines;
    for (const QString &line : log.lines()) {
        if (line.contains(QLatin1String("FormalUpdateO::")) || line.contains(QLatin1String("UpdateObject::")))
            lines << line;
    }
    return lines;
}

QStringList lastLines(const QStringList &lines, int count)
{
    return lines.mid(qMax(0, lines.size() - count));
}

} // namespace

// FormalUpdateO applying packages to one real installation: files, INI files and the
// SQLite database. The update manager and the database take the installation path
// once per process, so every case resets the same installation directory.
class TestStepSequence : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void classBasics();
    void twoStepPackage();
    void progress_data();
    void progress();
    void emptyList();
    void missingStepDirectory();
    void configFailureInSecondOfThreeSteps();
    void failingSqlStatement();
    void commonFilesCopiedAtEveryStep();
    void failingCommonCopies_data();
    void failingCommonCopies();
    void updateDB_data();
    void updateDB();
    void noInstallationPathWritesNothing();

private:
    void writeUninstallEntry(const QString &displayIcon);
    QString installPath() const { return m_root.path() + QStringLiteral("/install"); }
    QString packagePath() const { return m_root.path() + QStringLiteral("/package"); }
    QString databasePath() const { return installPath() + QStringLiteral("/kqdata.db"); }
    QStringList rows(const QString &sql) const { return PackageBuilder::query(databasePath(), sql); }

    std::unique_ptr<TestHome> m_home;
    QTemporaryDir m_root;
    std::unique_ptr<ScopedCurrentDir> m_cwd;
};

void TestStepSequence::initTestCase()
{
    m_home.reset(new TestHome);
    QVERIFY(m_root.isValid());
    QVERIFY(QDir().mkpath(installPath()));
    QVERIFY(QDir().mkpath(packagePath()));

    writeUninstallEntry(installPath() + QStringLiteral("/app.exe"));
    // "version.ini" is read beside the program unless told otherwise: keep the build tree clean.
    PackageBuilder programDir(m_root.path() + QStringLiteral("/program"));
    programDir.markedIni(QStringLiteral("version.ini"), {{"RELEASE/VERSION", "3.7"}});
    QVERIFY(programDir.ok());
    CVUpdater::setProgramDir(programDir.root());
    QCOMPARE(CVUpdater::getInstance()->getInstallPath(), installPath());
}

void TestStepSequence::writeUninstallEntry(const QString &displayIcon)
{
    const std::unique_ptr<QSettings> key = RegistryStore::open(QStringLiteral(
        "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Ostrelle"));
    key->setValue(QStringLiteral("DisplayVersion"), QStringLiteral("3.4"));
    key->setValue(QStringLiteral("DisplayIcon"), displayIcon);
    QVERIFY(RegistryStore::commit(*key));
}

void TestStepSequence::init()
{
    // Opened on first use with the path above; closed while its file is replaced.
    DBControl::getInstance()->closeDB();
    QVERIFY(QDir(installPath()).removeRecursively());
    QVERIFY(QDir(packagePath()).removeRecursively());

    PackageBuilder installation(installPath());
    installation.files({"app.exe=v3.4", "bin/lib.txt=3.4", "user/notes.txt=mine"})
        .markedIni(QStringLiteral("config/app.ini"), {{"main/lang", "en"},
                                                      {"main/server", "old.example"},
                                                      {"user/recent", "a.txt"}})
        .database(QStringLiteral("kqdata.db"),
                  {"CREATE TABLE person(id INTEGER PRIMARY KEY, name TEXT)",
                   "INSERT INTO person(name) VALUES('ann')"});
    QVERIFY2(installation.ok(), qPrintable(installation.error()));
    QVERIFY(QDir().mkpath(packagePath() + QStringLiteral("/application")));
    m_cwd.reset(new ScopedCurrentDir(packagePath()));

    DBControl::getInstance()->openDB();
    QVERIFY(DBControl::getInstance()->isOpened());
}

void TestStepSequence::cleanup()
{
    m_cwd.reset();
}

void TestStepSequence::cleanupTestCase()
{
    DBControl::getInstance()->closeDB();
    delete CVUpdater::getInstance();
    CVUpdater::setProgramDir(QString());
}

void TestStepSequence::classBasics()
{
    FormalUpdateO object(installPath());
    QCOMPARE(object.stepProgress(), 0);
    QCOMPARE(object.makeStepName(QStringLiteral("3_9"), QStringLiteral("3_10")), QStringLiteral("3_9_to_3_10"));
    QCOMPARE(object.getPackagePath(), QStringLiteral("./application/"));
    QCOMPARE(object.getInstallDir(), installPath() + QLatin1Char('/'));
    QVERIFY(object.isAvailable());

    // The base entry point does nothing at all, whatever the package holds.
    PackageBuilder package(packagePath());
    package.files({PackageBuilder::commonPath("new.txt=x"), PackageBuilder::stepPath(step1, "common/b.txt=y")});
    QVERIFY(package.ok());
    const QStringList before = PackageBuilder::snapshot(installPath());
    UpdateObject base(installPath());
    QVERIFY(base.execUpdate(QStringList{step1}));
    QVERIFY(base.execUpdate(QStringList()));
    QCOMPARE(PackageBuilder::snapshot(installPath()), before);
}

void TestStepSequence::twoStepPackage()
{
    PackageBuilder package(packagePath());
    package.files({PackageBuilder::commonPath("shared.txt=common"),
                   PackageBuilder::stepPath(step1, "common/app.exe=v3.5"),
                   PackageBuilder::stepPath(step1, "common/bin/lib.txt=3.5"),
                   PackageBuilder::stepPath(step1, "common/bin/step1only.txt=s1"),
                   PackageBuilder::stepPath(step1, "config/layout.xml=<one/>"),
                   PackageBuilder::stepPath(step2, "common/app.exe=v3.6"),
                   PackageBuilder::stepPath(step2, "common/bin/lib.txt=3.6"),
                   PackageBuilder::stepPath(step2, "config/layout.xml=<two/>")})
        .markedIni(PackageBuilder::stepPath(step1, "config/app.ini"),
                   {{"main/server", "new.example"}, {"main/timeout", "30"}})
        .markedIni(PackageBuilder::stepPath(step2, "config/app.ini"),
                   {{"main/timeout", "60"}, {"view/theme", "dark"}})
        .sqlScript(step1, "# schema 3.5\n"
                          "CREATE TABLE setting(k TEXT, v TEXT);\n"
                          "INSERT INTO setting VALUES('schema', '3.5');\n"
                          "IFN_COL|person|email;\n"
                          "ALTER TABLE person ADD COLUMN email TEXT;\n")
        .sqlScript(step2, "UPDATE setting SET v = '3.6' WHERE k = 'schema';\n"
                          "IFN_COL|person|email;\n"
                          "ALTER TABLE person ADD COLUMN email TEXT;\n"
                          "INSERT INTO person(name, email) VALUES('bob', 'bob@example.org');\n");
    QVERIFY2(package.ok(), qPrintable(package.error()));

    FormalUpdateO object(installPath());
    QSignalSpy spy(&object, &FormalUpdateO::sigProcessAddValue);
    LogCapture log;
    QVERIFY(object.execUpdate(QStringList{step1, step2}));

    QCOMPARE(emitted(spy), (QList<int>{11, 11, 11, 35, 11, 11, 11, 35}));
    QCOMPARE(PackageBuilder::snapshot(installPath(), {"kqdata.db", "config/app.ini", "config/app.ini.bak"}),
             (QStringList{"app.exe=v3.6", "bin/", "bin/lib.txt=3.6", "bin/step1only.txt=s1", "config/",
                          "config/layout.xml=<two/>", "shared.txt=common", "user/", "user/notes.txt=mine"}));

    const QMap<QString, QString> expected{{"ZRFILE_BEGIN/CODE", mark},     {"ZRFILE_END/CODE", mark},
                                          {"main/lang", "en"},             {"main/server", "new.example"},
                                          {"main/timeout", "60"},          {"user/recent", "a.txt"},
                                          {"view/theme", "dark"}};
    QCOMPARE(PackageBuilder::iniValues(installPath() + "/config/app.ini"), expected);
    // The backup holds the state between the two steps.
    const QMap<QString, QString> afterStep1{{"ZRFILE_BEGIN/CODE", mark}, {"ZRFILE_END/CODE", mark},
                                            {"main/lang", "en"},         {"main/server", "new.example"},
                                            {"main/timeout", "30"},      {"user/recent", "a.txt"}};
    QCOMPARE(PackageBuilder::iniValues(installPath() + "/config/app.ini.bak"), afterStep1);

    QCOMPARE(rows("SELECT k, v FROM setting"), QStringList{"schema|3.6"});
    QCOMPARE(rows("SELECT name, email FROM person ORDER BY id"), (QStringList{"ann|", "bob|bob@example.org"}));

    const QStringList oneStep = {"Debug " + commonSignature + " copy common files",
                                 "Debug " + verCommonSignature + " copy version common files",
                                 "Debug " + configSignature + " update config files",
                                 "Debug " + dbSignature + " update db data"};
    QCOMPARE(stepLines(log), QStringList{"Debug " + stepSignature + " exec update \"3_4_to_3_5\""} + oneStep
                                 + QStringList{"Debug " + stepSignature + " exec update \"3_5_to_3_6\""} + oneStep);
}

void TestStepSequence::progress_data()
{
    QTest::addColumn<int>("steps");
    QTest::addColumn<int>("third");
    QTest::addColumn<int>("share");

    QTest::newRow("1 step") << 1 << 23 << 70;
    QTest::newRow("2 steps") << 2 << 11 << 35;
    QTest::newRow("3 steps") << 3 << 7 << 23;
    QTest::newRow("4 steps") << 4 << 5 << 17;
    QTest::newRow("24 steps") << 24 << 0 << 2;
    QTest::newRow("70 steps") << 70 << 0 << 1;
    QTest::newRow("71 steps") << 71 << 0 << 0;
}

void TestStepSequence::progress()
{
    QFETCH(int, steps);
    QFETCH(int, third);
    QFETCH(int, share);

    // Step directories that hold nothing: only the package common files and no script.
    QStringList list;
    PackageBuilder package(packagePath());
    for (int minor = 0; minor < steps; ++minor) {
        FormalUpdateO namer(installPath());
        list << namer.makeStepName(QStringLiteral("3_%1").arg(minor), QStringLiteral("3_%1").arg(minor + 1));
        package.dir(PackageBuilder::stepPath(list.last(), QString()));
    }
    QVERIFY(package.ok());

    FormalUpdateO object(installPath());
    QSignalSpy spy(&object, &FormalUpdateO::sigProcessAddValue);
    QVERIFY(object.execUpdate(list));

    QList<int> expected;
    for (int i = 0; i < steps; ++i)
        expected << third << third << third << share;
    QCOMPARE(emitted(spy), expected);
    QCOMPARE(object.stepProgress(), share);
}

void TestStepSequence::emptyList()
{
    PackageBuilder package(packagePath());
    package.files({PackageBuilder::commonPath("bin/lib.txt=common"), PackageBuilder::stepPath(step1, "x/"),
                   PackageBuilder::stepPath(step2, "x/")});
    QVERIFY(package.ok());

    FormalUpdateO object(installPath());
    QVERIFY(object.execUpdate(QStringList{step1, step2}));
    QCOMPARE(object.stepProgress(), 35);
    QVERIFY(QFile::remove(installPath() + "/bin/lib.txt"));

    QSignalSpy spy(&object, &FormalUpdateO::sigProcessAddValue);
    LogCapture log;
    QVERIFY(object.execUpdate(QStringList()));
    QCOMPARE(spy.count(), 0);
    QCOMPARE(object.stepProgress(), 35);
    QCOMPARE(PackageBuilder::readFile(installPath() + "/bin/lib.txt"), QByteArray("common"));
    QCOMPARE(log.lines(), (QStringList{"Warning " + listSignature + " updatelist is empty!",
                                       "Debug " + commonSignature + " copy common files"}));

    // The result is the copy's: a directory where the common tree has a file.
    QVERIFY(QFile::remove(installPath() + "/bin/lib.txt"));
    QVERIFY(QDir().mkpath(installPath() + "/bin/lib.txt"));
    log.clear();
    QVERIFY(!object.execUpdate(QStringList()));
    QCOMPARE(spy.count(), 0);
    QCOMPARE(log.lines(), (QStringList{"Warning " + listSignature + " updatelist is empty!",
                                       "Debug " + commonSignature + " copy common files",
                                       "Debug " + commonSignature + " copy application common failed"}));
}

void TestStepSequence::missingStepDirectory()
{
    PackageBuilder package(packagePath());
    package.files({PackageBuilder::commonPath("bin/lib.txt=common"),
                   PackageBuilder::stepPath(step1, "common/bin/lib.txt=3.5"),
                   PackageBuilder::stepPath(step3, "common/bin/lib.txt=3.7")})
        .sqlScript(step1, "CREATE TABLE step1(x);")
        .sqlScript(step3, "CREATE TABLE step3(x);");
    QVERIFY(package.ok());

    FormalUpdateO object(installPath());
    QSignalSpy spy(&object, &FormalUpdateO::sigProcessAddValue);
    LogCapture log;
    QVERIFY(!object.execUpdate(QStringList{step1, step2, step3}));

    QCOMPARE(emitted(spy), (QList<int>{7, 7, 7, 23}));
    // Step 1 stays applied; the package common files were not copied again for step 2.
    QCOMPARE(PackageBuilder::readFile(installPath() + "/bin/lib.txt"), QByteArray("3.5"));
    QCOMPARE(rows("SELECT name FROM sqlite_master WHERE name LIKE 'step%' ORDER BY name"), QStringList{"step1"});
    QCOMPARE(lastLines(stepLines(log), 2),
             (QStringList{"Debug " + stepSignature + " exec update \"3_5_to_3_6\"",
                          "Debug " + stepSignature + " dir not exit: \"./application/3_5_to_3_6/\""}));
}

void TestStepSequence::configFailureInSecondOfThreeSteps()
{
    PackageBuilder package(packagePath());
    package.files({PackageBuilder::commonPath("shared.txt=common"),
                   PackageBuilder::stepPath(step1, "common/one.txt=1"),
                   PackageBuilder::stepPath(step2, "common/two.txt=2"),
                   PackageBuilder::stepPath(step2, "config/a.xml=<a2/>"),
                   PackageBuilder::stepPath(step2, "config/sub/inner.xml=<x/>"),
                   PackageBuilder::stepPath(step3, "common/three.txt=3")})
        .markedIni(PackageBuilder::stepPath(step1, "config/app.ini"), {{"main/server", "s1.example"}})
        .sqlScript(step1, "CREATE TABLE step1(x); INSERT INTO step1 VALUES(1);")
        .sqlScript(step2, "CREATE TABLE step2(x);")
        .sqlScript(step3, "CREATE TABLE step3(x);");
    QVERIFY(package.ok());

    FormalUpdateO object(installPath());
    QSignalSpy spy(&object, &FormalUpdateO::sigProcessAddValue);
    LogCapture log;
    QVERIFY(!object.execUpdate(QStringList{step1, step2, step3}));

    QCOMPARE(emitted(spy), (QList<int>{7, 7, 7, 23, 7}));
    QCOMPARE(PackageBuilder::snapshot(installPath(), {"kqdata.db", "config/app.ini", "config/app.ini.bak"}),
             (QStringList{"app.exe=v3.4", "bin/", "bin/lib.txt=3.4", "config/", "config/a.xml=<a2/>",
                          "one.txt=1", "shared.txt=common", "two.txt=2", "user/", "user/notes.txt=mine"}));
    QCOMPARE(PackageBuilder::iniValues(installPath() + "/config/app.ini").value("main/server"),
             QStringLiteral("s1.example"));
    QCOMPARE(rows("SELECT name FROM sqlite_master WHERE name LIKE 'step%' ORDER BY name"), QStringList{"step1"});
    QCOMPARE(rows("SELECT x FROM step1"), QStringList{"1"});
    QCOMPARE(lastLines(stepLines(log), 5),
             (QStringList{"Debug " + stepSignature + " exec update \"3_5_to_3_6\"",
                          "Debug " + commonSignature + " copy common files",
                          "Debug " + verCommonSignature + " copy version common files",
                          "Debug " + configSignature + " update config files",
                          "Debug " + stepSignature + " update config file failed"}));
}

void TestStepSequence::failingSqlStatement()
{
    PackageBuilder package(packagePath());
    package.sqlScript(step1, "CREATE TABLE t(x);\nINSERT INTO t VALUES(1);\n")
        .sqlScript(step2, "INSERT INTO t VALUES(2);\nCREATE TABLE t2(y);\nINSERT INTO missing VALUES(3);\n"
                          "INSERT INTO t VALUES(4);\n");
    QVERIFY(package.ok());

    FormalUpdateO object(installPath());
    QSignalSpy spy(&object, &FormalUpdateO::sigProcessAddValue);
    LogCapture log;
    QVERIFY(!object.execUpdate(QStringList{step1, step2}));

    QCOMPARE(emitted(spy), (QList<int>{11, 11, 11, 35, 11, 11}));
    QCOMPARE(rows("SELECT x FROM t"), QStringList{"1"});
    QCOMPARE(rows("SELECT name FROM sqlite_master WHERE name = 't2'"), QStringList());
    QCOMPARE(stepLines(log).last(), "Debug " + stepSignature + " db update err");
    QVERIFY(!log.linesContaining(QStringLiteral("INSERT INTO missing VALUES(3)")).isEmpty());
}

void TestStepSequence::commonFilesCopiedAtEveryStep()
{
    // Step 1 overwrites a package common file; the next step's start brings it back.
    PackageBuilder package(packagePath());
    package.files({PackageBuilder::commonPath("marker.txt=package"),
                   PackageBuilder::stepPath(step1, "common/marker.txt=step1"),
                   PackageBuilder::stepPath(step2, "sql/"),
                   PackageBuilder::stepPath(step3, "common/other.txt=3")});
    QVERIFY(package.ok());

    FormalUpdateO object(installPath());
    LogCapture log;
    QVERIFY(object.execUpdate(QStringList{step1, step2, step3}));
    QCOMPARE(PackageBuilder::readFile(installPath() + "/marker.txt"), QByteArray("package"));
    QCOMPARE(PackageBuilder::readFile(installPath() + "/other.txt"), QByteArray("3"));
    QCOMPARE(log.linesContaining(commonSignature + " copy common files").size(), 3);
}

void TestStepSequence::failingCommonCopies_data()
{
    QTest::addColumn<QString>("clash");
    QTest::addColumn<QList<int>>("progress");
    QTest::addColumn<QStringList>("failureLines");

    // "bin/lib.txt" is a file of the installation; a directory of that name in the
    // package cannot be created over it.
    QTest::newRow("package common files")
        << PackageBuilder::commonPath("bin/lib.txt/x=1") << QList<int>()
        << QStringList{"Debug " + commonSignature + " copy application common failed"};
    QTest::newRow("step common files")
        << PackageBuilder::stepPath(step1, "common/bin/lib.txt/x=1") << QList<int>{23}
        << QStringList{"Debug " + verCommonSignature + " copy version common failed",
                       "Debug " + stepSignature + " update version common file failed"};
}

void TestStepSequence::failingCommonCopies()
{
    QFETCH(QString, clash);
    QFETCH(QList<int>, progress);
    QFETCH(QStringList, failureLines);

    PackageBuilder package(packagePath());
    package.files({clash, PackageBuilder::stepPath(step1, "config/a.xml=<a/>")})
        .sqlScript(step1, "CREATE TABLE step1(x);");
    QVERIFY(package.ok());

    FormalUpdateO object(installPath());
    QSignalSpy spy(&object, &FormalUpdateO::sigProcessAddValue);
    LogCapture log;
    QVERIFY(!object.execUpdate(QStringList{step1}));
    QCOMPARE(emitted(spy), progress);
    QCOMPARE(lastLines(stepLines(log), failureLines.size()), failureLines);
    QCOMPARE(PackageBuilder::readFile(installPath() + "/bin/lib.txt"), QByteArray("3.4"));
    QVERIFY(!QFileInfo::exists(installPath() + "/config/a.xml"));
    QCOMPARE(rows("SELECT name FROM sqlite_master WHERE name = 'step1'"), QStringList());
}

void TestStepSequence::updateDB_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QStringList>("people");

    const QStringList untouched{"ann"};
    QTest::newRow("no sql directory") << QString() << true << untouched;
    QTest::newRow("sql directory without script") << QStringLiteral("<none>") << true << untouched;
    QTest::newRow("comments and blank lines only") << QStringLiteral("# nothing\n\n   \n# at all\n") << true
                                                   << untouched;
    QTest::newRow("statements committed in order")
        << QStringLiteral("INSERT INTO person(name) VALUES('bob');\nUPDATE person SET name = 'ann2' WHERE name = 'ann';")
        << true << QStringList{"ann2", "bob"};
    QTest::newRow("third statement fails: all rolled back")
        << QStringLiteral("INSERT INTO person(name) VALUES('bob');\nDELETE FROM person WHERE name = 'ann';\n"
                          "INSERT INTO nowhere VALUES(1);")
        << false << untouched;
    QTest::newRow("malformed directive: nothing runs")
        << QStringLiteral("INSERT INTO person(name) VALUES('bob');\nIFN_COL|person;\nINSERT INTO person(name) VALUES('cy');")
        << false << untouched;
    QTest::newRow("directive sees the column present")
        << QStringLiteral("IFN_COL|person|name;\nALTER TABLE person ADD COLUMN name TEXT;\n"
                          "INSERT INTO person(name) VALUES('bob');")
        << true << QStringList{"ann", "bob"};
}

void TestStepSequence::updateDB()
{
    QFETCH(QString, script);
    QFETCH(bool, result);
    QFETCH(QStringList, people);

    const QString sqlDir = QStringLiteral("./application/%1/sql").arg(step1);
    if (script == QLatin1String("<none>"))
        QVERIFY(QDir().mkpath(sqlDir));
    else if (!script.isNull())
        QVERIFY(PackageBuilder(packagePath()).sqlScript(step1, script).ok());
    const QByteArray databaseBefore = PackageBuilder::readFile(databasePath());

    FormalUpdateO object(installPath());
    LogCapture log;
    QCOMPARE(object.updateDB(sqlDir), result);
    QCOMPARE(rows("SELECT name FROM person ORDER BY name"), people);
    QCOMPARE(stepLines(log).first(), "Debug " + dbSignature + " update db data");
    if (script.isNull() || script == QLatin1String("<none>"))
        QCOMPARE(PackageBuilder::readFile(databasePath()), databaseBefore);
}

void TestStepSequence::noInstallationPathWritesNothing()
{
    // A package whose common tree would land in the file system root.
    PackageBuilder package(packagePath());
    package.files({PackageBuilder::commonPath("corvane-stray-file.txt=x"),
                   PackageBuilder::stepPath(step1, "common/corvane-stray-step.txt=y")});
    QVERIFY(package.ok());

    // The uninstall entry names a version but no program path.
    writeUninstallEntry(QString());
    delete CVUpdater::getInstance();
    const bool pathEmpty = CVUpdater::getInstance()->getInstallPath().isEmpty();

    FormalUpdateO object(CVUpdater::getInstance()->getInstallPath());
    QSignalSpy spy(&object, &FormalUpdateO::sigProcessAddValue);
    LogCapture log;
    const bool emptyListResult = object.execUpdate(QStringList());
    const bool stepResult = object.execUpdate(QStringList{step1});

    writeUninstallEntry(installPath() + QStringLiteral("/app.exe"));
    delete CVUpdater::getInstance();
    QCOMPARE(CVUpdater::getInstance()->getInstallPath(), installPath());

    QVERIFY(pathEmpty);
    QVERIFY(!emptyListResult);
    QVERIFY(!stepResult);
    QCOMPARE(spy.count(), 0);
    const bool strayFile = QFile::remove(QStringLiteral("/corvane-stray-file.txt"));
    const bool strayStepFile = QFile::remove(QStringLiteral("/corvane-stray-step.txt"));
    QVERIFY(!strayFile);
    QVERIFY(!strayStepFile);
    const QString refusal = "Warning " + listSignature + " install path is empty!";
    QCOMPARE(log.lines(), (QStringList{refusal, refusal}));
}

QTEST_GUILESS_MAIN(TestStepSequence)
#include "tst_stepsequence.moc"
