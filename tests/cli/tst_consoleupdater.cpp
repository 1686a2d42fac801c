#include "cli/consoleoutput.h"
#include "app/mainwindow.h"
#include "package/packagemanifest.h"
#include "package/packagesignature.h"
#include "package/trustedkeys.h"
#include "context/zrpubmethod.h"
#include "common/packagebuilder.h"
#include "common/scopedcurrentdir.h"
#include "common/testhome.h"
#include "db/dbcontrol.h"
#include "platform/registrystore.h"
#include "strings/stringtablecompiler.h"
#include "updater/cvupdater.h"

#include <QCryptographicHash>
#include <QDate>
#include <QDialog>
#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryFile>
#include <QTimer>
#include <QtTest>

#include <algorithm>
#include <cstdio>
#include <memory>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

namespace {

const char kProgram[] = CORVANE_BINARY_DIR "/corvane-updater-cli" CORVANE_EXE_SUFFIX;
const char kStringSource[] = CORVANE_SOURCE_DIR "/strings/strings.tsv";
const QString kUninstallKey =
    QStringLiteral("HKEY_LOCAL_MACHINE/SOFTWARE/Microsoft/Windows/CurrentVersion/Uninstall");

struct Run
{
    int exitCode = -1;
    QString out;
    QString err;
    QStringList outLines() const { return out.split(QLatin1Char('\n'), Qt::SkipEmptyParts); }
    QStringList errLines() const { return err.split(QLatin1Char('\n'), Qt::SkipEmptyParts); }
    QString describe() const
    {
        return QStringLiteral("exit %1\n--- stdout\n%2--- stderr\n%3").arg(exitCode).arg(out, err);
    }
};

// Every entry below root with its contents and, for files, its modification time: two
// equal states mean nothing was created, removed, written or even touched.
QStringList stateOf(const QString &root, const QStringList &ignored = QStringList())
{
    QStringList state = PackageBuilder::snapshot(root, ignored);
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        const QString relative = QDir(root).relativeFilePath(info.filePath());
        const bool isIgnored = std::any_of(ignored.cbegin(), ignored.cend(), [&relative](const QString &path) {
            return relative == path || relative.startsWith(path + QLatin1Char('/'));
        });
        if (!isIgnored && info.isFile() && !info.isSymLink())
            state << QStringLiteral("%1 @ %2").arg(relative).arg(info.lastModified().toMSecsSinceEpoch());
    }
    state.sort();
    return state;
}

QString todaysLog(const QString &packageDir)
{
    return QStringLiteral("%1/log/cvUpdaterlog_%2.txt")
        .arg(packageDir, QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd")));
}

// The state of a database as rows: schema first, then every table's rows in order.
QStringList dump(const QString &databasePath)
{
    QStringList rows = PackageBuilder::query(databasePath, QStringLiteral("SELECT type, name, sql FROM sqlite_master ORDER BY name"));
    const QStringList tables = PackageBuilder::query(
        databasePath, QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name"));
    for (const QString &table : tables) {
        rows << QStringLiteral("-- %1").arg(table);
        rows << PackageBuilder::query(databasePath, QStringLiteral("SELECT * FROM \"%1\" ORDER BY 1").arg(table));
    }
    return rows;
}

QSet<QString> wordsOf(const QString &text)
{
    static const QRegularExpression word(QStringLiteral("[A-Za-z]{3,}"));
    QSet<QString> words;
    auto it = word.globalMatch(text);
    while (it.hasNext())
        words.insert(it.next().captured().toLower());
    return words;
}

// The words that only the English texts of the string table use: any of them in the
// output of another language is an untranslated text. Words every language shares
// (names such as DisplayIcon, tarnwoven, option names) are left out.
QSet<QString> englishOnlyWords(const StringTableCompiler &table)
{
    QSet<QString> english;
    QSet<QString> others;
    for (int id = 0; id < table.stringCount(); ++id) {
        english.unite(wordsOf(table.text(1, id)));
        others.unite(wordsOf(table.text(0, id))).unite(wordsOf(table.text(2, id)));
    }
    return english.subtract(others);
}

// The lines of output that hold such a word outside of paths, file names, keys,
// versions and options (tokens with / \\ . _ - or a digit), which are the same in
// every language.
QStringList linesWithEnglish(const QString &output, const QSet<QString> &englishWords)
{
    static const QRegularExpression token(QStringLiteral("[^\\s（）“”：，；。]+"));
    static const QRegularExpression pathLike(QStringLiteral("[/\\\\._0-9-]"));
    QStringList found;
    for (const QString &line : output.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        auto it = token.globalMatch(line);
        while (it.hasNext()) {
            const QString piece = it.next().captured();
            if (piece.contains(pathLike))
                continue;
            const QSet<QString> words = wordsOf(piece);
            if (words.intersects(englishWords)) {
                found << line;
                break;
            }
        }
    }
    return found;
}

bool hasChinese(const QString &line)
{
    return std::any_of(line.cbegin(), line.cend(), [](QChar c) { return c.unicode() >= 0x3000 && c.unicode() <= 0x9fff; });
}

} // namespace

// The console updater end to end: the built corvane-updater-cli run as a process from a
// package directory against an installation, a registry stand-in and a desktop in
// temporary directories; and the window and the console program compared on the same
// package.
class TestConsoleUpdater : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void updateSucceeds();
    void languageChoosesTextAndKey_data();
    void languageChoosesTextAndKey();
    void quietUpdatePrintsNothing();
    void failingStages_data();
    void failingStages();
    void checkGoodPackage();
    void checkQuiet();
    void checkNamesWhatItLeavesOut();
    void checkBrokenPackage_data();
    void checkBrokenPackage();
    void checkScriptNotes();
    void checkLeavesWalDatabaseAlone();
    void noDesktopWarns();
    void checkNothingToDo_data();
    void checkNothingToDo();
    void restoreAfterUpdate();
    void restoreWithoutBackup();
    void restoreFromAnyDirectory();
    void plantedPluginsNeverLoad();
    void noEnglishInOtherLanguages_data();
    void noEnglishInOtherLanguages();
    void badInput_data();
    void badInput();
    void helpAndVersion();
    void progressBarOnTerminal();
    void windowAndConsoleAgree();
    void twoUpdatersAtOnce();
    void lockedInstallation_data();
    void lockedInstallation();
    void staleLockIsTakenOver_data();
    void staleLockIsTakenOver();
    void notEnoughSpace();
    void databaseInUse();
    void applicationHoldsFiles_data();
    void applicationHoldsFiles();
    void waitForApplication_data();
    void waitForApplication();
    void unwritableLog_data();
    void unwritableLog();

private:
    enum Fault {
        NoFault,
        SameVersion,
        OlderPackage,
        InterruptedNoBackup,
        InterruptedBrokenBackup,
        BackupBlocked,
        SqlErrorInStep2,
        SqlErrorAndStaleBackup,
        MissingStep,
        UnmarkedStepIni,
        NoMarkersStepIni,
        VersionNotNumber,
        MajorVersionStep,
        ThreePartVersion,
        MalformedDirective,
        ConfigSubdirectory,
        DamagedVersionIni,
        InstalledIniNotText,
        DamagedIniDropsKey,
        CommonTypeConflict,
        CommonReplacesDatabase,
        CommonReplacesIni,
        InstalledLinkOutside,
        FlagLinkOutside,
        ConfigLinkOutside,
        IniLinkOutside,
        DatabaseNotReadable,
        DatabaseDamaged,
        NoApplicationDir,
        NoVersionIni,
        NoRegistryKey,
        NoInstallDir,
        SignedPackage,  // signed by a key the installation trusts (manifest only without libsodium)
        SignedTampered, // the same, then one byte of a step file changed
        Removals,       // step 2 removes a file, one the user changed, a directory with the user's file
        MalformedRemovals,
    };

    // A fresh installation (3.2.0, English key) and a package 3.2 -> 3.4 in two steps,
    // then the fault applied.
    void makeScenario(Fault fault = NoFault);
    bool apply(Fault fault);
    Run run(const QStringList &arguments, const QString &workingDir = QString()) const;
    QString installPath(const QString &relative = QString()) const;
    QString packagePath(const QString &relative = QString()) const;
    // The uninstall key: the stand-in's file, or on Windows the registry key (no file).
    static QString keyPath(const QString &product);
    QString keyFile(const QString &product) const;
    void writeKey(const QString &product, const QString &version, const QString &icon);
    QMap<QString, QString> key(const QString &product) const;
    QStringList dbRows(const QString &sql) const
    {
        return PackageBuilder::query(installPath(QStringLiteral("kqdata.db")), sql);
    }
    // Everything the run may touch except the log it writes.
    QStringList wholeState() const { return stateOf(m_root->path(), {QStringLiteral("package/log")}); }
    void verifyUpdated();
    // Starts a program beside the updater: the sqlite3 shell with kqdata.db open, idle
    // after script, or (script "sleep") sleep with ostrelle.exe as its input.
    bool startHolder(QProcess *holder, const QByteArray &script);

    std::unique_ptr<TestHome> m_home;
    std::unique_ptr<QTemporaryDir> m_root;
    QByteArray m_stringBin;
};

void TestConsoleUpdater::initTestCase()
{
    QVERIFY2(QFileInfo(QString::fromUtf8(kProgram)).isExecutable(), kProgram);
    m_home = std::make_unique<TestHome>();
    StringTableCompiler compiler;
    QVERIFY2(compiler.readSource(QString::fromUtf8(kStringSource)), qPrintable(compiler.errorString()));
    m_stringBin = compiler.toBinary();
}

void TestConsoleUpdater::init()
{
    QVERIFY(m_home->clearRegistry());
    QDir(m_home->desktopPath()).removeRecursively();
    QVERIFY(QDir().mkpath(m_home->desktopPath()));
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_root->isValid());
}

void TestConsoleUpdater::cleanup()
{
    m_root.reset();
}

QString TestConsoleUpdater::installPath(const QString &relative) const
{
    const QString base = m_root->path() + QStringLiteral("/Programs/Ostrelle");
    return relative.isEmpty() ? base : QStringLiteral("%1/%2").arg(base, relative);
}

QString TestConsoleUpdater::packagePath(const QString &relative) const
{
    const QString base = m_root->path() + QStringLiteral("/package");
    return relative.isEmpty() ? base : QStringLiteral("%1/%2").arg(base, relative);
}

QString TestConsoleUpdater::keyPath(const QString &product)
{
    return QString(kUninstallKey).replace(QLatin1Char('/'), QLatin1Char('\\')) + QLatin1Char('\\') + product;
}

QString TestConsoleUpdater::keyFile(const QString &product) const
{
#ifdef Q_OS_WIN
    Q_UNUSED(product)
    return QString();
#else
    return QStringLiteral("%1/Corvane/registry/%2/%3.ini").arg(m_home->configPath(), kUninstallKey, product);
#endif
}

void TestConsoleUpdater::writeKey(const QString &product, const QString &version, const QString &icon)
{
    const std::unique_ptr<QSettings> key = RegistryStore::open(keyPath(product));
    key->setValue(QStringLiteral("DisplayVersion"), version);
    key->setValue(QStringLiteral("DisplayIcon"), icon);
    key->setValue(QStringLiteral("DisplayName"), QStringLiteral("%1 %2").arg(product, version));
    QVERIFY(RegistryStore::commit(*key));
}

