#include "common/logcapture.h"
#include "common/packagebuilder.h"
#include "common/testhome.h"
#include "steps/updateobject.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

#include <memory>

namespace {
const QString mark = QStringLiteral("tarnwoven");
const QString beginKey = QStringLiteral("ZRFILE_BEGIN/CODE");
const QString endKey = QStringLiteral("ZRFILE_END/CODE");
using Values = QMap<QString, QString>;

// UTF-8 text with "\n" line endings as an INI file in another encoding and line ending.
QByteArray inForm(QByteArray text, const QString &encoding, bool crlf)
{
    if (crlf)
        text.replace("\n", "\r\n");
    if (encoding == QLatin1String("UTF-8"))
        return text;
    if (encoding == QLatin1String("UTF-8 BOM"))
        return "\xEF\xBB\xBF" + text;
    const bool little = encoding == QLatin1String("UTF-16LE");
    QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
    const QString unicode = QString::fromUtf8(text);
    const QByteArray bom = little ? QByteArray("\xFF\xFE") : QByteArray("\xFE\xFF");
    return bom + QTextCodec::codecForName(little ? "UTF-16LE" : "UTF-16BE")->fromUnicode(unicode.constData(), unicode.size(), &state);
}

// An installed settings file as a user's program wrote it: a comment, no trailing order.
const QByteArray installedText("; written by Ostrelle\n"
                               "[ZRFILE_BEGIN]\nCODE=tarnwoven\n\n"
                               "[main]\nlang=en\nuserOnly=Zo\xC3\xAB \xF0\x9F\x8C\xBB \xC3\x85ngstr\xC3\xB6m\n\n"
                               "[window]\nwidth=800\n\n"
                               "[ZRFILE_END]\nCODE=tarnwoven\n");
}

// A step's "config" directory applied to the installation's: INI files merged key by
// key, everything else replaced.
class TestConfigMerge : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void mergeKeepsInstalledKeysAndTakesPackageValues();
    void iniSuffix_data();
    void iniSuffix();
    void packageOnlyIniIsCopiedByteForByte();
    void directoryInConfig_data();
    void directoryInConfig();
    void missingTargetDirectory();
    void encodingsAndLineEndings_data();
    void encodingsAndLineEndings();
    void notTextIsRefused_data();
    void notTextIsRefused();
    void damagedInstalledIni_data();
    void damagedInstalledIni();
    void unmarkedPackageIniIsRefused_data();
    void unmarkedPackageIniIsRefused();
    void installedLinks_data();
    void installedLinks();

private:
    QString packageConfig() const { return m_dir->path() + QStringLiteral("/package/config"); }
    QString installConfig() const { return m_dir->path() + QStringLiteral("/install/config"); }

    std::unique_ptr<TestHome> m_home;
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestConfigMerge::initTestCase()
{
    m_home.reset(new TestHome);
}

void TestConfigMerge::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
}

void TestConfigMerge::cleanup()
{
    m_dir.reset();
}

