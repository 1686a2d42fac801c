#include "common/logcapture.h"
#include "common/scopedcurrentdir.h"
#include "common/testhome.h"
#include "db/dbcontrol.h"
#include "db/zrsqlparser.h"
#include "updater/cvupdater.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QSettings>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>
#include <memory>

namespace {

const char kCheckConnection[] = "check";
const char kParseSignature[] = "bool ZRSqlParser::doParseSql(const QString&, QStringList&)";
// The largest piece a single bounded read of 10200 bytes (terminator included) returns.
constexpr int kReadPiece = 10199;

QString debug(const QString &text)
{
    return QStringLiteral("Debug ") + text;
}

// A device whose reads fail a number of times (for ever when negative) before it
// hands out its data, the way a disk with a bad sector answers.
class FailingDevice : public QIODevice
{
public:
    FailingDevice(const QByteArray &data, int failures)
        : m_data(data), m_failures(failures)
    {
    }

    bool isSequential() const override { return true; }
    bool atEnd() const override { return m_pos >= m_data.size() && QIODevice::bytesAvailable() == 0; }
    qint64 bytesAvailable() const override { return m_data.size() - m_pos + QIODevice::bytesAvailable(); }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        if (m_failures != 0) {
            if (m_failures > 0)
                --m_failures;
            return -1;
        }
        const qint64 size = qMin(maxSize, qint64(m_data.size() - m_pos));
        std::memcpy(data, m_data.constData() + m_pos, size_t(size));
        m_pos += int(size);
        return size;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QByteArray m_data;
    int m_pos = 0;
    int m_failures;
};

// Answers the column test from a fixed list instead of the database.
class ListedColumnsParser : public ZRSqlParser
{
public:
    QStringList asked;

protected:
    int columnExists(const QString &table, const QString &column) override
    {
        asked << table + QLatin1Char('.') + column;
        if (table == QLatin1String("broken"))
            return -1;
        return column == QLatin1String("present") ? 1 : 0;
    }
};

} // namespace

class TestZRSqlParser : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void isIgnoredLine_data();
    void isIgnoredLine();
    void scriptText_data();
    void scriptText();
    void longLines_data();
    void longLines();
    void directives_data();
    void directives();
    void malformedDirective_data();
    void malformedDirective();
    void directiveQueryFails();
    void directiveBeforeAlterRunsOnce();
    void columnTestCanBeAnsweredElsewhere();
    void repeatedDirectiveAskedOnce();
    void appendsWithoutClearing();
    void statementLogLines();
    void statementLogLinesOffWhenDebugDisabled();
    void fileOpenFailed_data();
    void fileOpenFailed();
    void emptyReadsTolerated();
    void emptyReadsGiveUp();
    void scriptRunAsRead();
    void scriptRunRolledBack_data();
    void scriptRunRolledBack();
    // Last: its final row turns on writable_schema's rule for the rest of the process.
    void answersKeptAcrossDataStatements_data();
    void answersKeptAcrossDataStatements();

private:
    QString writeScript(const QByteArray &content);
    QVariant scalar(const QString &sql) const;

    std::unique_ptr<TestHome> m_home;
    std::unique_ptr<ScopedCurrentDir> m_cwd;
    QTemporaryDir m_install;
    std::unique_ptr<QTemporaryDir> m_scripts;
    DBControl *m_control = nullptr;
};

void TestZRSqlParser::initTestCase()
{
    m_home.reset(new TestHome);
    m_cwd.reset(new ScopedCurrentDir(m_home->path()));
    QVERIFY(m_install.isValid());
    m_home->writeUninstallKey(m_install.path());
    CVUpdater::setProgramDir(m_home->path());
    DBControl::setInstallPath(m_install.path());
    m_control = DBControl::getInstance();
}