QMap<QString, QString> TestConsoleUpdater::key(const QString &product) const
{
    QMap<QString, QString> values;
    const std::unique_ptr<QSettings> key = RegistryStore::open(keyPath(product));
    const QStringList names = key->allKeys();
    for (const QString &name : names)
        values.insert(name, key->value(name).toString());
    return values;
}

void TestConsoleUpdater::makeScenario(Fault fault)
{
    PackageBuilder install(installPath());
    install.files({"ostrelle.exe=Ostrelle 3.2", "docs/readme.txt=read me 3.2", "install.log=installed",
                   "config/menus.xml=<menus v=\"3.2\"/>"})
        .markedIni(QStringLiteral("config/app.ini"), {{"view/zoom", "1"}, {"user/name", "anna"}})
        .database(QStringLiteral("kqdata.db"),
                  {"CREATE TABLE orders (id INTEGER PRIMARY KEY AUTOINCREMENT, item TEXT NOT NULL)",
                   "INSERT INTO orders (item) VALUES ('pen'), ('ink'), ('paper')",
                   "CREATE TABLE settings (key TEXT PRIMARY KEY, value TEXT)",
                   "INSERT INTO settings VALUES ('theme', 'light')"});
    QVERIFY2(install.ok(), qPrintable(install.error()));

    PackageBuilder package(packagePath());
    package.file(QStringLiteral("string.bin"), m_stringBin)
        .markedIni(QStringLiteral("version.ini"), {{"RELEASE/VERSION", "3.4"}})
        .files({"application/common/docs/license.txt=license 2",
                "application/3_2_to_3_3/common/ostrelle.exe=Ostrelle 3.3",
                "application/3_2_to_3_3/config/menus.xml=<menus v=\"3.3\"/>",
                "application/3_3_to_3_4/common/ostrelle.exe=Ostrelle 3.4",
                "application/3_3_to_3_4/common/plugins/report.dll=report 3.4"})
        .markedIni(PackageBuilder::stepPath(QStringLiteral("3_2_to_3_3"), QStringLiteral("config/app.ini")),
                   {{"view/zoom", "2"}, {"view/theme", "dark"}})
        .markedIni(PackageBuilder::stepPath(QStringLiteral("3_3_to_3_4"), QStringLiteral("config/network.ini")),
                   {{"server/port", "9443"}})
        .sqlScript(QStringLiteral("3_2_to_3_3"), QStringLiteral("# orders get a note\n"
                                                                "IFN_COL|orders|note;\n"
                                                                "ALTER TABLE orders ADD COLUMN note TEXT;\n"
                                                                "UPDATE orders SET note = 'migrated';\n"))
        // The same guard again: it must see the column that the first step added, as
        // the update does, or the ALTER would fail.
        .sqlScript(QStringLiteral("3_3_to_3_4"), QStringLiteral("IFN_COL|orders|note;\n"
                                                                "ALTER TABLE orders ADD COLUMN note TEXT;\n"
                                                                "INSERT INTO settings VALUES ('report', 'on');\n"));
    QVERIFY2(package.ok(), qPrintable(package.error()));

    writeKey(QStringLiteral("Ostrelle"), QStringLiteral("3.2.0"), installPath(QStringLiteral("ostrelle.exe")));
    QVERIFY2(apply(fault), "applying the fault");
}

bool TestConsoleUpdater::apply(Fault fault)
{
    PackageBuilder install(installPath());
    PackageBuilder package(packagePath());
    const QString step2 = QStringLiteral("3_3_to_3_4");
    switch (fault) {
    case NoFault:
        return true;
    case Removals: {
        install.files({"plugins/old.dll=old", "docs/tips.txt=my tips", "docs/manual/a.html=a", "docs/manual/notes.txt=mine"});
        const auto sha = [](const char *bytes) { return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex(); };
        package.file(QStringLiteral("application/3_3_to_3_4/remove.list"),
                     "corvane-removals 1\ndir docs/manual\nfile " + sha("a") + " 1 docs/manual/a.html\nfile " + sha("tips")
                         + " 4 docs/tips.txt\nfile " + sha("old") + " 3 plugins/old.dll\n");
        break;
    }
    case MalformedRemovals:
        package.file(QStringLiteral("application/3_3_to_3_4/remove.list"),
                     "corvane-removals 1\nfile " + QByteArray(64, 'a') + " 3 /etc/passwd\n");
        break;
    case SameVersion:
        package.markedIni(QStringLiteral("version.ini"), {{"RELEASE/VERSION", "3.2"}});
        break;
    case OlderPackage:
        package.markedIni(QStringLiteral("version.ini"), {{"RELEASE/VERSION", "3.1"}});
        break;
    case InterruptedNoBackup:
        install.markedIni(QStringLiteral("config/UPDATER.ini"), {{"UPDATE/FLAG", "false"}});
        break;
    case InterruptedBrokenBackup:
        // A backup whose "docs" is a file cannot be put over the installed directory.
        install.markedIni(QStringLiteral("config/UPDATER.ini"), {{"UPDATE/FLAG", "false"}})
            .files({"backup/docs=not a directory"});
        break;
    case BackupBlocked:
        install.files({"backup=a file where the backup directory belongs"});
        break;
    case SqlErrorInStep2:
        package.sqlScript(step2, QStringLiteral("INSERT INTO settings VALUES ('report', 'on');\n"
                                                "ALTER TABLE no_such_table ADD COLUMN x TEXT;\n"));
        break;
    case SqlErrorAndStaleBackup:
        // An earlier backup left the file "extra"; step 1 makes "extra" a directory, so
        // the restore after the failing step 2 cannot put the file back.
        install.files({"backup/extra=from an earlier backup"});
        package.files({"application/3_2_to_3_3/common/extra/new.txt=new"});
        package.sqlScript(step2, QStringLiteral("ALTER TABLE no_such_table ADD COLUMN x TEXT;\n"));
        break;
    case MissingStep:
        package.markedIni(QStringLiteral("version.ini"), {{"RELEASE/VERSION", "3.5"}});
        break;
    case UnmarkedStepIni:
        package.markedIni(PackageBuilder::stepPath(QStringLiteral("3_2_to_3_3"), QStringLiteral("config/app.ini")),
                          {{"view/zoom", "2"}}, PackageBuilder::Markers::BeginOnly);
        break;
    case NoMarkersStepIni:
        package.markedIni(PackageBuilder::stepPath(QStringLiteral("3_2_to_3_3"), QStringLiteral("config/app.ini")),
                          {{"view/zoom", "2"}}, PackageBuilder::Markers::None);
        break;
    case VersionNotNumber:
        writeKey(QStringLiteral("Ostrelle"), QStringLiteral("three point two"), installPath(QStringLiteral("ostrelle.exe")));
        return true;
    case MajorVersionStep:
        writeKey(QStringLiteral("Ostrelle"), QStringLiteral("3.9"), installPath(QStringLiteral("ostrelle.exe")));
        package.markedIni(QStringLiteral("version.ini"), {{"RELEASE/VERSION", "4.0"}});
        break;
    case ThreePartVersion:
        writeKey(QStringLiteral("Ostrelle"), QStringLiteral("3.4"), installPath(QStringLiteral("ostrelle.exe")));
        package.markedIni(QStringLiteral("version.ini"), {{"RELEASE/VERSION", "3.5.1"}});
        break;
    case MalformedDirective:
        package.sqlScript(step2, QStringLiteral("IFN_COL|orders;\nALTER TABLE orders ADD COLUMN x TEXT;\n"));
        break;
    case ConfigSubdirectory:
        package.files({"application/3_3_to_3_4/config/themes/dark.qss=dark"});
        break;
    case DamagedVersionIni:
        package.markedIni(QStringLiteral("version.ini"), {{"RELEASE/VERSION", "3.4"}}, PackageBuilder::Markers::None);
        break;
    case InstalledIniNotText:
        // An ANSI program's file on a Western Windows: "\xEB" alone is no UTF-8.
        install.file(QStringLiteral("config/app.ini"),
                     QByteArray("[ZRFILE_BEGIN]\r\nCODE=tarnwoven\r\n[user]\r\nname=Zo\xEB\r\n"
                                "[ZRFILE_END]\r\nCODE=tarnwoven\r\n"));
        break;
    case DamagedIniDropsKey:
        install.markedIni(QStringLiteral("config/app.ini"), {{"user/name", "anna"}}, PackageBuilder::Markers::BeginOnly);
        break;
    case CommonTypeConflict:
        package.files({"application/common/config=a file where the installation has a directory"});
        break;
    case CommonReplacesDatabase:
        package.database(QStringLiteral("application/3_2_to_3_3/common/kqdata.db"), {"CREATE TABLE orders (id INTEGER)"});
        break;
    case CommonReplacesIni:
        package.markedIni(QStringLiteral("application/common/config/app.ini"), {{"view/zoom", "3"}});
        break;
    case InstalledLinkOutside: {
        PackageBuilder shared(m_root->path() + QStringLiteral("/shared"));
        shared.dir(QStringLiteral("plugins"));
        install.link(QStringLiteral("plugins"), shared.path(QStringLiteral("plugins")));
        if (!shared.ok())
            return false;
        break;
    }
    case FlagLinkOutside: {
        // Only the flag file is kept elsewhere; the package has no settings to merge into it.
        const QString elsewhere = m_root->path() + QStringLiteral("/shared/UPDATER.ini");
        QFile::remove(installPath(QStringLiteral("config/UPDATER.ini")));
        if (!QDir().mkpath(m_root->path() + QStringLiteral("/shared")) || !QFile(elsewhere).open(QIODevice::WriteOnly))
            return false;
        install.link(QStringLiteral("config/UPDATER.ini"), elsewhere);
        break;
    }
    case ConfigLinkOutside:
    case IniLinkOutside: {
        // The configuration (or one file of it) kept elsewhere, e.g. in a shared folder.
        const QString moved = fault == ConfigLinkOutside ? QStringLiteral("config") : QStringLiteral("config/app.ini");
        const QString elsewhere = m_root->path() + QStringLiteral("/shared/") + QFileInfo(moved).fileName();
        if (!QDir().mkpath(m_root->path() + QStringLiteral("/shared")) || !QDir().rename(installPath(moved), elsewhere))
            return false;
        install.link(moved, elsewhere);
        break;
    }
    case DatabaseNotReadable:
        install.file(QStringLiteral("kqdata.db"), QByteArray(4096, 'x'));
        break;
    case DatabaseDamaged:
        install.damagedDatabase(QStringLiteral("kqdata.db"), {});
        break;
    case NoApplicationDir:
        return QDir(packagePath(QStringLiteral("application"))).removeRecursively();
    case NoVersionIni:
        return QFile::remove(packagePath(QStringLiteral("version.ini")));
    case NoRegistryKey:
        return m_home->clearRegistry();
    case NoInstallDir:
        writeKey(QStringLiteral("Ostrelle"), QStringLiteral("3.2.0"), m_root->path() + QStringLiteral("/Gone/ostrelle.exe"));
        return true;
    case SignedPackage:
    case SignedTampered: {
        PackageManifest manifest;
        if (!manifest.scan(packagePath()))
            return false;
        const QByteArray manifestText = manifest.toText();
        package.file(QLatin1String(PackageManifest::kFileName), manifestText);
        QByteArray publicKey;
        QByteArray secretKey;
        PackageSignature::Signature one;
        if (PackageSignature::isSupported()) {
            PackageSignature signature;
            if (!PackageSignature::generateKeyPair(&publicKey, &secretKey)
                || !PackageSignature::sign(manifestText, secretKey, &one))
                return false;
            signature.append(one);
            package.file(QLatin1String(PackageManifest::kSignatureName), signature.toText());
            install.markedIni(QStringLiteral("config/%1").arg(QLatin1String(TrustedKeys::kFileName)),
                              {{"KEYS/vendor-2026", QString::fromLatin1(publicKey.toHex())}});
        }
        if (fault == SignedTampered)
            package.file(PackageBuilder::stepPath(QStringLiteral("3_2_to_3_3"), QStringLiteral("common/ostrelle.exe")),
                         "Ostrelle 3.9");
        break;
    }
    }
    if (!install.ok() || !package.ok())
        qWarning() << install.error() << package.error();
    return install.ok() && package.ok();
}

