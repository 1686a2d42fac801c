#include "common/testhome.h"
#include "platform/registrystore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtTest>

#include <memory>

#include <unistd.h>

namespace {
const QString uninstallKey =
    QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Ostrelle");
}

class TestRegistryStore : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void filePathMirrorsKeyPath_data();
    void filePathMirrorsKeyPath();
    void writtenValuesReadBack();
    void pathBeyondBmpReadsBack();
    void readingMissingKeyCreatesNothing();
    void handEditedFile_data();
    void handEditedFile();
    void commitReportsUnwritableStore_data();
    void commitReportsUnwritableStore();
    void commitReportsReadOnlyFile();

private:
    void writeKeyFile(const QString &keyPath, const QByteArray &content);

    std::unique_ptr<TestHome> m_home;
};

void TestRegistryStore::init()
{
    m_home.reset(new TestHome);
}

void TestRegistryStore::cleanup()
{
    m_home.reset();
}

void TestRegistryStore::writeKeyFile(const QString &keyPath, const QByteArray &content)
{
    const QString path = RegistryStore::filePath(keyPath);
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(content), qint64(content.size()));
}

void TestRegistryStore::filePathMirrorsKeyPath_data()
{
    QTest::addColumn<QString>("keyPath");
    QTest::addColumn<QString>("relativeFile");

    QTest::newRow("uninstall key")
        << uninstallKey
        << "Corvane/registry/HKEY_LOCAL_MACHINE/SOFTWARE/Microsoft/Windows/CurrentVersion/Uninstall/Ostrelle.ini";
    QTest::newRow("name with a blank")
        << "HKEY_CURRENT_USER\\Software\\Ketterin Suite"
        << "Corvane/registry/HKEY_CURRENT_USER/Software/Ketterin Suite.ini";
}

void TestRegistryStore::filePathMirrorsKeyPath()
{
    QFETCH(QString, keyPath);
    QFETCH(QString, relativeFile);
    QCOMPARE(RegistryStore::filePath(keyPath), m_home->configPath() + QLatin1Char('/') + relativeFile);
}

void TestRegistryStore::writtenValuesReadBack()
{
    {
        const std::unique_ptr<QSettings> key = RegistryStore::open(uninstallKey);
        key->setValue(QStringLiteral("DisplayVersion"), QStringLiteral("3.5"));
        key->setValue(QStringLiteral("DisplayIcon"), QStringLiteral("C:\\Apps\\Ostrelle\\main.exe"));
        // The parent directories do not exist yet; writing creates them.
        QVERIFY(RegistryStore::commit(*key));
    }

    QFile file(RegistryStore::filePath(uninstallKey));
    QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
    const QByteArray text = file.readAll();
    // Values are top-level keys, which the INI layer keeps in its [General] group.
    QVERIFY2(text.startsWith("[General]\n"), text.constData());
    QVERIFY2(text.contains("\nDisplayVersion=3.5\n"), text.constData());

    const std::unique_ptr<QSettings> key = RegistryStore::open(uninstallKey);
    QCOMPARE(key->value(QStringLiteral("DisplayVersion")).toString(), QStringLiteral("3.5"));
    QCOMPARE(key->value(QStringLiteral("DisplayIcon")).toString(), QStringLiteral("C:\\Apps\\Ostrelle\\main.exe"));
    QCOMPARE(key->childKeys(), QStringList({QStringLiteral("DisplayIcon"), QStringLiteral("DisplayVersion")}));
}

void TestRegistryStore::pathBeyondBmpReadsBack()
{
    const QString icon = QStringLiteral("/opt/Zo\u00eb \U0001F33B/bin/ostrelle");
    {
        const std::unique_ptr<QSettings> key = RegistryStore::open(uninstallKey);
        key->setValue(QStringLiteral("DisplayIcon"), icon);
        QVERIFY(RegistryStore::commit(*key));
    }
    QFile file(RegistryStore::filePath(uninstallKey));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    QVERIFY2(text.contains("DisplayIcon=" + icon.toUtf8() + '\n'), text.constData());
    // Read as a user's copy would be, by a process that has not written it.
    file.close();
    const QString copy = RegistryStore::filePath(uninstallKey) + QStringLiteral(".copy.ini");
    QVERIFY(QFile::copy(file.fileName(), copy));
    QSettings reread(copy, QSettings::IniFormat);
    reread.setIniCodec("UTF-8");
    QCOMPARE(reread.value(QStringLiteral("DisplayIcon")).toString(), icon);
}