void TestZRSqlParser::init()
{
    const QString dbPath = m_install.path() + QStringLiteral("/kqdata.db");
    m_control->closeDB();
    QFile::remove(dbPath);
    m_control->openDB();
    QVERIFY(m_control->isOpened());
    QVERIFY(m_control->execModifySql(QStringList{
        QStringLiteral("CREATE TABLE item(id INTEGER PRIMARY KEY, name TEXT NOT NULL, NameLong TEXT)")}));

    QSqlDatabase check = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), kCheckConnection);
    check.setDatabaseName(dbPath);
    QVERIFY(check.open());

    m_scripts.reset(new QTemporaryDir);
    QVERIFY(m_scripts->isValid());
}

void TestZRSqlParser::cleanup()
{
    QLoggingCategory::setFilterRules(QString());
    QSqlDatabase::database(kCheckConnection, false).close();
    QSqlDatabase::removeDatabase(kCheckConnection);
    m_scripts.reset();
}

void TestZRSqlParser::cleanupTestCase()
{
    m_control->closeDB();
}

QString TestZRSqlParser::writeScript(const QByteArray &content)
{
    const QString path = m_scripts->filePath(QStringLiteral("dbupdate.sql"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size())
        return QString();
    return path;
}

QVariant TestZRSqlParser::scalar(const QString &sql) const
{
    QSqlQuery query(QSqlDatabase::database(kCheckConnection, false));
    if (!query.exec(sql) || !query.next())
        return QVariant();
    return query.value(0);
}

void TestZRSqlParser::isIgnoredLine_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("ignored");

    QTest::newRow("empty") << QByteArray() << true;
    QTest::newRow("line end only") << QByteArray("\n") << true;
    QTest::newRow("blanks, tab, CR LF") << QByteArray("  \t\r\n") << true;
    QTest::newRow("vertical tab and form feed") << QByteArray("\v\f\n") << true;
    QTest::newRow("comment") << QByteArray("# note\n") << true;
    QTest::newRow("bare hash") << QByteArray("#") << true;
    QTest::newRow("indented hash") << QByteArray("  # note\n") << false;
    QTest::newRow("SQL line comment") << QByteArray("-- note\n") << false;
    QTest::newRow("statement") << QByteArray("SELECT 1;\n") << false;
    QTest::newRow("lone semicolon") << QByteArray(";\n") << false;
}

void TestZRSqlParser::isIgnoredLine()
{
    QFETCH(QByteArray, line);
    QFETCH(bool, ignored);
    QCOMPARE(ZRSqlParser().isIgnoredLine(line), ignored);
}

