#include "context/zrpubmethod.h"
#include "common/scopedcurrentdir.h"
#include "context/stringtable.h"
#include "strings/stringtablecompiler.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

namespace {

const char kTool[] = CORVANE_BINARY_DIR "/tools/corvane-strings" CORVANE_EXE_SUFFIX;
const char kRepositorySource[] = CORVANE_SOURCE_DIR "/strings/strings.tsv";

qint32 int32At(const QByteArray &file, int position)
{
    return qFromLittleEndian<qint32>(file.constData() + position);
}

bool writeFile(const QString &path, const QByteArray &contents)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

struct ToolRun
{
    int exitCode = -1;
    QByteArray standardError;
};

ToolRun runTool(const QStringList &arguments)
{
    QProcess tool;
    tool.start(QString::fromUtf8(kTool), arguments);
    ToolRun run;
    if (!tool.waitForFinished(60000))
        return run;
    run.exitCode = tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -1;
    run.standardError = tool.readAllStandardError();
    // Text-mode standard error ends lines with "\r\n" on Windows.
    run.standardError.replace("\r\n", "\n");
    return run;
}

} // namespace

class TestStringTableCompiler : public QObject
{
    Q_OBJECT

private slots:
    void cleanupTestCase();

    void parsesSource();
    void sourceErrors_data();
    void sourceErrors();
    void binaryLayout();
    void repositoryTextsComplete();
    void toolRoundTrip_data();
    void toolRoundTrip();
    void toolFailureKeepsOutput();
    void toolUsage();

private:
    // Loads "string.bin" of dir in one language; returns the number of strings loaded.
    static int loadTable(const QString &dir, int lanType);
};

void TestStringTableCompiler::cleanupTestCase()
{
    ZRPubMethod::getInstance()->setLanType(1);
}

int TestStringTableCompiler::loadTable(const QString &dir, int lanType)
{
    ScopedCurrentDir current(dir);
    ZRPubMethod::getInstance()->setLanType(lanType);
    ZRPubMethod::getInstance()->loadStringTable();
    return ZRPubMethod::getInstance()->stringCount();
}

void TestStringTableCompiler::parsesSource()
{
    const QByteArray source = "\xef\xbb\xbf# comment\r\n"
                              "\r\n"
                              "id\tzh-Hans\ten\tes\r\n"
                              "10\t确定\tOK\tAceptar\r\n"
                              "# a comment between rows\n"
                              "  12  \t\tTwo\\nlines\n"
                              "5\ta\\tb\tback\\\\slash\n"
                              "7\n";
    StringTableCompiler compiler;
    QVERIFY2(compiler.parse(source), qPrintable(compiler.errorString()));
    QCOMPARE(compiler.languageCount(), 3);
    QCOMPARE(compiler.stringCount(), 13);
    QCOMPARE(compiler.text(0, 10), QStringLiteral("确定"));
    QCOMPARE(compiler.text(1, 10), QStringLiteral("OK"));
    QCOMPARE(compiler.text(2, 10), QStringLiteral("Aceptar"));
    QCOMPARE(compiler.text(0, 12), QString());
    QCOMPARE(compiler.text(1, 12), QStringLiteral("Two\nlines"));
    QCOMPARE(compiler.text(2, 12), QString());
    QCOMPARE(compiler.text(0, 5), QStringLiteral("a\tb"));
    QCOMPARE(compiler.text(1, 5), QStringLiteral("back\\slash"));
    QCOMPARE(compiler.text(1, 7), QString());
    QCOMPARE(compiler.text(3, 10), QString());
}

