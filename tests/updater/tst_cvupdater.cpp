#include "context/zrpubmethod.h"
#include "common/logcapture.h"
#include "common/testhome.h"
#include "platform/registrystore.h"
#include "steps/formalupdateo.h"
#include "updater/cvupdater.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

const QString keyPrefix =
    QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\");
const QString isCanUpdateSignature = QStringLiteral("bool CVUpdater::isCanUpdate()");
const QString produceSignature =
    QStringLiteral("bool CVUpdater::produceUpdateList(const QString&, const QString&, QStringList&)");

QByteArray markedIni(const QByteArray &body, bool withEndMark = true)
{
    QByteArray text = "[ZRFILE_BEGIN]\nCODE=tarnwoven\n\n" + body;
    if (withEndMark)
        text += "\n[ZRFILE_END]\nCODE=tarnwoven\n";
    return text;
}

QByteArray versionBody(const QString &version)
{
    return version.isNull() ? QByteArray() : "[RELEASE]\nVERSION=" + version.toUtf8() + '\n';
}

} // namespace

class TestCVUpdater : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void candidateKeys_data();
    void candidateKeys();
    void installedVersionReduced_data();
    void installedVersionReduced();
    void installPathFromIcon_data();
    void installPathFromIcon();
    void packageVersion_data();
    void packageVersion();
    void isCanUpdate_data();
    void isCanUpdate();
    void produceUpdateList_data();
    void produceUpdateList();
    void progressRelayed();
    void instanceForgottenWhenDeleted();

private:
    void writeKey(const QString &name, const QString &version, const QString &icon);
    void writeFile(const QString &path, const QByteArray &content);
    QString versionFile() const { return m_packageDir->filePath(QStringLiteral("version.ini")); }

    std::unique_ptr<TestHome> m_home;
    std::unique_ptr<QTemporaryDir> m_packageDir;
};

void TestCVUpdater::init()
{
    m_home.reset(new TestHome);
    m_packageDir.reset(new QTemporaryDir);
    QVERIFY(m_packageDir->isValid());
    // "version.ini" is read (and repaired) in this directory, never beside the test.
    CVUpdater::setProgramDir(m_packageDir->path());
    ZRPubMethod::getInstance()->setLanType(1);
}

void TestCVUpdater::cleanup()
{
    ZRPubMethod::getInstance()->setLanType(1);
    m_packageDir.reset();
    m_home.reset();
}

// A null version or icon leaves that value out of the key.
void TestCVUpdater::writeKey(const QString &name, const QString &version, const QString &icon)
{
    const std::unique_ptr<QSettings> key = RegistryStore::open(keyPrefix + name);
    if (!version.isNull())
        key->setValue(QStringLiteral("DisplayVersion"), version);
    if (!icon.isNull())
        key->setValue(QStringLiteral("DisplayIcon"), icon);
    QVERIFY(RegistryStore::commit(*key));
}

void TestCVUpdater::writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(content), qint64(content.size()));
}

void TestCVUpdater::candidateKeys_data()
{
    QTest::addColumn<int>("lanType");
    // Null: the key does not exist. Empty: the key holds only "DisplayIcon".
    QTest::addColumn<QString>("ketterin");
    QTest::addColumn<QString>("ostrelle");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("keyName");

    QTest::newRow("lan 0 tries Ketterin first") << 0 << "3.1" << "3.2" << "3.1" << "Ketterin";
    QTest::newRow("lan 1 tries Ostrelle first") << 1 << "3.1" << "3.2" << "3.2" << "Ostrelle";
    QTest::newRow("lan 2 tries Ostrelle first") << 2 << "3.1" << "3.2" << "3.2" << "Ostrelle";
    QTest::newRow("lan 1, only the second") << 1 << "3.4" << QString() << "3.4" << "Ketterin";
    QTest::newRow("lan 0, only the second") << 0 << QString() << "3.4" << "3.4" << "Ostrelle";
    QTest::newRow("lan 1, first without version") << 1 << "3.4" << "" << "3.4" << "Ketterin";
    QTest::newRow("lan 1, neither") << 1 << QString() << QString() << QString() << "Ketterin";
    QTest::newRow("lan 0, neither") << 0 << QString() << QString() << QString() << "Ostrelle";
    // The second key's empty values replace the first key's icon.
    QTest::newRow("lan 1, first only an icon, second absent") << 1 << QString() << "" << QString() << "Ketterin";
}