Run TestConsoleUpdater::run(const QStringList &arguments, const QString &workingDir) const
{
    QProcess process;
    process.setWorkingDirectory(workingDir.isEmpty() ? packagePath() : workingDir);
    process.start(QString::fromUtf8(kProgram), arguments);
    Run result;
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished();
        result.err = QStringLiteral("did not finish");
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    // A Windows console program writes its lines with CR LF.
    result.out = QString::fromUtf8(process.readAllStandardOutput()).replace(QLatin1String("\r\n"), QLatin1String("\n"));
    result.err = QString::fromUtf8(process.readAllStandardError()).replace(QLatin1String("\r\n"), QLatin1String("\n"));
    return result;
}

void TestConsoleUpdater::verifyUpdated()
{
    QCOMPARE(PackageBuilder::readFile(installPath(QStringLiteral("ostrelle.exe"))), QByteArray("Ostrelle 3.4"));
    QCOMPARE(PackageBuilder::readFile(installPath(QStringLiteral("plugins/report.dll"))), QByteArray("report 3.4"));
    QCOMPARE(PackageBuilder::readFile(installPath(QStringLiteral("docs/license.txt"))), QByteArray("license 2"));
    QCOMPARE(PackageBuilder::readFile(installPath(QStringLiteral("config/menus.xml"))), QByteArray("<menus v=\"3.3\"/>"));

    // Merged key by key: the user's setting stays, the package's values win.
    const QMap<QString, QString> app = PackageBuilder::iniValues(installPath(QStringLiteral("config/app.ini")));
    QCOMPARE(app.value(QStringLiteral("user/name")), QStringLiteral("anna"));
    QCOMPARE(app.value(QStringLiteral("view/zoom")), QStringLiteral("2"));
    QCOMPARE(app.value(QStringLiteral("view/theme")), QStringLiteral("dark"));
    QCOMPARE(PackageBuilder::iniValues(installPath(QStringLiteral("config/network.ini"))).value(QStringLiteral("server/port")),
             QStringLiteral("9443"));

    QCOMPARE(dbRows(QStringLiteral("SELECT id, item, note FROM orders ORDER BY id")),
             QStringList({"1|pen|migrated", "2|ink|migrated", "3|paper|migrated"}));
    QCOMPARE(dbRows(QStringLiteral("SELECT key, value FROM settings ORDER BY key")),
             QStringList({"report|on", "theme|light"}));

    const QMap<QString, QString> entry = key(QStringLiteral("Ostrelle"));
    QCOMPARE(entry.value(QStringLiteral("DisplayVersion")), QStringLiteral("3.4"));
    QCOMPARE(entry.value(QStringLiteral("DisplayName")), QStringLiteral("Ostrelle 3.4"));
    QCOMPARE(QFileInfo(m_home->desktopPath() + QStringLiteral("/Ostrelle.lnk")).symLinkTarget(),
             installPath(QStringLiteral("ostrelle.exe")));
    QCOMPARE(PackageBuilder::iniValues(installPath(QStringLiteral("config/UPDATER.ini"))).value(QStringLiteral("UPDATE/FLAG")),
             QStringLiteral("true"));

    // The backup holds the old version without the reserved names.
    QCOMPARE(PackageBuilder::readFile(installPath(QStringLiteral("backup/ostrelle.exe"))), QByteArray("Ostrelle 3.2"));
    QVERIFY(!QFileInfo::exists(installPath(QStringLiteral("backup/install.log"))));
}

void TestConsoleUpdater::updateSucceeds()
{
    makeScenario();
    const Run result = run({});
    QVERIFY2(result.exitCode == 0, qPrintable(result.describe()));
    QCOMPARE(result.outLines(), QStringList({
                                    QStringLiteral("Updating %1 from 3.2 to 3.4").arg(QDir::toNativeSeparators(installPath())),
                                    "Checking the versions",
                                    "Checking the package and the installation",
                                    "Checking the update flag",
                                    "Backing up the installation",
                                    "Applying the version steps",
                                    "  progress 10%",
                                    "  progress 21%",
                                    "  progress 32%",
                                    "  progress 43%",
                                    "  progress 78%",
                                    "  progress 89%",
                                    "  progress 100%",
                                    "Updating the uninstall entry and the shortcut",
                                    "The update was completed successfully.",
                                }));
    QCOMPARE(result.err, QString());
    verifyUpdated();

    // The window's log file, started the way the window starts it.
    QFile log(todaysLog(packagePath()));
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(log.readAll()).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    QVERIFY(!lines.isEmpty());
    QVERIFY2(lines.first().endsWith(QStringLiteral(" Info void ConsoleUpdater::startLog() Corvane Update Start-Up")),
             qPrintable(lines.first()));
    QStringList stageLines;
    for (const QString &line : lines) {
        if (line.contains(QStringLiteral("int ConsoleUpdater::runUpdate()")))
            stageLines << line.section(QLatin1Char(' '), 2);
    }
    QCOMPARE(stageLines, QStringList({
                             "Debug int ConsoleUpdater::runUpdate() check version",
                             "Debug int ConsoleUpdater::runUpdate() check package",
                             "Debug int ConsoleUpdater::runUpdate() check update flag",
                             "Debug int ConsoleUpdater::runUpdate() backup old version",
                             "Debug int ConsoleUpdater::runUpdate() exec update",
                             "Debug int ConsoleUpdater::runUpdate() update regedit and shortcut",
                             "Info int ConsoleUpdater::runUpdate() result: \"The update was completed successfully.\"",
                         }));
    QVERIFY(lines.filter(QStringLiteral("Debug bool CVUpdater::backupVersion() backup successed!")).size() == 1);
    QVERIFY2(lines.last().endsWith(QStringLiteral(" Info int ConsoleUpdater::run(const QStringList&) exit status 0")),
             qPrintable(lines.last()));

    // A second run finds the package already applied, and says so from its first line.
    const Run again = run({});
    QCOMPARE(again.exitCode, 3);
    QCOMPARE(again.outLines().constFirst(),
             QStringLiteral("Installation %1: version 3.4; the package brings version 3.4").arg(QDir::toNativeSeparators(installPath())));
    QCOMPARE(again.errLines().mid(0, 2),
             QStringList({"This update cannot be applied to the installed version.",
                          "The installation already has version 3.4, the package's version: nothing to do; nothing was "
                          "changed."}));
}

void TestConsoleUpdater::languageChoosesTextAndKey_data()
{
    QTest::addColumn<QString>("lang");
    QTest::addColumn<QString>("updated");
    QTest::addColumn<QString>("text");
    QTest::newRow("0: Chinese, Ketterin first") << "0" << "Ketterin" << QStringLiteral("更新已成功完成。");
    QTest::newRow("1: English, Ostrelle first") << "1" << "Ostrelle" << "The update was completed successfully.";
    QTest::newRow("2: Spanish, Ostrelle first") << "2" << "Ostrelle" << QStringLiteral("La actualización se completó correctamente.");
}

void TestConsoleUpdater::languageChoosesTextAndKey()
{
    QFETCH(QString, lang);
    QFETCH(QString, updated);
    QFETCH(QString, text);
    makeScenario();
    // A second installation under the Chinese name.
    const QString other = m_root->path() + QStringLiteral("/Programs/Ketterin");
    QVERIFY(QDir().mkpath(other));
    QVERIFY(QFile::copy(installPath(QStringLiteral("kqdata.db")), other + QStringLiteral("/kqdata.db")));
    writeKey(QStringLiteral("Ketterin"), QStringLiteral("3.2"), other + QStringLiteral("/ketterin.exe"));

    const Run result = run({QStringLiteral("--lang"), lang});
    QVERIFY2(result.exitCode == 0, qPrintable(result.describe()));
    QCOMPARE(result.outLines().constLast(), text);
    QCOMPARE(key(updated).value(QStringLiteral("DisplayVersion")), QStringLiteral("3.4"));
    const QString untouched = updated == QLatin1String("Ostrelle") ? QStringLiteral("Ketterin") : QStringLiteral("Ostrelle");
    QVERIFY(key(untouched).value(QStringLiteral("DisplayVersion")).startsWith(QStringLiteral("3.2")));
    QCOMPARE(QFileInfo::exists(other + QStringLiteral("/backup")), updated == QLatin1String("Ketterin"));
}

void TestConsoleUpdater::quietUpdatePrintsNothing()
{
    makeScenario();
    const Run result = run({QStringLiteral("--quiet")});
    QVERIFY2(result.exitCode == 0, qPrintable(result.describe()));
    QCOMPARE(result.out, QString());
    QCOMPARE(result.err, QString());
    verifyUpdated();
}

void TestConsoleUpdater::failingStages_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("lastStages");
    QTest::addColumn<QStringList>("errors");
    // What the run may change; "*": anything (the update ran and was undone).
    QTest::addColumn<QStringList>("changes");

    QTest::newRow("version refused")
        << int(SameVersion) << 3 << QStringList{"Checking the versions"}
        << QStringList{"This update cannot be applied to the installed version.",
                       "The installation already has version 3.2, the package's version: nothing to do; nothing was changed."}
        << QStringList{};
    QTest::newRow("interrupted run, no backup")
        << int(InterruptedNoBackup) << 4
        << QStringList{"Checking the update flag", "Restoring the backup of an interrupted update"}
        << QStringList{"The update could not be completed.",
                       "An earlier update was interrupted, and putting its backup %1/backup back failed; nothing else was done."}
        << QStringList{};
    QTest::newRow("interrupted run, backup cannot be put back")
        << int(InterruptedBrokenBackup) << 4
        << QStringList{"Checking the update flag", "Restoring the backup of an interrupted update"}
        << QStringList{"The update could not be completed.",
                       "An earlier update was interrupted, and putting its backup %1/backup back failed; nothing else was done."}
        << QStringList{};
    QTest::newRow("backup fails")
        << int(BackupBlocked) << 5 << QStringList{"Checking the update flag", "Backing up the installation"}
        << QStringList{"The update could not be completed.",
                       "The installation could not be backed up to %1/backup; nothing was updated."}
        // The flag file is opened before the backup, which creates it, as in the window.
        << QStringList{"Programs/Ostrelle/config/UPDATER.ini"};
    QTest::newRow("step fails, backup put back")
        << int(SqlErrorInStep2) << 6 << QStringList{"  progress 100%", "Restoring the backup"}
        << QStringList{"The update could not be completed.", "Failed: Applying the version steps. The backup was put back."}
        << QStringList{"*"};
    QTest::newRow("step fails, backup cannot be put back")
        << int(SqlErrorAndStaleBackup) << 7 << QStringList{"  progress 100%", "Restoring the backup"}
        << QStringList{"The update could not be completed.",
                       "Failed: Applying the version steps, and the backup could not be put back: the installation may be "
                       "incomplete. The next update puts the backup back first; so does --restore."}
        << QStringList{"*"};
}