void TestStringTableCompiler::sourceErrors_data()
{
    QTest::addColumn<QByteArray>("source");
    QTest::addColumn<QString>("error");

    QTest::newRow("empty") << QByteArray() << "test.tsv: no header row (\"id\" and one column per language)";
    QTest::newRow("only comments") << QByteArray("# a\n\n# b\n")
                                   << "test.tsv: no header row (\"id\" and one column per language)";
    QTest::newRow("header without id") << QByteArray("# texts\nkey\ten\n")
                                       << "test.tsv:2: the header must begin with the column \"id\"";
    QTest::newRow("header without languages") << QByteArray("id\n")
                                              << "test.tsv:1: the header names 0 languages; 1 to 3 are possible";
    QTest::newRow("four languages") << QByteArray("id\ta\tb\tc\td\n")
                                    << "test.tsv:1: the header names 4 languages; 1 to 3 are possible";
    QTest::newRow("identifier not a number") << QByteArray("id\ten\nten\tTen\n")
                                             << "test.tsv:2: \"ten\" is not an identifier from 0 to 1519";
    QTest::newRow("identifier missing") << QByteArray("id\ten\n\tText\n")
                                        << "test.tsv:2: \"\" is not an identifier from 0 to 1519";
    QTest::newRow("identifier 1520") << QByteArray("id\ten\n1520\tText\n")
                                     << "test.tsv:2: \"1520\" is not an identifier from 0 to 1519";
    QTest::newRow("negative identifier") << QByteArray("id\ten\n-1\tText\n")
                                         << "test.tsv:2: \"-1\" is not an identifier from 0 to 1519";
    QTest::newRow("identifier twice") << QByteArray("id\ten\n10\tOK\n11\tX\n10\tOkay\n")
                                      << "test.tsv:4: identifier 10 appears twice";
    QTest::newRow("too many texts") << QByteArray("id\tzh\ten\n10\ta\tb\tc\n")
                                    << "test.tsv:2: identifier 10 has 3 texts, but the header names 2 languages";
    QTest::newRow("unknown escape") << QByteArray("id\ten\n10\tC:\\temp\\new\\x\n")
                                    << "test.tsv:2: unknown escape \"\\x\" (use \\n, \\t or \\\\)";
    QTest::newRow("backslash at the end") << QByteArray("id\ten\n10\tend\\\n")
                                          << "test.tsv:2: a text ends in a single backslash (use \\\\ for a backslash)";
    QTest::newRow("zero character") << QByteArray("id\ten\n10\ta\0b\n", 14)
                                    << "test.tsv:2: a text contains a zero character, which ends a text in the table";
    QTest::newRow("Latin-1 text") << QByteArray("id\tes\n10\tCanci\xf3n\n") << "test.tsv: not valid UTF-8";
    QTest::newRow("cut UTF-8 sequence") << QByteArray("id\tzh\n10\t\xe7\xa1") << "test.tsv: not valid UTF-8";
}

void TestStringTableCompiler::sourceErrors()
{
    QFETCH(QByteArray, source);
    QFETCH(QString, error);

    StringTableCompiler compiler;
    QVERIFY(!compiler.parse(source, QStringLiteral("test.tsv")));
    QCOMPARE(compiler.errorString(), error);
}

// Offsets checked directly in the bytes: identifiers without a text share one empty
// string, identical texts are stored once per language, unused language slots are 0.
void TestStringTableCompiler::binaryLayout()
{
    StringTableCompiler compiler;
    QVERIFY(compiler.parse("id\tzh\ten\n"
                           "1\t确定\tOK\n"
                           "2\t\tOK\n"
                           "4\t确定\n"));
    const QByteArray file = compiler.toBinary();

    QCOMPARE(int32At(file, 0), 2);         // languages
    QCOMPARE(int32At(file, 4), 5);         // strings: identifiers 0 to 4
    QCOMPARE(int32At(file, 8), 20);        // type 0 right after the header
    QCOMPARE(int32At(file, 16), 0);        // no type 2

    // Type 0: "\0" then "确定\0" (7 bytes).
    const int zh = 20;
    const QList<qint32> zhIndex{int32At(file, zh), int32At(file, zh + 4), int32At(file, zh + 8),
                                int32At(file, zh + 12), int32At(file, zh + 16)};
    QCOMPARE(zhIndex, (QList<qint32>{0, 1, 0, 0, 1}));
    QCOMPARE(int32At(file, zh + 20), 8);
    QCOMPARE(file.mid(zh + 24, 8), QByteArray("\0确定\0", 8));

    const int en = zh + 24 + 8;
    QCOMPARE(int32At(file, 12), en);
    const QList<qint32> enIndex{int32At(file, en), int32At(file, en + 4), int32At(file, en + 8),
                                int32At(file, en + 12), int32At(file, en + 16)};
    QCOMPARE(enIndex, (QList<qint32>{0, 1, 1, 0, 0}));
    QCOMPARE(int32At(file, en + 20), 4);
    QCOMPARE(file.mid(en + 24), QByteArray("\0OK\0", 4));
}

