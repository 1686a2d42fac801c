#include "cli/restorecommand.h"

#include "cli/consoleoutput.h"
#include "cli/consolerun.h"
#include "cli/runreport.h"
#include "driver/corestartup.h"
#include "driver/outcometable.h"
#include "log/applog.h"
#include "context/consoletext.h"
#include "updater/cvupdater.h"
#include "updater/updatelock.h"

#include <QFileInfo>

RestoreCommand::RestoreCommand(ConsoleRun &run)
    : m_run(run)
{
}

int RestoreCommand::runOutsidePackage()
{
    // The log goes where the installation is, once it is found; until then the update
    // manager only reads the uninstall key, which an error names.
    ConsoleRun::discardMessages();
    m_run.updater.reset(CoreStartup::openInstallationWithoutPackage());
    if (!m_run.checkInstallation())
        return OutcomeTable::BadInput;
    m_run.startLog(QStringLiteral("%1/%2").arg(m_run.updater->getInstallPath(), QStringLiteral("log")));
    if (m_run.report) {
        m_run.report->setInstallation(m_run.updater->getInstallPath(), m_run.updater->getOldVersion(),
                                      m_run.updater->getRegKey());
        m_run.report->setLogFile(m_run.logFileShown());
    }
    return run();
}

int RestoreCommand::run()
{
    CVUpdater &updater = *m_run.updater;
    ConsoleOutput &output = *m_run.output;
    RunReport *report = m_run.report.get();
    UpdateLock lock(updater.getInstallPath());
    if (!m_run.lockInstallation(lock))
        return OutcomeTable::AnotherUpdateRunning;
    const QString stage = ConsoleRun::stageName(UpdateSequence::Stage::RestoreAfterFailure);
    output.stage(stage);
    if (report)
        report->startStage(QStringLiteral("restore"), stage);
    const bool restored = updater.restoreVersion();
    const QString resultText = ConsoleRun::text(restored ? 1073 : 1074);
    m_run.reportKeptDatabase();
    if (report) {
        report->finishStage(restored ? QStringLiteral("ok") : QStringLiteral("failed"));
        report->setResult(resultText);
    }
    ZR_LOG_INFO("int ConsoleUpdater::runRestore()") << "result:" << resultText;
    output.result(resultText, restored);
    if (restored)
        return OutcomeTable::Success;
    if (!QFileInfo(updater.getBackupPath()).isDir())
        output.error(ConsoleText::tr("There is no backup %1.").arg(updater.getBackupPath()));
    output.error(m_run.detailsText());
    return OutcomeTable::RestoreFailed;
}
