#include "context/zrpubmethod.h"
#include "context/consoletext.h"
#include "context/stringtable.h"
#include "strings/stringtablecompiler.h"

#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const char kSourceDir[] = CORVANE_SOURCE_DIR;
const char kRepositorySource[] = CORVANE_SOURCE_DIR "/strings/strings.tsv";
constexpr int kFirstConsoleId = 1100;
constexpr int kLastConsoleId = 1499;
// The elevated entry's texts (corvane-update.exe, without Qt) are looked up by id, not by
// their English text; tst_entrycommand checks them against the table.
constexpr int kFirstEntryId = 1420;
constexpr int kLastEntryId = 1439;

// The text of a C++ string literal's body (UTF-8 source).
QString unescapeLiteral(const QByteArray &body)
{
    QByteArray text;
    for (int i = 0; i < body.size(); ++i) {
        const char c = body.at(i);
        if (c != '\\' || i + 1 == body.size()) {
            text += c;
            continue;
        }
        const char next = body.at(++i);
        switch (next) {
        case 'n': text += '\n'; break;
        case 't': text += '\t'; break;
        default: text += next; break; // \" \\ \'
        }
    }
    return QString::fromUtf8(text);
}

struct Use
{
    QString text;
    QString where;
};

// Every ConsoleText::tr("...") of the program's sources, adjacent literals joined.
QList<Use> consoleTextsInSources()
{
    static const QRegularExpression call(QStringLiteral(R"re(ConsoleText::tr\(((?:\s*"(?:[^"\\]|\\.)*")+)\s*\))re"));
    static const QRegularExpression literal(QStringLiteral(R"re("((?:[^"\\]|\\.)*)")re"));
    QList<Use> uses;
    const QDir root(QString::fromUtf8(kSourceDir));
    // The program's folders only: build trees (with a Wine prefix inside) are large.
    QStringList paths;
    for (const QString &folder : root.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (folder.startsWith(QLatin1String("build")) || folder == QLatin1String("tests"))
            continue;
        QDirIterator it(root.filePath(folder), {QStringLiteral("*.cpp"), QStringLiteral("*.h")}, QDir::Files,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            paths.append(it.next());
    }
    for (const QString &path : qAsConst(paths)) {
        const QString relative = root.relativeFilePath(path);
        if (relative.startsWith(QLatin1String("context/consoletext")))
            continue;
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QString source = QString::fromUtf8(file.readAll());
        auto calls = call.globalMatch(source);
        while (calls.hasNext()) {
            const auto match = calls.next();
            QString text;
            auto pieces = literal.globalMatch(match.captured(1));
            while (pieces.hasNext())
                text += unescapeLiteral(pieces.next().captured(1).toUtf8());
            const int line = source.leftRef(match.capturedStart()).count(QLatin1Char('\n')) + 1;
            uses.append({text, QStringLiteral("%1:%2").arg(relative).arg(line)});
        }
    }
    return uses;
}

QStringList placeholders(const QString &text)
{
    static const QRegularExpression marker(QStringLiteral("%\\d+"));
    QStringList found;
    auto it = marker.globalMatch(text);
    while (it.hasNext())
        found << it.next().captured();
    found.sort();
    return found;
}

} // namespace

// The console program's texts: every one the code names has its row in the string
// table in all three languages, and the lookup by English text finds the loaded
// language's text, or falls back to the English one.
class TestConsoleText : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void everyTextHasAllLanguages();
    void everyConsoleRowIsUsed();
    void lookup_data();
    void lookup();
    void missingTranslationFallsBackToEnglish();

private:
    StringTableCompiler m_table;
    QList<Use> m_uses;
    QTemporaryDir m_dir;
    QString m_binary;
};

void TestConsoleText::initTestCase()
{
    QVERIFY2(m_table.readSource(QString::fromUtf8(kRepositorySource)), qPrintable(m_table.errorString()));
    m_uses = consoleTextsInSources();
    // The console program and its check say far more than this; an empty list would
    // mean the scan is broken, not that everything is translated.
    QVERIFY2(m_uses.size() > 100, qPrintable(QString::number(m_uses.size())));
    QVERIFY(m_dir.isValid());
    m_binary = m_dir.filePath(QStringLiteral("string.bin"));
    QVERIFY(m_table.writeBinary(m_binary));
}

void TestConsoleText::cleanup()
{
    ConsoleText::clear();
    ZRPubMethod::getInstance()->setLanType(1);
}

void TestConsoleText::everyTextHasAllLanguages()
{
    QHash<QString, int> byEnglish;
    for (int id = 0; id < m_table.stringCount(); ++id) {
        const QString english = m_table.text(1, id);
        if (english.isEmpty())
            continue;
        QVERIFY2(!byEnglish.contains(english) || id < kFirstConsoleId,
                 qPrintable(QStringLiteral("rows %1 and %2 have one English text").arg(byEnglish.value(english)).arg(id)));
        byEnglish.insert(english, id);
    }

    QStringList faults;
    for (const Use &use : qAsConst(m_uses)) {
        const int id = byEnglish.value(use.text, -1);
        if (id < 0) {
            faults << QStringLiteral("%1: no row in strings.tsv: \"%2\"").arg(use.where, use.text);
            continue;
        }
        for (int lanType : {0, 2}) {
            const QString translated = m_table.text(lanType, id);
            if (translated.isEmpty())
                faults << QStringLiteral("%1: row %2 has no text in language %3").arg(use.where).arg(id).arg(lanType);
            else if (placeholders(translated) != placeholders(use.text))
                faults << QStringLiteral("%1: row %2 in language %3 has placeholders %4, the English text %5")
                              .arg(use.where)
                              .arg(id)
                              .arg(lanType)
                              .arg(placeholders(translated).join(QLatin1Char(' ')), placeholders(use.text).join(QLatin1Char(' ')));
        }
    }
    QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QLatin1Char('\n'))));
}