void TestConsoleUpdater::failingStages()
{
    QFETCH(int, fault);
    QFETCH(int, exitCode);
    QFETCH(QStringList, lastStages);
    QFETCH(QStringList, errors);
    QFETCH(QStringList, changes);
    makeScenario(Fault(fault));
    const QStringList before = stateOf(m_root->path(), QStringList(changes) << QStringLiteral("package/log"));

    const Run result = run({});
    QVERIFY2(result.exitCode == exitCode, qPrintable(result.describe()));
    const QStringList out = result.outLines();
    QCOMPARE(out.mid(out.size() - lastStages.size()), lastStages);
    QStringList expected;
    for (const QString &error : errors)
        expected << (error.contains(QLatin1String("%1")) ? error.arg(installPath()) : error);
    expected << QStringLiteral("Details: %1").arg(todaysLog(packagePath()));
    QCOMPARE(result.errLines(), expected);
    if (!changes.contains(QStringLiteral("*")))
        QCOMPARE(stateOf(m_root->path(), QStringList(changes) << QStringLiteral("package/log")), before);
    QVERIFY(QFile(todaysLog(packagePath())).size() > 0);
}

void TestConsoleUpdater::checkGoodPackage()
{
    makeScenario();
    const QStringList before = wholeState();
    const QStringList beforeWithLog = stateOf(m_root->path());

    const Run result = run({QStringLiteral("--check")});
    QVERIFY2(result.exitCode == 0, qPrintable(result.describe()));
    QCOMPARE(result.err, QString());
    const QStringList out = result.outLines();
    QCOMPARE(out.first(), QStringLiteral("Checking the package %1").arg(packagePath()));
    QCOMPARE(out.last(), QStringLiteral("Check passed: the update from 3.2 to 3.4 would go through."));
    QVERIFY(result.out.contains(QStringLiteral("  ok       version steps: 3_2_to_3_3, 3_3_to_3_4\n")));
    QVERIFY(result.out.contains(QStringLiteral(
        "  ok       application/3_2_to_3_3/config/app.ini: 2 keys merged into config/app.ini, 1 keys only the installation has are kept\n")));
    QVERIFY(result.out.contains(QStringLiteral("  ok       application/3_3_to_3_4/config/network.ini: copied as the new file config/network.ini\n")));
    // The second script's guard saw the column the first script added.
    QVERIFY(result.out.contains(QStringLiteral("  ok       application/3_2_to_3_3/sql/dbupdate.sql: 2 statements ran on the copy of kqdata.db\n")));
    QVERIFY(result.out.contains(QStringLiteral("  ok       application/3_3_to_3_4/sql/dbupdate.sql: 1 statements ran on the copy of kqdata.db\n")));
    QVERIFY(!result.out.contains(QStringLiteral("PROBLEM")));

    // Nothing created (not even the log), written, repaired or touched.
    QCOMPARE(stateOf(m_root->path()), beforeWithLog);
    QVERIFY(!QFileInfo::exists(packagePath(QStringLiteral("log"))));

    // And the update it promised goes through.
    const Run update = run({});
    QVERIFY2(update.exitCode == 0, qPrintable(update.describe()));
    verifyUpdated();
    Q_UNUSED(before)
}

void TestConsoleUpdater::checkQuiet()
{
    makeScenario();
    const Run good = run({QStringLiteral("--check"), QStringLiteral("--quiet")});
    QCOMPARE(good.exitCode, 0);
    QCOMPARE(good.out, QString());

    QVERIFY(apply(MissingStep));
    const Run bad = run({QStringLiteral("--check"), QStringLiteral("--quiet")});
    QCOMPARE(bad.exitCode, 1);
    QCOMPARE(bad.outLines(), QStringList({"  PROBLEM  application/3_4_to_3_5/ is missing: the update would stop at this step",
                                          "Check found 1 problem: the update would fail."}));
}

void TestConsoleUpdater::checkNamesWhatItLeavesOut()
{
#ifdef Q_OS_WIN
    QSKIP("no FIFOs or Unix links on Windows");
#else
    makeScenario();
    const QString common = packagePath(QStringLiteral("application/3_2_to_3_3/common"));
    PackageBuilder package(common);
    package.files({"bin/.cache=h"}).link(QStringLiteral("bin/tool"), QStringLiteral("no/such/tool"));
    QVERIFY(package.ok());
    QVERIFY(::mkfifo(QFile::encodeName(common + QStringLiteral("/bin/pipe")).constData(), 0644) == 0);

    const Run result = run({QStringLiteral("--check")});
    QVERIFY2(result.exitCode == 0, qPrintable(result.describe()));
    const QString prefix = QStringLiteral("  note     application/3_2_to_3_3/common/bin/");
    QVERIFY2(result.out.contains(prefix + QStringLiteral(".cache: hidden, so the update does not copy it\n")),
             qPrintable(result.out));
    QVERIFY2(result.out.contains(prefix + QStringLiteral("tool: a dangling link, so the update does not copy it\n")),
             qPrintable(result.out));
    QVERIFY2(result.out.contains(prefix + QStringLiteral("pipe: a FIFO, so the update does not copy it\n")),
             qPrintable(result.out));
#endif
}

void TestConsoleUpdater::checkBrokenPackage_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<QString>("problem");
    // What the real update then does: the check must not pass a package that fails.
    QTest::addColumn<int>("updateExit");

    QTest::newRow("step directory missing")
        << int(MissingStep) << "application/3_4_to_3_5/ is missing: the update would stop at this step" << 10;
    QTest::newRow("statement fails")
        << int(SqlErrorInStep2)
        << "application/3_3_to_3_4/sql/dbupdate.sql: statement 2 of 2 would fail: no such table: no_such_table" << 6;
    QTest::newRow("malformed directive")
        << int(MalformedDirective)
        << "application/3_3_to_3_4/sql/dbupdate.sql cannot be parsed (ifncol parse failed: \"IFN_COL|orders\"): none of its "
           "statements would run and the update would fail"
        << 10;
    QTest::newRow("config sub-directory")
        << int(ConfigSubdirectory)
        << "application/3_3_to_3_4/config/themes is a directory: the configuration step copies files only and would fail here"
        << 10;
    QTest::newRow("common file over a directory")
        << int(CommonTypeConflict)
        << QStringLiteral("application/common/config: a file in the package, but %1/config is a directory: the copy would fail")
        << 10;
    // The second step's script then meets the package's database, which lacks its
    // table; with a matching schema the update would go through without the user's rows.
    QTest::newRow("common tree replaces the database")
        << int(CommonReplacesDatabase)
        << "application/3_2_to_3_3/common/kqdata.db would replace the installed kqdata.db instead of updating it (use the "
           "step's sql/dbupdate.sql): the user's data in it is lost"
        << 10;
    // Goes through, and takes the user's settings with it.
    QTest::newRow("common tree replaces an INI file")
        << int(CommonReplacesIni)
        << "application/common/config/app.ini would replace the installed config/app.ini instead of merging it (put it in "
           "the step's config/): the user's data in it is lost"
        << 10;
    // The copy would write the package's file into a folder no backup covers.
    QTest::newRow("installed link out of the installation")
        << int(InstalledLinkOutside)
        << QStringLiteral("application/3_3_to_3_4/common/plugins: %1/plugins is a link out of the installation: the copy "
                          "would refuse to write through it")
        << 10;
    QTest::newRow("installed config is a link out of the installation")
        << int(ConfigLinkOutside)
        << QStringLiteral("application/3_2_to_3_3/config: %1/config is a link out of the installation: the configuration "
                          "step would refuse to write through it")
        << 10;
    QTest::newRow("installed INI file is a link out of the installation")
        << int(IniLinkOutside)
        << QStringLiteral("application/3_2_to_3_3/config/app.ini: %1/config/app.ini is a link out of the installation: "
                          "the configuration step would refuse to write through it")
        << 10;
    QTest::newRow("interrupted run without backup")
        << int(InterruptedNoBackup)
        << QStringLiteral("an earlier update was interrupted (UPDATE/FLAG is false), but there is no backup %1/backup: the "
                          "restore that comes first would fail")
        << 4;
    QTest::newRow("flag file a link out of the installation")
        << int(FlagLinkOutside)
        << "%1/config/UPDATER.ini is a link out of the installation: the update flag would be written outside it" << 10;
    QTest::newRow("database not readable")
        << int(DatabaseNotReadable) << "kqdata.db is damaged (PRAGMA quick_check: file is not a database" << 15;
    // It reads, but the backup would keep the damage and the steps would run on it.
    QTest::newRow("database damaged") << int(DatabaseDamaged) << "kqdata.db is damaged (PRAGMA quick_check: " << 15;
    QTest::newRow("malformed removal list")
        << int(MalformedRemovals)
        << "application/3_3_to_3_4/remove.list is malformed (line 2: absolute path: \"/etc/passwd\"): the update would stop "
           "at this step"
        << 10;
    QTest::newRow("INI file with one marker")
        << int(UnmarkedStepIni)
        << "application/3_2_to_3_3/config/app.ini is not a valid marked file (ZRFILE_BEGIN/CODE and ZRFILE_END/CODE must both be "
           "\"tarnwoven\"): the configuration step would fail"
        << 10;
    QTest::newRow("INI file without markers")
        << int(NoMarkersStepIni)
        << "application/3_2_to_3_3/config/app.ini is not a valid marked file (ZRFILE_BEGIN/CODE and ZRFILE_END/CODE must both be "
           "\"tarnwoven\"): the configuration step would fail"
        << 10;
    QTest::newRow("installed INI file no text")
        << int(InstalledIniNotText)
        << "config/app.ini is not text in UTF-8, or in UTF-16 or UTF-8 with a byte order mark: its keys cannot be merged, "
           "and the update would lose them"
        << 10;
    // Its repair re-creates it (there is no .bak): the user's name would be gone.
    QTest::newRow("damaged installed INI file holding a user's key")
        << int(DamagedIniDropsKey)
        << "config/app.ini is damaged, and its repair would drop 1 of its keys (user/name): the configuration step would fail"
        << 10;
    QTest::newRow("installed version not a number")
        << int(VersionNotNumber)
        << "no version steps lead from three point two to 3.4 (both must be major.minor with the same major version): the "
           "update is refused"
        << 10;
    QTest::newRow("step across a major version")
        << int(MajorVersionStep)
        << "no version steps lead from 3.9 to 4.0 (both must be major.minor with the same major version): the update is "
           "refused"
        << 10;
    QTest::newRow("package version of three parts")
        << int(ThreePartVersion)
        << "no version steps lead from 3.4 to 3.5.1 (both must be major.minor with the same major version): the update is "
           "refused"
        << 10;
    QTest::newRow("damaged version.ini")
        << int(DamagedVersionIni)
        << "version.ini: not a valid marked file (ZRFILE_BEGIN/CODE and ZRFILE_END/CODE must both be \"tarnwoven\"); the "
           "updater would re-create it without a version and refuse the update"
        << 3;
}

