#include "driver/updatesequence.h"
#include "context/zrpubmethod.h"
#include "common/installationfixture.h"
#include "common/packagebuilder.h"
#include "fileutil/filecopier.h"
#include "platform/displayicon.h"
#include "platform/fileinuse.h"
#include "platform/registrystore.h"
#include "updater/cvupdater.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QtTest>

#include <memory>
#include <string>

#include <objbase.h>
#include <shlobj.h>
#include <windows.h>

using Outcome = UpdateSequence::Outcome;

namespace {

const QString step = QStringLiteral("3_2_to_3_3");
const QString uninstallKey = QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\%1");

std::wstring nativeName(const QString &path)
{
    return QDir::toNativeSeparators(path).toStdWString();
}

bool isReadOnly(const QString &path)
{
    const DWORD attributes = GetFileAttributesW(nativeName(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
}

bool setReadOnly(const QString &path, bool readOnly)
{
    const DWORD attributes = GetFileAttributesW(nativeName(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return false;
    const DWORD changed = readOnly ? attributes | FILE_ATTRIBUTE_READONLY : attributes & ~DWORD(FILE_ATTRIBUTE_READONLY);
    return SetFileAttributesW(nativeName(path).c_str(), changed);
}

// The target of a shell link, read through the shell's own interface.
QString shellLinkTarget(const QString &linkPath)
{
    QString target;
    const HRESULT init = CoInitialize(nullptr);
    IShellLinkW *link = nullptr;
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                   reinterpret_cast<void **>(&link)))) {
        IPersistFile *file = nullptr;
        if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&file)))) {
            wchar_t buffer[MAX_PATH] = {};
            if (SUCCEEDED(file->Load(nativeName(linkPath).c_str(), STGM_READ))
                && SUCCEEDED(link->GetPath(buffer, MAX_PATH, nullptr, 0)))
                target = QString::fromWCharArray(buffer);
            file->Release();
        }
        link->Release();
    }
    if (SUCCEEDED(init))
        CoUninitialize();
    return target;
}

// Another process that holds a file open without sharing until it is released.
class FileHolder
{
public:
    bool hold(const QString &path)
    {
        m_process.start(QCoreApplication::applicationDirPath() + QStringLiteral("/corvane-holdfile.exe"),
                        {QDir::toNativeSeparators(path)});
        return m_process.waitForReadyRead(30000) && m_process.readAllStandardOutput().startsWith("held");
    }
    bool release()
    {
        m_process.closeWriteChannel();
        return m_process.waitForFinished(30000) && m_process.exitCode() == 0;
    }
    qint64 pid() const { return m_process.processId(); }
    ~FileHolder()
    {
        if (m_process.state() != QProcess::NotRunning)
            release();
    }

private:
    QProcess m_process;
};

} // namespace

// What only Windows has, under Wine: the registry (both product keys, both views, the
// values an update writes and puts back), the shell link on the desktop, the read-only
// attribute, files that another process holds open, and the path forms of uninstall
// entries ("C:\Program Files (x86)\...", quotes, icon index).
class TestWindowsPlatform : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void displayIcon_data();
    void displayIcon();
    void readsProductKey_data();
    void readsProductKey();
    void updateWritesKeyAndShortcut();
    void flagFailurePutsKeyValuesBack();
    void readOnlyFiles();
    void fileInUse_data();
    void fileInUse();

private:
    void makeUpdate(const QString &installedVersion = QStringLiteral("3.2"));
    QString keyValue(const QString &product, const QString &name, QSettings::Format format = QSettings::NativeFormat);

    InstallationFixture m_fixture;
};

void TestWindowsPlatform::initTestCase()
{
    QVERIFY2(m_fixture.setUp(), qPrintable(m_fixture.error()));
}

void TestWindowsPlatform::init()
{
    QVERIFY2(m_fixture.reset(), qPrintable(m_fixture.error()));
    ZRPubMethod::getInstance()->setLanType(1);
}

