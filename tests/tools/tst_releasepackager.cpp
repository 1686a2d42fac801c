#include "tools/corvane-package/packagetool.h"
#include "tools/corvane-package/releasepackager.h"
#include "layout/installlayout.h"
#include "config/configbase.h"
#include "common/installationfixture.h"
#include "common/packagebuilder.h"
#include "common/testhome.h"
#include "strings/stringtablecompiler.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

const char kCli[] = CORVANE_BINARY_DIR "/corvane-updater-cli" CORVANE_EXE_SUFFIX;
const char kTool[] = CORVANE_BINARY_DIR "/tools/corvane-package" CORVANE_EXE_SUFFIX;
const char kStringSource[] = CORVANE_SOURCE_DIR "/strings/strings.tsv";

struct Run
{
    int exitCode = -1;
    QString out;
    QString describe() const { return QStringLiteral("exit %1\n%2").arg(exitCode).arg(out); }
};

Run runProgram(const QString &program, const QStringList &arguments, const QString &workingDir)
{
    QProcess process;
    process.setWorkingDirectory(workingDir);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    Run result;
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished();
        result.out = QStringLiteral("did not finish");
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = QString::fromLocal8Bit(process.readAll());
    return result;
}

// corvane-package ini with input on standard input; out is standard output alone.
Run runIni(const QStringList &arguments, const QByteArray &input, const QString &workingDir)
{
    QProcess process;
    process.setWorkingDirectory(workingDir);
    process.start(QString::fromUtf8(kTool), QStringList{QStringLiteral("ini")} + arguments);
    process.write(input);
    process.closeWriteChannel();
    Run result;
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.out += QString::fromUtf8(process.readAllStandardError());
    return result;
}

// A snapshot without the rows below the given relative paths (and their ".bak" files).
QStringList without(const QStringList &rows, const QStringList &paths)
{
    QStringList kept;
    for (const QString &row : rows) {
        const QString path = row.section(QLatin1Char('='), 0, 0).section(QStringLiteral(" -> "), 0, 0);
        bool drop = path.endsWith(QLatin1String(".bak"));
        for (const QString &prefix : paths)
            drop = drop || path == prefix || path == prefix + QLatin1Char('/') || path.startsWith(prefix + QLatin1Char('/'));
        if (!drop)
            kept << row;
    }
    return kept;
}

// The updater folder a package is built from: the console program, and on Windows the
// SQLite driver beside it, as a package folder holds it (the programs load plug-ins only
// from their own folder there).
bool copyUpdater(const QString &updaterDir)
{
    if (!QFile::copy(QString::fromUtf8(kCli), updaterDir + QStringLiteral("/corvane-updater-cli" CORVANE_EXE_SUFFIX)))
        return false;
#ifdef Q_OS_WIN
    const QString driver = QStringLiteral("sqldrivers/qsqlite.dll");
    return QDir(updaterDir).mkpath(QStringLiteral("sqldrivers"))
        && QFile::copy(QFileInfo(QString::fromUtf8(kCli)).absolutePath() + QLatin1Char('/') + driver,
                       updaterDir + QLatin1Char('/') + driver);
#else
    return true;
#endif
}

} // namespace

// corvane-package build from two real release trees, signed, and applied by the real
// corvane-updater-cli: the installation must equal the newer release except for the
// user's keys and what the tool reported it cannot express. And the build's refusals.
class TestReleasePackager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void buildNamesWhatItCannotCarry();
    void buildWritesOnlyTheChanges();
    void signedPackageVerifies();
    void updateReportTellsTheRun();
    void updatedInstallationIsTheNewerRelease();
    void updateKeepsUserKeysAndRunsTheScript();
    void removalsRoundTrip_data();
    void removalsRoundTrip();
    void tamperedCopyRefused_data();
    void tamperedCopyRefused();
    void refusesBadInput_data();
    void refusesBadInput();
    void layoutForScripts();
    void iniWriteRead_data();
    void iniWriteRead();
    void iniRefusesBadInput_data();
    void iniRefusesBadInput();

private:
    void makeReleases();
    // Releases 3.2 and 3.3 built into "package" with the script of 3.3; the build names
    // what it cannot carry (exit status 1).
    void buildRoundTripPackage(Run *built);
    void signRoundTripPackage();
    // That package signed and applied by its own corvane-updater-cli to an installation
    // of 3.2 with a user's key and the vendor's key; the report in "report.json".
    void updateFromRoundTripPackage();
    // Releases 3.2, 3.3 and 3.4 that delete files and directories, built into "package".
    void makeDeletingReleases();
    // Releases built, signed and an installation of 3.2 trusting the key.
    void makeSignedPackageAndInstallation();
    QString installDir() const { return path(QStringLiteral("Programs/Ostrelle")); }
    QString path(const QString &relative) const { return m_root->filePath(relative); }

    std::unique_ptr<TestHome> m_home;
    std::unique_ptr<QTemporaryDir> m_root;
    QByteArray m_stringBin;
};

void TestReleasePackager::initTestCase()
{
    QVERIFY2(QFileInfo(QString::fromUtf8(kCli)).isExecutable(), kCli);
    QVERIFY2(QFileInfo(QString::fromUtf8(kTool)).isExecutable(), kTool);
    StringTableCompiler compiler;
    QVERIFY2(compiler.readSource(QString::fromUtf8(kStringSource)), qPrintable(compiler.errorString()));
    m_stringBin = compiler.toBinary();
}

void TestReleasePackager::init()
{
    m_home = std::make_unique<TestHome>();
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_root->isValid());
}