void TestCVUpdater::candidateKeys()
{
    QFETCH(int, lanType);
    QFETCH(QString, ketterin);
    QFETCH(QString, ostrelle);
    QFETCH(QString, version);
    QFETCH(QString, keyName);

    const auto iconOf = [](const QString &name) { return QStringLiteral("/opt/%1/bin/app").arg(name); };
    if (!ketterin.isNull())
        writeKey(QStringLiteral("Ketterin"), ketterin.isEmpty() ? QString() : ketterin, iconOf(QStringLiteral("Ketterin")));
    if (!ostrelle.isNull())
        writeKey(QStringLiteral("Ostrelle"), ostrelle.isEmpty() ? QString() : ostrelle, iconOf(QStringLiteral("Ostrelle")));
    ZRPubMethod::getInstance()->setLanType(lanType);

    CVUpdater updater;
    QCOMPARE(updater.getOldVersion(), version.isNull() ? QString() : version);
    QCOMPARE(updater.getRegKey(), keyPrefix + keyName);
    const bool keyRead = !version.isNull();
    QCOMPARE(updater.getIconPath(), keyRead ? iconOf(keyName) : QString());
    QCOMPARE(updater.getInstallPath(), keyRead ? QStringLiteral("/opt/%1/bin").arg(keyName) : QString());
}

void TestCVUpdater::installedVersionReduced_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("version");

    QTest::newRow("three parts") << "5.2.1" << "5.2";
    QTest::newRow("four parts") << "5.2.1.7" << "5.2";
    QTest::newRow("no dot") << "5" << "5";
    QTest::newRow("empty middle part kept") << "5..1" << "5.";
    QTest::newRow("two-digit minor") << "3.10" << "3.10";
}

void TestCVUpdater::installedVersionReduced()
{
    QFETCH(QString, stored);
    QFETCH(QString, version);

    writeKey(QStringLiteral("Ostrelle"), stored, QStringLiteral("/opt/Ostrelle/app"));
    CVUpdater updater;
    QCOMPARE(updater.getOldVersion(), version);
}

void TestCVUpdater::installPathFromIcon_data()
{
    QTest::addColumn<QString>("icon");
    QTest::addColumn<QString>("installPath");

#ifdef Q_OS_WIN
    // Paths into the installation are built with "/".
    QTest::newRow("Windows path") << "C:\\Prog\\App\\app.exe" << "C:/Prog/App";
#else
    QTest::newRow("Windows path") << "C:\\Prog\\App\\app.exe" << "C:\\Prog\\App";
#endif
#ifndef Q_OS_WIN
    QTest::newRow("native path") << "/opt/Ostrelle/bin/ostrelle" << "/opt/Ostrelle/bin";
    QTest::newRow("slash after backslash") << "C:\\Prog\\App/bin/app" << "C:\\Prog\\App/bin";
    QTest::newRow("backslash after slash") << "/opt/App\\bin\\app" << "/opt/App\\bin";
#endif
    QTest::newRow("no separator") << "app.exe" << "app.exe";
}

void TestCVUpdater::installPathFromIcon()
{
    QFETCH(QString, icon);
    QFETCH(QString, installPath);

    writeKey(QStringLiteral("Ostrelle"), QStringLiteral("3.4"), icon);
    CVUpdater updater;
    QCOMPARE(updater.getIconPath(), icon);
    QCOMPARE(updater.getInstallPath(), installPath);
}

void TestCVUpdater::packageVersion_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArray>("backup");
    QTest::addColumn<QString>("version");

    const QByteArray none;
    QTest::newRow("valid") << markedIni(versionBody("3.5")) << none << "3.5";
    QTest::newRow("three parts kept") << markedIni(versionBody("3.5.1")) << none << "3.5.1";
    QTest::newRow("valid without key") << markedIni(QByteArray()) << none << "";
    QTest::newRow("damaged, valid backup") << markedIni(versionBody("9.9"), false) << markedIni(versionBody("3.4"))
                                           << "3.4";
    QTest::newRow("damaged, no backup") << markedIni(versionBody("9.9"), false) << none << "";
    QTest::newRow("missing, no backup") << none << none << "";
}