void TestConfigMerge::mergeKeepsInstalledKeysAndTakesPackageValues()
{
    PackageBuilder package(packageConfig());
    package.markedIni(QStringLiteral("app.ini"), {{"main/lang", "zh"},
                                                  {"main/added", "from package"},
                                                  {"network/proxy", "p.example:8080"}})
        .files({"layout.xml=<new/>", "old.ini.bak=package backup"});
    PackageBuilder installation(installConfig());
    installation.markedIni(QStringLiteral("app.ini"), {{"main/lang", "en"},
                                                       {"main/userOnly", "keep me"},
                                                       {"window/width", "800"}})
        .files({"layout.xml=<old/>", "old.ini.bak=installed backup", "other.ini=untouched",
                "notes.txt=mine"});
    QVERIFY(package.ok() && installation.ok());
    const QByteArray installedBefore = PackageBuilder::readFile(installation.path("app.ini"));
    const QByteArray packageBefore = PackageBuilder::readFile(package.path("app.ini"));

    LogCapture log;
    UpdateObject object{QString()};
    QVERIFY(object.updateConfigFiles(packageConfig(), installConfig()));

    const Values merged = PackageBuilder::iniValues(installation.path("app.ini"));
    const Values expected{{beginKey, mark},
                          {endKey, mark},
                          {"main/lang", "zh"},
                          {"main/added", "from package"},
                          {"main/userOnly", "keep me"},
                          {"network/proxy", "p.example:8080"},
                          {"window/width", "800"}};
    QCOMPARE(merged, expected);
    QCOMPARE(PackageBuilder::readFile(installation.path("app.ini.bak")), installedBefore);
    QCOMPARE(PackageBuilder::readFile(package.path("app.ini")), packageBefore);
    QCOMPARE(PackageBuilder::readFile(installation.path("layout.xml")), QByteArray("<new/>"));
    QCOMPARE(PackageBuilder::readFile(installation.path("old.ini.bak")), QByteArray("package backup"));
    QCOMPARE(PackageBuilder::readFile(installation.path("other.ini")), QByteArray("untouched"));
    QCOMPARE(PackageBuilder::readFile(installation.path("notes.txt")), QByteArray("mine"));
    QCOMPARE(log.lines(), QStringList{"Debug bool UpdateObject::updateConfigFiles(const QString&, const QString&) "
                                      "update config files"});
}

void TestConfigMerge::iniSuffix_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("merged");

    QTest::newRow("lower case") << "app.ini" << true;
    QTest::newRow("capitals") << "APP.INI" << true;
    QTest::newRow("mixed case") << "Db.Ini" << true;
    QTest::newRow("two dots") << "plugin.v2.ini" << true;
    QTest::newRow("backup file") << "app.ini.bak" << false;
    QTest::newRow("other suffix") << "app.xml" << false;
    QTest::newRow("longer suffix") << "app.inix" << false;
    QTest::newRow("name without suffix") << "ini" << false;
}

void TestConfigMerge::iniSuffix()
{
    QFETCH(QString, name);
    QFETCH(bool, merged);

    PackageBuilder package(packageConfig());
    package.markedIni(name, {{"a/shared", "package"}});
    PackageBuilder installation(installConfig());
    installation.markedIni(name, {{"a/shared", "installed"}, {"a/old", "1"}});
    QVERIFY(package.ok() && installation.ok());
    const QByteArray packageBytes = PackageBuilder::readFile(package.path(name));

    UpdateObject object{QString()};
    QVERIFY(object.updateConfigFiles(packageConfig(), installConfig()));

    const Values values = PackageBuilder::iniValues(installation.path(name));
    QCOMPARE(values.value("a/shared"), QStringLiteral("package"));
    if (merged) {
        QCOMPARE(values.value("a/old"), QStringLiteral("1"));
        QVERIFY(QFileInfo::exists(installation.path(name + ".bak")));
    } else {
        QCOMPARE(PackageBuilder::readFile(installation.path(name)), packageBytes);
        QVERIFY(!QFileInfo::exists(installation.path(name + ".bak")));
    }
}

void TestConfigMerge::packageOnlyIniIsCopiedByteForByte()
{
    // Not a marked file: a copy must not open it, so no markers get added.
    const QByteArray raw("; shipped as is\r\n[General]\r\nkey=value\r\n");
    PackageBuilder package(packageConfig());
    package.file(QStringLiteral("fresh.ini"), raw);
    PackageBuilder installation(installConfig());
    installation.markedIni(QStringLiteral("app.ini"), {{"a/b", "c"}});
    QVERIFY(package.ok() && installation.ok());

    UpdateObject object{QString()};
    QVERIFY(object.updateConfigFiles(packageConfig(), installConfig()));
    QCOMPARE(PackageBuilder::readFile(installation.path("fresh.ini")), raw);
    QCOMPARE(PackageBuilder::snapshot(installConfig(), {"app.ini"}), QStringList{"fresh.ini=" + QString::fromUtf8(raw)});
}