void TestReleasePackager::makeReleases()
{
    const QStringList orders = {"CREATE TABLE orders (id INTEGER PRIMARY KEY, item TEXT NOT NULL)",
                                "INSERT INTO orders (item) VALUES ('pen'), ('ink')"};
    PackageBuilder r32(path(QStringLiteral("releases/3.2")));
    r32.files({"ostrelle.exe=Ostrelle 3.2", "docs/readme.txt=read me", "docs/old.txt=gone in 3.3",
               "plugins/a.dll=a 3.2", "plugins/c=a file in 3.2", "image/logo.png=logo 3.2", "install.log=installed",
               "share/mime/image/png.xml=png 3.2", "config/menus.xml=<menus v=\"3.2\"/>"})
        .markedIni(QStringLiteral("config/app.ini"), {{"view/zoom", "1"}, {"view/theme", "light"}, {"legacy/x", "1"}})
        .database(QStringLiteral("kqdata.db"), orders);
    PackageBuilder r33(path(QStringLiteral("releases/3.3")));
    r33.files({"ostrelle.exe=Ostrelle 3.3", "docs/readme.txt=read me", "plugins/a.dll=a 3.3", "plugins/b.dll=b 3.3",
               "plugins/c/x.dll=a directory in 3.3", "reports/", "image/logo.png=logo 3.3", "install.log=installed",
               // Reserved names below the top are ordinary folders to the updater.
               "share/mime/image/png.xml=png 3.3", "plugins/log/trace.dll=trace 3.3",
               "config/menus.xml=<menus v=\"3.3\"/>"})
        .markedIni(QStringLiteral("config/app.ini"), {{"view/zoom", "2"}, {"view/theme", "light"}, {"net/port", "9443"}})
        .markedIni(QStringLiteral("config/network.ini"), {{"proxy/host", "none"}})
        .database(QStringLiteral("kqdata.db"), orders + QStringList{"ALTER TABLE orders ADD COLUMN note TEXT"});
    PackageBuilder updater(path(QStringLiteral("updater")));
    updater.file(QStringLiteral("string.bin"), m_stringBin);
    PackageBuilder other(path(QString()));
    other.file(QStringLiteral("3.3.sql"), "# orders get a note\nIFN_COL|orders|note;\nALTER TABLE orders ADD COLUMN note TEXT;\n");
    QVERIFY2(r32.ok() && r33.ok() && updater.ok() && other.ok(), qPrintable(r32.error() + r33.error() + updater.error()));
    QVERIFY(copyUpdater(path(QStringLiteral("updater"))));
}

void TestReleasePackager::buildRoundTripPackage(Run *built)
{
    makeReleases();
    *built = runProgram(QString::fromUtf8(kTool),
                        {"build", "--release", "3.3=" + path("releases/3.3"), "--release", "3.2=" + path("releases/3.2"),
                         "--sql", "3.3=" + path("3.3.sql"), "--updater", path("updater"), "--out", path("package")},
                        m_root->path());
    QVERIFY2(built->exitCode == PackageTool::ExitFindings, qPrintable(built->describe()));
}

void TestReleasePackager::signRoundTripPackage()
{
    const Run keygen = runProgram(QString::fromUtf8(kTool),
                                  {"keygen", "--secret-key", path("vendor.secret"), "--trusted-keys", path("TRUSTED_KEYS.ini"),
                                   "--name", "vendor-2026"},
                                  m_root->path());
    QVERIFY2(keygen.exitCode == 0, qPrintable(keygen.describe()));
    const Run signedRun = runProgram(QString::fromUtf8(kTool),
                                     {"sign", "--package", path("package"), "--secret-key", path("vendor.secret")},
                                     m_root->path());
    QVERIFY2(signedRun.exitCode == 0, qPrintable(signedRun.describe()));
}

void TestReleasePackager::updateFromRoundTripPackage()
{
    Run built;
    buildRoundTripPackage(&built);
    if (QTest::currentTestFailed())
        return;
    signRoundTripPackage();
    if (QTest::currentTestFailed())
        return;
    // An installation of 3.2 with the user's own settings and the vendor's key.
    QVERIFY(QDir().mkpath(installDir()));
    QVERIFY(PackageBuilder::copyTree(path("releases/3.2"), installDir()));
    {
        QSettings app(installDir() + QStringLiteral("/config/app.ini"), QSettings::IniFormat);
        app.setValue(QStringLiteral("user/name"), QStringLiteral("anna"));
    }
    QVERIFY(QFile::copy(path("TRUSTED_KEYS.ini"), installDir() + QStringLiteral("/config/TRUSTED_KEYS.ini")));
    m_home->writeUninstallKey(installDir());

    const QString packageDir = path(QStringLiteral("package"));
    const Run updated = runProgram(packageDir + QStringLiteral("/corvane-updater-cli" CORVANE_EXE_SUFFIX),
                                   {"--report", path("report.json")}, packageDir);
    QVERIFY2(updated.exitCode == 0, qPrintable(updated.describe()));
}

void TestReleasePackager::buildNamesWhatItCannotCarry()
{
    Run built;
    buildRoundTripPackage(&built);
    if (QTest::currentTestFailed())
        return;
    // Everything the format cannot carry is named, nothing dropped in silence.
    for (const char *loss : {"3.2 -> 3.3: plugins/c was a file and is a directory now",
                             "3.2 -> 3.3: config/app.ini: the key legacy/x was removed",
                             "3.2 -> 3.3: image is a reserved name", "3.2 -> 3.3: kqdata.db differs"})
        QVERIFY2(built.out.contains(QLatin1String(loss)), qPrintable(QStringLiteral("%1 not in\n%2").arg(QLatin1String(loss), built.out)));
    QCOMPARE(built.out.count(QStringLiteral("cannot express")), 4);
}

