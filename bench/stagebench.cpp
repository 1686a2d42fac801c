#include "bench/stagebench.h"

#include "package/packagemanifest.h"
#include "package/packageverifier.h"
#include "package/sha256stream.h"
#include "package/trustedkeys.h"
#include "db/zrsqlparser.h"
#include "log/applog.h"
#include "log/logmessagehandler.h"
#include "log/quotedtext.h"
#include "steps/formalupdateo.h"
#include "updater/cvupdater.h"
#include "layout/installlayout.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSaveFile>
#include <QTextStream>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

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
    QSaveFile out(outPath);
    if (!out.open(QIODevice::WriteOnly))
        return false;
    QTextStream stream(&out);
    stream.setCodec("UTF-8");
    stream << "BEGIN;\n";
    ZRSqlParser parser;
    parser.setStatementLog(false);
    const bool parsed = parser.parseSqlFile(stepScriptPath(stepName), [&stream](const QString &statement) {
        stream << statement << ";\n";
        return true;
    });
    if (!parsed)
        return false;
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

namespace {

// A statement of the length the sample's scripts have.
QString sampleStatement(int i)
{
    return QStringLiteral("INSERT OR REPLACE INTO order_items (id, order_id, product, quantity) VALUES (%1, %2, "
                          "'product %3', %4)")
        .arg(i)
        .arg(i / 7)
        .arg(i % 500)
        .arg(i % 13);
}

bool enterLogDir(const QString &dir)
{
    if (!QDir().mkpath(dir + QStringLiteral("/log")) || !QDir::setCurrent(dir)) {
        std::fprintf(stderr, "cannot use %s\n", qPrintable(dir));
        return false;
    }
    return true;
}

} // namespace

qint64 StageBench::logLines(const QString &dir, int count)
{
    if (!enterLogDir(dir))
        return -1;
    QStringList statements;
    for (int i = 0; i < count; ++i)
        statements << sampleStatement(i);
    qInstallMessageHandler(logMessageHandler);
    QElapsedTimer timer;
    timer.start();
    for (const QString &statement : qAsConst(statements))
        QuotedText::logDebug("bool ZRSqlParser::doParseSql(const QString&, QStringList&)", "sql:", statement);
    const qint64 elapsed = timer.nsecsElapsed();
    qInstallMessageHandler(nullptr);
    return elapsed;
}

qint64 StageBench::logFloor(const QString &dir, int count)
{
    if (!enterLogDir(dir))
        return -1;
    // The very lines the handler writes, made beforehand: only the file work is timed.
    const QByteArray stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz")).toUtf8();
    std::vector<QByteArray> lines;
    lines.reserve(size_t(count));
    for (int i = 0; i < count; ++i) {
        lines.push_back(stamp + " Debug bool ZRSqlParser::doParseSql(const QString&, QStringList&) sql: \""
                        + sampleStatement(i).toUtf8() + "\"\r\n");
    }
    const QByteArray path = QFile::encodeName(logFilePath());
    QElapsedTimer timer;
    timer.start();
    for (const QByteArray &line : lines) {
        const int fd = ::open(path.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0)
            return -1;
        if (::write(fd, line.constData(), size_t(line.size())) != line.size()) {
            ::close(fd);
            return -1;
        }
        ::close(fd);
    }
    return timer.nsecsElapsed();
}

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
