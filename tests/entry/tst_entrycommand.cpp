#include "entry/embeddedlist.h"
#include "entry/entrycommand.h"
#include "entry/entrytexts.h"
#include "entry/installationlookup.h"
#include "strings/stringtablecompiler.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

std::vector<std::wstring> wide(const QStringList &list)
{
    std::vector<std::wstring> out;
    for (const QString &one : list)
        out.push_back(one.toStdWString());
    return out;
}

QStringList narrow(const std::vector<std::wstring> &list)
{
    QStringList out;
    for (const std::wstring &one : list)
        out << QString::fromStdWString(one);
    return out;
}

} // namespace

// The elevated entry's command line, the one it gives the updater, its texts (against the
// string table) and the installation folder it reads the trusted keys from.
class TestEntryCommand : public QObject
{
    Q_OBJECT

private slots:
    void childArguments_data();
    void childArguments();
    void quoting_data();
    void quoting();
    void textsMatchTheStringTable();
    void damagedTableKeepsEnglish();
    void installationFolder_data();
    void installationFolder();
    void buildWithoutList() { QVERIFY(EmbeddedList::text().empty()); }
};

void TestEntryCommand::childArguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("console");
    QTest::addColumn<QStringList>("child");
    QTest::addColumn<int>("language");
    QTest::newRow("window") << QStringList() << false << QStringList() << 1;
    QTest::newRow("window in Chinese") << QStringList{"0"} << false << QStringList{"0"} << 0;
    QTest::newRow("window in Spanish") << QStringList{"2"} << false << QStringList{"2"} << 2;
    // Qt's own options never reach the window: it reads a non-number as language 0.
    QTest::newRow("Qt option to the window") << QStringList{"-platformpluginpath", "C:\\evil"} << false << QStringList{"0"} << 0;
    QTest::newRow("console") << QStringList{"--cli"} << true << QStringList() << 1;
    QTest::newRow("console options kept")
        << QStringList{"--cli", "--lang", "2", "--quiet", "--check"} << true
        << QStringList{"--lang", "2", "--quiet", "--check"} << 2;
    QTest::newRow("--lang=") << QStringList{"--cli", "--lang=0", "--restore"} << true << QStringList{"--lang=0", "--restore"} << 0;
    QTest::newRow("relative report") << QStringList{"--cli", "--report", "out\\r.json"} << true
                                     << QStringList{"--report", "C:\\Users\\me\\out\\r.json"} << 1;
    QTest::newRow("relative report=") << QStringList{"--cli", "--report=r.json"} << true
                                      << QStringList{"--report=C:\\Users\\me\\r.json"} << 1;
    QTest::newRow("absolute report") << QStringList{"--cli", "--report", "D:\\reports\\r.json"} << true
                                     << QStringList{"--report", "D:\\reports\\r.json"} << 1;
    QTest::newRow("share report") << QStringList{"--cli", "--report", "\\\\server\\share\\r.json"} << true
                                  << QStringList{"--report", "\\\\server\\share\\r.json"} << 1;
    QTest::newRow("report without file") << QStringList{"--cli", "--report"} << true << QStringList{"--report"} << 1;
}

void TestEntryCommand::childArguments()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, console);
    QFETCH(QStringList, child);
    QFETCH(int, language);
    EntryCommand command;
    command.parse(wide(arguments), L"C:\\Users\\me");
    QCOMPARE(command.mode() == EntryCommand::Mode::Console, console);
    QCOMPARE(QString::fromStdWString(command.program()),
             console ? QStringLiteral("corvane-updater-cli.exe") : QStringLiteral("corvane-updater.exe"));
    QCOMPARE(narrow(command.childArguments()), child);
    QCOMPARE(command.language(), language);
}

void TestEntryCommand::quoting_data()
{
    // How CommandLineToArgvW and the C runtime split a command line: the quoted form
    // must give back the argument exactly.
    QTest::addColumn<QString>("argument");
    QTest::addColumn<QString>("quoted");
    QTest::newRow("plain") << "--check" << "--check";
    QTest::newRow("empty") << "" << "\"\"";
    QTest::newRow("space") << "C:\\Program Files\\r.json" << "\"C:\\Program Files\\r.json\"";
    QTest::newRow("quote") << "a\"b" << "\"a\\\"b\"";
    QTest::newRow("backslashes before a quote") << "a\\\\\"b" << "\"a\\\\\\\\\\\"b\"";
    QTest::newRow("trailing backslash") << "C:\\a b\\" << "\"C:\\a b\\\\\"";
    QTest::newRow("backslashes alone") << "C:\\a\\b" << "C:\\a\\b";
    QTest::newRow("tab") << "a\tb" << "\"a\tb\"";
}