void TestConsoleUpdater::checkBrokenPackage()
{
    QFETCH(int, fault);
    QFETCH(QString, problem);
    QFETCH(int, updateExit);
#ifdef Q_OS_WIN
    if (fault == InstalledLinkOutside || fault == ConfigLinkOutside || fault == IniLinkOutside || fault == FlagLinkOutside)
        QSKIP("Unix links only");
#endif
    makeScenario(Fault(fault));
    const QStringList before = stateOf(m_root->path());

    const Run result = run({QStringLiteral("--check")});
    QVERIFY2(result.exitCode == 1, qPrintable(result.describe()));
    const QString expected = QStringLiteral("  PROBLEM  ") + (problem.contains(QLatin1String("%1")) ? problem.arg(installPath()) : problem);
    QVERIFY2(result.out.contains(expected), qPrintable(result.describe()));
    QVERIFY2(result.outLines().last().startsWith(QStringLiteral("Check found ")), qPrintable(result.describe()));
    QVERIFY2(result.outLines().last().endsWith(QStringLiteral(": the update would fail.")), qPrintable(result.describe()));

    // The dry run repaired nothing: the damaged files are still as they were.
    QCOMPARE(stateOf(m_root->path()), before);

    const Run update = run({});
    QVERIFY2(update.exitCode == updateExit, qPrintable(update.describe()));
    if (updateExit == 10) {
        // Refused before the backup, with the finding named: not a byte changed, in the
        // installation or in the package, except the run's log.
        QVERIFY2(update.errLines().contains(QStringLiteral("  ") + expected.mid(11)), qPrintable(update.describe()));
        QVERIFY2(update.err.contains(QStringLiteral("The package was refused before anything was changed:")),
                 qPrintable(update.describe()));
        QCOMPARE(stateOf(m_root->path(), {QStringLiteral("package/log")}), before);
    }
    if (updateExit == 15) {
        QVERIFY2(update.errLines().contains(QStringLiteral("The installation's database is damaged: repair or restore it, "
                                                           "then update; nothing was changed.")),
                 qPrintable(update.describe()));
        QCOMPARE(stateOf(m_root->path(), {QStringLiteral("package/log")}), before);
        // A roll-out tells it from the other refusals by the report.
        const QString reportPath = m_root->path() + QStringLiteral("/report.json");
        QCOMPARE(run({QStringLiteral("--quiet"), QStringLiteral("--report"), reportPath}).exitCode, 15);
        const QJsonObject report = QJsonDocument::fromJson(PackageBuilder::readFile(reportPath)).object();
        QCOMPARE(report.value(QStringLiteral("exitMeaning")).toString(),
                 QStringLiteral("the installation's database is damaged (repair or restore it, then update); nothing "
                                "was changed"));
    }
}

// The notes a script earns: what the parser drops from a string literal, and a journal
// mode that a step's transaction ignores, each by file and line.
void TestConsoleUpdater::checkScriptNotes()
{
    makeScenario();
    PackageBuilder package(packagePath());
    package.sqlScript(QStringLiteral("3_3_to_3_4"), QStringLiteral("PRAGMA journal_mode=WAL;\n"
                                                                   "INSERT INTO settings VALUES ('motd', 'line one\n"
                                                                   "# not a comment\n"
                                                                   "line three');\n"));
    QVERIFY2(package.ok(), qPrintable(package.error()));
    const Run result = run({QStringLiteral("--check")});
    QVERIFY2(result.exitCode == 0, qPrintable(result.describe()));
    const QString script = QStringLiteral("application/3_3_to_3_4/sql/dbupdate.sql");
    QVERIFY2(result.out.contains(QStringLiteral("  note     %1, line 3: starts with # inside a string literal; the update "
                                                "drops the line, so the stored value lacks it\n")
                                     .arg(script)),
             qPrintable(result.describe()));
    QVERIFY2(result.out.contains(QStringLiteral("  note     %1, line 1: PRAGMA journal_mode does nothing here: the step's "
                                                "statements run in one transaction\n")
                                     .arg(script)),
             qPrintable(result.describe()));
}

// The application keeps its WAL database open: a dry run reads it without writing a
// byte of the database, its log or its index ("-shm").
void TestConsoleUpdater::checkLeavesWalDatabaseAlone()
{
    makeScenario();
    const QString database = installPath(QStringLiteral("kqdata.db"));
    QSqlDatabase app = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("application"));
    app.setDatabaseName(database);
    QVERIFY(app.open());
    {
        QSqlQuery query(app);
        QVERIFY(query.exec(QStringLiteral("PRAGMA journal_mode=WAL")));
        QVERIFY(query.exec(QStringLiteral("PRAGMA wal_autocheckpoint=0")));
        QVERIFY(query.exec(QStringLiteral("INSERT INTO settings VALUES ('wal', 'only in the log')")));
    }
    QVERIFY(QFileInfo::exists(database + QStringLiteral("-shm")));
    const QStringList before = stateOf(m_root->path());

    const Run result = run({QStringLiteral("--check")});
    QVERIFY2(result.exitCode == 0, qPrintable(result.describe()));
    QVERIFY(result.out.contains(QStringLiteral("  ok       kqdata.db: PRAGMA quick_check passed\n")));
    QCOMPARE(stateOf(m_root->path()), before);

    app.close();
    app = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("application"));
}

// No desktop: the update succeeds, and says where the shortcut is not.
void TestConsoleUpdater::noDesktopWarns()
{
    makeScenario();
    QVERIFY(QDir(m_home->desktopPath()).removeRecursively());
    const QString reportPath = m_root->path() + QStringLiteral("/report.json");
    const Run result = run({QStringLiteral("--quiet"), QStringLiteral("--report"), reportPath});
    QVERIFY2(result.exitCode == 0, qPrintable(result.describe()));
    const QString warning = QStringLiteral("There is no desktop directory %1: the shortcut Ostrelle.lnk was not made.")
                                .arg(QDir::toNativeSeparators(m_home->desktopPath()));
    QCOMPARE(result.outLines(), QStringList{QStringLiteral("Warning: %1").arg(warning)});
    const QJsonObject report = QJsonDocument::fromJson(PackageBuilder::readFile(reportPath)).object();
    QCOMPARE(report.value(QStringLiteral("warnings")).toArray(), QJsonArray{warning});
    QCOMPARE(report.value(QStringLiteral("exitStatus")).toInt(-1), 0);
}

void TestConsoleUpdater::checkNothingToDo_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<QString>("note");
    QTest::addColumn<QString>("last");
    QTest::newRow("already at the package's version")
        << int(SameVersion) << "  note     the installation already has version 3.2, the package's version: nothing to do"
        << "Nothing to do: the installation has version 3.2, the package version 3.2.";
    QTest::newRow("installation newer")
        << int(OlderPackage) << "  note     the installed version 3.2 is newer than the package version 3.1: nothing to do"
        << "Nothing to do: the installation has version 3.2, the package version 3.1.";
}

void TestConsoleUpdater::checkNothingToDo()
{
    QFETCH(int, fault);
    QFETCH(QString, note);
    QFETCH(QString, last);
    makeScenario(Fault(fault));
    const QStringList before = stateOf(m_root->path());

    // The same status as the run it stands for: a roll-out script tells "already
    // current" from "broken package" (1) with either.
    const Run result = run({QStringLiteral("--check")});
    QVERIFY2(result.exitCode == 3, qPrintable(result.describe()));
    QVERIFY2(result.outLines().contains(note), qPrintable(result.describe()));
    QCOMPARE(result.outLines().constLast(), last);
    QVERIFY(!result.out.contains(QStringLiteral("PROBLEM")));
    QCOMPARE(result.err, QString());
    QCOMPARE(stateOf(m_root->path()), before);

    const Run quiet = run({QStringLiteral("--check"), QStringLiteral("--quiet")});
    QCOMPARE(quiet.exitCode, 3);
    QCOMPARE(quiet.out, QString());
    QCOMPARE(run({}).exitCode, 3);
}

void TestConsoleUpdater::restoreAfterUpdate()
{
    makeScenario();
    QCOMPARE(run({}).exitCode, 0);
    const Run result = run({QStringLiteral("--restore")});
    QVERIFY2(result.exitCode == 0, qPrintable(result.describe()));
    QCOMPARE(result.outLines(), QStringList({"Restoring the backup", "The previous version has been restored."}));
    QCOMPARE(PackageBuilder::readFile(installPath(QStringLiteral("ostrelle.exe"))), QByteArray("Ostrelle 3.2"));
    QCOMPARE(PackageBuilder::iniValues(installPath(QStringLiteral("config/app.ini"))).value(QStringLiteral("view/zoom")),
             QStringLiteral("1"));
    QCOMPARE(dbRows(QStringLiteral("SELECT key FROM settings ORDER BY key")), QStringList({"theme"}));
    // Files the update added stay: the restore only copies the backup back.
    QVERIFY(QFileInfo::exists(installPath(QStringLiteral("plugins/report.dll"))));
    QCOMPARE(PackageBuilder::iniValues(installPath(QStringLiteral("config/UPDATER.ini"))).value(QStringLiteral("UPDATE/FLAG")),
             QStringLiteral("true"));
    // The uninstall entry names the version of the files that are back, so the same
    // package applies again.
    const QMap<QString, QString> entry = key(QStringLiteral("Ostrelle"));
    QCOMPARE(entry.value(QStringLiteral("DisplayVersion")), QStringLiteral("3.2.0"));
    QCOMPARE(entry.value(QStringLiteral("DisplayName")), QStringLiteral("Ostrelle 3.2.0"));
    QCOMPARE(entry.value(QStringLiteral("DisplayIcon")), installPath(QStringLiteral("ostrelle.exe")));
    const Run again = run({});
    QVERIFY2(again.exitCode == 0, qPrintable(again.describe()));
    verifyUpdated();
}

void TestConsoleUpdater::restoreWithoutBackup()
{
    makeScenario();
    const Run result = run({QStringLiteral("--restore"), QStringLiteral("--lang"), QStringLiteral("2")});
    QCOMPARE(result.exitCode, 8);
    QCOMPARE(result.outLines(), QStringList({QStringLiteral("Restaurando la copia de seguridad")}));
    QCOMPARE(result.errLines(), QStringList({QStringLiteral("No se pudo restaurar la versión anterior."),
                                             QStringLiteral("No existe la copia de seguridad %1/backup.").arg(installPath()),
                                             QStringLiteral("Detalles: %1").arg(todaysLog(packagePath()))}));
}