void TestWindowsPlatform::cleanup()
{
    // Read-only files would keep the next reset from emptying the installation.
    QDirIterator it(m_fixture.rootPath(), QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        setReadOnly(it.next(), false);
}

void TestWindowsPlatform::makeUpdate(const QString &installedVersion)
{
    PackageBuilder installation(m_fixture.installPath());
    installation.files({"ostrelle.exe=v3.2", "bin/engine.dll=engine 3.2", "user/notes.txt=mine"})
        .markedIni(QStringLiteral("config/app.ini"), {{"view/zoom", "1"}})
        .database(QStringLiteral("kqdata.db"), {"CREATE TABLE person(id INTEGER PRIMARY KEY, name TEXT)"});
    QVERIFY2(installation.ok(), qPrintable(installation.error()));
    PackageBuilder package(m_fixture.packagePath());
    package.markedIni(QStringLiteral("version.ini"), {{"RELEASE/VERSION", "3.3"}})
        .files({PackageBuilder::stepPath(step, "common/ostrelle.exe=v3.3"),
                PackageBuilder::stepPath(step, "common/bin/engine.dll=engine 3.3")})
        .markedIni(PackageBuilder::stepPath(step, "config/app.ini"), {{"view/zoom", "2"}})
        .sqlScript(step, "INSERT INTO person(name) VALUES('ann');\n");
    QVERIFY2(package.ok(), qPrintable(package.error()));
    QVERIFY2(m_fixture.writeKey(installedVersion), qPrintable(m_fixture.error()));
    m_fixture.openDatabase();
}

QString TestWindowsPlatform::keyValue(const QString &product, const QString &name, QSettings::Format format)
{
    return QSettings(uninstallKey.arg(product), format).value(name).toString();
}

void TestWindowsPlatform::displayIcon_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("directory");

    const QString dir = QStringLiteral("C:\\Program Files (x86)\\Ostrelle \u00dcn\u00ef");
    const QString program = dir + QStringLiteral("\\Ostrelle.exe");
    const QString directory = QStringLiteral("C:/Program Files (x86)/Ostrelle \u00dcn\u00ef");
    QTest::newRow("plain") << program << program << directory;
    QTest::newRow("icon index") << program + QStringLiteral(",0") << program << directory;
    QTest::newRow("negative index") << program + QStringLiteral(",-101") << program << directory;
    QTest::newRow("quoted with index") << QStringLiteral("\"%1\",0").arg(program) << program << directory;
    QTest::newRow("quoted") << QStringLiteral("\"%1\"").arg(program) << program << directory;
    QTest::newRow("forward slashes") << QStringLiteral("C:/Ostrelle/Ostrelle.exe,1") << "C:/Ostrelle/Ostrelle.exe"
                                     << "C:/Ostrelle";
    // A comma inside the path is part of it.
    QTest::newRow("comma in directory") << QStringLiteral("C:\\Ostrelle, Ketterin\\Ostrelle.exe")
                                        << "C:\\Ostrelle, Ketterin\\Ostrelle.exe" << "C:/Ostrelle, Ketterin";
}

void TestWindowsPlatform::displayIcon()
{
    QFETCH(QString, value);
    QFETCH(QString, program);
    QFETCH(QString, directory);
    QCOMPARE(DisplayIcon::programPath(value), program);
    QCOMPARE(DisplayIcon::directoryOf(DisplayIcon::programPath(value)), directory);
}

void TestWindowsPlatform::readsProductKey_data()
{
    QTest::addColumn<QString>("product");
    QTest::addColumn<int>("lanType");
    QTest::addColumn<bool>("view32");

    QTest::newRow("Ostrelle, English") << "Ostrelle" << 1 << false;
    QTest::newRow("Ketterin, Chinese") << "Ketterin" << 0 << false;
    QTest::newRow("Ostrelle found after Ketterin") << "Ostrelle" << 0 << false;
    QTest::newRow("Ketterin found after Ostrelle") << "Ketterin" << 2 << false;
    // A 32-bit installer's entry, below WOW6432Node for this 64-bit program.
    QTest::newRow("Ostrelle, 32-bit view") << "Ostrelle" << 1 << true;
    QTest::newRow("Ketterin, 32-bit view") << "Ketterin" << 0 << true;
}

void TestWindowsPlatform::readsProductKey()
{
    QFETCH(QString, product);
    QFETCH(int, lanType);
    QFETCH(bool, view32);

    // An installation below "Program Files (x86)" with spaces and letters beyond ASCII.
    const QString installDir = m_fixture.rootPath() + QStringLiteral("/Program Files (x86)/%1 \u00dcn\u00ef \u4e2d").arg(product);
    QVERIFY(QDir().mkpath(installDir));
    {
        QSettings key(uninstallKey.arg(product), view32 ? QSettings::Registry32Format : QSettings::Registry64Format);
        key.setValue(QStringLiteral("DisplayVersion"), QStringLiteral("3.2.0.17"));
        key.setValue(QStringLiteral("DisplayIcon"),
                     QStringLiteral("\"%1\",0").arg(QDir::toNativeSeparators(installDir + QStringLiteral("/app.exe"))));
        key.sync();
        QCOMPARE(key.status(), QSettings::NoError);
    }
    ZRPubMethod::getInstance()->setLanType(lanType);
    CVUpdater *updater = CVUpdater::getInstance();
    QCOMPARE(updater->getOldVersion(), QStringLiteral("3.2"));
    QCOMPARE(updater->getInstallPath(), installDir);
    QCOMPARE(updater->getRegKey(), uninstallKey.arg(product));
    QCOMPARE(updater->getIconPath(), QDir::toNativeSeparators(installDir + QStringLiteral("/app.exe")));
    delete updater;
}