void TestReleasePackager::buildWritesOnlyTheChanges()
{
    Run built;
    buildRoundTripPackage(&built);
    if (QTest::currentTestFailed())
        return;
    // The deleted file travels in the step's removal list instead.
    QVERIFY2(PackageBuilder::readFile(path("package/application/3_2_to_3_3/remove.list"))
                 .endsWith(" 11 docs/old.txt\n"),
             PackageBuilder::readFile(path("package/application/3_2_to_3_3/remove.list")).constData());
    // Only the changed keys go into the step's INI file, with the markers.
    QCOMPARE(PackageBuilder::iniValues(path("package/application/3_2_to_3_3/config/app.ini")),
             (QMap<QString, QString>{{"ZRFILE_BEGIN/CODE", "tarnwoven"}, {"ZRFILE_END/CODE", "tarnwoven"},
                                     {"net/port", "9443"}, {"view/zoom", "2"}}));
    QVERIFY(!QFileInfo::exists(path("package/application/3_2_to_3_3/common/docs/readme.txt")));
    QVERIFY(QFileInfo(path("package/application/3_2_to_3_3/common/reports")).isDir());
    QVERIFY(QFileInfo(path("package/application/3_2_to_3_3/common/share/mime/image/png.xml")).isFile());
    QVERIFY(QFileInfo(path("package/application/3_2_to_3_3/common/plugins/log/trace.dll")).isFile());
    QVERIFY(!QFileInfo::exists(path("package/application/3_2_to_3_3/common/image")));
    QCOMPARE(PackageBuilder::iniValues(path("package/version.ini")).value(QStringLiteral("RELEASE/VERSION")), QStringLiteral("3.3"));
}

void TestReleasePackager::signedPackageVerifies()
{
#ifndef CORVANE_HAVE_SODIUM
    QSKIP("built without signature support (CORVANE_SIGNATURES off)");
#endif
    Run built;
    buildRoundTripPackage(&built);
    if (QTest::currentTestFailed())
        return;
    signRoundTripPackage();
    if (QTest::currentTestFailed())
        return;
    const QByteArray manifest = PackageBuilder::readFile(path("package/package.manifest"));
    for (const char *file : {" corvane-updater-cli" CORVANE_EXE_SUFFIX "\n", " string.bin\n", " version.ini\n",
                             " application/3_2_to_3_3/sql/dbupdate.sql\n", " application/3_2_to_3_3/remove.list\n"})
        QVERIFY2(manifest.contains(file), manifest.constData());
    const Run verified = runProgram(QString::fromUtf8(kTool),
                                    {"verify", "--package", path("package"), "--trusted-keys", path("TRUSTED_KEYS.ini")},
                                    m_root->path());
    QVERIFY2(verified.exitCode == 0 && verified.out.contains(QLatin1String("signed by vendor-2026")), qPrintable(verified.describe()));
}

void TestReleasePackager::updateReportTellsTheRun()
{
#ifndef CORVANE_HAVE_SODIUM
    QSKIP("built without signature support (CORVANE_SIGNATURES off)");
#endif
    updateFromRoundTripPackage();
    if (QTest::currentTestFailed())
        return;
    const QJsonObject report = QJsonDocument::fromJson(PackageBuilder::readFile(path("report.json"))).object();
    QCOMPARE(report.value("mode").toString(), QStringLiteral("update"));
    QCOMPARE(report.value("exitStatus").toInt(-1), 0);
    QCOMPARE(report.value("exitMeaning").toString(), QStringLiteral("success"));
    QCOMPARE(report.value("installation").toObject().value("version").toString(), QStringLiteral("3.2"));
    QCOMPARE(report.value("installation").toObject().value("directory").toString(), installDir());
    QCOMPARE(report.value("package").toObject().value("version").toString(), QStringLiteral("3.3"));
    QCOMPARE(report.value("signature").toObject().value("state").toString(), QStringLiteral("verified"));
    QCOMPARE(report.value("result").toString(), QStringLiteral("The update was completed successfully."));
    QStringList stages;
    for (const QJsonValue &stage : report.value("stages").toArray()) {
        stages << stage.toObject().value("id").toString() + '=' + stage.toObject().value("outcome").toString();
        QVERIFY(stage.toObject().value("seconds").toDouble(-1) >= 0);
    }
    QCOMPARE(stages, QStringList({"check-version=ok", "check-package=ok", "check-flag=ok", "backup=ok", "execute=ok",
                                  "registry-and-shortcut=ok"}));
    QVERIFY2(QFileInfo(report.value("logFile").toString()).isFile(), qPrintable(report.value("logFile").toString()));
}

void TestReleasePackager::updatedInstallationIsTheNewerRelease()
{
#ifndef CORVANE_HAVE_SODIUM
    QSKIP("built without signature support (CORVANE_SIGNATURES off)");
#endif
    updateFromRoundTripPackage();
    if (QTest::currentTestFailed())
        return;
    // The installation is the newer release, apart from the documented differences.
    const QStringList documented = {"plugins/c", "image", "kqdata.db", "config/app.ini"};
    const QStringList installed = without(PackageBuilder::snapshot(installDir()),
                                          documented + QStringList{"backup", "config/UPDATER.ini", "config/TRUSTED_KEYS.ini"});
    QCOMPARE(installed, without(PackageBuilder::snapshot(path("releases/3.3")), documented));
    QVERIFY(!QFileInfo::exists(installDir() + QStringLiteral("/docs/old.txt")));
    QCOMPARE(PackageBuilder::readFile(installDir() + QStringLiteral("/plugins/c")), QByteArray("a file in 3.2"));
    QCOMPARE(PackageBuilder::readFile(installDir() + QStringLiteral("/image/logo.png")), QByteArray("logo 3.2"));
}