void TestZRSqlParser::scriptText_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QStringList>("statements");

    QTest::newRow("empty file") << QByteArray() << QStringList();
    QTest::newRow("only comments and blanks")
        << QByteArray("# header\n\n   \n\t\r\n#CREATE TABLE x(a);\n#") << QStringList();
    QTest::newRow("last statement without semicolon")
        << QByteArray("CREATE TABLE a(x);\nINSERT INTO a VALUES(1)")
        << QStringList{"CREATE TABLE a(x)", "INSERT INTO a VALUES(1)"};
    QTest::newRow("indented hash line is SQL text")
        << QByteArray("  # note\nCREATE TABLE a(x);\n")
        << QStringList{"# note\nCREATE TABLE a(x)"};
    QTest::newRow("comment lines between statement lines")
        << QByteArray("INSERT INTO a\n# values follow\nVALUES(1);\n")
        << QStringList{"INSERT INTO a\nVALUES(1)"};
    QTest::newRow("multi-line statement keeps its line ends")
        << QByteArray("CREATE TABLE a(\n  x INT,\r\n  y INT\n);\n")
        << QStringList{"CREATE TABLE a(\n  x INT,\r\n  y INT\n)"};
    QTest::newRow("CR LF line ends trimmed at the edges")
        << QByteArray("A;\r\nB;\r\n") << QStringList{"A", "B"};
    QTest::newRow("empty and blank pieces dropped")
        << QByteArray(";;  ;\n\t;A;;B") << QStringList{"A", "B"};
    QTest::newRow("the cut is textual")
        << QByteArray("INSERT INTO a VALUES('x;y');\n")
        << QStringList{"INSERT INTO a VALUES('x", "y')"};
    QTest::newRow("SQL line comment stays")
        << QByteArray("-- note\nSELECT 1;\n") << QStringList{"-- note\nSELECT 1"};
    QTest::newRow("lower-case directive is a statement")
        << QByteArray("ifn_col|item|name;\nALTER TABLE item ADD COLUMN name TEXT;\n")
        << QStringList{"ifn_col|item|name", "ALTER TABLE item ADD COLUMN name TEXT"};
    QTest::newRow("UTF-8 text")
        << QByteArray("INSERT INTO a VALUES('Ketterin \xe5\x87\xaf\xe7\x89\xb9');\n")
        << QStringList{QString::fromUtf8("INSERT INTO a VALUES('Ketterin \xe5\x87\xaf\xe7\x89\xb9')")};
    QTest::newRow("byte order mark before a comment")
        << QByteArray("\xEF\xBB\xBF# header\nCREATE TABLE a(x);\n") << QStringList{"CREATE TABLE a(x)"};
    QTest::newRow("byte order mark before a statement")
        << QByteArray("\xEF\xBB\xBF" "CREATE TABLE a(x);\n") << QStringList{"CREATE TABLE a(x)"};
    QTest::newRow("a line is decoded up to a NUL byte")
        << QByteArray("AB\0CD\nEF;\n", 10) << QStringList{"ABEF"};
}

void TestZRSqlParser::scriptText()
{
    QFETCH(QByteArray, script);
    QFETCH(QStringList, statements);

    const QString path = writeScript(script);
    QVERIFY(!path.isEmpty());
    QStringList out;
    QVERIFY(ZRSqlParser().parseSqlFile(path, out));
    QCOMPARE(out, statements);

    // Read as a stream, without the per-statement lines: the same statements.
    LogCapture capture;
    ZRSqlParser quiet;
    quiet.setStatementLog(false);
    QStringList streamed;
    QVERIFY(quiet.parseSqlFile(path, [&streamed](const QString &statement) {
        streamed << statement;
        return true;
    }));
    QCOMPARE(streamed, statements);
    QVERIFY(capture.lines().isEmpty());
}

void TestZRSqlParser::longLines_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("storedLength");

    // 50 000-byte lines whose text, cut after every kReadPiece bytes, would leave
    // pieces that start with "#" or hold nothing but blanks.
    const QByteArray head("INSERT INTO item(name) VALUES('");
    const QByteArray tail("');\n");
    const int payload = 50000 - head.size() - tail.size();

    QTest::newRow("hash everywhere") << head + QByteArray(payload, '#') + tail << payload;
    QTest::newRow("blanks everywhere") << head + QByteArray(payload, ' ') + tail << payload;

    QByteArray cuts = head + QByteArray(payload, ' ') + tail;
    for (int at = kReadPiece; at < cuts.size() - tail.size(); at += kReadPiece)
        cuts[at] = '#';
    QTest::newRow("hash at each cut, blanks between") << cuts << payload;

    QByteArray shifted = cuts;
    for (int at = kReadPiece; at < shifted.size() - tail.size(); at += kReadPiece) {
        shifted[at] = ' ';
        shifted[at - 1] = '#';
        shifted[at + 1] = '#';
    }
    QTest::newRow("hash next to each cut") << shifted << payload;

    // A comment line is one line, however long: none of its text may become SQL.
    QByteArray comment("#");
    while (comment.size() < 50000)
        comment += " DROP TABLE item; ";
    comment += '\n';
    QTest::newRow("long comment") << comment << -1;
}