void TestConfigMerge::directoryInConfig_data()
{
    QTest::addColumn<QStringList>("packageRows");
    QTest::addColumn<QStringList>("installedRows");
    QTest::addColumn<QStringList>("expected");

    // Entries before the directory are handled, the ones after it are not, and an
    // installed file of the directory's name is not lost on the way.
    QTest::newRow("sub-directory in the package")
        << QStringList{"a.xml=new", "sub/x=1", "z.xml=new"}
        << QStringList{"a.xml=old", "sub=installed file", "z.xml=old"}
        << QStringList{"a.xml=new", "sub=installed file", "z.xml=old"};
    QTest::newRow("package directory named like an INI file")
        << QStringList{"dir.ini/x=1"}
        << QStringList{"dir.ini=[a]\nb=c\n"}
        << QStringList{"dir.ini=[a]\nb=c\n"};
    QTest::newRow("installed directory named like the package's INI file")
        << QStringList{"app.ini=[a]\nb=c\n"}
        << QStringList{"app.ini/keep=k"}
        << QStringList{"app.ini/", "app.ini/keep=k"};
}

void TestConfigMerge::directoryInConfig()
{
    QFETCH(QStringList, packageRows);
    QFETCH(QStringList, installedRows);
    QFETCH(QStringList, expected);

    PackageBuilder package(packageConfig());
    package.files(packageRows);
    PackageBuilder installation(installConfig());
    installation.files(installedRows);
    QVERIFY(package.ok() && installation.ok());

    UpdateObject object{QString()};
    QVERIFY(!object.updateConfigFiles(packageConfig(), installConfig()));
    QCOMPARE(PackageBuilder::snapshot(installConfig()), expected);
}

void TestConfigMerge::missingTargetDirectory()
{
    PackageBuilder package(packageConfig());
    package.markedIni(QStringLiteral("app.ini"), {{"a/b", "c"}}).files({"layout.xml=<x/>"});
    QVERIFY(package.ok());
    QVERIFY(QDir().mkpath(m_dir->path() + QStringLiteral("/install")));
    const QByteArray ini = PackageBuilder::readFile(package.path("app.ini"));

    UpdateObject object{QString()};
    QVERIFY(object.updateConfigFiles(packageConfig(), installConfig()));
    QCOMPARE(PackageBuilder::snapshot(installConfig()),
             (QStringList{"app.ini=" + QString::fromUtf8(ini), "layout.xml=<x/>"}));

    // Only the one missing level is created.
    QVERIFY(!object.updateConfigFiles(packageConfig(), m_dir->path() + QStringLiteral("/nowhere/config")));
    QVERIFY(!QFileInfo::exists(m_dir->path() + QStringLiteral("/nowhere")));
}

void TestConfigMerge::encodingsAndLineEndings_data()
{
    QTest::addColumn<QString>("encoding");
    QTest::addColumn<bool>("crlf");
    QTest::addColumn<bool>("changes"); // false: the package's values are all installed already

    for (const char *encoding : {"UTF-8", "UTF-8 BOM", "UTF-16LE", "UTF-16BE"}) {
        for (const bool crlf : {false, true}) {
            for (const bool changes : {true, false}) {
                QTest::addRow("%s, %s, %s", encoding, crlf ? "CRLF" : "LF", changes ? "merged" : "nothing to change")
                    << QString::fromLatin1(encoding) << crlf << changes;
            }
        }
    }
}

