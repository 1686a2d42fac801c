#include "layout/installlayout.h"

#include <QtTest>

// The one rule of reserved names: the installation's own folders and files at its top,
// the flag, the installer's log and the lock at every depth, and all below any of them.
class TestInstallLayout : public QObject
{
    Q_OBJECT

private slots:
    void isReserved_data();
    void isReserved();
};

void TestInstallLayout::isReserved_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("reserved");
    QTest::addColumn<bool>("reservedIgnoringCase");

    QTest::newRow("top folder") << "image" << true << true;
    QTest::newRow("below a top folder") << "log/cvUpdaterlog.txt" << true << true;
    QTest::newRow("deep folder of a top name") << "share/mime/image" << false << false;
    QTest::newRow("below a deep folder of a top name") << "share/mime/image/png.xml" << false << false;
    QTest::newRow("backup in another case") << "Backup/x.dll" << false << true;
    QTest::newRow("flag file deep") << "a/b/UPDATER.ini" << true << true;
    QTest::newRow("below a folder of a file name") << "a/install.log/x" << true << true;
    QTest::newRow("lock in another case") << "updater.lock" << false << true;
    QTest::newRow("kept database") << "kqdata.db.kept-20250101-120000" << true << true;
    QTest::newRow("kept database deep") << "a/kqdata.db.kept-20250101-120000" << false << false;
    QTest::newRow("the database") << "kqdata.db" << false << false;
    QTest::newRow("lookalike") << "logs" << false << false;
    QTest::newRow("empty") << "" << false << false;
}

void TestInstallLayout::isReserved()
{
    QFETCH(QString, path);
    QFETCH(bool, reserved);
    QFETCH(bool, reservedIgnoringCase);

    QCOMPARE(InstallLayout::isReserved(path), reserved);
    QCOMPARE(InstallLayout::isReserved(path, Qt::CaseInsensitive), reservedIgnoringCase);
}

QTEST_GUILESS_MAIN(TestInstallLayout)
#include "tst_installlayout.moc"
