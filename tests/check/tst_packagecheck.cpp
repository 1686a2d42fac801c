#include "check/packagecheck.h"
#include "common/installationfixture.h"
#include "common/packagebuilder.h"
#include "updater/cvupdater.h"

#include <QtTest>

#include <functional>

namespace {

const QString step1 = QStringLiteral("3_2_to_3_3");
const QString step2 = QStringLiteral("3_3_to_3_4");

// A row's change to the sound installation and package of init().
using Arrange = std::function<void(PackageBuilder &installation, PackageBuilder &package)>;

QString severityName(PackageCheck::Severity severity)
{
    switch (severity) {
    case PackageCheck::Severity::Ok:
        return QStringLiteral("ok");
    case PackageCheck::Severity::Note:
        return QStringLiteral("note");
    case PackageCheck::Severity::Problem:
        return QStringLiteral("problem");
    }
    return QString();
}

} // namespace

Q_DECLARE_METATYPE(Arrange)
Q_DECLARE_METATYPE(PackageCheck::Mode)

// The dry run on a real installation (files, INI files, kqdata.db, uninstall key) and a
// real package: what it finds, what it lets through, and that it changes nothing.
class TestPackageCheck : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void run_data();
    void run();
    void versionFile_data();
    void versionFile();

private:
    InstallationFixture m_fixture;
};

void TestPackageCheck::initTestCase()
{
    QVERIFY2(m_fixture.setUp(), qPrintable(m_fixture.error()));
}

void TestPackageCheck::init()
{
    QVERIFY2(m_fixture.reset(), qPrintable(m_fixture.error()));
    PackageBuilder installation(m_fixture.installPath());
    installation.files({"ostrelle.exe=v3.2", "docs/readme.txt=read me"})
        .markedIni(QStringLiteral("config/app.ini"), {{"view/zoom", "1"}, {"user/name", "anna"}})
        .database(QStringLiteral("kqdata.db"), {"CREATE TABLE person(id INTEGER PRIMARY KEY, name TEXT)"});
    QVERIFY2(installation.ok(), qPrintable(installation.error()));
    PackageBuilder package(m_fixture.packagePath());
    package.markedIni(QStringLiteral("version.ini"), {{"RELEASE/VERSION", "3.3"}})
        .files({PackageBuilder::stepPath(step1, "common/ostrelle.exe=v3.3")})
        .markedIni(PackageBuilder::stepPath(step1, "config/app.ini"), {{"view/zoom", "2"}})
        .sqlScript(step1, "INSERT INTO person(name) VALUES('ann');\n");
    QVERIFY2(package.ok(), qPrintable(package.error()));
    QVERIFY2(m_fixture.writeKey(QStringLiteral("3.2")), qPrintable(m_fixture.error()));
}