void TestReleasePackager::updateKeepsUserKeysAndRunsTheScript()
{
#ifndef CORVANE_HAVE_SODIUM
    QSKIP("built without signature support (CORVANE_SIGNATURES off)");
#endif
    updateFromRoundTripPackage();
    if (QTest::currentTestFailed())
        return;
    QMap<QString, QString> expectedApp = PackageBuilder::iniValues(path("releases/3.3/config/app.ini"));
    expectedApp.insert(QStringLiteral("user/name"), QStringLiteral("anna"));
    expectedApp.insert(QStringLiteral("legacy/x"), QStringLiteral("1"));
    QCOMPARE(PackageBuilder::iniValues(installDir() + QStringLiteral("/config/app.ini")), expectedApp);
    QCOMPARE(PackageBuilder::query(installDir() + QStringLiteral("/kqdata.db"), QStringLiteral("SELECT id, item, note FROM orders")),
             QStringList({"1|pen|", "2|ink|"}));
}

void TestReleasePackager::makeDeletingReleases()
{
    const QStringList database = {"CREATE TABLE orders (id INTEGER PRIMARY KEY, item TEXT NOT NULL)"};
    PackageBuilder r32(path(QStringLiteral("releases/3.2")));
    r32.files({"ostrelle.exe=Ostrelle 3.2", "plugins/old.dll=old", "plugins/legacy/x.dll=x", "plugins/legacy/y.dll=y",
               "plugins/empty/",
               "docs/guide.txt=guide 3.2", "docs/manual/a.html=a", "docs/tips.txt=tips", "config/menus.xml=<menus/>"})
        .markedIni(QStringLiteral("config/app.ini"), {{"view/zoom", "1"}})
        .database(QStringLiteral("kqdata.db"), database);
    PackageBuilder r33(path(QStringLiteral("releases/3.3")));
    r33.files({"ostrelle.exe=Ostrelle 3.3", "plugins/new.dll=new", "docs/guide.txt=guide 3.3", "docs/manual/a.html=a",
               "docs/tips.txt=tips", "config/menus.xml=<menus/>"})
        .markedIni(QStringLiteral("config/app.ini"), {{"view/zoom", "1"}})
        .database(QStringLiteral("kqdata.db"), database);
    PackageBuilder r34(path(QStringLiteral("releases/3.4")));
    r34.files({"ostrelle.exe=Ostrelle 3.4", "plugins/new.dll=new", "docs/readme.txt=read me", "config/menus.xml=<menus/>"})
        .markedIni(QStringLiteral("config/app.ini"), {{"view/zoom", "1"}})
        .database(QStringLiteral("kqdata.db"), database);
    PackageBuilder updater(path(QStringLiteral("updater")));
    updater.file(QStringLiteral("string.bin"), m_stringBin);
    QVERIFY2(r32.ok() && r33.ok() && r34.ok() && updater.ok(), qPrintable(r32.error() + r33.error() + r34.error()));
    QVERIFY(copyUpdater(path(QStringLiteral("updater"))));

    const Run built = runProgram(QString::fromUtf8(kTool),
                                 {"build", "--release", "3.2=" + path("releases/3.2"), "--release", "3.3=" + path("releases/3.3"),
                                  "--release", "3.4=" + path("releases/3.4"), "--updater", path("updater"), "--out",
                                  path("package")},
                                 m_root->path());
    // Every change is carried: nothing "cannot express".
    QVERIFY2(built.exitCode == 0 && !built.out.contains(QLatin1String("cannot express")), qPrintable(built.describe()));
    QVERIFY2(built.out.contains(QLatin1String("3_2_to_3_3: 3 files in common/, 0 config files copied whole, 0 INI files "
                                              "with 0 changed keys, 5 paths to remove")),
             qPrintable(built.describe()));
}

void TestReleasePackager::removalsRoundTrip_data()
{
    QTest::addColumn<bool>("failing");
    QTest::newRow("update") << false;
    QTest::newRow("failed update brings every removed file back") << true;
}

