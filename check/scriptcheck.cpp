#include "check/scriptcheck.h"

#include "context/consoletext.h"
#include "db/scriptlint.h"
#include "db/trialdatabase.h"
#include "log/applog.h"

#include <QFileInfo>

namespace {

// The update's own parser, with the IFN_COL column test answered by the trial copy,
// which holds what the earlier steps' scripts did.
class TrialSqlParser : public ZRSqlParser
{
public:
    explicit TrialSqlParser(TrialDatabase &database)
        : m_database(database)
    {
    }

protected:
    int columnExists(const QString &table, const QString &column) override
    {
        return m_database.isColumnExists(table, column);
    }

private:
    TrialDatabase &m_database;
};

// Parses only: a column test's answer cannot make a script fail to parse, so every
// column counts as absent and every statement is kept.
class ParseOnlySqlParser : public ZRSqlParser
{
protected:
    int columnExists(const QString &, const QString &) override { return 0; }
};

// What the update's "sql:" log line of a statement adds to the statement's own text:
// the time stamp, level and signature, the quotes, and the escapes of what QDebug quotes.
qint64 logLineOverhead(const QString &statement)
{
    static const qint64 frame =
        qstrlen("yyyy-MM-dd hh:mm:ss.zzz Debug bool ZRSqlParser::doParseSql(const QString&, QStringList&) sql: \"\"\n");
    qint64 escapes = 0;
    for (const QChar c : statement) {
        const ushort u = c.unicode();
        // Most characters are letters past the backslash.
        if (u > '\\')
            continue;
        if (u == '"' || u == '\\')
            ++escapes;
        else if (u < 0x20)
            escapes += u == '\n' || u == '\r' || u == '\t' ? 1 : 5;
    }
    return frame + escapes;
}

// The first line of a statement, shortened for a finding.
QString excerpt(const QString &statement)
{
    QString text = statement.section(QLatin1Char('\n'), 0, 0).trimmed();
    if (text.size() > 100 || statement.contains(QLatin1Char('\n')))
        text = text.left(100) + QStringLiteral(" ...");
    return text;
}

} // namespace

ScriptCheck::ScriptCheck(TrialDatabase &database, bool trialRun, Report report)
    : m_database(database)
    , m_trialRun(trialRun)
    , m_tryScripts(trialRun && database.canRun())
    , m_report(std::move(report))
{
}

void ScriptCheck::reportDatabase()
{
    switch (m_database.state()) {
    case TrialDatabase::State::Copied:
        ok(ConsoleText::tr("kqdata.db: copied into memory; the scripts are tried on the copy"));
        break;
    case TrialDatabase::State::NoInstalledFile:
        note(ConsoleText::tr("kqdata.db does not exist: the scripts would run on a new, empty database"));
        break;
    case TrialDatabase::State::CopyFailed:
        note(ConsoleText::tr("kqdata.db could not be copied for a trial run (%1): the scripts are only parsed")
                 .arg(m_database.errorString()));
        break;
    case TrialDatabase::State::Unreadable:
        problem(ConsoleText::tr("kqdata.db cannot be read (%1): the database step would fail").arg(m_database.errorString()));
        break;
    }
}

void ScriptCheck::check(const QString &relative, const QString &path)
{
    const QFileInfo script(path);
    if (!script.exists())
        return;
    if (!script.isFile() || !script.isReadable()) {
        problem(ConsoleText::tr("%1 cannot be read: the database step would fail").arg(relative));
        m_tryScripts = false;
        return;
    }

    // Read as the update reads it, statement by statement, without the update's
    // per-statement log lines: the update writes those once, when it runs the script.
    // The trial runs each statement on the copy as it is read, so a directive sees what
    // the statements before it did, as in the update.
    const bool trying = m_trialRun && m_tryScripts;
    const bool logged = appLog().isDebugEnabled();
    int count = 0;
    int failedIndex = -1;
    QString error;
    QString failedStatement;
    bool began = true;
    const ZRSqlParser::StatementSink sink = [&](const QString &statement) {
        ++count;
        if (logged)
            m_logBytes += logLineOverhead(statement);
        // After a failure the rest is only counted, for the finding.
        if (trying && began && failedIndex < 0 && !m_database.execStatement(statement, &error)) {
            failedIndex = count - 1;
            failedStatement = statement;
        }
        return true;
    };
    if (trying)
        began = m_database.begin(&error);
    QString reason;
    const bool parsed = parse(script.filePath(), sink, &reason);
    // The pieces the sink does not see (directives, skipped statements) are few; their
    // text is counted with the script's.
    if (logged)
        m_logBytes += script.size();
    if (!parsed) {
        if (trying && began) {
            QString ignored;
            m_database.finish(false, &ignored);
        }
        problem(ConsoleText::tr("%1 cannot be parsed%2: none of its statements would run and the update would fail")
                    .arg(relative, reason.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(reason)));
        m_tryScripts = false;
        return;
    }
    if (m_trialRun)
        noteRemarks(relative, script.filePath());
    if (!trying) {
        if (m_trialRun)
            ok(ConsoleText::tr("%1: %2 statements parsed (not tried)").arg(relative).arg(count));
        else
            ok(ConsoleText::tr("%1: %2 statements parsed").arg(relative).arg(count));
        return;
    }

    if (began && m_database.finish(failedIndex < 0, &error)) {
        ok(ConsoleText::tr("%1: %2 statements ran on the copy of kqdata.db").arg(relative).arg(count));
        return;
    }
    if (failedIndex < 0)
        problem(ConsoleText::tr("%1: the transaction would fail: %2").arg(relative, error));
    else
        problem(ConsoleText::tr("%1: statement %2 of %3 would fail: %4\n        %5")
                    .arg(relative)
                    .arg(failedIndex + 1)
                    .arg(count)
                    .arg(error, excerpt(failedStatement)));
    // The later scripts would meet a database that this one left unchanged.
    m_tryScripts = false;
}

bool ScriptCheck::parse(const QString &path, const ZRSqlParser::StatementSink &sink, QString *reason)
{
    // The column tests answered by the trial copy when there is one; a parse alone
    // counts every column as absent.
    TrialSqlParser trialParser(m_database);
    ParseOnlySqlParser parseOnly;
    ZRSqlParser &parser = m_trialRun ? static_cast<ZRSqlParser &>(trialParser) : parseOnly;
    parser.setStatementLog(false);
    const bool parsed = parser.parseSqlFile(path, sink);
    *reason = parser.errorString();
    return parsed;
}

void ScriptCheck::noteRemarks(const QString &relative, const QString &path)
{
    const QList<ScriptLint::Remark> remarks = ScriptLint::scanFile(path);
    for (const ScriptLint::Remark &remark : remarks) {
        if (remark.kind == ScriptLint::Kind::CommentLineInLiteral)
            note(ConsoleText::tr("%1, line %2: starts with # inside a string literal; the update drops the line, "
                                 "so the stored value lacks it")
                     .arg(relative)
                     .arg(remark.line));
        else
            note(ConsoleText::tr("%1, line %2: PRAGMA journal_mode does nothing here: the step's statements run "
                                 "in one transaction")
                     .arg(relative)
                     .arg(remark.line));
    }
}