void TestConsoleText::everyConsoleRowIsUsed()
{
    QSet<QString> used;
    for (const Use &use : qAsConst(m_uses))
        used.insert(use.text);
    QStringList stale;
    for (int id = kFirstConsoleId; id <= kLastConsoleId && id < m_table.stringCount(); ++id) {
        const QString english = m_table.text(1, id);
        if (id >= kFirstEntryId && id <= kLastEntryId)
            continue;
        if (!english.isEmpty() && !used.contains(english))
            stale << QStringLiteral("%1: \"%2\"").arg(id).arg(english);
    }
    QVERIFY2(stale.isEmpty(), qPrintable(QStringLiteral("rows no code uses (changed texts?):\n") + stale.join(QLatin1Char('\n'))));
}

void TestConsoleText::lookup_data()
{
    QTest::addColumn<int>("lanType");
    QTest::addColumn<QString>("expected");
    QTest::newRow("0 Chinese") << 0 << QStringLiteral("正在检查版本");
    QTest::newRow("1 English") << 1 << QStringLiteral("Checking the versions");
    QTest::newRow("2 Spanish") << 2 << QStringLiteral("Comprobando las versiones");
}

void TestConsoleText::lookup()
{
    QFETCH(int, lanType);
    QFETCH(QString, expected);
    ConsoleText::load(m_binary, lanType);
    QCOMPARE(ZRPubMethod::getInstance()->getLanType(), lanType);
    QCOMPARE(ConsoleText::tr("Checking the versions"), expected);
    // Placeholders survive the translation.
    QVERIFY(ConsoleText::tr("Updating %1 from %2 to %3").arg(QStringLiteral("/opt/x"), QStringLiteral("3.2"), QStringLiteral("3.5"))
                .contains(QStringLiteral("3.5")));
    // A text without a row is printed as written.
    QCOMPARE(ConsoleText::tr("no row holds this text"), QStringLiteral("no row holds this text"));
    // The window's texts are still those of the loaded language.
    QCOMPARE(getString(1515), m_table.text(lanType, 1515));
}

void TestConsoleText::missingTranslationFallsBackToEnglish()
{
    StringTableCompiler partial;
    QVERIFY(partial.parse("id\tzh\ten\tes\n"
                          "1100\t正在检查版本\tChecking the versions\t\n"
                          "1101\t\tChecking the update flag\tComprobando el indicador\n"));
    const QString path = m_dir.filePath(QStringLiteral("partial.bin"));
    QVERIFY(partial.writeBinary(path));

    ConsoleText::load(path, 2);
    QCOMPARE(ConsoleText::tr("Checking the versions"), QStringLiteral("Checking the versions"));
    QCOMPARE(ConsoleText::tr("Checking the update flag"), QStringLiteral("Comprobando el indicador"));
    ConsoleText::load(path, 0);
    QCOMPARE(ConsoleText::tr("Checking the versions"), QStringLiteral("正在检查版本"));
    QCOMPARE(ConsoleText::tr("Checking the update flag"), QStringLiteral("Checking the update flag"));

    // No table at all: English.
    ConsoleText::load(m_dir.filePath(QStringLiteral("missing.bin")), 0);
    QCOMPARE(ConsoleText::tr("Checking the versions"), QStringLiteral("Checking the versions"));
}

QTEST_GUILESS_MAIN(TestConsoleText)
#include "tst_consoletext.moc"