void TestReleasePackager::removalsRoundTrip()
{
    QFETCH(bool, failing);
    makeDeletingReleases();
    const QString packageDir = path(QStringLiteral("package"));
    const QString cli = packageDir + QStringLiteral("/corvane-updater-cli" CORVANE_EXE_SUFFIX);
    if (failing) {
        // The last step fails after its removals: the restore must bring them back.
        PackageBuilder package(packageDir);
        package.sqlScript(QStringLiteral("3_3_to_3_4"), QStringLiteral("INSERT INTO no_such_table VALUES (1);\n"));
        QVERIFY(package.ok());
    }

    // An installation of 3.2 in which the user changed a file the release deletes and
    // put a file of their own into a directory it deletes.
    QVERIFY(QDir().mkpath(installDir()));
    QVERIFY(PackageBuilder::copyTree(path("releases/3.2"), installDir()));
    PackageBuilder user(installDir());
    user.files({"docs/tips.txt=my tips", "docs/manual/my-notes.txt=mine"});
    QVERIFY(user.ok());
    m_home->writeUninstallKey(installDir());
    const QStringList ignored = {"backup", "config/UPDATER.ini", "config/UPDATER.ini.bak", "kqdata.db", "log"};
    const QStringList before = PackageBuilder::snapshot(installDir(), ignored);

    // The dry run names what would go and what stays, against what the earlier steps
    // would have copied by then (docs/guide.txt of 3.3).
    const Run check = runProgram(cli, {"--check"}, packageDir);
    // The failing script is found on the trial copy of the database.
    QVERIFY2(check.exitCode == (failing ? 1 : 0), qPrintable(check.describe()));
    for (const char *line :
         {"application/3_2_to_3_3/remove.list: would remove plugins/legacy/x.dll, plugins/legacy/y.dll, "
          "plugins/old.dll, plugins/legacy, plugins/empty",
          "application/3_3_to_3_4/remove.list: would remove docs/guide.txt, docs/manual/a.html",
          "application/3_3_to_3_4/remove.list: would keep docs/tips.txt (changed since the release shipped it)",
          "application/3_3_to_3_4/remove.list: would keep docs/manual (the directory holds other files)"})
        QVERIFY2(check.out.contains(QLatin1String(line)), qPrintable(QStringLiteral("%1 not in\n%2").arg(line, check.out)));
    QCOMPARE(PackageBuilder::snapshot(installDir(), ignored), before);

    const Run updated = runProgram(cli, {"--report", path("report.json")}, packageDir);
    const QJsonObject report = QJsonDocument::fromJson(PackageBuilder::readFile(path("report.json"))).object();
    QStringList removals;
    for (const QJsonValue &step : report.value("removals").toArray()) {
        const QJsonObject object = step.toObject();
        removals << QStringLiteral("%1 removed %2 kept %3")
                        .arg(object.value("step").toString(),
                             object.value("removed").toVariant().toStringList().join(QLatin1Char(',')),
                             object.value("kept").toVariant().toStringList().join(QLatin1Char(',')));
    }
    QCOMPARE(removals, QStringList({"3_2_to_3_3 removed plugins/legacy/x.dll,plugins/legacy/y.dll,plugins/old.dll,"
                                    "plugins/legacy,plugins/empty kept ",
                                    "3_3_to_3_4 removed docs/guide.txt,docs/manual/a.html kept docs/tips.txt,docs/manual"}));
    QVERIFY2(updated.out.contains(QLatin1String("3_3_to_3_4: kept docs/tips.txt (changed since the release shipped it)")),
             qPrintable(updated.describe()));
    if (failing) {
        QVERIFY2(updated.exitCode == 6, qPrintable(updated.describe()));
        // Everything removed is back; only the files the steps added stay, as after
        // any failed update.
        QStringList added = PackageBuilder::snapshot(installDir(), ignored);
        for (const QString &row : before)
            QVERIFY2(added.removeOne(row), qPrintable(row));
        QCOMPARE(added, QStringList({"docs/readme.txt=read me", "plugins/new.dll=new"}));
        return;
    }
    QVERIFY2(updated.exitCode == 0, qPrintable(updated.describe()));
    // Release 3.4 byte for byte, but for what the user made and changed.
    QStringList expected = PackageBuilder::snapshot(path("releases/3.4"), ignored);
    expected << "docs/manual/" << "docs/manual/my-notes.txt=mine" << "docs/tips.txt=my tips";
    expected.sort();
    const QStringList installed = PackageBuilder::snapshot(installDir(), ignored);
    QVERIFY2(installed == expected, qPrintable(installed.join('\n') + "\n---\n" + expected.join('\n')));
}

void TestReleasePackager::makeSignedPackageAndInstallation()
{
    makeReleases();
    const QString tool = QString::fromUtf8(kTool);
    for (const QStringList &arguments :
         {QStringList{"build", "--release", "3.2=" + path("releases/3.2"), "--release", "3.3=" + path("releases/3.3"),
                      "--updater", path("updater"), "--out", path("package")},
          QStringList{"keygen", "--secret-key", path("vendor.secret"), "--trusted-keys", path("TRUSTED_KEYS.ini")},
          QStringList{"keygen", "--secret-key", path("other.secret"), "--trusted-keys", path("OTHER_KEYS.ini")},
          QStringList{"sign", "--package", path("package"), "--secret-key", path("vendor.secret")}}) {
        const Run run = runProgram(tool, arguments, m_root->path());
        QVERIFY2(run.exitCode == 0 || (arguments.first() == "build" && run.exitCode == 1), qPrintable(run.describe()));
    }
    QVERIFY(QDir().mkpath(installDir()));
    QVERIFY(PackageBuilder::copyTree(path("releases/3.2"), installDir()));
    QVERIFY(QFile::copy(path("TRUSTED_KEYS.ini"), installDir() + QStringLiteral("/config/TRUSTED_KEYS.ini")));
    m_home->writeUninstallKey(installDir());
}

void TestReleasePackager::tamperedCopyRefused_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("problem");
    QTest::newRow("changed byte") << "change" << "verified"
                                  << "changed: application/3_2_to_3_3/common/ostrelle.exe (its SHA-256 differs from the manifest)";
    QTest::newRow("missing file") << "remove" << "verified" << "missing: application/3_2_to_3_3/config/menus.xml";
    QTest::newRow("extra file") << "add" << "verified" << "extra file: application/common/extra.dll";
    QTest::newRow("not signed") << "unsign" << "not-signed" << "the package is not signed";
    QTest::newRow("wrong key") << "other key" << "unknown-key" << "signed only by keys this installation does not trust";
    QTest::newRow("manifest edited") << "edit manifest" << "bad-signature" << "does not match the manifest";
}

