// corvane-bench: times one stage of an update, or one other program, and reports its
// peak memory. bench/run.py drives it; see there for the comparisons.

#include "bench/stagebench.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QStringList>

#include <cstdio>
#include <functional>

namespace {

const char kUsage[] =
    "usage: corvane-bench --root SAMPLE STAGE [ARGS]\n"
    "       corvane-bench run PROGRAM [ARGS...]\n"
    "       corvane-bench log|logfloor LINES DIR\n"
    "       corvane-bench manifest|verify PACKAGE\n"
    "\n"
    "SAMPLE is a directory made by scripts/make-sample.py. Stages:\n"
    "  backup                CVUpdater::backupVersion()\n"
    "  restore               CVUpdater::restoreVersion()\n"
    "  sql STEP              the step's dbupdate.sql through ZRSqlParser and DBControl\n"
    "  statements STEP FILE  write the statements the parser makes of the step's script\n"
    "                        (against the database as it stands) in BEGIN/COMMIT to FILE\n"
    "run PROGRAM times PROGRAM and reports its peak memory.\n"
    "log writes LINES log lines like the SQL stage's through the updater's log handler into\n"
    "DIR/log; logfloor writes the same bytes with open(O_APPEND), write and close per line.\n"
    "manifest PACKAGE hashes every file of PACKAGE and writes its package.manifest;\n"
    "verify PACKAGE checks every file against it, as the updater does before an update.\n"
    "\n"
    "Prints one line: stage=NAME ok=0|1 seconds=S cpu_seconds=S peak_rss_kb=KB\n"
    "(seconds: wall-clock time of the stage alone; cpu_seconds: user and system time;\n"
    "peak_rss_kb: the process's peak resident memory, start-up included).\n";

int report(const QString &stage, bool ok, qint64 nanoseconds, double cpuSeconds, long peakKb)
{
    std::printf("stage=%s ok=%d seconds=%.4f cpu_seconds=%.4f peak_rss_kb=%ld\n", qPrintable(stage),
                ok ? 1 : 0, double(nanoseconds) / 1e9, cpuSeconds, peakKb);
    std::fflush(stdout);
    return ok ? 0 : 1;
}

int usage()
{
    std::fputs(kUsage, stderr);
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);

    if (!args.isEmpty() && args.first() == QLatin1String("run")) {
        QElapsedTimer timer;
        timer.start();
        const int exitCode = StageBench::runCommand(args.mid(1));
        const qint64 elapsed = timer.nsecsElapsed();
        const StageBench::Usage child = StageBench::childrenUsage();
        return report(QStringLiteral("run"), exitCode == 0, elapsed, child.cpuSeconds, child.peakRssKb);
    }

    if (args.size() == 3 && (args.first() == QLatin1String("log") || args.first() == QLatin1String("logfloor"))) {
        bool ok = false;
        const int lines = args.at(1).toInt(&ok);
        if (!ok || lines <= 0)
            return usage();
        const double cpuBefore = StageBench::usage().cpuSeconds;
        const qint64 elapsed = args.first() == QLatin1String("log") ? StageBench::logLines(args.at(2), lines)
                                                                    : StageBench::logFloor(args.at(2), lines);
        const StageBench::Usage self = StageBench::usage();
        std::printf("lines=%d us_per_line=%.3f ", lines, elapsed < 0 ? 0.0 : double(elapsed) / 1e3 / lines);
        return report(args.first(), elapsed >= 0, qMax<qint64>(elapsed, 0), self.cpuSeconds - cpuBefore, self.peakRssKb);
    }

    if (args.size() == 2 && (args.first() == QLatin1String("manifest") || args.first() == QLatin1String("verify"))) {
        const QString stage = args.first();
        const QString package = args.at(1);
        const double cpuBefore = StageBench::usage().cpuSeconds;
        QElapsedTimer timer;
        timer.start();
        const bool ok = stage == QLatin1String("manifest") ? StageBench::writeManifest(package)
                                                           : StageBench::verifyPackage(package);
        const qint64 elapsed = timer.nsecsElapsed();
        const StageBench::Usage self = StageBench::usage();
        return report(stage, ok, elapsed, self.cpuSeconds - cpuBefore, self.peakRssKb);
    }

    if (args.size() < 3 || args.at(0) != QLatin1String("--root"))
        return usage();
    StageBench bench(args.at(1));
    const QString stage = args.at(2);
    args = args.mid(3);

    std::function<bool()> run;
    if (stage == QLatin1String("backup") && args.isEmpty())
        run = [&bench] { return bench.backup(); };
    else if (stage == QLatin1String("restore") && args.isEmpty())
        run = [&bench] { return bench.restore(); };
    else if (stage == QLatin1String("sql") && args.size() == 1)
        run = [&bench, &args] { return bench.runStepSql(args.at(0)); };
    else if (stage == QLatin1String("statements") && args.size() == 2)
        run = [&bench, &args] { return bench.writeStepStatements(args.at(0), args.at(1)); };
    else
        return usage();

    if (!bench.setUp())
        return 1;
    const double cpuBefore = StageBench::usage().cpuSeconds;
    QElapsedTimer timer;
    timer.start();
    const bool ok = run();
    const qint64 elapsed = timer.nsecsElapsed();
    const StageBench::Usage self = StageBench::usage();
    return report(stage, ok, elapsed, self.cpuSeconds - cpuBefore, self.peakRssKb);
}