// Every user key kept, the package's added, and the file written back in its own
// encoding, byte order mark and line endings.
void TestConfigMerge::encodingsAndLineEndings()
{
    QFETCH(QString, encoding);
    QFETCH(bool, crlf);
    QFETCH(bool, changes);

    const QByteArray packageText = changes
        ? QByteArray("[ZRFILE_BEGIN]\nCODE=tarnwoven\n\n[main]\nadded=from package\nlang=zh\n\n"
                     "[network]\nproxy=p.example:8080\n\n[ZRFILE_END]\nCODE=tarnwoven\n")
        : QByteArray("[ZRFILE_BEGIN]\nCODE=tarnwoven\n\n[main]\nlang=en\n\n[window]\nwidth=800\n\n"
                     "[ZRFILE_END]\nCODE=tarnwoven\n");
    // As a merge writes it on every platform: groups and keys sorted, the comment gone.
    const QByteArray merged("[ZRFILE_BEGIN]\nCODE=tarnwoven\n\n[ZRFILE_END]\nCODE=tarnwoven\n\n"
                            "[main]\nadded=from package\nlang=zh\nuserOnly=Zo\xC3\xAB \xF0\x9F\x8C\xBB \xC3\x85ngstr\xC3\xB6m\n\n"
                            "[network]\nproxy=p.example:8080\n\n[window]\nwidth=800\n");

    PackageBuilder package(packageConfig());
    // The installation's file as Windows PowerShell or Notepad left it, the
    // package's as QSettings writes it; a package file in the other forms is read too.
    package.file(QStringLiteral("app.ini"), changes ? packageText : inForm(packageText, encoding, crlf));
    PackageBuilder installation(installConfig());
    const QByteArray before = inForm(installedText, encoding, crlf);
    installation.file(QStringLiteral("app.ini"), before);
    QVERIFY(package.ok() && installation.ok());

    UpdateObject object{QString()};
    QVERIFY(object.updateConfigFiles(packageConfig(), installConfig()));
    const QByteArray after = PackageBuilder::readFile(installation.path("app.ini"));
    if (!changes) {
        // Not written at all: the comment and every byte stay, and no backup is made.
        QCOMPARE(after, before);
        QVERIFY(!QFileInfo::exists(installation.path("app.ini.bak")));
        return;
    }
    QCOMPARE(after, inForm(merged, encoding, crlf));
    QCOMPARE(PackageBuilder::readFile(installation.path("app.ini.bak")), before);
}

void TestConfigMerge::notTextIsRefused_data()
{
    QTest::addColumn<QByteArray>("installed");

    const QByteArray text("[ZRFILE_BEGIN]\nCODE=tarnwoven\n[main]\nname=Zo\xC3\xAB\n[ZRFILE_END]\nCODE=tarnwoven\n");
    QByteArray latin1 = text;
    // What an ANSI program writes on a Western Windows: "\xEB" alone is no UTF-8.
    latin1.replace("\xC3\xAB", "\xEB");
    QTest::newRow("Latin-1") << latin1;
    QTest::newRow("UTF-16LE without byte order mark") << inForm(text, QStringLiteral("UTF-16LE"), true).mid(2);
    QTest::newRow("UTF-16LE cut short") << inForm(text, QStringLiteral("UTF-16LE"), true).chopped(1);
    QTest::newRow("UTF-16BE lone surrogate") << inForm(text, QStringLiteral("UTF-16BE"), false) + QByteArray("\xD8\x3D", 2);
    QTest::newRow("UTF-8 with NUL") << text + QByteArray("x\0y\n", 4);
}

// A file that is no text in any encoding an INI file may have is neither merged (its
// keys would be lost) nor repaired: the step fails, and the installation is unchanged.
void TestConfigMerge::notTextIsRefused()
{
    QFETCH(QByteArray, installed);

    PackageBuilder package(packageConfig());
    package.markedIni(QStringLiteral("app.ini"), {{"main/lang", "zh"}});
    PackageBuilder installation(installConfig());
    installation.file(QStringLiteral("app.ini"), installed);
    installation.markedIni(QStringLiteral("app.ini.bak"), {{"main/lang", "en"}});
    QVERIFY(package.ok() && installation.ok());
    const QStringList before = PackageBuilder::snapshot(m_dir->path());

    LogCapture log;
    UpdateObject object{QString()};
    QVERIFY(!object.updateConfigFiles(packageConfig(), installConfig()));
    QCOMPARE(PackageBuilder::snapshot(m_dir->path()), before);
    QCOMPARE(log.linesContaining(QStringLiteral("merge app.ini failed,a file cannot be read")).size(), 1);
}

