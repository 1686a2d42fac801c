#include "db/scriptlint.h"

#include <QBuffer>
#include <QtTest>

Q_DECLARE_METATYPE(QList<int>)

// The dry run's notes on a script, by line: "#" lines that the parser drops from inside
// a string literal, and journal-mode pragmas that a step's transaction ignores. Quotes
// and comments are followed as SQLite reads them, so neither note is made in vain.
class TestScriptLint : public QObject
{
    Q_OBJECT

private slots:
    void scan_data();
    void scan();
};

void TestScriptLint::scan_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QList<int>>("commentLines");
    QTest::addColumn<QList<int>>("journalLines");

    QTest::newRow("# line in a literal") << QByteArray("INSERT INTO t VALUES ('a\n# b\nc');\n") << QList<int>{2} << QList<int>{};
    QTest::newRow("# line in a double-quoted string")
        << QByteArray("INSERT INTO t VALUES (\"a\n#b\n\");\n") << QList<int>{2} << QList<int>{};
    QTest::newRow("after an escaped quote")
        << QByteArray("INSERT INTO t VALUES ('it''s\n#kept?\n');\n") << QList<int>{2} << QList<int>{};
    QTest::newRow("comment lines between statements")
        << QByteArray("# first\nINSERT INTO t VALUES ('a');\n# second\n") << QList<int>{} << QList<int>{};
    QTest::newRow("quote in a dropped line does not open a literal")
        << QByteArray("# it's\nINSERT INTO t VALUES ('a\n# inside\n');\n") << QList<int>{3} << QList<int>{};
    QTest::newRow("quote in an SQL comment")
        << QByteArray("-- don't\nINSERT INTO t VALUES (1);\n/* isn't */\n# comment\n") << QList<int>{} << QList<int>{};
    QTest::newRow("byte order mark") << QByteArray("\xEF\xBB\xBF# x\nSELECT 'a\n# y\n';\n") << QList<int>{3} << QList<int>{};
    QTest::newRow("journal mode") << QByteArray("UPDATE t SET a = 1;\n\n  pragma Journal_Mode = WAL;\n")
                                  << QList<int>{} << QList<int>{3};
    QTest::newRow("journal mode of a schema, over lines")
        << QByteArray("PRAGMA\n  main.journal_mode\n= DELETE;\n") << QList<int>{} << QList<int>{1};
    QTest::newRow("journal mode after a comment")
        << QByteArray("/* wal */ PRAGMA journal_mode=WAL;\n") << QList<int>{} << QList<int>{1};
    QTest::newRow("journal mode in a literal")
        << QByteArray("INSERT INTO t VALUES ('PRAGMA journal_mode=WAL');\n") << QList<int>{} << QList<int>{};
    QTest::newRow("other pragma") << QByteArray("PRAGMA journal_size_limit = 0;\n") << QList<int>{} << QList<int>{};
}

void TestScriptLint::scan()
{
    QFETCH(QByteArray, script);
    QFETCH(QList<int>, commentLines);
    QFETCH(QList<int>, journalLines);
    QBuffer buffer(&script);
    QVERIFY(buffer.open(QIODevice::ReadOnly));
    QList<int> comments;
    QList<int> journals;
    for (const ScriptLint::Remark &remark : ScriptLint::scan(buffer))
        (remark.kind == ScriptLint::Kind::CommentLineInLiteral ? comments : journals).append(remark.line);
    QCOMPARE(comments, commentLines);
    QCOMPARE(journals, journalLines);
}

QTEST_GUILESS_MAIN(TestScriptLint)
#include "tst_scriptlint.moc"