void TestReleasePackager::tamperedCopyRefused()
{
#ifndef CORVANE_HAVE_SODIUM
    QSKIP("built without signature support (CORVANE_SIGNATURES off)");
#endif
    QFETCH(QString, change);
    QFETCH(QString, state);
    QFETCH(QString, problem);
    makeSignedPackageAndInstallation();
    const QString packageDir = path(QStringLiteral("package"));
    PackageBuilder package(packageDir);
    if (change == QLatin1String("change")) {
        QByteArray bytes = PackageBuilder::readFile(package.path("application/3_2_to_3_3/common/ostrelle.exe"));
        bytes[3] = char(bytes.at(3) ^ 1);
        package.file(QStringLiteral("application/3_2_to_3_3/common/ostrelle.exe"), bytes);
    } else if (change == QLatin1String("remove")) {
        QVERIFY(QFile::remove(package.path("application/3_2_to_3_3/config/menus.xml")));
    } else if (change == QLatin1String("add")) {
        package.file(QStringLiteral("application/common/extra.dll"), "extra");
    } else if (change == QLatin1String("unsign")) {
        QVERIFY(QFile::remove(package.path("package.manifest")) && QFile::remove(package.path("package.manifest.sig")));
    } else if (change == QLatin1String("other key")) {
        QVERIFY(QFile::remove(installDir() + QStringLiteral("/config/TRUSTED_KEYS.ini")));
        QVERIFY(QFile::copy(path("OTHER_KEYS.ini"), installDir() + QStringLiteral("/config/TRUSTED_KEYS.ini")));
    } else if (change == QLatin1String("edit manifest")) {
        QByteArray manifest = PackageBuilder::readFile(package.path("package.manifest"));
        // One hex digit of a hash: the manifest no longer is what was signed.
        const int at = manifest.indexOf(" 12 application/3_2_to_3_3/common/ostrelle.exe");
        QVERIFY(at > 0);
        manifest[at - 1] = manifest.at(at - 1) == '0' ? '1' : '0';
        package.file(QStringLiteral("package.manifest"), manifest);
    }
    QVERIFY2(package.ok(), qPrintable(package.error()));

    const QStringList before = PackageBuilder::snapshot(installDir());
    const QMap<QString, QString> keyBefore = InstallationFixture::keyValues(QStringLiteral("Ostrelle"));
    QCOMPARE(keyBefore.value(QStringLiteral("DisplayVersion")), QStringLiteral("3.2"));
    const Run refused = runProgram(packageDir + QStringLiteral("/corvane-updater-cli" CORVANE_EXE_SUFFIX), {"--report", path("report.json")},
                                   packageDir);
    QVERIFY2(refused.exitCode == 14, qPrintable(refused.describe()));
    QVERIFY2(refused.out.contains(problem), qPrintable(refused.describe()));
    // Refused before the flag file, the backup or anything else was touched.
    QCOMPARE(PackageBuilder::snapshot(installDir()), before);
    QCOMPARE(InstallationFixture::keyValues(QStringLiteral("Ostrelle")), keyBefore);

    const QJsonObject report = QJsonDocument::fromJson(PackageBuilder::readFile(path("report.json"))).object();
    QCOMPARE(report.value("exitStatus").toInt(), 14);
    QCOMPARE(report.value("exitMeaning").toString(),
             QStringLiteral("the package's files or signature do not pass; nothing was changed"));
    const QJsonObject signature = report.value("signature").toObject();
    QCOMPARE(signature.value("state").toString(), state);
    QVERIFY(!signature.value("accepted").toBool(true));
    QVERIFY2(QJsonDocument(signature).toJson().contains(problem.toUtf8()), QJsonDocument(signature).toJson().constData());
    QStringList stages;
    for (const QJsonValue &stage : report.value("stages").toArray())
        stages << stage.toObject().value("id").toString() + '=' + stage.toObject().value("outcome").toString();
    QCOMPARE(stages, QStringList({"check-version=ok", "check-package=failed"}));

    // --check says the same, and passes the untouched package.
    const Run check = runProgram(packageDir + QStringLiteral("/corvane-updater-cli" CORVANE_EXE_SUFFIX), {"--check"}, packageDir);
    QCOMPARE(check.exitCode, 1);
    QVERIFY2(check.out.contains(QLatin1String("PROBLEM  package refused: ")) && check.out.contains(problem),
             qPrintable(check.describe()));
}

void TestReleasePackager::refusesBadInput_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("error");
    const QString r32 = QStringLiteral("--release=3.2=releases/3.2");
    const QString r33 = QStringLiteral("--release=3.3=releases/3.3");
    const QString updater = QStringLiteral("--updater=updater");
    const QString out = QStringLiteral("--out=package");
    QTest::newRow("one release") << QStringList{r32, updater, out} << "at least two releases";
    QTest::newRow("not consecutive") << QStringList{r32, "--release=3.4=releases/3.3", updater, out} << "not consecutive";
    QTest::newRow("crosses a major version") << QStringList{r32, "--release=4.0=releases/3.3", updater, out} << "major version";
    QTest::newRow("three-part version") << QStringList{r32, "--release=3.3.1=releases/3.3", updater, out} << "major.minor";
    QTest::newRow("missing tree") << QStringList{r32, "--release=3.3=releases/none", updater, out} << "is not a directory";
    QTest::newRow("script of the first release") << QStringList{r32, r33, "--sql=3.2=3.3.sql", updater, out}
                                                 << "belongs to the step";
    QTest::newRow("malformed directive") << QStringList{r32, r33, "--sql=3.3=bad.sql", updater, out} << "parser refuses";
    QTest::newRow("script fails on the database") << QStringList{r32, r33, "--sql=3.3=failing.sql", updater, out}
                                                  << "statement 1 fails";
    QTest::newRow("no string table") << QStringList{r32, r33, "--updater=releases", out} << "no string.bin";
    QTest::newRow("output not empty") << QStringList{r32, r33, updater, "--out=full"} << "is not empty";
    // A package written into its own input copies itself.
    QTest::newRow("output in a release") << QStringList{r32, r33, updater, "--out=releases/3.3/package"}
                                         << "lies inside the release tree 3.3";
    QTest::newRow("output is a release") << QStringList{r32, r33, updater, "--out=releases/3.2"}
                                         << "lies inside the release tree 3.2";
    QTest::newRow("output holds the releases") << QStringList{r32, r33, updater, "--out=."} << "holds the release tree";
    QTest::newRow("output in the updater folder") << QStringList{r32, r33, updater, "--out=updater/package"}
                                                  << "lies inside the --updater folder";