void TestConsoleUpdater::restoreFromAnyDirectory()
{
    makeScenario();
    QCOMPARE(run({}).exitCode, 0);
    QTemporaryDir elsewhere;
    QVERIFY(elsewhere.isValid());

    const Run result = run({QStringLiteral("--restore")}, elsewhere.path());
    QVERIFY2(result.exitCode == 0, qPrintable(result.describe()));
    QCOMPARE(result.outLines(), QStringList({"Restoring the backup", "The previous version has been restored."}));
    QCOMPARE(PackageBuilder::readFile(installPath(QStringLiteral("ostrelle.exe"))), QByteArray("Ostrelle 3.2"));
    QCOMPARE(dbRows(QStringLiteral("SELECT key FROM settings ORDER BY key")), QStringList({"theme"}));
    // Nothing is made where it ran (no log, no version.ini); the log is the installation's.
    QCOMPARE(QDir(elsewhere.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
    QFile log(todaysLog(installPath()));
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QByteArray lines = log.readAll();
    QVERIFY(lines.contains("Info void ConsoleUpdater::startLog() Corvane Update Start-Up"));
    QVERIFY(lines.contains("Info int ConsoleUpdater::run(const QStringList&) exit status 0"));

    // Without a backup it fails, and names that log.
    QVERIFY(QDir(installPath(QStringLiteral("backup"))).removeRecursively());
    const Run failed = run({QStringLiteral("--restore")}, elsewhere.path());
    QCOMPARE(failed.exitCode, 8);
    QCOMPARE(failed.errLines().constLast(), QStringLiteral("Details: %1").arg(todaysLog(installPath())));

    // Other modes still need a package.
    const Run update = run({}, elsewhere.path());
    QCOMPARE(update.exitCode, 2);
    QCOMPARE(QDir(elsewhere.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
}

void TestConsoleUpdater::plantedPluginsNeverLoad()
{
    // A driver plug-in with the SQLite driver's key below the package's (the current
    // directory's) sqldrivers/ folder, where the program once looked, and in a
    // QT_PLUGIN_PATH folder: the update opens the database through the real driver, and
    // the planted one never runs.
    makeScenario();
    QTemporaryDir elsewhere;
    const QString name = QFileInfo(QStringLiteral(CORVANE_PLANTED_PLUGIN)).fileName();
    for (const QString &folder : {packagePath(QStringLiteral("sqldrivers/sqldrivers")), elsewhere.filePath(QStringLiteral("sqldrivers"))}) {
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(QFile::copy(QStringLiteral(CORVANE_PLANTED_PLUGIN), folder + QLatin1Char('/') + name));
    }
    const QString marker = elsewhere.filePath(QStringLiteral("marker.txt"));
    qputenv("CORVANE_PLANTED_MARKER", QFile::encodeName(QDir::toNativeSeparators(marker)));
    qputenv("QT_PLUGIN_PATH", QFile::encodeName(QDir::toNativeSeparators(elsewhere.path())));
    const Run result = run({});
    qunsetenv("CORVANE_PLANTED_MARKER");
    qunsetenv("QT_PLUGIN_PATH");
    QVERIFY2(result.exitCode == 0, qPrintable(result.describe()));
    verifyUpdated();
    QVERIFY2(!QFile::exists(marker), "the planted plug-in was loaded");
}

void TestConsoleUpdater::noEnglishInOtherLanguages_data()
{
    QTest::addColumn<QString>("lang");
    QTest::addColumn<int>("fault");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("elsewhere"); // run outside the package
    QTest::addColumn<QString>("shown");  // a name the output must hold, so the case is what it says

    struct Case
    {
        const char *name;
        Fault fault;
        QStringList arguments;
        bool elsewhere;
        const char *shown = "";
    };
    // Every kind of message the program prints: stages, progress, results and their
    // details, every --check finding these packages produce, option errors, --help.
    const QList<Case> cases = {
        {"update", NoFault, {}, false},
        {"update, nothing to do", SameVersion, {}, false},
        {"update, older package", OlderPackage, {}, false},
        {"update, interrupted run without backup", InterruptedNoBackup, {}, false},
        {"update, backup fails", BackupBlocked, {}, false},
        {"update, step fails", SqlErrorInStep2, {}, false},
        {"update, step and restore fail", SqlErrorAndStaleBackup, {}, false},
        {"update, damaged version.ini", DamagedVersionIni, {}, false},
        {"check, unsigned package", NoFault, {"--check"}, false, "TRUSTED_KEYS.ini"},
        {"check, nothing to do", SameVersion, {"--check"}, false},
        {"check, older package", OlderPackage, {"--check"}, false},
        {"check, missing step", MissingStep, {"--check"}, false},
        {"check, unmarked INI", UnmarkedStepIni, {"--check"}, false},
        {"check, config sub-directory", ConfigSubdirectory, {"--check"}, false},
        {"check, file over a directory", CommonTypeConflict, {"--check"}, false},
        {"check, common replaces the database", CommonReplacesDatabase, {"--check"}, false},
        {"check, common replaces an INI file", CommonReplacesIni, {"--check"}, false},
        {"check, interrupted without backup", InterruptedNoBackup, {"--check"}, false},
        {"check, damaged version.ini", DamagedVersionIni, {"--check"}, false},
        {"restore without backup", NoFault, {"--restore"}, false},
        {"restore elsewhere without backup", NoFault, {"--restore"}, true},
        {"unknown option", NoFault, {"--bogus"}, false},
        {"value for a switch", NoFault, {"--quiet=1"}, false},
        {"positional argument", NoFault, {"7"}, false},
        {"check and restore", NoFault, {"--check", "--restore"}, false},
        {"not a package", NoFault, {}, true},
        {"no version.ini", NoVersionIni, {"--check"}, false},
        {"no uninstall key", NoRegistryKey, {}, false},
        {"installation directory gone", NoInstallDir, {"--restore"}, false},
        {"help", NoFault, {"--help"}, false},
        {"check, signed package", SignedPackage, {"--check"}, false, "package.manifest"},
        {"check, tampered package", SignedTampered, {"--check"}, false, "3_2_to_3_3/common/ostrelle.exe"},
        {"update, tampered package", SignedTampered, {}, false, "3_2_to_3_3/common/ostrelle.exe"},
        {"update, removals", Removals, {}, false, "docs/tips.txt"},
        {"check, removals", Removals, {"--check"}, false, "docs/tips.txt"},
        {"check, malformed removal list", MalformedRemovals, {"--check"}, false, "/etc/passwd"},
    };
    for (const char *lang : {"0", "2"}) {
        for (const Case &c : cases)
            QTest::addRow("%s, --lang %s", c.name, lang)
                << QString::fromLatin1(lang) << int(c.fault) << c.arguments << c.elsewhere << QString::fromLatin1(c.shown);
    }
}

void TestConsoleUpdater::noEnglishInOtherLanguages()
{
    QFETCH(QString, lang);
    QFETCH(int, fault);
    QFETCH(QStringList, arguments);
    QFETCH(bool, elsewhere);
    QFETCH(QString, shown);
    StringTableCompiler table;
    QVERIFY(table.readSource(QString::fromUtf8(kStringSource)));
    const QSet<QString> englishWords = englishOnlyWords(table);
    QVERIFY(englishWords.contains(QStringLiteral("backup")));

    makeScenario(Fault(fault));
    QTemporaryDir other;
    QVERIFY(other.isValid());
    const Run result = run(QStringList(arguments) << QStringLiteral("--lang") << lang, elsewhere ? other.path() : QString());
    const QString output = result.out + result.err;
    QVERIFY2(!output.trimmed().isEmpty(), qPrintable(result.describe()));
    QVERIFY2(output.contains(shown), qPrintable(result.describe()));
    const QStringList english = linesWithEnglish(output, englishWords);
    QVERIFY2(english.isEmpty(), qPrintable(QStringLiteral("English in --lang %1:\n%2\n\n%3")
                                               .arg(lang, english.join(QLatin1Char('\n')), result.describe())));
    if (lang == QLatin1String("0")) {
        for (const QString &line : output.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
            // The one line a statement's excerpt takes is the script's own text.
            QVERIFY2(hasChinese(line) || line.startsWith(QLatin1String("        ")),
                     qPrintable(QStringLiteral("not Chinese: %1\n\n%2").arg(line, result.describe())));
        }
    }
}

void TestConsoleUpdater::badInput_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("fault");
    QTest::addColumn<QString>("message");

    QTest::newRow("unknown option") << QStringList{"--bogus"} << int(NoFault) << "unknown option \"bogus\" (see --help)";
    QTest::newRow("language 3") << QStringList{"--lang", "3"} << int(NoFault)
                                << "--lang takes a language type from 0 to 2, not \"3\"";
    QTest::newRow("language -1") << QStringList{"--lang=-1"} << int(NoFault)
                                 << "--lang takes a language type from 0 to 2, not \"-1\"";
    QTest::newRow("language not a number") << QStringList{"--lang", "en"} << int(NoFault)
                                           << "--lang takes a language type from 0 to 2, not \"en\"";
    QTest::newRow("language missing") << QStringList{"--lang"} << int(NoFault)
                                      << "--lang needs a language type from 0 to 2 (see --help)";
    QTest::newRow("value for a switch") << QStringList{"--quiet=yes"} << int(NoFault)
                                        << "the option --quiet takes no value (see --help)";
    QTest::newRow("positional argument") << QStringList{"1"} << int(NoFault) << "unexpected argument \"1\" (see --help)";
    QTest::newRow("wait not a number") << QStringList{"--wait-for-application", "soon"} << int(NoFault)
                                       << "--wait-for-application takes a number of seconds from 0 to 86400, not \"soon\"";
    QTest::newRow("check and restore") << QStringList{"--check", "--restore"} << int(NoFault)
                                       << "--restore and --check exclude each other";
    QTest::newRow("no application directory")
        << QStringList{} << int(NoApplicationDir)
        << "%2 is not an update package: it has no application/ directory (run the program from the package directory)";
    QTest::newRow("no version.ini") << QStringList{"--check"} << int(NoVersionIni)
                                    << "%2 is not an update package: it has no version.ini";
    QTest::newRow("no uninstall key")
        << QStringList{} << int(NoRegistryKey)
        << "no installation found: no uninstall key holds DisplayVersion and DisplayIcon; looked at "
           "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Ostrelle (%3/Ostrelle.ini) and "
           "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Ketterin (%3/Ketterin.ini)";
    QTest::newRow("no uninstall key, check") << QStringList{"--check"} << int(NoRegistryKey)
                                             << "no installation found: no uninstall key holds DisplayVersion and DisplayIcon; "
                                                "looked at HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\"
                                                "Uninstall\\Ostrelle (%3/Ostrelle.ini) and HKEY_LOCAL_MACHINE\\SOFTWARE\\"
                                                "Microsoft\\Windows\\CurrentVersion\\Uninstall\\Ketterin (%3/Ketterin.ini)";
    QTest::newRow("installation directory missing")
        << QStringList{"--restore"} << int(NoInstallDir)
        << "the installation directory %4/Gone (DisplayIcon of "
           "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Ostrelle) does not exist";
}

void TestConsoleUpdater::badInput()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, fault);
    QFETCH(QString, message);
    makeScenario(Fault(fault));
    const QStringList before = wholeState();

    const Run result = run(arguments);
    QVERIFY2(result.exitCode == 2, qPrintable(result.describe()));
    QCOMPARE(result.out, QString());
#ifdef Q_OS_WIN
    // The registry holds the keys, no file.
    message.remove(QRegularExpression(QStringLiteral(" \\(%3/\\w+\\.ini\\)")));
#endif
    const QString expected = QStringLiteral("corvane-updater-cli: ")
        + QString(message).replace(QLatin1String("%2"), packagePath())
              .replace(QLatin1String("%3"), QFileInfo(keyFile(QStringLiteral("Ostrelle"))).path())
              .replace(QLatin1String("%4"), m_root->path());
    QCOMPARE(result.errLines(), QStringList{expected});
    QCOMPARE(wholeState(), before);
    // Outside a package not even the log directory is made.
    if (fault == NoApplicationDir || fault == NoVersionIni || arguments.contains(QLatin1String("--check")))
        QVERIFY(!QFileInfo::exists(packagePath(QStringLiteral("log"))));
}

void TestConsoleUpdater::helpAndVersion()
{
    makeScenario();
    const Run help = run({QStringLiteral("--help")});
    QCOMPARE(help.exitCode, 0);
    for (const char *text : {"Usage: corvane-updater-cli [--lang N] [--quiet] [--report FILE] [--wait-for-application SECONDS] "
                             "[--check | --restore]\n",
                             "\n  --lang N       ", "\n  --restore      ", "\n  --check        ", "\n  --quiet        ", "\nExit status:\n",
                             "\n  3  nothing to do: ", "\n  6  the update failed; the backup was put back\n"})
        QVERIFY2(help.out.contains(QLatin1String(text)), text);
    const Run version = run({QStringLiteral("--version")});
    QCOMPARE(version.exitCode, 0);
    QVERIFY2(version.out.startsWith(QStringLiteral("corvane-updater-cli ")), qPrintable(version.out));
    // Neither looked at the package.
    QVERIFY(!QFileInfo::exists(packagePath(QStringLiteral("log"))));
}

void TestConsoleUpdater::progressBarOnTerminal()
{
    QTemporaryFile outFile;
    QTemporaryFile errFile;
    QVERIFY(outFile.open());
    QVERIFY(errFile.open());
    FILE *out = std::fopen(QFile::encodeName(outFile.fileName()).constData(), "wb");
    FILE *err = std::fopen(QFile::encodeName(errFile.fileName()).constData(), "wb");
    QVERIFY(out && err);
    {
        ConsoleOutput output(out, err, false, ConsoleOutput::Style::Bar);
        output.stage(QStringLiteral("Applying the version steps"));
        output.addProgress(10);
        output.addProgress(0);
        output.addProgress(95);
        output.stage(QStringLiteral("Restoring the backup"));
        output.error(QStringLiteral("failed"));
        output.addProgress(50);
    }
    std::fclose(out);
    std::fclose(err);
    const QString bar10 = QStringLiteral("\r  [####....................................]  10%");
    const QString bar100 = QStringLiteral("\r  [########################################] 100%");
    QCOMPARE(QString::fromUtf8(PackageBuilder::readFile(outFile.fileName())),
             QStringLiteral("Applying the version steps\n") + bar10 + bar100 + QStringLiteral("\nRestoring the backup\n"));
    QCOMPARE(PackageBuilder::readFile(errFile.fileName()), QByteArray("failed\n"));
}

void TestConsoleUpdater::windowAndConsoleAgree()
{
    // The window in this process, clicked as a user clicks it; then the same trees
    // built again at the same paths and updated by the console program.
    makeScenario();
    {
        const QtMessageHandler testHandler = qInstallMessageHandler(nullptr);
        qInstallMessageHandler(testHandler);
        ScopedCurrentDir cwd(packagePath());
        CVUpdater::setProgramDir(packagePath());
        ZRPubMethod::getInstance()->setLanType(1);
        int boxes = 0;
        {
            MainWindow window;
            window.show();
            auto *update = window.findChild<QPushButton *>(QStringLiteral("pushButton_Update"));
            QVERIFY(update);
            // The result box is modal: accept it as soon as it is up.
            QTimer closer;
            connect(&closer, &QTimer::timeout, [&boxes] {
                if (auto *box = qobject_cast<QDialog *>(QApplication::activeModalWidget())) {
                    ++boxes;
                    box->accept();
                }
            });
            closer.start(20);
            update->click();
        }
        // The window's connection would keep the replaced file open.
        DBControl::getInstance()->closeDB();
        CVUpdater::setProgramDir(QString());
        qInstallMessageHandler(testHandler);
        QCOMPARE(boxes, 1);
    }
    verifyUpdated();

    const QStringList ignored{QStringLiteral("package/log")};
    const QString database = installPath(QStringLiteral("kqdata.db"));
    const QMap<QString, QString> windowKey = key(QStringLiteral("Ostrelle"));
    // The flag file records the clock when the backup began and the database's change
    // time, which no two runs share.
    const auto tree = [&]() {
        return PackageBuilder::snapshot(m_root->path(), ignored)
            .replaceInStrings(QRegularExpression(QStringLiteral("BACKUPSTART=\\d+")), QStringLiteral("BACKUPSTART=<clock>"))
            .replaceInStrings(QRegularExpression(QStringLiteral("changed=\\d+")), QStringLiteral("changed=<clock>"));
    };
    const QStringList windowTree = tree();
    const QStringList windowRows = dump(database);
    const QByteArray windowBytes = PackageBuilder::readFile(database);
    const QStringList windowDesktop = PackageBuilder::snapshot(m_home->desktopPath());

    // Under Wine the package directory the window ran in stays busy for this process
    // (its files go, the empty directory does not); the console run below makes the same
    // trees again, so only files left behind would spoil the comparison.
    if (!QDir(m_root->path()).removeRecursively())
        QVERIFY2(QDirIterator(m_root->path(), QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories)
                     .hasNext() == false,
                 "files left behind");
    QVERIFY(QDir().mkpath(m_root->path()));
    QVERIFY(m_home->clearRegistry());
    QVERIFY(QDir(m_home->desktopPath()).removeRecursively());
    QVERIFY(QDir().mkpath(m_home->desktopPath()));
    makeScenario();
    const Run result = run({});
    QVERIFY2(result.exitCode == 0, qPrintable(result.describe()));

    QCOMPARE(tree(), windowTree);
    QCOMPARE(dump(database), windowRows);
    QVERIFY2(PackageBuilder::readFile(database) == windowBytes, "kqdata.db differs byte for byte");
    QCOMPARE(key(QStringLiteral("Ostrelle")), windowKey);
    QCOMPARE(PackageBuilder::snapshot(m_home->desktopPath()), windowDesktop);
}

// Started together, two updaters must not both work on the installation: one updates,
// the other is turned away (or, started after the first has finished, finds the package
// applied). Whatever the timing, the installation ends as one update leaves it and the
// backup holds the old version only.
void TestConsoleUpdater::twoUpdatersAtOnce()
{
    const QString program = QString::fromUtf8(kProgram);
    for (int trial = 0; trial < 12; ++trial) {
        init();
        QVERIFY(m_root->isValid());
        makeScenario();
        // A second package directory, so that the two runs do not share a log file.
        const QString second = m_root->path() + QStringLiteral("/package2");
        QVERIFY(PackageBuilder::copyTree(packagePath(), second));

        QProcess first;
        QProcess other;
        first.setWorkingDirectory(packagePath());
        other.setWorkingDirectory(second);
        first.start(program, QStringList());
        // From side by side to one well into the other's update.
        QThread::msleep(static_cast<unsigned long>(trial * 15));
        other.start(program, QStringList());
        QVERIFY(first.waitForFinished(120000));
        QVERIFY(other.waitForFinished(120000));
        const int codes[] = {first.exitStatus() == QProcess::NormalExit ? first.exitCode() : -1,
                             other.exitStatus() == QProcess::NormalExit ? other.exitCode() : -1};
        const QString describe = QStringLiteral("trial %1: exits %2 and %3\n%4\n%5")
                                     .arg(trial)
                                     .arg(codes[0])
                                     .arg(codes[1])
                                     .arg(QString::fromUtf8(first.readAllStandardError()),
                                          QString::fromUtf8(other.readAllStandardError()));
        QVERIFY2(std::count(std::begin(codes), std::end(codes), 0) == 1, qPrintable(describe));
        for (int code : codes)
            QVERIFY2(code == 0 || code == 3 || code == 11, qPrintable(describe));
        verifyUpdated();
        QCOMPARE(PackageBuilder::query(installPath(QStringLiteral("backup/kqdata.db")),
                                       QStringLiteral("SELECT item FROM orders ORDER BY id")),
                 QStringList({"pen", "ink", "paper"}));
        QVERIFY2(!QFileInfo::exists(installPath(QStringLiteral("backup/plugins/report.dll"))), qPrintable(describe));
        QVERIFY(!QFileInfo::exists(installPath(QStringLiteral("UPDATER.lock"))));
    }
}

void TestConsoleUpdater::lockedInstallation_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("update") << QStringList{};
    QTest::newRow("restore") << QStringList{"--restore"};
    QTest::newRow("check") << QStringList{"--check"};
}