void TestPackageCheck::run_data()
{
    QTest::addColumn<Arrange>("arrange");
    QTest::addColumn<PackageCheck::Mode>("mode");
    QTest::addColumn<bool>("goesThrough");
    // "severity: text" that one finding contains.
    QTest::addColumn<QStringList>("expected");

    const Arrange sound = [](PackageBuilder &, PackageBuilder &) {};
    const Arrange failingScript = [](PackageBuilder &, PackageBuilder &package) {
        package.sqlScript(step1, "INSERT INTO no_such_table VALUES(1);\n");
    };
    const auto dryRun = PackageCheck::Mode::DryRun;

    QTest::newRow("sound package") << sound << dryRun << true
                                   << QStringList{"ok: version steps: 3_2_to_3_3",
                                                  "ok: kqdata.db: copied into memory",
                                                  "1 statements ran on the copy of kqdata.db",
                                                  "ok: update flag: the installation is consistent"};
    QTest::newRow("script fails on the copy") << failingScript << dryRun << false
                                              << QStringList{"problem: application/3_2_to_3_3/sql/dbupdate.sql: "
                                                             "statement 1 of 1 would fail"};
    // The real update tries its scripts itself; the check before it only parses them.
    QTest::newRow("script only parsed before an update") << failingScript << PackageCheck::Mode::BeforeUpdate << true
                                                         << QStringList{"ok: application/3_2_to_3_3/sql/dbupdate.sql: 1 statements parsed\n"};
    QTest::newRow("unparsable script") << Arrange([](PackageBuilder &, PackageBuilder &package) {
        package.sqlScript(step1, "IFN_COL|person;\nALTER TABLE person ADD COLUMN note TEXT;\n");
    }) << dryRun << false << QStringList{"problem: application/3_2_to_3_3/sql/dbupdate.sql cannot be parsed"};
    QTest::newRow("step directory missing") << Arrange([](PackageBuilder &, PackageBuilder &package) {
        package.markedIni(QStringLiteral("version.ini"), {{"RELEASE/VERSION", "3.4"}});
    }) << dryRun << false << QStringList{"ok: version steps: 3_2_to_3_3, 3_3_to_3_4",
                                         "problem: application/3_3_to_3_4/ is missing"};
    QTest::newRow("file over an installed directory") << Arrange([](PackageBuilder &, PackageBuilder &package) {
        package.files({PackageBuilder::stepPath(step1, "common/docs=a file now")});
    }) << dryRun << false << QStringList{"a file in the package, but"};
    QTest::newRow("step INI file not marked") << Arrange([](PackageBuilder &, PackageBuilder &package) {
        package.markedIni(PackageBuilder::stepPath(step1, "config/app.ini"), {{"view/zoom", "2"}},
                          PackageBuilder::Markers::None);
    }) << dryRun << false << QStringList{"is not a valid marked file"};
    QTest::newRow("interrupted update without a backup") << Arrange([](PackageBuilder &installation, PackageBuilder &) {
        installation.markedIni(QStringLiteral("config/UPDATER.ini"), {{"UPDATE/FLAG", "false"}});
    }) << dryRun << false << QStringList{"problem: an earlier update was interrupted (UPDATE/FLAG is false), but there is no backup"};
    QTest::newRow("interrupted update with its backup") << Arrange([](PackageBuilder &installation, PackageBuilder &) {
        installation.markedIni(QStringLiteral("config/UPDATER.ini"), {{"UPDATE/FLAG", "false"}})
            .files({"backup/ostrelle.exe=v3.2"});
    }) << dryRun << true << QStringList{"note: an earlier update was interrupted (UPDATE/FLAG is false): the backup"};
    QTest::newRow("damaged database") << Arrange([](PackageBuilder &installation, PackageBuilder &) {
        QFile::remove(installation.path(QStringLiteral("kqdata.db")));
        installation.damagedDatabase(QStringLiteral("kqdata.db"), {"CREATE TABLE person(id INTEGER PRIMARY KEY, name TEXT)"});
    }) << dryRun << false << QStringList{"problem: kqdata.db is damaged (PRAGMA quick_check"};
    QTest::newRow("package not newer") << Arrange([](PackageBuilder &, PackageBuilder &package) {
        package.markedIni(QStringLiteral("version.ini"), {{"RELEASE/VERSION", "3.2"}});
    }) << dryRun << false << QStringList{"note: the installation already has version 3.2, the package's version: nothing to do"};
}