#ifndef Q_OS_WIN
    QTest::newRow("output through a link into a release") << QStringList{r32, r33, updater, "--out=linked/package"}
                                                          << "lies inside the release tree 3.3";
    QTest::newRow("output is a dangling link into a release") << QStringList{r32, r33, updater, "--out=dangling"}
                                                              << "lies inside the release tree 3.3";
    // What Windows keeps as one file; the signer refused it only after the build.
    QTest::newRow("names differ only in letter case") << QStringList{r32, r33, updater, out}
                                                      << "differs from another path only in letter case";
#endif
}

void TestReleasePackager::refusesBadInput()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, error);
    makeReleases();
    PackageBuilder scripts(m_root->path());
    scripts.file(QStringLiteral("bad.sql"), "IFN_COL|orders;\nALTER TABLE orders ADD COLUMN note TEXT;\n")
        .file(QStringLiteral("failing.sql"), "ALTER TABLE no_such_table ADD COLUMN x TEXT;\n");
    scripts.file(QStringLiteral("full/x"), "x");
    if (QByteArray(QTest::currentDataTag()) == "names differ only in letter case")
        scripts.file(QStringLiteral("releases/3.3/docs/README.txt"), "read me too");
#ifndef Q_OS_WIN
    scripts.link(QStringLiteral("linked"), QStringLiteral("releases/3.3"))
        .link(QStringLiteral("dangling"), QStringLiteral("releases/3.3/new/package"));
#endif
    QVERIFY2(scripts.ok(), qPrintable(scripts.error()));
    const QStringList before = PackageBuilder::snapshot(m_root->path());
    const Run run = runProgram(QString::fromUtf8(kTool), QStringList{"build"} + arguments, m_root->path());
    QCOMPARE(run.exitCode, int(PackageTool::ExitFailure));
    QVERIFY2(run.out.contains(error), qPrintable(run.describe()));
    // Refused before anything was written, anywhere.
    QCOMPARE(PackageBuilder::snapshot(m_root->path()), before);
}

// The scripts take the installation's names from the program: one JSON object on one line,
// the names the updater's own rule reserves.
void TestReleasePackager::layoutForScripts()
{
    const Run run = runProgram(QString::fromUtf8(kTool), {QStringLiteral("layout")}, m_root->path());
    QVERIFY2(run.exitCode == 0, qPrintable(run.describe()));
    QJsonParseError error;
    const QJsonObject layout = QJsonDocument::fromJson(run.out.toUtf8(), &error).object();
    QVERIFY2(error.error == QJsonParseError::NoError, qPrintable(run.out));
    QCOMPARE(run.out.count(QLatin1Char('\n')), 1);
    QCOMPARE(layout.value(QStringLiteral("reservedNames")).toVariant().toStringList(), InstallLayout::reservedTopNames());
    QCOMPARE(layout.value(QStringLiteral("reservedFileNames")).toVariant().toStringList(), InstallLayout::reservedFileNames());
    QCOMPARE(layout.value(QStringLiteral("database")).toString(), QStringLiteral("kqdata.db"));
    QCOMPARE(runProgram(QString::fromUtf8(kTool), {QStringLiteral("layout"), QStringLiteral("--x")}, m_root->path()).exitCode, 2);
}