// Every text the program shows exists in all three languages.
void TestStringTableCompiler::repositoryTextsComplete()
{
    StringTableCompiler compiler;
    QVERIFY2(compiler.readSource(QString::fromUtf8(kRepositorySource)), qPrintable(compiler.errorString()));
    QCOMPARE(compiler.languageCount(), 3);
    const QList<int> used{10, 132, 364, 896, 1073, 1074, 1510, 1511, 1512, 1513, 1514, 1515, 1516, 1517};
    for (int lanType = 0; lanType < 3; ++lanType) {
        for (int id : used) {
            const QString text = compiler.text(lanType, id);
            QVERIFY2(!text.trimmed().isEmpty(), qPrintable(QStringLiteral("no text %1 in language %2").arg(id).arg(lanType)));
            QCOMPARE(text, text.trimmed());
        }
    }
}

void TestStringTableCompiler::toolRoundTrip_data()
{
    QTest::addColumn<int>("lanType");
    QTest::newRow("Chinese") << 0;
    QTest::newRow("English") << 1;
    QTest::newRow("Spanish") << 2;
}

// The repository's source through the real tool and the real loader.
void TestStringTableCompiler::toolRoundTrip()
{
    QFETCH(int, lanType);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const ToolRun run = runTool({QString::fromUtf8(kRepositorySource), dir.filePath(QStringLiteral("string.bin"))});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.standardError, QByteArray());

    StringTableCompiler source;
    QVERIFY(source.readSource(QString::fromUtf8(kRepositorySource)));
    QCOMPARE(loadTable(dir.path(), lanType), source.stringCount());
    for (int id = 0; id <= STRING_ID_MAX; ++id)
        QCOMPARE(getString(id), source.text(lanType, id));
    // Spot checks that do not rely on the compiler's own reading of the source.
    const QStringList update{QStringLiteral("更新"), QStringLiteral("Update"), QStringLiteral("Actualizar")};
    QCOMPARE(getString(896), update.at(lanType));
}

void TestStringTableCompiler::toolFailureKeepsOutput()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString source = dir.filePath(QStringLiteral("broken.tsv"));
    const QString output = dir.filePath(QStringLiteral("string.bin"));
    QVERIFY(writeFile(source, "id\ten\n10\tOK\n10\tAgain\n"));
    QVERIFY(writeFile(output, "previous table"));

    const ToolRun run = runTool({source, output});
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.standardError, QByteArray("corvane-strings: broken.tsv:3: identifier 10 appears twice\n"));
    QCOMPARE(readFile(output), QByteArray("previous table"));

    const ToolRun missing = runTool({dir.filePath(QStringLiteral("missing.tsv")), output});
    QCOMPARE(missing.exitCode, 1);
    QVERIFY2(missing.standardError.startsWith("corvane-strings: " + dir.filePath(QStringLiteral("missing.tsv")).toUtf8()),
             missing.standardError.constData());
    QCOMPARE(readFile(output), QByteArray("previous table"));
}

void TestStringTableCompiler::toolUsage()
{
    const ToolRun run = runTool({QStringLiteral("only-one-argument.tsv")});
    QCOMPARE(run.exitCode, 2);
    QCOMPARE(run.standardError, QByteArray("usage: corvane-strings <source.tsv> <string.bin>\n"));
}

QTEST_GUILESS_MAIN(TestStringTableCompiler)
#include "tst_stringtablecompiler.moc"