void TestConfigMerge::damagedInstalledIni_data()
{
    QTest::addColumn<QString>("damagedValue"); // of main/half in the damaged file
    QTest::addColumn<QString>("backupValue");  // null: no backup
    QTest::addColumn<QString>("packageValue"); // null: the package does not set main/half
    QTest::addColumn<bool>("merged");

    QTest::newRow("key in the backup") << "written" << "written" << QString() << true;
    QTest::newRow("key the package sets") << "written" << QString() << "package" << true;
    // The repair would drop the key: the step fails rather than report success.
    QTest::newRow("key only in the damaged file, valid backup") << "written" << "" << QString() << false;
    QTest::newRow("key only in the damaged file, no backup") << "written" << QString() << QString() << false;
    QTest::newRow("value differs from the backup's") << "new" << "old" << QString() << false;
}

void TestConfigMerge::damagedInstalledIni()
{
    QFETCH(QString, damagedValue);
    QFETCH(QString, backupValue);
    QFETCH(QString, packageValue);
    QFETCH(bool, merged);

    PackageBuilder package(packageConfig());
    PackageBuilder::IniKeys packageKeys{{"main/lang", "zh"}};
    if (!packageValue.isNull())
        packageKeys.append({"main/half", packageValue});
    package.markedIni(QStringLiteral("app.ini"), packageKeys);
    PackageBuilder installation(installConfig());
    installation.markedIni(QStringLiteral("app.ini"), {{"main/half", damagedValue}}, PackageBuilder::Markers::BeginOnly);
    PackageBuilder::IniKeys backupKeys{{"main/saved", "yes"}, {"main/lang", "en"}};
    if (!backupValue.isEmpty())
        backupKeys.append({"main/half", backupValue});
    if (!backupValue.isNull())
        installation.markedIni(QStringLiteral("app.ini.bak"), backupKeys);
    QVERIFY(package.ok() && installation.ok());
    const QStringList before = PackageBuilder::snapshot(installConfig());

    LogCapture log;
    UpdateObject object{QString()};
    QCOMPARE(object.updateConfigFiles(packageConfig(), installConfig()), merged);
    if (!merged) {
        QCOMPARE(PackageBuilder::snapshot(installConfig()), before);
        QCOMPARE(log.linesContaining(QStringLiteral("merge app.ini failed,the file is damaged and its repair would drop "
                                                    "keys main/half"))
                     .size(),
                 1);
        return;
    }

    // Repaired at opening, then merged: valid again and holding the package's keys.
    const Values values = PackageBuilder::iniValues(installation.path("app.ini"));
    QCOMPARE(values.value(beginKey), mark);
    QCOMPARE(values.value(endKey), mark);
    QCOMPARE(values.value("main/lang"), QStringLiteral("zh"));
    QCOMPARE(values.value("main/half"), packageValue.isNull() ? damagedValue : packageValue);
    if (!backupValue.isNull())
        QCOMPARE(values.value("main/saved"), QStringLiteral("yes"));
}

void TestConfigMerge::unmarkedPackageIniIsRefused_data()
{
    QTest::addColumn<int>("markers");
    QTest::addColumn<bool>("installed");
    QTest::newRow("no markers, merged") << int(PackageBuilder::Markers::None) << true;
    QTest::newRow("begin marker only, merged") << int(PackageBuilder::Markers::BeginOnly) << true;
}

// A package file without its markers is a broken package, not an empty set of keys:
// the step fails, the installation keeps its file, and the package's own file is only
// read (not repaired, nothing set aside beside it).
void TestConfigMerge::unmarkedPackageIniIsRefused()
{
    QFETCH(int, markers);
    QFETCH(bool, installed);
    PackageBuilder package(packageConfig());
    package.markedIni(QStringLiteral("app.ini"), {{"main/lang", "zh"}}, PackageBuilder::Markers(markers));
    PackageBuilder installation(installConfig());
    if (installed)
        installation.markedIni(QStringLiteral("app.ini"), {{"main/lang", "en"}, {"user/name", "ann"}});
    else
        installation.dir(QStringLiteral("."));
    QVERIFY(package.ok() && installation.ok());
    const QStringList packageBefore = PackageBuilder::snapshot(packageConfig());
    const QStringList installBefore = PackageBuilder::snapshot(installConfig());

    UpdateObject object{QString()};
    LogCapture log;
    QVERIFY(!object.updateConfigFiles(packageConfig(), installConfig()));
    QCOMPARE(log.linesContaining(QStringLiteral("merge app.ini failed,the package's file is not a marked file")).size(), 1);
    QCOMPARE(PackageBuilder::snapshot(packageConfig()), packageBefore);
    QCOMPARE(PackageBuilder::snapshot(installConfig()), installBefore);
}