void TestRegistryStore::readingMissingKeyCreatesNothing()
{
    {
        const std::unique_ptr<QSettings> key = RegistryStore::open(uninstallKey);
        QCOMPARE(key->value(QStringLiteral("DisplayVersion"), QString()).toString(), QString());
        QVERIFY(RegistryStore::commit(*key));
    }
    QVERIFY(!QFileInfo::exists(RegistryStore::filePath(uninstallKey)));
    QVERIFY(!QFileInfo::exists(m_home->configPath() + QStringLiteral("/Corvane")));
}

void TestRegistryStore::handEditedFile_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("expected");

    // What the README tells users who edit a key file by hand.
    QTest::newRow("native path") << QByteArray("DisplayIcon=/opt/Ostrelle/bin/ostrelle")
                                 << QStringLiteral("/opt/Ostrelle/bin/ostrelle");
    QTest::newRow("non-ASCII UTF-8") << QByteArray("DisplayIcon=/opt/K\xc3\xa4ttelin/bin/app")
                                     << QString::fromUtf8("/opt/K\xc3\xa4ttelin/bin/app");
    QTest::newRow("comma quoted") << QByteArray("DisplayIcon=\"/opt/a, b/app\"") << QStringLiteral("/opt/a, b/app");
    QTest::newRow("backslashes doubled") << QByteArray("DisplayIcon=C:\\\\Apps\\\\main.exe")
                                         << QStringLiteral("C:\\Apps\\main.exe");
    QTest::newRow("without [General]") << QByteArray("DisplayIcon=/opt/app") << QStringLiteral("/opt/app");
}

void TestRegistryStore::handEditedFile()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, expected);

    const QByteArray header = QByteArray(QTest::currentDataTag()) == "without [General]"
        ? QByteArray() : QByteArray("[General]\n");
    writeKeyFile(uninstallKey, header + "DisplayVersion=3.4\n" + line + '\n');

    const std::unique_ptr<QSettings> key = RegistryStore::open(uninstallKey);
    QCOMPARE(key->value(QStringLiteral("DisplayIcon")).toString(), expected);
    QCOMPARE(key->value(QStringLiteral("DisplayVersion")).toString(), QStringLiteral("3.4"));
}

void TestRegistryStore::commitReportsUnwritableStore_data()
{
    QTest::addColumn<QString>("blocker");

    // Both block a write even for root, unlike file permissions.
    QTest::newRow("key file is a directory") << QStringLiteral("file");
    QTest::newRow("parent is a regular file") << QStringLiteral("parent");
}

void TestRegistryStore::commitReportsUnwritableStore()
{
    QFETCH(QString, blocker);

    const QString path = RegistryStore::filePath(uninstallKey);
    const QFileInfo info(path);
    if (blocker == QLatin1String("file")) {
        QVERIFY(QDir().mkpath(path));
    } else {
        QVERIFY(QDir().mkpath(QFileInfo(info.absolutePath()).absolutePath()));
        QFile parent(info.absolutePath());
        QVERIFY(parent.open(QIODevice::WriteOnly));
    }

    const std::unique_ptr<QSettings> key = RegistryStore::open(uninstallKey);
    key->setValue(QStringLiteral("DisplayVersion"), QStringLiteral("3.5"));
    QVERIFY(!RegistryStore::commit(*key));
}

void TestRegistryStore::commitReportsReadOnlyFile()
{
    if (::geteuid() == 0)
        QSKIP("root writes read-only files");

    writeKeyFile(uninstallKey, "[General]\nDisplayVersion=3.4\n");
    const QString path = RegistryStore::filePath(uninstallKey);
    QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));

    {
        const std::unique_ptr<QSettings> key = RegistryStore::open(uninstallKey);
        key->setValue(QStringLiteral("DisplayVersion"), QStringLiteral("3.5"));
        QVERIFY(!RegistryStore::commit(*key));
    }
    const std::unique_ptr<QSettings> key = RegistryStore::open(uninstallKey);
    QCOMPARE(key->value(QStringLiteral("DisplayVersion")).toString(), QStringLiteral("3.4"));
}

QTEST_GUILESS_MAIN(TestRegistryStore)
#include "tst_registrystore.moc"