void TestEntryCommand::quoting()
{
    QFETCH(QString, argument);
    QFETCH(QString, quoted);
    QCOMPARE(QString::fromStdWString(EntryCommand::quoted(argument.toStdWString())), quoted);
}

void TestEntryCommand::textsMatchTheStringTable()
{
    StringTableCompiler table;
    QVERIFY2(table.readSource(QStringLiteral(CORVANE_SOURCE_DIR "/strings/strings.tsv")), qPrintable(table.errorString()));
    QTemporaryDir dir;
    const QString binary = dir.filePath(QStringLiteral("string.bin"));
    QVERIFY(table.writeBinary(binary));
    int used = 0;
    for (int id = EntryTexts::kFirstId; id <= EntryTexts::kLastId; ++id) {
        const QString english = QString::fromStdString(EntryTexts::english(id));
        QCOMPARE(english, table.text(1, id));
        if (english.isEmpty())
            continue;
        ++used;
        for (int lanType = 0; lanType < 3; ++lanType) {
            EntryTexts texts;
            QVERIFY(texts.load(binary.toStdString(), lanType));
            const QString expected = table.text(lanType, id).replace(QStringLiteral("%1"), QStringLiteral("X"));
            QVERIFY2(!table.text(lanType, id).isEmpty(), qPrintable(QStringLiteral("row %1 language %2").arg(id).arg(lanType)));
            QCOMPARE(QString::fromStdString(texts.text(id, "X")), expected);
        }
    }
    QVERIFY(used >= 12);
}

void TestEntryCommand::damagedTableKeepsEnglish()
{
    StringTableCompiler table;
    QVERIFY(table.readSource(QStringLiteral(CORVANE_SOURCE_DIR "/strings/strings.tsv")));
    const QByteArray whole = table.toBinary();
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("string.bin"));
    for (const int size : {0, 19, 20, whole.size() / 2, whole.size() - 1}) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(whole.left(size));
        file.close();
        EntryTexts texts;
        // The last language's block ends the file: every cut reaches it.
        QVERIFY2(!texts.load(path.toStdString(), 2), qPrintable(QString::number(size)));
        QCOMPARE(QString::fromStdString(texts.text(1421, "a.dll")), QStringLiteral("a.dll is missing"));
    }
    EntryTexts none;
    QVERIFY(!none.load(dir.filePath(QStringLiteral("none.bin")).toStdString(), 1));
    QVERIFY(!none.load(path.toStdString(), 3));
}

void TestEntryCommand::installationFolder_data()
{
    QTest::addColumn<QString>("displayIcon");
    QTest::addColumn<QString>("folder");
    QTest::newRow("quoted with index") << "\"C:\\Program Files (x86)\\Ostrelle Ünï\\ostrelle.exe\",0"
                                       << "C:\\Program Files (x86)\\Ostrelle Ünï";
    QTest::newRow("plain") << "C:\\Ostrelle\\ostrelle.exe" << "C:\\Ostrelle";
    QTest::newRow("index without quotes") << "C:\\Ostrelle\\ostrelle.exe, -3" << "C:\\Ostrelle";
    QTest::newRow("comma in a folder") << "C:\\A,B\\ostrelle.exe" << "C:\\A,B";
    QTest::newRow("slashes") << "  C:/Ostrelle/ostrelle.exe  " << "C:/Ostrelle";
    QTest::newRow("empty") << "" << "";
}

void TestEntryCommand::installationFolder()
{
    QFETCH(QString, displayIcon);
    QFETCH(QString, folder);
    QCOMPARE(QString::fromStdWString(InstallationLookup::directoryOfIcon(displayIcon.toStdWString())), folder);
}

QTEST_GUILESS_MAIN(TestEntryCommand)
#include "tst_entrycommand.moc"