void TestCVUpdater::packageVersion()
{
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, backup);
    QFETCH(QString, version);

    if (!file.isNull())
        writeFile(versionFile(), file);
    if (!backup.isNull())
        writeFile(versionFile() + QStringLiteral(".bak"), backup);

    CVUpdater updater;
    QCOMPARE(updater.getNewVersion(), version);

    // The package is only read: whatever it found, nothing was repaired, created or
    // set aside.
    const QDir packageDir = QFileInfo(versionFile()).dir();
    QStringList expected;
    if (!file.isNull())
        expected << QStringLiteral("version.ini");
    if (!backup.isNull())
        expected << QStringLiteral("version.ini.bak");
    QCOMPARE(packageDir.entryList(QDir::Files | QDir::Hidden, QDir::Name), expected);
    if (!file.isNull()) {
        QFile onDisk(versionFile());
        QVERIFY(onDisk.open(QIODevice::ReadOnly));
        QCOMPARE(onDisk.readAll(), file);
    }
}

void TestCVUpdater::isCanUpdate_data()
{
    QTest::addColumn<QString>("installed");
    QTest::addColumn<QString>("package");
    QTest::addColumn<bool>("allowed");
    QTest::addColumn<QStringList>("log");

    const QStringList refused = {QStringLiteral("Warning %1 update version below or same").arg(isCanUpdateSignature)};
    const QStringList empty = {QStringLiteral("Debug %1 version is empty").arg(isCanUpdateSignature)};

    QTest::newRow("higher minor") << "3.4" << "3.5" << true << QStringList();
    QTest::newRow("equal") << "3.5" << "3.5" << false << refused;
    QTest::newRow("lower") << "3.5" << "3.4" << false << refused;
    QTest::newRow("1.9 to 1.10") << "1.9" << "1.10" << true << QStringList();
    // Newer, part by part; the step list then refuses to cross the major version.
    QTest::newRow("1.10 to 2.0") << "1.10" << "2.0" << true << QStringList();
    QTest::newRow("3.9 to 3.08") << "3.9" << "3.08" << false << refused;
    QTest::newRow("installed 3.2.1 read as 3.2") << "3.2.1" << "3.2.1" << true << QStringList();
    QTest::newRow("installed empty") << QString() << "3.5" << false << empty;
    QTest::newRow("package empty") << "3.4" << QString() << false << empty;
    QTest::newRow("package not a number") << "3.4" << "3.x" << false << refused;
    QTest::newRow("installed not a number") << "beta" << "1.0" << true << QStringList();
    QTest::newRow("package overflows") << "3.4" << "4294967296.1" << false << refused;
    QTest::newRow("installed overflows") << "99999999999.0" << "1.0" << true << QStringList();
}

void TestCVUpdater::isCanUpdate()
{
    QFETCH(QString, installed);
    QFETCH(QString, package);
    QFETCH(bool, allowed);
    QFETCH(QStringList, log);

    writeKey(QStringLiteral("Ostrelle"), installed, QStringLiteral("/opt/Ostrelle/app"));
    writeFile(versionFile(), markedIni(versionBody(package)));

    CVUpdater updater;
    LogCapture capture;
    QCOMPARE(updater.isCanUpdate(), allowed);
    QCOMPARE(capture.lines(), log);
    QCOMPARE(capture.otherMessages(), QStringList());
}

