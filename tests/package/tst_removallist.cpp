#include "package/removallist.h"

#include <QtTest>

namespace {

const QByteArray kHash(64, 'a');

QByteArray listText(const QList<QByteArray> &lines)
{
    QByteArray text = "corvane-removals 1\n";
    for (const QByteArray &line : lines)
        text += line + '\n';
    return text;
}

} // namespace

// The removal list's text: what the parser takes writes back to the same bytes; every
// path the updater must never remove, and every form it does not know, is malformed.
class TestRemovalList : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip();
    void refuses_data();
    void refuses();
};

void TestRemovalList::roundTrip()
{
    RemovalList list;
    list.addFile(QStringLiteral("plugins/ü.dll"), 12, QByteArray(32, '\x01'));
    list.addDirectory(QStringLiteral("plugins"));
    list.addFile(QStringLiteral("docs/share/mime/image/x.png"), 0, QByteArray(32, '\xff'));
    const QByteArray text = list.toText();
    QCOMPARE(text, QByteArray("corvane-removals 1\n"
                              "file " + QByteArray(64, 'f') + " 0 docs/share/mime/image/x.png\n"
                              "dir plugins\n"
                              "file " + QByteArray("01").repeated(32) + " 12 plugins/\xc3\xbc.dll\n"));
    RemovalList parsed;
    QVERIFY2(parsed.parse(text), qPrintable(parsed.errorString()));
    QCOMPARE(parsed.entries().size(), 3);
    QCOMPARE(parsed.entries().at(2).path, QStringLiteral("plugins/ü.dll"));
    QCOMPARE(parsed.entries().at(2).size, qint64(12));
    QVERIFY(parsed.entries().at(1).directory);
    QCOMPARE(parsed.toText(), text);
}

void TestRemovalList::refuses_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("error");
    const QByteArray file = "file " + kHash + " 3 ";
    QTest::newRow("empty") << QByteArray() << "not lines of text";
    QTest::newRow("wrong header") << QByteArray("corvane-manifest 1\n") << "not a removal list";
    QTest::newRow("carriage return") << QByteArray("corvane-removals 1\r\n") << "not lines of text";
    QTest::newRow("no final line feed") << QByteArray("corvane-removals 1\ndir a") << "not lines of text";
    QTest::newRow("unknown kind") << listText({"link a"}) << "expected \"file <sha-256>";
    QTest::newRow("short hash") << listText({"file abc 3 a"}) << "64 lower-case hex";
    QTest::newRow("upper-case hash") << listText({"file " + QByteArray(64, 'A') + " 3 a"}) << "64 lower-case hex";
    QTest::newRow("size with a sign") << listText({"file " + kHash + " -3 a"}) << "plain decimal";
    QTest::newRow("size with a leading zero") << listText({"file " + kHash + " 03 a"}) << "plain decimal";
    QTest::newRow("absolute path") << listText({file + "/etc/passwd"}) << "absolute path";
    QTest::newRow("dot-dot") << listText({file + "a/../../x"}) << "\"..\"";
    QTest::newRow("backslash") << listText({file + "a\\b"}) << "\"\\\"";
    QTest::newRow("drive letter") << listText({file + "C:x"}) << "\"\\\" or \":\"";
    QTest::newRow("not UTF-8") << listText({file + "a\xff"}) << "not valid UTF-8";
    QTest::newRow("backup") << listText({"dir backup"}) << "never removed";
    QTest::newRow("backup in another case") << listText({file + "Backup/x.dll"}) << "never removed";
    QTest::newRow("log folder") << listText({file + "log/cvUpdaterlog.txt"}) << "never removed";
    QTest::newRow("flag file deep") << listText({file + "a/UPDATER.ini"}) << "never removed";
    QTest::newRow("install.log") << listText({file + "install.log"}) << "never removed";
    QTest::newRow("config") << listText({file + "config/menus.xml"}) << "never removed";
    QTest::newRow("database") << listText({file + "kqdata.db"}) << "never removed";
    QTest::newRow("database journal") << listText({file + "kqdata.db-wal"}) << "never removed";
    QTest::newRow("hidden") << listText({file + "plugins/.cache"}) << "hidden";
    QTest::newRow("twice") << listText({file + "a", file + "a"}) << "listed twice";
    QTest::newRow("out of order") << listText({file + "b", file + "a"}) << "out of order";
    QTest::newRow("letter case") << listText({file + "A", file + "a"}) << "only in letter case";
    QTest::newRow("below a file") << listText({file + "a", file + "a/b"}) << "lies below a file";
    QTest::newRow("file where a directory is") << listText({file + "A/b", file + "a"}) << "both a file and a directory";
}

void TestRemovalList::refuses()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, error);
    RemovalList list;
    QVERIFY(!list.parse(text));
    QVERIFY2(list.errorString().contains(error), qPrintable(list.errorString()));
    QVERIFY(list.entries().isEmpty());
}

QTEST_GUILESS_MAIN(TestRemovalList)
#include "tst_removallist.moc"
