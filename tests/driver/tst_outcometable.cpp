#include "driver/outcometable.h"

#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <algorithm>

namespace {

using Outcome = UpdateSequence::Outcome;
// Texts by exit status.
using Rows = QMap<int, QString>;

// A meaning as the three texts share it: code marks and asides in parentheses left out.
QString plain(QString text)
{
    text.remove(QLatin1Char('`'));
    static const QRegularExpression aside(QStringLiteral("\\([^()]*\\)"));
    while (text.contains(aside))
        text.remove(aside);
    return text.simplified().replace(QStringLiteral(" ;"), QStringLiteral(";")).replace(QStringLiteral(" ,"), QStringLiteral(","));
}

// The words every text of a status starts with: the report's meaning up to its first
// ':', ';' or '('.
QString lead(const QString &meaning)
{
    static const QRegularExpression end(QStringLiteral("[:;(]"));
    const int at = meaning.indexOf(end);
    return (at < 0 ? meaning : meaning.left(at)).trimmed();
}

// "| 3 | text |" rows of the README's exit status table, by status.
Rows readmeRows()
{
    QFile file(QStringLiteral(CORVANE_SOURCE_DIR "/README.md"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    static const QRegularExpression row(QStringLiteral("^\\| (\\d+) \\| (.*) \\|$"));
    Rows rows;
    bool inTable = false;
    for (const QString &line : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1String("| exit status | meaning |"))) {
            inTable = true;
        } else if (inTable && !line.startsWith(QLatin1Char('|'))) {
            break;
        } else if (inTable) {
            const QRegularExpressionMatch match = row.match(line);
            if (match.hasMatch())
                rows.insert(match.captured(1).toInt(), match.captured(2));
        }
    }
    return rows;
}

// "  3  text" rows under "Exit status:" of the program's --help, in English.
Rows helpRows(QString *error)
{
    QProcess program;
    program.start(QStringLiteral(CORVANE_BINARY_DIR "/corvane-updater-cli" CORVANE_EXE_SUFFIX),
                  {QStringLiteral("--lang"), QStringLiteral("1"), QStringLiteral("--help")});
    if (!program.waitForFinished(60000) || program.exitCode() != 0) {
        *error = QString::fromLocal8Bit(program.readAllStandardError());
        return {};
    }
    static const QRegularExpression row(QStringLiteral("^ +(\\d+)  (.*)$"));
    const QString out = QString::fromUtf8(program.readAllStandardOutput()).remove(QLatin1Char('\r'));
    Rows rows;
    for (const QString &line : out.section(QStringLiteral("Exit status:\n"), 1).split(QLatin1Char('\n'))) {
        const QRegularExpressionMatch match = row.match(line);
        if (match.hasMatch())
            rows.insert(match.captured(1).toInt(), match.captured(2));
    }
    return rows;
}

} // namespace

// The exit statuses are written out for users three times (the README, --help, the
// report's exitMeaning) from one table: they must say the same, status by status.
class TestOutcomeTable : public QObject
{
    Q_OBJECT

private slots:
    void textsAgree_data();
    void textsAgree();
    void everyOutcomeHasOneStatus();
};

void TestOutcomeTable::textsAgree_data()
{
    QTest::addColumn<Rows>("rows");
    QString error;
    const Rows help = helpRows(&error);
    QVERIFY2(!help.isEmpty(), qPrintable(error));
    QTest::newRow("README") << readmeRows();
    QTest::newRow("--help") << help;
}

void TestOutcomeTable::textsAgree()
{
    QFETCH(const Rows, rows);
    const QVector<OutcomeTable::Row> table = OutcomeTable::rows();
    QCOMPARE(rows.keys().size(), table.size());
    const QString nothingChanged = QStringLiteral("nothing was changed");
    for (const OutcomeTable::Row &row : table) {
        QVERIFY2(rows.contains(row.status), qPrintable(QString::number(row.status)));
        const QString text = plain(rows.value(row.status));
        QVERIFY2(text.startsWith(lead(row.meaning)),
                 qPrintable(QStringLiteral("status %1: \"%2\" does not start with \"%3\"")
                                .arg(row.status)
                                .arg(text, lead(row.meaning))));
        QVERIFY2(text.contains(nothingChanged) == row.meaning.contains(nothingChanged),
                 qPrintable(QStringLiteral("status %1: \"%2\" and \"%3\" disagree on whether something changed")
                                .arg(row.status)
                                .arg(text, row.meaning)));
    }
}

void TestOutcomeTable::everyOutcomeHasOneStatus()
{
    const QVector<OutcomeTable::Row> table = OutcomeTable::rows();
    for (int status = 0; status < table.size(); ++status)
        QCOMPARE(int(table.at(status).status), status);
    for (int value = int(Outcome::Succeeded); value <= int(Outcome::DatabaseDamaged); ++value) {
        const auto outcome = Outcome(value);
        const auto claims = std::count_if(table.begin(), table.end(), [outcome](const OutcomeTable::Row &row) {
            return row.hasOutcome && row.outcome == outcome;
        });
        QVERIFY2(claims == 1, qPrintable(QStringLiteral("outcome %1 has %2 rows").arg(value).arg(claims)));
    }
}

QTEST_GUILESS_MAIN(TestOutcomeTable)
#include "tst_outcometable.moc"