void TestZRSqlParser::longLines()
{
    QFETCH(QByteArray, line);
    QFETCH(int, storedLength);

    // The statement log would repeat every 50 000-byte line in the test output.
    QLoggingCategory::setFilterRules(QStringLiteral("ZR_LOG.A.debug=false"));
    const QByteArray marker("INSERT INTO item(name) VALUES('after');\n");
    const QString path = writeScript(line + marker);
    QVERIFY(!path.isEmpty());

    QStringList out;
    QVERIFY(ZRSqlParser().parseSqlFile(path, out));
    QCOMPARE(out.size(), storedLength < 0 ? 1 : 2);
    QCOMPARE(out.last(), QStringLiteral("INSERT INTO item(name) VALUES('after')"));
    if (storedLength >= 0)
        QCOMPARE(out.first(), QString::fromUtf8(line.trimmed().chopped(1)));

    QVERIFY(m_control->execModifySql(out));
    QCOMPARE(scalar(QStringLiteral("SELECT COUNT(*) FROM item")).toInt(), out.size());
    if (storedLength >= 0)
        QCOMPARE(scalar(QStringLiteral("SELECT length(name) FROM item WHERE id = 1")).toInt(), storedLength);
}

void TestZRSqlParser::directives_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QStringList>("statements");

    const QString alterPrice = QStringLiteral("ALTER TABLE item ADD COLUMN price INT");
    const QString alterName = QStringLiteral("ALTER TABLE item ADD COLUMN name TEXT");

    QTest::newRow("column absent: next statement kept")
        << QByteArray("IFN_COL|item|price;\nALTER TABLE item ADD COLUMN price INT;\n")
        << QStringList{alterPrice};
    QTest::newRow("column present: next statement skipped")
        << QByteArray("IFN_COL|item|name;\nALTER TABLE item ADD COLUMN name TEXT;\nSELECT 1;\n")
        << QStringList{"SELECT 1"};
    QTest::newRow("present inside another column's name")
        << QByteArray("IFN_COL|item|Long;\nSELECT 1;\nSELECT 2;\n") << QStringList{"SELECT 2"};
    QTest::newRow("two in a row: second keeps")
        << QByteArray("IFN_COL|item|name;\nIFN_COL|item|price;\nALTER TABLE item ADD COLUMN price INT;\n")
        << QStringList{alterPrice};
    QTest::newRow("two in a row: second skips")
        << QByteArray("IFN_COL|item|price;\nIFN_COL|item|name;\nALTER TABLE item ADD COLUMN name TEXT;\nSELECT 1;\n")
        << QStringList{"SELECT 1"};
    QTest::newRow("blank pieces keep the decision")
        << QByteArray("IFN_COL|item|name;\n ;\n\t;\nALTER TABLE item ADD COLUMN name TEXT;\nSELECT 1;\n")
        << QStringList{"SELECT 1"};
    QTest::newRow("comment lines keep the decision")
        << QByteArray("IFN_COL|item|name;\n# why\nALTER TABLE item ADD COLUMN name TEXT;\nSELECT 1;\n")
        << QStringList{"SELECT 1"};
    QTest::newRow("directive at the end")
        << QByteArray("SELECT 1;\nIFN_COL|item|name;\n") << QStringList{"SELECT 1"};
    QTest::newRow("directive at the end without semicolon")
        << QByteArray("SELECT 1;\nIFN_COL|item|price") << QStringList{"SELECT 1"};
    QTest::newRow("missing table counts as absent")
        << QByteArray("IFN_COL|nosuch|x;\nCREATE TABLE nosuch(x);\n") << QStringList{"CREATE TABLE nosuch(x)"};
    QTest::newRow("sees the database before the script")
        << QByteArray("CREATE TABLE extra(a);\nIFN_COL|extra|a;\nALTER TABLE extra ADD COLUMN b;\n")
        << QStringList{"CREATE TABLE extra(a)", "ALTER TABLE extra ADD COLUMN b"};
    QTest::newRow("fields taken as they stand")
        << QByteArray("IFN_COL| item|name;\nSELECT 1;\n") << QStringList{"SELECT 1"};
    QTest::newRow("directive word is a prefix")
        << QByteArray("IFN_COLUMN|item|name;\nSELECT 1;\nSELECT 2;\n") << QStringList{"SELECT 2"};
    QTest::newRow("directive on several lines")
        << QByteArray("IFN_COL|item|name\n;\nSELECT 1;\nSELECT 2;\n") << QStringList{"SELECT 2"};
}

