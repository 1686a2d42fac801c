#ifndef SCRIPTCHECK_H
#define SCRIPTCHECK_H

#include "check/packagecheck.h"
#include "db/zrsqlparser.h"

#include <QString>

#include <functional>

class TrialDatabase;

// The dry run's judgement of the steps' scripts, in the order the update runs them:
// each parsed as the update parses it and, in a trial run, tried statement by statement
// on the in-memory copy of the database, which then holds what the earlier scripts did.
class ScriptCheck
{
public:
    using Report = std::function<void(PackageCheck::Severity severity, const QString &text)>;

    // trialRun: try the statements (--check); false: parse only (the checks before an
    // update, which must not read the whole database twice).
    ScriptCheck(TrialDatabase &database, bool trialRun, Report report);

    // The trial copy's state, as a finding: what the scripts are tried on.
    void reportDatabase();
    // One step's script; relative names it in the findings. After a script that cannot
    // be read, parsed or run, the later ones are only parsed.
    void check(const QString &relative, const QString &path);
    // What the update's "sql:" lines of the scripts checked so far add to its log (none
    // while debug lines are off).
    qint64 logBytes() const { return m_logBytes; }

private:
    bool parse(const QString &path, const ZRSqlParser::StatementSink &sink, QString *reason);
    // The notes on lines that do not do what they seem to (ScriptLint).
    void noteRemarks(const QString &relative, const QString &path);
    void ok(const QString &text) { m_report(PackageCheck::Severity::Ok, text); }
    void note(const QString &text) { m_report(PackageCheck::Severity::Note, text); }
    void problem(const QString &text) { m_report(PackageCheck::Severity::Problem, text); }

    TrialDatabase &m_database;
    const bool m_trialRun;
    bool m_tryScripts;
    Report m_report;
    qint64 m_logBytes = 0;
};

#endif // SCRIPTCHECK_H