// While another updater holds the installation, a second one changes nothing and says so.
void TestConsoleUpdater::lockedInstallation()
{
    QFETCH(QStringList, arguments);
    makeScenario();
    QVERIFY(run({}).exitCode == 0);
    QFile::remove(installPath(QStringLiteral("ostrelle.exe")));
    QLockFile held(installPath(QStringLiteral("UPDATER.lock")));
    QVERIFY(held.tryLock(0));
    const QStringList before = stateOf(m_root->path(), {QStringLiteral("package/log")});

    const Run result = run(arguments);
    QVERIFY2(result.exitCode == 11, qPrintable(result.describe()));
    QVERIFY2(result.err.contains(QStringLiteral("Another update of %1 is running (process %2 (%3)); nothing was changed.")
                                     .arg(installPath())
                                     .arg(QCoreApplication::applicationPid())
                                     .arg(QCoreApplication::applicationName())),
             qPrintable(result.describe()));
    QCOMPARE(stateOf(m_root->path(), {QStringLiteral("package/log")}), before);
    held.unlock();

    // Once it is free the same run goes ahead: the restore brings the program back.
    if (arguments.contains(QLatin1String("--restore"))) {
        QCOMPARE(run(arguments).exitCode, 0);
        QVERIFY(QFileInfo::exists(installPath(QStringLiteral("ostrelle.exe"))));
    }
}

void TestConsoleUpdater::staleLockIsTakenOver_data()
{
    QTest::addColumn<bool>("named");
    QTest::newRow("holder gone") << true;
    QTest::newRow("holder killed before naming itself") << false;
}

// A lock left by a process that no longer runs (a killed updater) does not keep the
// installation locked.
void TestConsoleUpdater::staleLockIsTakenOver()
{
    QFETCH(bool, named);
    makeScenario();
    const QString path = installPath(QStringLiteral("UPDATER.lock"));
    QByteArray contents;
    if (named) {
        // A real lock file, its process replaced by one that has ended.
        QLockFile made(path);
        QVERIFY(made.tryLock(0));
        contents = PackageBuilder::readFile(path);
        made.unlock();
        QProcess gone;
#ifdef Q_OS_WIN
        gone.start(QStringLiteral("cmd"), {QStringLiteral("/c"), QStringLiteral("exit 0")});
#else
        gone.start(QStringLiteral("true"), QStringList());
#endif
        QVERIFY(gone.waitForStarted());
        const qint64 deadPid = gone.processId();
        QVERIFY(gone.waitForFinished());
        contents = QByteArray::number(deadPid) + contents.mid(contents.indexOf('\n'));
    }
    QFile lockFile(path);
    QVERIFY(lockFile.open(QIODevice::WriteOnly));
    lockFile.write(contents);
    lockFile.close();

    const Run result = run({});
    QVERIFY2(result.exitCode == 0, qPrintable(result.describe()));
    verifyUpdated();
    QVERIFY(!lockFile.exists());
}