void TestZRSqlParser::directives()
{
    QFETCH(QByteArray, script);
    QFETCH(QStringList, statements);

    const QString path = writeScript(script);
    QVERIFY(!path.isEmpty());
    LogCapture capture;
    QStringList out;
    QVERIFY(ZRSqlParser().parseSqlFile(path, out));
    QCOMPARE(out, statements);
    QVERIFY2(capture.otherMessages().isEmpty(), qPrintable(capture.otherMessages().join('\n')));
}

void TestZRSqlParser::malformedDirective_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QString>("directive");

    QTest::newRow("two fields") << QByteArray("SELECT 1;\nIFN_COL|item;\nSELECT 2;\n") << "IFN_COL|item";
    QTest::newRow("four fields") << QByteArray("SELECT 1;\nIFN_COL|item|name|x;\nSELECT 2;\n") << "IFN_COL|item|name|x";
    QTest::newRow("one field") << QByteArray("SELECT 1;\nIFN_COL;\nSELECT 2;\n") << "IFN_COL";
}

void TestZRSqlParser::malformedDirective()
{
    QFETCH(QByteArray, script);
    QFETCH(QString, directive);

    const QString path = writeScript(script);
    QVERIFY(!path.isEmpty());
    LogCapture capture;
    QStringList out;
    ZRSqlParser parser;
    QVERIFY(!parser.parseSqlFile(path, out));
    // What came before the directive stays; nothing after it is parsed.
    QCOMPARE(out, QStringList{"SELECT 1"});
    const QString message = QStringLiteral("ifncol parse failed: \"%1\"").arg(directive);
    QCOMPARE(capture.otherMessages(), QStringList{debug(message)});
    // The same words as a value, for a caller that reports them.
    QCOMPARE(parser.errorString(), message);
    // A parse that succeeds clears them.
    QVERIFY(parser.parseSqlFile(writeScript("SELECT 3;\n"), out));
    QVERIFY(parser.errorString().isEmpty());
}

void TestZRSqlParser::directiveQueryFails()
{
    m_control->closeDB();
    LogCapture capture;
    QStringList out;
    const bool ok = ZRSqlParser().doParseSql(QStringLiteral("SELECT 1;IFN_COL|item|name;SELECT 2;"), out);
    m_control->openDB();

    QVERIFY(!ok);
    QCOMPARE(out, QStringList{"SELECT 1"});
    QVERIFY(!capture.otherMessages().isEmpty());
    QCOMPARE(capture.otherMessages().last(), debug("isColumnExists exec failed"));
    QCOMPARE(ZRSqlParser().parseIfnCol(QStringLiteral("IFN_COL|item|name")), 0);
    QCOMPARE(ZRSqlParser().parseIfnCol(QStringLiteral("IFN_COL|item|price")), 1);
}

void TestZRSqlParser::directiveBeforeAlterRunsOnce()
{
    // The usual use: a script that can be run again on a database that already has
    // the column.
    const QString path = writeScript(QByteArray("# price arrives in 3.3\n"
                                                "IFN_COL|item|price;\n"
                                                "ALTER TABLE item ADD COLUMN price INTEGER;\n"
                                                "UPDATE item SET price = 5;\n"));
    QVERIFY(!path.isEmpty());

    QStringList first;
    QVERIFY(ZRSqlParser().parseSqlFile(path, first));
    QCOMPARE(first, (QStringList{"ALTER TABLE item ADD COLUMN price INTEGER", "UPDATE item SET price = 5"}));
    QVERIFY(m_control->execModifySql(first));
    QCOMPARE(m_control->isColumnExists(QStringLiteral("item"), QStringLiteral("price")), 1);

    QStringList second;
    QVERIFY(ZRSqlParser().parseSqlFile(path, second));
    QCOMPARE(second, QStringList{"UPDATE item SET price = 5"});
    QVERIFY(m_control->execModifySql(second));
}