void TestPackageCheck::run()
{
    QFETCH(Arrange, arrange);
    QFETCH(PackageCheck::Mode, mode);
    QFETCH(bool, goesThrough);
    QFETCH(QStringList, expected);

    PackageBuilder installation(m_fixture.installPath());
    PackageBuilder package(m_fixture.packagePath());
    arrange(installation, package);
    QVERIFY2(installation.ok() && package.ok(), qPrintable(installation.error() + package.error()));
    const QStringList installBefore = PackageBuilder::snapshot(m_fixture.installPath());
    const QStringList packageBefore = PackageBuilder::snapshot(m_fixture.packagePath());
    const QMap<QString, QString> keyBefore = InstallationFixture::keyValues(QStringLiteral("Ostrelle"));

    PackageCheck check(m_fixture.packagePath());
    check.setMode(mode);
    QStringList heard;
    check.setFindingListener([&heard](const PackageCheck::Finding &finding) {
        heard << severityName(finding.severity) + QStringLiteral(": ") + finding.text;
    });
    QVERIFY(check.checkVersionFile());
    const bool result = check.run(CVUpdater::getInstance());

    const QString all = heard.join(QLatin1Char('\n')) + QLatin1Char('\n');
    QCOMPARE(heard.size(), check.findings().size());
    for (const QString &finding : qAsConst(expected))
        QVERIFY2(all.contains(finding), qPrintable(QStringLiteral("%1 not in:\n%2").arg(finding, all)));
    QVERIFY2(result == goesThrough, qPrintable(all));
    QCOMPARE(check.problemCount() == 0, goesThrough || check.nothingToDo());
    // A check reads; the installation, its database and key and the package stay as they were.
    QCOMPARE(PackageBuilder::snapshot(m_fixture.installPath()), installBefore);
    QCOMPARE(PackageBuilder::snapshot(m_fixture.packagePath()), packageBefore);
    QCOMPARE(InstallationFixture::keyValues(QStringLiteral("Ostrelle")), keyBefore);
}

void TestPackageCheck::versionFile_data()
{
    QTest::addColumn<QByteArray>("versionIni");
    QTest::addColumn<QByteArray>("backup");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("expected");

    const QByteArray marked = "[ZRFILE_BEGIN]\nCODE=tarnwoven\n\n[RELEASE]\nVERSION=3.3\n\n[ZRFILE_END]\nCODE=tarnwoven\n";
    const QByteArray noVersion = "[ZRFILE_BEGIN]\nCODE=tarnwoven\n\n[ZRFILE_END]\nCODE=tarnwoven\n";
    const QByteArray endless = "[ZRFILE_BEGIN]\nCODE=tarnwoven\n\n[RELEASE]\nVERSION=3.3\n";
    QTest::newRow("marked") << marked << QByteArray() << true << "ok: version.ini: package version 3.3";
    QTest::newRow("no version") << noVersion << QByteArray() << true << "problem: version.ini: no RELEASE/VERSION";
    QTest::newRow("damaged, with its .bak") << endless << marked << false
                                            << "problem: version.ini: not a valid marked file; the updater would replace "
                                               "it with version.ini.bak (package version 3.3)";
    QTest::newRow("damaged, no .bak") << endless << QByteArray() << false
                                      << "problem: version.ini: not a valid marked file (ZRFILE_BEGIN/CODE";
}

void TestPackageCheck::versionFile()
{
    QFETCH(QByteArray, versionIni);
    QFETCH(QByteArray, backup);
    QFETCH(bool, valid);
    QFETCH(QString, expected);

    PackageBuilder package(m_fixture.packagePath());
    package.file(QStringLiteral("version.ini"), versionIni);
    if (!backup.isEmpty())
        package.file(QStringLiteral("version.ini.bak"), backup);
    QVERIFY2(package.ok(), qPrintable(package.error()));
    const QStringList before = PackageBuilder::snapshot(m_fixture.packagePath());

    PackageCheck check(m_fixture.packagePath());
    QCOMPARE(check.checkVersionFile(), valid);
    QCOMPARE(check.findings().size(), 1);
    const PackageCheck::Finding finding = check.findings().constFirst();
    const QString text = severityName(finding.severity) + QStringLiteral(": ") + finding.text;
    QVERIFY2(text.startsWith(expected), qPrintable(text));
    // Read without repair: the file the updater would repair stays as it is.
    QCOMPARE(PackageBuilder::snapshot(m_fixture.packagePath()), before);
}

QTEST_GUILESS_MAIN(TestPackageCheck)
#include "tst_packagecheck.moc"
