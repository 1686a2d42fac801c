#include "layout/versionorder.h"

#include <QtTest>

// The one order of versions that the updater, the console program and the package tool
// share: part by part, never the digits glued into one number.
class TestVersionOrder : public QObject
{
    Q_OBJECT

private slots:
    void compare_data();
    void compare();
};

void TestVersionOrder::compare_data()
{
    QTest::addColumn<QString>("older");
    QTest::addColumn<QString>("newer");
    QTest::addColumn<bool>("equal");

    QTest::newRow("minor") << "3.4" << "3.5" << false;
    QTest::newRow("two-digit minor") << "3.9" << "3.10" << false;
    QTest::newRow("next major after a two-digit minor") << "1.10" << "2.0" << false;
    QTest::newRow("leading zero is no digit") << "3.08" << "3.9" << false;
    QTest::newRow("build number") << "5.2" << "5.2.1.7" << false;
    QTest::newRow("missing part counts as 0") << "3.4" << "3.4.0" << true;
    QTest::newRow("leading zero") << "3.7" << "3.07" << true;
    QTest::newRow("blanks around a part") << " 3.2" << "3.2 " << true;
    QTest::newRow("not a number counts as 0") << "beta" << "0.1" << false;
    QTest::newRow("overflow counts as 0") << "4294967296.9" << "1.0" << false;
    QTest::newRow("same") << "3.10" << "3.10" << true;
}

void TestVersionOrder::compare()
{
    QFETCH(QString, older);
    QFETCH(QString, newer);
    QFETCH(bool, equal);

    QCOMPARE(VersionOrder::compare(older, newer), equal ? 0 : -1);
    QCOMPARE(VersionOrder::compare(newer, older), equal ? 0 : 1);
    QCOMPARE(VersionOrder::isNewer(newer, older), !equal);
    QVERIFY(!VersionOrder::isNewer(older, newer));
}

QTEST_GUILESS_MAIN(TestVersionOrder)
#include "tst_versionorder.moc"