void TestReleasePackager::iniWriteRead_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<bool>("marked");
    QTest::addColumn<QByteArray>("expected"); // the keys as "ini read" prints them

    QTest::newRow("separators, blanks, a leading @") << QByteArray(R"j({"G": {"sig": "a, b; c=d", " k ": " lead ",
        "at": "@@home", "q": "say \"x\"\\y", "tab": "a\tb\n"}})j") << true
        << QByteArray(R"j({"G/ k ": " lead ", "G/at": "@@home", "G/q": "say \"x\"\\y", "G/sig": "a, b; c=d",
        "G/tab": "a\tb\n"})j");
    QTest::newRow("unicode keys and values, beyond the BMP") << QByteArray(R"j({"Benutzer 用户": {"Schlüssel": "Zoë 王 😀"}})j")
        << true << QByteArray(R"j({"Benutzer 用户/Schlüssel": "Zoë 王 😀"})j");
    // (QSettings reads a list of one item back as that item.)
    QTest::newRow("numbers, true/false, lists, null") << QByteArray(R"j({"": {"port": 8443, "rate": 0.19, "on": false},
        "W": {"sizes": ["240", 1040], "one": ["x, y"], "none": null, "empty": []}})j") << true
        << QByteArray(R"j({"on": "false", "port": "8443", "rate": "0.19", "W/sizes": ["240", "1040"], "W/one": "x, y",
        "W/none": null, "W/empty": null})j");
    QTest::newRow("QSettings' @ forms") << QByteArray(R"j({"MainWindow": {"pos": "@Point(120 80)", "size": "@Size(1280 800)",
        "geometry": "@Rect(1 2 3 4)"}})j") << true
        << QByteArray(R"j({"MainWindow/pos": "@Point(120 80)", "MainWindow/size": "@Size(1280 800)",
        "MainWindow/geometry": "@Rect(1 2 3 4)"})j");
    QTest::newRow("nested and flat groups, General") << QByteArray(R"j({"a/b/c": "1", "a": {"b": {"d": "2"}},
        "General": {"k": "3"}, "": {"top": "4"}})j") << true
        << QByteArray(R"j({"a/b/c": "1", "a/b/d": "2", "General/k": "3", "top": "4"})j");
    QTest::newRow("unmarked, as a registry key") << QByteArray(R"j({"": {"DisplayVersion": "3.2.0",
        "DisplayIcon": "C:\\Programs\\Ostrelle\\ostrelle.exe"}})j") << false
        << QByteArray(R"j({"DisplayIcon": "C:\\Programs\\Ostrelle\\ostrelle.exe", "DisplayVersion": "3.2.0"})j");
}

// What make-sample writes and checks: the tool's files read back key for key, the
// updater opens a marked one as valid without repairing it, and writing what was read
// gives the same bytes.
void TestReleasePackager::iniWriteRead()
{
    QFETCH(QByteArray, input);
    QFETCH(bool, marked);
    QFETCH(QByteArray, expected);
    const QString file = path(QStringLiteral("dir/sub/a.ini"));
    const QStringList unmarked = marked ? QStringList() : QStringList{QStringLiteral("--unmarked")};
    Run run = runIni(QStringList{"write"} + unmarked + QStringList{file}, input, m_root->path());
    QVERIFY2(run.exitCode == 0, qPrintable(run.describe()));
    run = runIni({QStringLiteral("read"), file}, QByteArray(), m_root->path());
    QVERIFY2(run.exitCode == 0, qPrintable(run.describe()));
    const QJsonObject read = QJsonDocument::fromJson(run.out.toUtf8()).object();
    QCOMPARE(read.value(QStringLiteral("keys")).toObject(), QJsonDocument::fromJson(expected).object());
    QCOMPARE(read.value(QStringLiteral("marked")).toBool(), marked);
    QFile written(file);
    QVERIFY(written.open(QIODevice::ReadOnly));
    const QByteArray bytes = written.readAll();
    written.close();
    QCOMPARE(bytes.contains("[ZRFILE_END]"), marked);
    if (marked)
        QVERIFY(ConfigBase(file).isValid());
    QCOMPARE(QDir(path(QStringLiteral("dir/sub"))).entryList(QDir::Files), QStringList{QStringLiteral("a.ini")});

    const QByteArray again = QJsonDocument(QJsonObject{{file, read.value(QStringLiteral("keys"))}}).toJson();
    run = runIni(QStringList{"write", "--files"} + unmarked, again, m_root->path());
    QVERIFY2(run.exitCode == 0, qPrintable(run.describe()));
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(written.readAll(), bytes);
}

void TestReleasePackager::iniRefusesBadInput_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("error");
    const QStringList write{QStringLiteral("write"), QStringLiteral("a.ini")};
    QTest::newRow("no JSON") << write << QByteArray("[1]") << "no JSON object";
    QTest::newRow("a marker") << write << QByteArray(R"j({"ZRFILE_END/CODE": "x", "k": 1})j") << "is a marker";
    QTest::newRow("no key") << write << QByteArray("{}") << "needs at least one key";
    QTest::newRow("empty name") << write << QByteArray(R"j({"a//b": 1})j") << "a key or group name is empty";
    QTest::newRow("unknown @ form") << write << QByteArray(R"j({"k": "@home"})j") << "write @@ for a leading @";
    QTest::newRow("line break in an @ form") << write << QByteArray(R"j({"k": "@Point(1 2)\nx=1"})j") << "@ form";
    QTest::newRow("nested list") << write << QByteArray(R"j({"k": [[1]]})j") << "a list holds only";
    QTest::newRow("missing file") << QStringList{"read", "nope.ini"} << QByteArray() << "nope.ini is not a file";
    QTest::newRow("no text") << QStringList{"read", "binary.ini"} << QByteArray() << "no text in UTF-8 or UTF-16";
    QTest::newRow("several, the others still read") << QStringList{"read", "--files", "nope.ini", "good.ini"} << QByteArray()
        << R"({"good.ini":{"keys":{"k":"v"},"marked":false},"nope.ini":{"error":"nope.ini is not a file"}})";
}

void TestReleasePackager::iniRefusesBadInput()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, input);
    QFETCH(QString, error);
    PackageBuilder files(m_root->path());
    files.file(QStringLiteral("binary.ini"), QByteArray("[a]\nk=\0\x01", 8)).file(QStringLiteral("good.ini"), "k=v\n");
    QVERIFY2(files.ok(), qPrintable(files.error()));
    const Run run = runIni(arguments, input, m_root->path());
    QCOMPARE(run.exitCode, int(PackageTool::ExitFailure));
    QVERIFY2(run.out.contains(error), qPrintable(run.describe()));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("a.ini"))));
}

QTEST_GUILESS_MAIN(TestReleasePackager)
#include "tst_releasepackager.moc"
