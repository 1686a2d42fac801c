#ifndef STAGEBENCH_H
#define STAGEBENCH_H

#include <QString>
#include <QStringList>

// Runs one stage of an update on a sample made by scripts/make-sample.py, the way
// the updater itself runs it (same classes, same log handler, started from the
// package directory), so that bench/run.sh can time it against cp and sqlite3.
//
// Sample layout: <root>/Programs/<name> (the installation), <root>/home (HOME, with
// the registry stand-in below home/.config), <root>/package (version.ini, application/).
class StageBench
{
public:
    explicit StageBench(const QString &sampleRoot);

    // Points HOME, XDG_CONFIG_HOME, "version.ini" and the current directory at the
    // sample and installs the updater's log handler. False when the sample has no
    // installation the update manager can find.
    bool setUp();
    QString installPath() const;

    // The update manager's own stages.
    bool backup();
    bool restore();
    // One step's "dbupdate.sql" through the parser and DBControl, as the step runs it.
    bool runStepSql(const QString &stepName);
    // The statements the parser makes of one step's script against the database as
    // it stands, in one BEGIN/COMMIT, for the sqlite3 shell.
    bool writeStepStatements(const QString &stepName, const QString &outPath);

    // The log handler's cost per line: count messages shaped like the SQL stage's
    // per-statement line (level check, debug stream, handler, file), written into
    // <dir>/log as the updater writes them. Returns the nanoseconds of the loop alone.
    static qint64 logLines(const QString &dir, int count);
    // The floor of that cost: the same bytes written line by line with open(O_APPEND),
    // one write and close, as a C program does it.
    static qint64 logFloor(const QString &dir, int count);
    // The package check before an update: every file hashed into "package.manifest",
    // and every file checked against it (no key trusted, so no signature is needed).
    static bool writeManifest(const QString &packageDir);
    static bool verifyPackage(const QString &packageDir);

    // Processor time (user and system) and peak resident set size, of this process or
    // of the children it has waited for.
    struct Usage
    {
        double cpuSeconds;
        long peakRssKb;
    };
    static Usage usage();
    static Usage childrenUsage();
    // Runs a program to its end, its standard output discarded; its exit code, or -1
    // when it could not be started or crashed.
    static int runCommand(const QStringList &command);

private:
    QString stepScriptPath(const QString &stepName) const;

    QString m_root;
};

#endif // STAGEBENCH_H