void TestConfigMerge::installedLinks_data()
{
    QTest::addColumn<QString>("linkPath");   // below the installation
    QTest::addColumn<QString>("linkTarget"); // relative to the test directory
    QTest::addColumn<QString>("refused");    // the link named in the refusal, or empty: merged

    // The installation's configuration kept elsewhere (a shared or roaming folder): the
    // merge would change files that no backup covers, so the step fails instead.
    QTest::newRow("config is a link out") << "config" << "outside" << "config";
    QTest::newRow("INI file is a link out") << "config/app.ini" << "outside/app.ini" << "config/app.ini";
    // The merge first copies the file to its .bak, through QSaveFile, which follows links.
    QTest::newRow(".bak is a link out") << "config/app.ini.bak" << "outside/app.ini.bak" << "config/app.ini.bak";
    // Inside the installation a link is written through, as the copy does.
    QTest::newRow("INI file linked inside") << "config/app.ini" << "install/shared/app.ini" << QString();
}

void TestConfigMerge::installedLinks()
{
#ifdef Q_OS_WIN
    QSKIP("Unix links only: QFile::link makes shell links (.lnk files) on Windows");
#endif
    QFETCH(QString, linkPath);
    QFETCH(QString, linkTarget);
    QFETCH(QString, refused);
    const QString installRoot = m_dir->path() + QStringLiteral("/install");

    PackageBuilder package(packageConfig());
    package.markedIni(QStringLiteral("app.ini"), {{"main/lang", "zh"}}).files({"layout.xml=<new/>"});
    // One user's settings, wherever they live.
    const PackageBuilder::IniKeys user{{"main/lang", "en"}, {"main/user", "anna"}};
    PackageBuilder outside(m_dir->path() + QStringLiteral("/outside"));
    outside.markedIni(QStringLiteral("app.ini"), user).markedIni(QStringLiteral("app.ini.bak"), user);
    PackageBuilder installation(installRoot);
    installation.markedIni(QStringLiteral("shared/app.ini"), user).files({"config/layout.xml=<old/>"});
    if (linkPath != QLatin1String("config/app.ini"))
        installation.markedIni(QStringLiteral("config/app.ini"), user);
    if (linkPath == QLatin1String("config"))
        QVERIFY(QDir(installation.path(QStringLiteral("config"))).removeRecursively());
    installation.link(linkPath, m_dir->path() + QLatin1Char('/') + linkTarget);
    QVERIFY2(package.ok() && outside.ok() && installation.ok(), qPrintable(installation.error()));
    const QStringList outsideBefore = PackageBuilder::snapshot(outside.root());

    LogCapture log;
    UpdateObject object{QString()};
    QCOMPARE(object.updateConfigFiles(packageConfig(), installConfig()), refused.isEmpty());
    QCOMPARE(PackageBuilder::snapshot(outside.root()), outsideBefore);
    if (refused.isEmpty()) {
        QCOMPARE(PackageBuilder::iniValues(installation.path(QStringLiteral("shared/app.ini"))).value("main/lang"),
                 QStringLiteral("zh"));
        QCOMPARE(log.linesContaining(QStringLiteral("refuse link")), QStringList());
    } else {
        QCOMPARE(log.linesContaining(QStringLiteral("refuse link")),
                 QStringList{QStringLiteral("Warning bool UpdateObject::updateConfigFiles(const QString&, const QString&) "
                                            "\"refuse link %1/%2,it leads out of the installation\"")
                                 .arg(installRoot, refused)});
    }
}

QTEST_GUILESS_MAIN(TestConfigMerge)
#include "tst_configmerge.moc"