void TestZRSqlParser::columnTestCanBeAnsweredElsewhere()
{
    // The live database is closed: every answer has to come from the override.
    m_control->closeDB();
    ListedColumnsParser parser;
    LogCapture capture;
    QStringList out;
    const bool ok = parser.doParseSql(QStringLiteral("IFN_COL|t|present;A;IFN_COL|t|absent;B;IFN_COL|broken|x;C"), out);
    m_control->openDB();

    QVERIFY(!ok);
    QCOMPARE(out, QStringList{"B"});
    QCOMPARE(parser.asked, (QStringList{"t.present", "t.absent", "broken.x"}));
    QCOMPARE(capture.otherMessages(), QStringList{debug("isColumnExists exec failed")});
}

void TestZRSqlParser::repeatedDirectiveAskedOnce()
{
    // A cumulative script repeats its guards; the database cannot change while the
    // script is parsed, so each distinct directive costs one query.
    ListedColumnsParser parser;
    QStringList out;
    QVERIFY(parser.doParseSql(QStringLiteral("IFN_COL|t|present;A;IFN_COL|t|absent;B;"
                                             "IFN_COL|t|present;C;IFN_COL|t|absent;D;"
                                             "IFN_COL|t| present;E;IFN_COL|t|absent;F"),
                              out));
    QCOMPARE(out, (QStringList{"B", "D", "E", "F"}));
    // " present" names another column: fields are taken as they stand.
    QCOMPARE(parser.asked, (QStringList{"t.present", "t.absent", "t. present"}));
}

void TestZRSqlParser::appendsWithoutClearing()
{
    QStringList out{QStringLiteral("earlier")};
    QVERIFY(ZRSqlParser().doParseSql(QStringLiteral("SELECT 1;"), out));
    QCOMPARE(out, (QStringList{"earlier", "SELECT 1"}));
}

void TestZRSqlParser::statementLogLines()
{
    LogCapture capture;
    QStringList out;
    QVERIFY(ZRSqlParser().doParseSql(QStringLiteral("SELECT 1;\n  ;\nIFN_COL|item|name ;\nSELECT\n2"), out));
    QCOMPARE(out, QStringList{"SELECT 1"});

    const QString sig = QString::fromLatin1(kParseSignature);
    QCOMPARE(capture.lines(), (QStringList{
        debug(sig + QStringLiteral(" sql: \"SELECT 1\"")),
        debug(sig + QStringLiteral(" sql: \"\"")),
        debug(sig + QStringLiteral(" sql: \"IFN_COL|item|name\"")),
        debug(sig + QStringLiteral(" sql: \"SELECT\\n2\"")),
    }));
}

void TestZRSqlParser::statementLogLinesOffWhenDebugDisabled()
{
    QLoggingCategory::setFilterRules(QStringLiteral("ZR_LOG.A.debug=false"));
    LogCapture capture;
    QStringList out;
    QVERIFY(ZRSqlParser().doParseSql(QStringLiteral("IFN_COL|item|price;SELECT 1;SELECT 2"), out));
    QCOMPARE(out, (QStringList{"SELECT 1", "SELECT 2"}));
    QVERIFY(capture.lines().isEmpty());
}

void TestZRSqlParser::fileOpenFailed_data()
{
    QTest::addColumn<bool>("directory");
    QTest::newRow("missing file") << false;
    QTest::newRow("directory") << true;
}

