#include "cli/consolerun.h"

#include "cli/consoleoutput.h"
#include "cli/runreport.h"
#include "driver/corestartup.h"
#include "log/applog.h"
#include "log/logmessagehandler.h"
#include "context/consoletext.h"
#include "context/stringtable.h"
#include "updater/applicationcheck.h"
#include "updater/cvupdater.h"
#include "updater/updatelock.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace {

void dropMessage(QtMsgType, const QMessageLogContext &, const QString &)
{
}

} // namespace

ConsoleRun::ConsoleRun() = default;

ConsoleRun::~ConsoleRun() = default;

QString ConsoleRun::programName()
{
    return QStringLiteral("corvane-updater-cli");
}

QString ConsoleRun::text(int id)
{
    const QString loaded = getString(id);
    if (!loaded.isEmpty())
        return loaded;
    // Without a string table the window shows empty boxes; a console run that ends
    // without saying how would be worse.
    switch (id) {
    case 1073:
        return QStringLiteral("The previous version has been restored.");
    case 1074:
        return QStringLiteral("The previous version could not be restored.");
    case 1513:
        return QStringLiteral("This update cannot be applied to the installed version.");
    case 1514:
        return QStringLiteral("The update could not be completed.");
    case 1515:
        return QStringLiteral("The update was completed successfully.");
    default:
        return QString();
    }
}

QString ConsoleRun::stageId(UpdateSequence::Stage stage)
{
    switch (stage) {
    case UpdateSequence::Stage::CheckVersion:
        return QStringLiteral("check-version");
    case UpdateSequence::Stage::CheckPackage:
        return QStringLiteral("check-package");
    case UpdateSequence::Stage::CheckFlag:
        return QStringLiteral("check-flag");
    case UpdateSequence::Stage::RestoreInterrupted:
        return QStringLiteral("restore-interrupted");
    case UpdateSequence::Stage::Backup:
        return QStringLiteral("backup");
    case UpdateSequence::Stage::Execute:
        return QStringLiteral("execute");
    case UpdateSequence::Stage::RegistryAndShortcut:
        return QStringLiteral("registry-and-shortcut");
    case UpdateSequence::Stage::RestoreAfterFailure:
        return QStringLiteral("restore-after-failure");
    }
    return QString();
}

QString ConsoleRun::stageName(UpdateSequence::Stage stage)
{
    switch (stage) {
    case UpdateSequence::Stage::CheckVersion:
        return ConsoleText::tr("Checking the versions");
    case UpdateSequence::Stage::CheckFlag:
        return ConsoleText::tr("Checking the update flag");
    case UpdateSequence::Stage::RestoreInterrupted:
        return ConsoleText::tr("Restoring the backup of an interrupted update");
    case UpdateSequence::Stage::CheckPackage:
        return ConsoleText::tr("Checking the package and the installation");
    case UpdateSequence::Stage::Backup:
        return ConsoleText::tr("Backing up the installation");
    case UpdateSequence::Stage::Execute:
        return ConsoleText::tr("Applying the version steps");
    case UpdateSequence::Stage::RegistryAndShortcut:
        return ConsoleText::tr("Updating the uninstall entry and the shortcut");
    case UpdateSequence::Stage::RestoreAfterFailure:
        return ConsoleText::tr("Restoring the backup");
    }
    return QString();
}

QJsonObject ConsoleRun::signatureJson(const PackageVerifier::Result &result)
{
    QJsonArray differences;
    for (const PackageVerifier::Difference &difference : result.differences)
        differences.append(difference.text());
    return QJsonObject{{QStringLiteral("state"), PackageVerifier::signatureName(result.signature)},
                       {QStringLiteral("text"), result.signatureText},
                       {QStringLiteral("accepted"), result.accepted()},
                       {QStringLiteral("manifest"), result.hasManifest},
                       {QStringLiteral("files"), result.fileCount},
                       {QStringLiteral("bytes"), double(result.byteCount)},
                       {QStringLiteral("differences"), differences},
                       {QStringLiteral("problems"), QJsonArray::fromStringList(result.problems)}};
}