void TestCVUpdater::produceUpdateList_data()
{
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("to");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QStringList>("steps");
    // Lines of the updater's category, then plain debug output that the log file drops.
    QTest::addColumn<QStringList>("log");
    QTest::addColumn<QStringList>("plain");

    const QStringList versionErr = {QStringLiteral("Debug %1 version err").arg(produceSignature)};
    const QStringList mainDiff = {QStringLiteral("Debug %1 main version diff").arg(produceSignature)};

    const QStringList none;
    QTest::newRow("3.2 to 3.5") << "3.2" << "3.5" << true
                                << QStringList({"3_2_to_3_3", "3_3_to_3_4", "3_4_to_3_5"}) << none << none;
    QTest::newRow("3.07 to 3.9") << "3.07" << "3.9" << true << QStringList({"3_7_to_3_8", "3_8_to_3_9"})
                                 << none << none;
    QTest::newRow("3.9 to 3.10") << "3.9" << "3.10" << true << QStringList({"3_9_to_3_10"}) << none << none;
    QTest::newRow("blank before main version") << " 3.2" << "3.4" << true
                                               << QStringList({"3_2_to_3_3", "3_3_to_3_4"}) << none << none;
    QTest::newRow("minor not a number") << "3.a" << "3.2" << true << QStringList({"3_0_to_3_1", "3_1_to_3_2"})
                                        << none << none;
    QTest::newRow("equal") << "3.5" << "3.5" << true << none << none
                           << QStringList({"Debug version is equal"});
    QTest::newRow("lower") << "3.5" << "3.1" << false << none << none
                           << QStringList({"Debug can not update to smaller version"});
    QTest::newRow("three parts") << "3.2" << "3.2.1" << false << none << versionErr << none;
    QTest::newRow("one part") << "3" << "3.4" << false << none << versionErr << none;
    QTest::newRow("empty part dropped") << "3." << "3.4" << false << none << versionErr << none;
    QTest::newRow("empty") << "" << "3.4" << false << none << versionErr << none;
    QTest::newRow("other main version") << "3.2" << "4.0" << false << none << mainDiff << none;
    QTest::newRow("main version compared as text") << "03.2" << "3.4" << false << none << mainDiff << none;
}

void TestCVUpdater::produceUpdateList()
{
    QFETCH(QString, from);
    QFETCH(QString, to);
    QFETCH(bool, result);
    QFETCH(QStringList, steps);
    QFETCH(QStringList, log);
    QFETCH(QStringList, plain);

    CVUpdater updater;
    QStringList list = {QStringLiteral("left over from an earlier call")};
    LogCapture capture;
    QCOMPARE(updater.produceUpdateList(from, to, list), result);
    QCOMPARE(list, steps);
    QCOMPARE(capture.lines(), log);
    QCOMPARE(capture.otherMessages(), plain);
}

void TestCVUpdater::progressRelayed()
{
    QPointer<FormalUpdateO> updateObject;
    {
        CVUpdater updater;
        updateObject = updater.getUpdateObject();
        QVERIFY(updateObject);
        QVERIFY(!updateObject->parent());

        QSignalSpy spy(&updater, &CVUpdater::sigProcessAddValue);
        emit updateObject->sigProcessAddValue(7);
        emit updateObject->sigProcessAddValue(25);
        QCOMPARE(spy.count(), 2);
        QCOMPARE(spy.at(0).at(0).toInt(), 7);
        QCOMPARE(spy.at(1).at(0).toInt(), 25);
    }
    // The update manager owns its update object.
    QVERIFY(updateObject.isNull());
}

void TestCVUpdater::instanceForgottenWhenDeleted()
{
    writeKey(QStringLiteral("Ostrelle"), QStringLiteral("3.4"), QStringLiteral("/opt/Ostrelle/app"));

    CVUpdater *first = CVUpdater::getInstance();
    QCOMPARE(CVUpdater::getInstance(), first);
    QCOMPARE(first->getOldVersion(), QStringLiteral("3.4"));
    first->setObjectName(QStringLiteral("first"));

    // An update manager of its own (as a test or a front end makes) leaves the instance alone.
    delete new CVUpdater;
    QCOMPARE(CVUpdater::getInstance(), first);

    // The owner deletes the instance; a later caller gets a fresh, live one. Under the
    // address sanitizer a dangling pointer would fail here.
    QPointer<CVUpdater> watch(first);
    delete first;
    QVERIFY(watch.isNull());
    CVUpdater *second = CVUpdater::getInstance();
    QVERIFY(second->objectName().isEmpty());
    QCOMPARE(second->getOldVersion(), QStringLiteral("3.4"));
    delete second;
}

QTEST_GUILESS_MAIN(TestCVUpdater)
#include "tst_cvupdater.moc"