void TestZRSqlParser::fileOpenFailed()
{
    QFETCH(bool, directory);

    const QString path = m_scripts->filePath(QStringLiteral("dbupdate.sql"));
    if (directory)
        QVERIFY(QDir().mkdir(path));
    LogCapture capture;
    QStringList out{QStringLiteral("earlier")};
    ZRSqlParser parser;
    QVERIFY(!parser.parseSqlFile(path, out));
    QCOMPARE(out, QStringList{"earlier"});
    const QString message = QStringLiteral("file open failed: \"%1\"").arg(path);
    QCOMPARE(capture.otherMessages(), QStringList{debug(message)});
    QCOMPARE(parser.errorString(), message);
}

void TestZRSqlParser::emptyReadsTolerated()
{
    FailingDevice device("SELECT 1;\nSELECT 2;\n", ZRSqlParser::kMaxEmptyReads - 1);
    QVERIFY(device.open(QIODevice::ReadOnly));
    LogCapture capture;
    QStringList out;
    QVERIFY(ZRSqlParser().parseSqlDevice(device, out));
    QCOMPARE(out, (QStringList{"SELECT 1", "SELECT 2"}));
    QCOMPARE(capture.otherMessages().count(debug("read null line")), ZRSqlParser::kMaxEmptyReads - 1);
}

void TestZRSqlParser::emptyReadsGiveUp()
{
    FailingDevice device("SELECT 1;\n", -1);
    QVERIFY(device.open(QIODevice::ReadOnly));
    LogCapture capture;
    QStringList out;
    ZRSqlParser parser;
    QVERIFY(!parser.parseSqlDevice(device, out));
    QVERIFY(out.isEmpty());
    QCOMPARE(parser.errorString(), QStringLiteral("read null line"));
    QCOMPARE(capture.otherMessages().count(debug("read null line")), ZRSqlParser::kMaxEmptyReads);
    QCOMPARE(capture.otherMessages().size(), ZRSqlParser::kMaxEmptyReads);
}


void TestZRSqlParser::scriptRunAsRead()
{
    // A cumulative script guards the same column twice. Run as it is read, the second
    // directive sees the column the first ALTER added; resolved all at once beforehand,
    // both ALTERs would run and the second fail.
    const QString path = writeScript(QByteArray("INSERT INTO item(name) VALUES('a');\n"
                                                "IFN_COL|item|price;\n"
                                                "ALTER TABLE item ADD COLUMN price INTEGER;\n"
                                                "UPDATE item SET price = 5;\n"
                                                "IFN_COL|item|price;\n"
                                                "ALTER TABLE item ADD COLUMN price INTEGER;\n"
                                                "IFN_COL|item|price;ALTER TABLE item ADD COLUMN price INTEGER;"));
    LogCapture capture;
    ZRSqlParser parser;
    QVERIFY(m_control->execModifyScript([&](const DBControl::StatementRunner &run) { return parser.parseSqlFile(path, run); }));
    QCOMPARE(scalar(QStringLiteral("SELECT price FROM item")).toInt(), 5);
    // One line per piece, in the order of the script.
    QCOMPARE(capture.lines().size(), 8);
    QVERIFY(capture.lines().at(5).endsWith(QStringLiteral(" sql: \"ALTER TABLE item ADD COLUMN price INTEGER\"")));
}

void TestZRSqlParser::scriptRunRolledBack_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QString>("lastLine");

    QTest::newRow("parse error after the first statement")
        << QByteArray("INSERT INTO item(name) VALUES('a');\nIFN_COL|item;\nINSERT INTO item(name) VALUES('b');\n")
        << QStringLiteral("Debug ifncol parse failed: \"IFN_COL|item\"");
    QTest::newRow("statement fails")
        << QByteArray("INSERT INTO item(name) VALUES('a');\nINSERT INTO missing_table VALUES(1);\nINSERT INTO item(name) VALUES('b');\n")
        << QStringLiteral("Debug bool DBControl::execModifySql(const QStringList&) \"no such table: missing_table Unable to "
                          "execute statement\"");
}