void TestWindowsPlatform::updateWritesKeyAndShortcut()
{
    makeUpdate();
    UpdateSequence sequence(CVUpdater::getInstance());
    QCOMPARE(sequence.run(), Outcome::Succeeded);

    QCOMPARE(keyValue(QStringLiteral("Ostrelle"), QStringLiteral("DisplayVersion")), QStringLiteral("3.3"));
    QCOMPARE(keyValue(QStringLiteral("Ostrelle"), QStringLiteral("DisplayName")), QStringLiteral("Ostrelle 3.3"));
    QCOMPARE(PackageBuilder::readFile(m_fixture.programPath()), QByteArray("v3.3"));

    const QString shortcut = m_fixture.desktopPath() + QStringLiteral("/Ostrelle.lnk");
    QVERIFY2(QFileInfo(shortcut).isFile(), qPrintable(shortcut));
    QCOMPARE(QDir::fromNativeSeparators(shellLinkTarget(shortcut)).toLower(), m_fixture.programPath().toLower());
}

void TestWindowsPlatform::flagFailurePutsKeyValuesBack()
{
    makeUpdate();
    {
        QSettings key(uninstallKey.arg(QStringLiteral("Ostrelle")), QSettings::NativeFormat);
        key.setValue(QStringLiteral("DisplayName"), QStringLiteral("Ostrelle (old name)"));
    }
    CVUpdater *updater = CVUpdater::getInstance();
    QVERIFY(updater->backupVersion());
    QVERIFY(updater->execUpdate());

    // The flag file held open by another process: Windows refuses to replace it.
    FileHolder holder;
    QVERIFY(holder.hold(m_fixture.flagFilePath()));
    QVERIFY(!updater->updateRegKey());
    QVERIFY(holder.release());

    QCOMPARE(keyValue(QStringLiteral("Ostrelle"), QStringLiteral("DisplayVersion")), QStringLiteral("3.2"));
    QCOMPARE(keyValue(QStringLiteral("Ostrelle"), QStringLiteral("DisplayName")), QStringLiteral("Ostrelle (old name)"));
    QCOMPARE(m_fixture.flagOnDisk(), QStringLiteral("false"));

    // A value the key did not have before goes again.
    QSettings(uninstallKey.arg(QStringLiteral("Ostrelle")), QSettings::NativeFormat).remove(QStringLiteral("DisplayName"));
    QVERIFY(holder.hold(m_fixture.flagFilePath()));
    QVERIFY(!updater->updateRegKey());
    QVERIFY(holder.release());
    QCOMPARE(keyValue(QStringLiteral("Ostrelle"), QStringLiteral("DisplayVersion")), QStringLiteral("3.2"));
    QVERIFY(!QSettings(uninstallKey.arg(QStringLiteral("Ostrelle")), QSettings::NativeFormat)
                 .contains(QStringLiteral("DisplayName")));
    delete updater;
}

void TestWindowsPlatform::readOnlyFiles()
{
    makeUpdate();
    const QString engine = m_fixture.installPath() + QStringLiteral("/bin/engine.dll");
    QVERIFY(setReadOnly(engine, true));
    QVERIFY(!QFile::remove(engine)); // what Windows does to a read-only file

    // A copy carries its source's attribute; the file it replaces loses its own.
    FileCopier copier;
    const QString copy = m_fixture.rootPath() + QStringLiteral("/engine-copy.dll");
    QVERIFY2(copier.copy(engine, copy), qPrintable(copier.errorString()));
    QVERIFY(isReadOnly(copy));
    QVERIFY(FileCopier::removeTarget(copy));
    QVERIFY(!QFileInfo::exists(copy));

    // A failing step: the backup (read-only copy included) goes back over the new files.
    PackageBuilder failingStep(m_fixture.packagePath());
    failingStep.sqlScript(step, "INSERT INTO no_such_table VALUES(1);\n");
    QVERIFY2(failingStep.ok(), qPrintable(failingStep.error()));
    UpdateSequence failing(CVUpdater::getInstance());
    QCOMPARE(failing.run(), Outcome::UpdateFailedRestored);
    QVERIFY(isReadOnly(m_fixture.backupPath() + QStringLiteral("/bin/engine.dll")));
    QCOMPARE(PackageBuilder::readFile(engine), QByteArray("engine 3.2"));
    QVERIFY(isReadOnly(engine));
    QCOMPARE(m_fixture.flagOnDisk(), QStringLiteral("true"));
    delete CVUpdater::getInstance();

    // The next run backs up over the read-only copy in "backup" and replaces the file.
    PackageBuilder goodStep(m_fixture.packagePath());
    goodStep.sqlScript(step, "INSERT INTO person(name) VALUES('ann');\n");
    QVERIFY2(goodStep.ok(), qPrintable(goodStep.error()));
    UpdateSequence sequence(CVUpdater::getInstance());
    QCOMPARE(sequence.run(), Outcome::Succeeded);
    QCOMPARE(PackageBuilder::readFile(engine), QByteArray("engine 3.3"));
    QVERIFY(!isReadOnly(engine));
    QCOMPARE(m_fixture.flagOnDisk(), QStringLiteral("true"));
    delete CVUpdater::getInstance();
}