QJsonArray ConsoleRun::holdersJson(const QList<FileHolders::Holder> &holders)
{
    QJsonArray list;
    for (const FileHolders::Holder &holder : holders) {
        QJsonArray files;
        for (const QString &file : holder.files)
            files.append(QDir::toNativeSeparators(file));
        list.append(QJsonObject{{QStringLiteral("pid"), holder.pid > 0 ? QJsonValue(double(holder.pid)) : QJsonValue()},
                                {QStringLiteral("name"), ApplicationCheck::programText(FileHolders::Holder{0, holder.name, {}})},
                                {QStringLiteral("files"), files}});
    }
    return list;
}

void ConsoleRun::discardMessages()
{
    qInstallMessageHandler(dropMessage);
}

void ConsoleRun::badInput(const QString &message)
{
    // Before the options are known there is no output yet; the texts may be Chinese
    // all the same, so they go out the same way.
    const QString line = QStringLiteral("%1: %2").arg(programName(), message);
    if (output)
        output->error(line);
    else
        ConsoleOutput(stdout, stderr, false, ConsoleOutput::Style::Lines).error(line);
}

void ConsoleRun::startLog(const QString &directory)
{
    logDir = directory;
    if (CoreStartup::makeLogDirectory(directory) == CoreStartup::LogDirectory::NotMade)
        badInput(ConsoleText::tr("cannot create %1, the run is not logged").arg(directory));
    CoreStartup::startLog(directory, "void ConsoleUpdater::startLog()");
    ZR_LOG_INFO("void ConsoleUpdater::startLog()") << "options:" << QCoreApplication::arguments().mid(1);
}

bool ConsoleRun::openInPackage()
{
    startLog(QStringLiteral("%1/%2").arg(packageDir, QStringLiteral("log")));
    updater.reset(CoreStartup::openInstallation(packageDir));
    if (report) {
        report->setPackage(packageDir, updater->getNewVersion());
        report->setInstallation(updater->getInstallPath(), updater->getOldVersion(), updater->getRegKey());
        report->setLogFile(logFileShown());
    }
    return checkInstallation();
}

bool ConsoleRun::checkInstallation()
{
    const QString problem = CoreStartup::installationProblem(*updater);
    if (problem.isEmpty())
        return true;
    badInput(problem);
    return false;
}

bool ConsoleRun::lockInstallation(UpdateLock &lock)
{
    if (lock.tryLock() != UpdateLock::Result::Busy)
        return true;
    const QString message = UpdateSequence::anotherUpdateText(updater->getInstallPath(), lock.holder());
    ZR_LOG_WARNING("bool ConsoleUpdater::lockInstallation(UpdateLock&)") << message;
    output->error(message);
    return false;
}

void ConsoleRun::reportKeptDatabase()
{
    const QString kept = updater->keptDatabase();
    if (kept.isEmpty())
        return;
    // Before the result: whatever it says, the user's work is in that file.
    output->notice(UpdateSequence::keptDatabaseText(updater->databasePath(), kept));
    if (report)
        report->setKeptDatabase(QDir::toNativeSeparators(kept));
}

QString ConsoleRun::logFileShown() const
{
    return QDir::cleanPath(QDir(packageDir).filePath(logFilePath()));
}

bool ConsoleRun::isLogWritten() const
{
    return logFileWritten() && QFileInfo(logFileShown()).isFile();
}

QString ConsoleRun::detailsText() const
{
    // A read-only package directory, a "log" that is a file, a full disk: pointing to a
    // file that does not exist, or lacks lines, would send the reader looking for nothing.
    if (!isLogWritten())
        return ConsoleText::tr("The run could not be logged: %1 cannot be written.").arg(logFileShown());
    return ConsoleText::tr("Details: %1").arg(logFileShown());
}