void TestZRSqlParser::scriptRunRolledBack()
{
    QFETCH(QByteArray, script);
    QFETCH(QString, lastLine);

    const QString path = writeScript(script);
    LogCapture capture;
    ZRSqlParser parser;
    QVERIFY(!m_control->execModifyScript([&](const DBControl::StatementRunner &run) { return parser.parseSqlFile(path, run); }));
    QCOMPARE(scalar(QStringLiteral("SELECT COUNT(*) FROM item")).toInt(), 0);
    const QStringList all = capture.lines() + capture.otherMessages();
    QVERIFY2(all.contains(lastLine), qPrintable(all.join(QLatin1Char('\n'))));
    // Nothing after the failure was read.
    QVERIFY(!capture.lines().join(QLatin1Char('\n')).contains(QStringLiteral("'b'")));
    // The connection takes the next step as before.
    QVERIFY(m_control->execModifySql(QStringLiteral("INSERT INTO item(name) VALUES('c')")));
}

void TestZRSqlParser::answersKeptAcrossDataStatements_data()
{
    QTest::addColumn<QString>("between");
    QTest::addColumn<int>("asked");

    // What runs between two equal directives, and how often the column is asked.
    QTest::newRow("update") << QStringLiteral("UPDATE t SET a = 1") << 1;
    QTest::newRow("insert in lower case") << QStringLiteral("insert into t values (1)") << 1;
    QTest::newRow("delete") << QStringLiteral("DELETE FROM t WHERE a = 2") << 1;
    QTest::newRow("replace") << QStringLiteral("REPLACE INTO t VALUES (3)") << 1;
    QTest::newRow("insert of a name with sqlite_ in it") << QStringLiteral("INSERT INTO t VALUES ('sqlite_x')") << 2;
    QTest::newRow("alter") << QStringLiteral("ALTER TABLE t ADD COLUMN absent") << 2;
    QTest::newRow("create") << QStringLiteral("CREATE TABLE u (absent)") << 2;
    QTest::newRow("drop") << QStringLiteral("DROP TABLE t") << 2;
    QTest::newRow("rollback to a savepoint") << QStringLiteral("ROLLBACK TO s") << 2;
    QTest::newRow("schema table written") << QStringLiteral("UPDATE Sqlite_Master SET sql = 'x'") << 2;
    QTest::newRow("comment first") << QStringLiteral("-- note\nUPDATE t SET a = 1") << 2;
    QTest::newRow("longer first word") << QStringLiteral("UPDATES") << 2;
    QTest::newRow("with clause") << QStringLiteral("WITH x AS (SELECT 1) UPDATE t SET a = 1") << 2;
    // Once the schema table is writable, a trigger of any data statement may write it.
    QTest::newRow("writable_schema") << QStringLiteral("PRAGMA Writable_Schema = ON;IFN_COL|t|absent;UPDATE t SET a = 1")
                                     << 3;
}

void TestZRSqlParser::answersKeptAcrossDataStatements()
{
    QFETCH(QString, between);
    QFETCH(int, asked);

    QBuffer device;
    device.setData(QStringLiteral("IFN_COL|t|absent;%1;IFN_COL|t|absent;B").arg(between).toUtf8());
    QVERIFY(device.open(QIODevice::ReadOnly));
    ListedColumnsParser parser;
    QStringList ran;
    QVERIFY(parser.parseSqlDevice(device, [&ran](const QString &statement) {
        ran << statement;
        return true;
    }));
    QCOMPARE(ran.last(), QStringLiteral("B"));
    QCOMPARE(parser.asked.size(), asked);
}

QTEST_GUILESS_MAIN(TestZRSqlParser)
#include "tst_zrsqlparser.moc"