void TestWindowsPlatform::fileInUse_data()
{
    QTest::addColumn<QString>("held");

    QTest::newRow("program") << "ostrelle.exe";
    QTest::newRow("library in a sub-directory") << "bin/engine.dll";
    QTest::newRow("merged settings") << "config/app.ini";
    QTest::newRow("database") << "kqdata.db";
    QTest::newRow("file the step removes") << "plugins/old.dll";
}

void TestWindowsPlatform::fileInUse()
{
    QFETCH(QString, held);
    makeUpdate();
    const bool removed = held == QLatin1String("plugins/old.dll");
    if (removed) {
        // Windows refuses to remove a file another program holds open, as it refuses
        // to replace one.
        PackageBuilder installed(m_fixture.installPath());
        installed.file(held, "old");
        PackageBuilder package(m_fixture.packagePath());
        package.file(PackageBuilder::stepPath(step, QStringLiteral("remove.list")),
                     "corvane-removals 1\nfile " + QCryptographicHash::hash("old", QCryptographicHash::Sha256).toHex()
                         + " 3 plugins/old.dll\n");
        QVERIFY2(installed.ok() && package.ok(), qPrintable(installed.error() + package.error()));
    }
    const QString heldPath = m_fixture.installPath() + QLatin1Char('/') + held;
    const QStringList before = PackageBuilder::snapshot(m_fixture.installPath(), {QStringLiteral("kqdata.db")});

    // The updater's own connection shares the database; the holder does not.
    m_fixture.closeDatabase();
    FileHolder holder;
    QVERIFY(holder.hold(heldPath));
    QVERIFY(FileInUse::isInUse(heldPath));
    UpdateSequence sequence(CVUpdater::getInstance());
    // Refused among the checks before the backup, naming the file (the database by a
    // check of its own).
    const bool database = held == QLatin1String("kqdata.db");
    QCOMPARE(sequence.run(), database ? Outcome::DatabaseInUse : Outcome::PackageRefused);
    QVERIFY2(sequence.refusal().join(QLatin1Char('\n')).contains(QDir::toNativeSeparators(heldPath)),
             qPrintable(sequence.refusal().join(QLatin1Char('\n'))));
    // The holder by its process, or (Wine's Restart Manager names no one) as another program.
    if (database) {
        QCOMPARE(sequence.holders().size(), 1);
        QCOMPARE(sequence.holders().constFirst().files, QStringList{heldPath});
        QVERIFY(sequence.holders().constFirst().pid == 0 || sequence.holders().constFirst().pid == holder.pid());
    }
    // Nothing changed: no backup, no flag, the same files.
    QVERIFY(!QFileInfo::exists(m_fixture.backupPath()));
    QCOMPARE(m_fixture.flagOnDisk(), QString());
    QCOMPARE(keyValue(QStringLiteral("Ostrelle"), QStringLiteral("DisplayVersion")), QStringLiteral("3.2"));
    QVERIFY(holder.release());
    QVERIFY(!FileInUse::isInUse(heldPath));
    QCOMPARE(PackageBuilder::snapshot(m_fixture.installPath(), {QStringLiteral("kqdata.db")}), before);

    // Closed, the same update goes through.
    m_fixture.openDatabase();
    QCOMPARE(sequence.run(), Outcome::Succeeded);
    QCOMPARE(PackageBuilder::readFile(m_fixture.programPath()), QByteArray("v3.3"));
    QCOMPARE(QFileInfo::exists(m_fixture.installPath() + QStringLiteral("/plugins/old.dll")), false);
    delete CVUpdater::getInstance();
}

QTEST_GUILESS_MAIN(TestWindowsPlatform)
#include "tst_windowsplatform.moc"