// An installation on a file system too small for the package's files: refused before
// the backup, nothing changed. Needs the right to mount a tmpfs.
void TestConsoleUpdater::notEnoughSpace()
{
    makeScenario();
    const QString mountPoint = m_root->path() + QStringLiteral("/small");
    QVERIFY(QDir().mkpath(mountPoint));
    QProcess mount;
    mount.start(QStringLiteral("mount"), {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                                          QStringLiteral("size=2m"), QStringLiteral("tmpfs"), mountPoint});
    if (!mount.waitForFinished() || mount.exitStatus() != QProcess::NormalExit || mount.exitCode() != 0)
        QSKIP("cannot mount a tmpfs here");
    struct Unmount
    {
        QString path;
        ~Unmount() { QProcess::execute(QStringLiteral("umount"), {path}); }
    } unmount{mountPoint};

    // The installation moves onto the small file system; the package brings more than
    // is free there once the backup is taken: the copy would stop half-way.
    const QString smallInstall = mountPoint + QStringLiteral("/Ostrelle");
    QVERIFY(QProcess::execute(QStringLiteral("cp"), {QStringLiteral("-a"), installPath(), smallInstall}) == 0);
    writeKey(QStringLiteral("Ostrelle"), QStringLiteral("3.2.0"), smallInstall + QStringLiteral("/ostrelle.exe"));
    PackageBuilder package(packagePath());
    package.file(QStringLiteral("application/common/data/big.bin"), QByteArray(2000 * 1024, 'x'));
    QVERIFY2(package.ok(), qPrintable(package.error()));
    const QStringList before = stateOf(m_root->path(), {QStringLiteral("package/log")});

    const Run result = run({});
    QVERIFY2(result.exitCode == 12, qPrintable(result.describe()));
    QVERIFY2(result.err.contains(QStringLiteral("Not enough free space, nothing was changed: the backup and the new files need about ")),
             qPrintable(result.describe()));
    QCOMPARE(stateOf(m_root->path(), {QStringLiteral("package/log")}), before);
}

// The application holding its database (an exclusive transaction of another process):
// refused before the backup with a request to close it, nothing changed.
void TestConsoleUpdater::databaseInUse()
{
    makeScenario();
    if (QStandardPaths::findExecutable(QStringLiteral("sqlite3")).isEmpty())
        QSKIP("needs the sqlite3 shell");
    QProcess holder;
    holder.setProcessChannelMode(QProcess::MergedChannels);
    holder.start(QStringLiteral("sqlite3"), {installPath(QStringLiteral("kqdata.db"))});
    QVERIFY(holder.waitForStarted());
    holder.write("BEGIN EXCLUSIVE;\nSELECT 'held';\n");
    QVERIFY(holder.waitForReadyRead(10000));
    QCOMPARE(holder.readAll().trimmed(), QByteArray("held"));
    const QStringList before = stateOf(m_root->path(), {QStringLiteral("package/log")});

    const Run result = run({});
    QVERIFY2(result.exitCode == 13, qPrintable(result.describe()));
    QVERIFY2(result.err.contains(QStringLiteral("The application must be closed first, nothing was changed: sqlite3 (process "
                                                "%1) holds %2 open")
                                     .arg(holder.processId())
                                     .arg(installPath(QStringLiteral("kqdata.db")))),
             qPrintable(result.describe()));
    QCOMPARE(stateOf(m_root->path(), {QStringLiteral("package/log")}), before);

    // Its work is kept, and once it has gone the update goes through.
    holder.write("INSERT INTO settings VALUES ('unsaved', 'kept');\nCOMMIT;\n.quit\n");
    holder.closeWriteChannel();
    QVERIFY(holder.waitForFinished(10000));
    const Run update = run({});
    QVERIFY2(update.exitCode == 0, qPrintable(update.describe()));
    QCOMPARE(dbRows(QStringLiteral("SELECT value FROM settings WHERE key = 'unsaved'")), QStringList{"kept"});
}

bool TestConsoleUpdater::startHolder(QProcess *holder, const QByteArray &script)
{
    if (script == "sleep") {
        holder->setStandardInputFile(installPath(QStringLiteral("ostrelle.exe")));
        holder->start(QStringLiteral("sleep"), {QStringLiteral("600")});
        return holder->waitForStarted();
    }
    holder->setProcessChannelMode(QProcess::MergedChannels);
    holder->start(QStringLiteral("sqlite3"), {installPath(QStringLiteral("kqdata.db"))});
    holder->write(script + "\nSELECT 'held';\n");
    QByteArray output;
    while (!output.contains("held") && holder->waitForReadyRead(10000))
        output += holder->readAll();
    return output.contains("held");
}

void TestConsoleUpdater::applicationHoldsFiles_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QStringList>("held");
    const QByteArray wal = "PRAGMA journal_mode=WAL;\n";
    const QByteArray reader = "SELECT count(*) FROM orders;";
    const QByteArray writer = "INSERT INTO settings VALUES ('unsaved', 'kept');";
    const QStringList walFiles{"kqdata.db", "kqdata.db-wal", "kqdata.db-shm"};
    QTest::newRow("rollback journal, idle reader") << reader << QStringList{"kqdata.db"};
    QTest::newRow("rollback journal, idle writer") << writer << QStringList{"kqdata.db"};
    QTest::newRow("WAL, idle reader") << wal + reader << walFiles;
    QTest::newRow("WAL, idle writer") << wal + writer << walFiles;
    QTest::newRow("program file open") << QByteArray("sleep") << QStringList{"ostrelle.exe"};
}

// The application beside the updater, idle, holding no lock: refused before the backup,
// nothing changed, the process named by name and id on the console and in the report.
void TestConsoleUpdater::applicationHoldsFiles()
{
    QFETCH(QByteArray, script);
    QFETCH(QStringList, held);
    makeScenario();
    if (QStandardPaths::findExecutable(QStringLiteral("sqlite3")).isEmpty())
        QSKIP("needs the sqlite3 shell");
    QProcess holder;
    const auto stop = qScopeGuard([&holder] { holder.kill(); holder.waitForFinished(); });
    QVERIFY(startHolder(&holder, script));
    const QString name = script == "sleep" ? QStringLiteral("sleep") : QStringLiteral("sqlite3");
    const QStringList before = wholeState();

    QTemporaryDir reportDir;
    const QString reportPath = reportDir.filePath(QStringLiteral("report.json"));
    const Run result = run({QStringLiteral("--report"), reportPath});
    QVERIFY2(result.exitCode == 13, qPrintable(result.describe()));
    QStringList heldPaths;
    for (const QString &file : qAsConst(held))
        heldPaths << installPath(file);
    const QString line = QStringLiteral("The application must be closed first, nothing was changed: %1 (process %2) holds %3 open")
                             .arg(name)
                             .arg(holder.processId())
                             .arg(heldPaths.join(QStringLiteral(", ")));
    QVERIFY2(result.errLines().contains(line), qPrintable(line + QLatin1Char('\n') + result.describe()));
    QCOMPARE(wholeState(), before);

    QFile reportFile(reportPath);
    QVERIFY(reportFile.open(QIODevice::ReadOnly));
    const QJsonObject report = QJsonDocument::fromJson(reportFile.readAll()).object();
    const QJsonObject first = report.value(QStringLiteral("holders")).toArray().at(0).toObject();
    QCOMPARE(report.value(QStringLiteral("holders")).toArray().size(), 1);
    QCOMPARE(first.value(QStringLiteral("pid")).toDouble(), double(holder.processId()));
    QCOMPARE(first.value(QStringLiteral("name")).toString(), name);
}

void TestConsoleUpdater::waitForApplication_data()
{
    QTest::addColumn<QByteArray>("ending");
    QTest::addColumn<QString>("seconds");
    QTest::addColumn<int>("exitCode");
    // The holder goes away by itself while the updater waits, or stays.
    QTest::newRow("closes while waited for") << QByteArray(".shell sleep 3\n.quit\n") << "120" << 0;
    QTest::newRow("stays past the wait") << QByteArray() << "1" << 13;
}

void TestConsoleUpdater::waitForApplication()
{
    QFETCH(QByteArray, ending);
    QFETCH(QString, seconds);
    QFETCH(int, exitCode);
    makeScenario();
    if (QStandardPaths::findExecutable(QStringLiteral("sqlite3")).isEmpty())
        QSKIP("needs the sqlite3 shell");
    QProcess holder;
    const auto stop = qScopeGuard([&holder] { holder.kill(); holder.waitForFinished(); });
    QVERIFY(startHolder(&holder, "PRAGMA journal_mode=WAL;\nSELECT count(*) FROM orders;"));
    holder.write(ending);
    QVERIFY(ending.isEmpty() || holder.waitForBytesWritten());
    const QStringList before = wholeState();

    const Run result = run({QStringLiteral("--wait-for-application"), seconds});
    QVERIFY2(result.exitCode == exitCode, qPrintable(result.describe()));
    const QString waiting = QStringLiteral("Waiting up to %1 seconds for these programs to close:").arg(seconds);
    QCOMPARE(result.outLines().count(waiting), 1);
    const int at = result.outLines().indexOf(waiting);
    QVERIFY2(result.outLines().value(at + 1).startsWith(QStringLiteral("  sqlite3 (process %1) holds ").arg(holder.processId())),
             qPrintable(result.describe()));
    if (exitCode == 0)
        verifyUpdated();
    else
        QCOMPARE(wholeState(), before);
}

void TestConsoleUpdater::unwritableLog_data()
{
    QTest::addColumn<QString>("blocker");
    // Both stop every user, root included.
    QTest::newRow("log is a file") << "file";
    QTest::newRow("today's log file is a directory") << "directory";
    // Stops users whom permissions bind; as root the case is skipped.
    QTest::newRow("read-only package directory") << "read-only";
}

void TestConsoleUpdater::unwritableLog()
{
    QFETCH(QString, blocker);
    makeScenario(SqlErrorInStep2);
    const QString log = todaysLog(packagePath());
    const auto writable = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
    const auto restorePermissions = qScopeGuard([&] { QFile::setPermissions(packagePath(), writable); });
    if (blocker == QLatin1String("file")) {
        PackageBuilder package(packagePath());
        package.file(QStringLiteral("log"), "not a directory");
        QVERIFY(package.ok());
    } else if (blocker == QLatin1String("directory")) {
        QVERIFY(QDir().mkpath(log));
    } else {
#ifdef Q_OS_WIN
        QSKIP("POSIX permissions");
#endif
        QVERIFY(QFile::setPermissions(packagePath(), QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        // Tried for real: root writes anyway.
        QFile probe(packagePath(QStringLiteral("probe")));
        if (probe.open(QIODevice::WriteOnly)) {
            probe.remove();
            QSKIP("the read-only package directory is still writable for this user (root)");
        }
    }

    const QString reportPath = m_root->path() + QStringLiteral("/report.json");
    const Run result = run({QStringLiteral("--report"), reportPath});
    QVERIFY2(result.exitCode == 6, qPrintable(result.describe()));
    QCOMPARE(result.errLines().constLast(), QStringLiteral("The run could not be logged: %1 cannot be written.").arg(log));
    QVERIFY(!QFileInfo(log).isFile());
    QFile report(reportPath);
    QVERIFY(report.open(QIODevice::ReadOnly));
    const QJsonObject json = QJsonDocument::fromJson(report.readAll()).object();
    QCOMPARE(json.value(QStringLiteral("exitStatus")).toInt(), 6);
    QVERIFY(json.contains(QStringLiteral("logFile")) && json.value(QStringLiteral("logFile")).isNull());
}

QTEST_MAIN(TestConsoleUpdater)
#include "tst_consoleupdater.moc"
