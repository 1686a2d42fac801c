#include "bench/stagebench.h"

#include "check/packagemanifest.h"
#include "check/packageverifier.h"
#include "check/sha256stream.h"
#include "check/trustedkeys.h"
#include "db/zrsqlparser.h"
#include "log/logmessagehandler.h"
#include "steps/formalupdateo.h"
#include "updater/cvupdater.h"
#include "updater/installlayout.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSaveFile>
#include <QTextStream>

#include <sys/resource.h>

#include <cstdio>

StageBench::StageBench(const QString &sampleRoot)
    : m_root(QDir(sampleRoot).absolutePath())
{
}

bool StageBench::setUp()
{
    const QString home = QStringLiteral("%1/home").arg(m_root);
    const QString package = QStringLiteral("%1/package").arg(m_root);
    qputenv("HOME", QFile::encodeName(home));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home + QStringLiteral("/.config")));

    // The updater runs from the package directory and logs into its "log" folder;
    // the per-statement "sql:" lines are part of what the SQL stage costs.
    if (!QDir::setCurrent(package)) {
        std::fprintf(stderr, "no package directory %s\n", qPrintable(package));
        return false;
    }
    QDir().mkdir(QStringLiteral("log"));
    qInstallMessageHandler(logMessageHandler);
    CVUpdater::setProgramDir(package);

    if (installPath().isEmpty() || !QDir(installPath()).exists()) {
        std::fprintf(stderr, "no installation found through the registry stand-in below %s\n",
                     qPrintable(home));
        return false;
    }
    return true;
}

QString StageBench::installPath() const
{
    return CVUpdater::getInstance()->getInstallPath();
}

bool StageBench::writeManifest(const QString &packageDir)
{
    PackageManifest manifest;
    if (!manifest.scan(packageDir)) {
        std::fprintf(stderr, "%s\n", qPrintable(manifest.errorString()));
        return false;
    }
    QSaveFile file(QDir(packageDir).filePath(QLatin1String(PackageManifest::kFileName)));
    return file.open(QIODevice::WriteOnly) && file.write(manifest.toText()) >= 0 && file.commit();
}

bool StageBench::verifyPackage(const QString &packageDir)
{
    const PackageVerifier::Result result = PackageVerifier::verify(packageDir, TrustedKeys());
    for (const QString &problem : result.problems)
        std::fprintf(stderr, "%s\n", qPrintable(problem));
    std::fprintf(stderr, "verified %d files, %lld bytes, SHA-256 by %s\n", result.fileCount,
                 static_cast<long long>(result.byteCount), qPrintable(Sha256Stream::implementation()));
    return result.accepted() && result.hasManifest;
}

bool StageBench::backup()
{
    return CVUpdater::getInstance()->backupVersion();
}

bool StageBench::restore()
{
    return CVUpdater::getInstance()->restoreVersion();
}

bool StageBench::runStepSql(const QString &stepName)
{
    return CVUpdater::getInstance()->getUpdateObject()->updateDB(
        QStringLiteral("%1%2/sql").arg(InstallLayout::packageRoot(), stepName));
}

bool StageBench::writeStepStatements(const QString &stepName, const QString &outPath)
{
    QStringList statements;
    ZRSqlParser parser;
    if (!parser.parseSqlFile(stepScriptPath(stepName), statements))
        return false;

    QSaveFile out(outPath);
    if (!out.open(QIODevice::WriteOnly))
        return false;
    QTextStream stream(&out);
    stream.setCodec("UTF-8");
    stream << "BEGIN;\n";
    for (const QString &statement : qAsConst(statements))
        stream << statement << ";\n";
    stream << "COMMIT;\n";
    stream.flush();
    return out.commit();
}


namespace {

StageBench::Usage usageOf(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    const auto seconds = [](const timeval &time) { return double(time.tv_sec) + double(time.tv_usec) / 1e6; };
    return {seconds(usage.ru_utime) + seconds(usage.ru_stime), usage.ru_maxrss};
}

} // namespace

StageBench::Usage StageBench::usage()
{
    return usageOf(RUSAGE_SELF);
}

StageBench::Usage StageBench::childrenUsage()
{
    return usageOf(RUSAGE_CHILDREN);
}

int StageBench::runCommand(const QStringList &command)
{
    if (command.isEmpty())
        return -1;
    QProcess process;
    // Standard output is the report's; the program's own goes nowhere.
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setInputChannelMode(QProcess::ForwardedInputChannel);
    process.start(command.first(), command.mid(1));
    if (!process.waitForStarted(-1)) {
        std::fprintf(stderr, "cannot start %s\n", qPrintable(command.first()));
        return -1;
    }
    process.waitForFinished(-1);
    if (process.exitStatus() != QProcess::NormalExit)
        return -1;
    return process.exitCode();
}

QString StageBench::stepScriptPath(const QString &stepName) const
{
    return QStringLiteral("%1%2/sql/dbupdate.sql").arg(InstallLayout::packageRoot(), stepName);
}
