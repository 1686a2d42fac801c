#include "common/logcapture.h"
#include "common/packagebuilder.h"
#include "config/configbase.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QByteArray kValid("[RELEASE]\nVERSION=3.4\n\n[ZRFILE_BEGIN]\nCODE=tarnwoven\n\n[ZRFILE_END]\nCODE=tarnwoven\n");
const QByteArray kNoEnd("[RELEASE]\nVERSION=3.4\n\n[ZRFILE_BEGIN]\nCODE=tarnwoven\n");
const QByteArray kWrongCase("[RELEASE]\nVERSION=3.4\n\n[ZRFILE_BEGIN]\nCODE=tarnwoven\n\n[ZRFILE_END]\nCODE=TARNWOVEN\n");

} // namespace

// ConfigBase opened read-only, as the package check opens every INI file: a file is
// judged as it stands and nothing on disk changes, whatever state the file is in.
class TestConfigReadOnly : public QObject
{
    Q_OBJECT

private slots:
    void judgesWithoutRepair_data();
    void judgesWithoutRepair();
    void missingFileIsNotCreated();
    void setValueIsRefused();
    void repairingOpeningStillRepairs();
};

void TestConfigReadOnly::judgesWithoutRepair_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("version");

    QTest::newRow("valid") << kValid << true << "3.4";
    QTest::newRow("end marker missing") << kNoEnd << false << "3.4";
    QTest::newRow("marker in capitals") << kWrongCase << false << "3.4";
    QTest::newRow("not an INI file") << QByteArray("\x01\x02garbage\n") << false << "";
}

void TestConfigReadOnly::judgesWithoutRepair()
{
    QFETCH(QByteArray, contents);
    QFETCH(bool, valid);
    QFETCH(QString, version);
    QTemporaryDir dir;
    PackageBuilder tree(dir.path());
    // A valid backup beside it: a repairing opening would copy it over the file.
    tree.file(QStringLiteral("version.ini"), contents).file(QStringLiteral("version.ini.bak"), kValid);
    QVERIFY(tree.ok());
    const QStringList before = PackageBuilder::snapshot(dir.path());
    const QDateTime modified = QFileInfo(dir.filePath(QStringLiteral("version.ini"))).lastModified();

    {
        ConfigBase file(dir.filePath(QStringLiteral("version.ini")), ConfigBase::Access::ReadOnly);
        QCOMPARE(file.isValid(), valid);
        QCOMPARE(file.value(QStringLiteral("RELEASE/VERSION"), QString()).toString(), version);
    }

    QCOMPARE(PackageBuilder::snapshot(dir.path()), before);
    QCOMPARE(QFileInfo(dir.filePath(QStringLiteral("version.ini"))).lastModified(), modified);
}

void TestConfigReadOnly::missingFileIsNotCreated()
{
    QTemporaryDir dir;
    {
        ConfigBase file(dir.filePath(QStringLiteral("config/UPDATER.ini")), ConfigBase::Access::ReadOnly);
        QVERIFY(!file.isValid());
        QCOMPARE(file.value(QStringLiteral("UPDATE/FLAG"), true).toBool(), true);
        QCOMPARE(file.allKeys(), QStringList());
    }
    QVERIFY(QDir(dir.path()).isEmpty());
}

void TestConfigReadOnly::setValueIsRefused()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("UPDATER.ini"));
    PackageBuilder tree(dir.path());
    tree.file(QStringLiteral("UPDATER.ini"), kValid);
    QVERIFY(tree.ok());

    LogCapture log;
    {
        ConfigBase file(path, ConfigBase::Access::ReadOnly);
        file.setValue(QStringLiteral("UPDATE/FLAG"), false);
        QCOMPARE(file.value(QStringLiteral("UPDATE/FLAG"), true).toBool(), true);
        QVERIFY(file.save());
    }
    QCOMPARE(log.lines(), QStringList{QStringLiteral("Warning void ConfigBase::setValue(const QString&, const QVariant&) "
                                                     "\"file %1 is opened read-only, key UPDATE/FLAG not set\"")
                                          .arg(path)});
    QCOMPARE(PackageBuilder::readFile(path), kValid);
    QVERIFY(!QFileInfo::exists(path + QStringLiteral(".bak")));
}

void TestConfigReadOnly::repairingOpeningStillRepairs()
{
    // The default opening is unchanged: the same damaged file is replaced by its backup.
    QTemporaryDir dir;
    PackageBuilder tree(dir.path());
    tree.file(QStringLiteral("version.ini"), kNoEnd).file(QStringLiteral("version.ini.bak"), kValid);
    QVERIFY(tree.ok());
    {
        ConfigBase file(dir.filePath(QStringLiteral("version.ini")));
        QVERIFY(file.isValid());
    }
    QCOMPARE(PackageBuilder::readFile(dir.filePath(QStringLiteral("version.ini"))), kValid);
}

QTEST_GUILESS_MAIN(TestConfigReadOnly)
#include "tst_configreadonly.moc"
