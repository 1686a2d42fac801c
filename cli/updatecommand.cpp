#include "cli/updatecommand.h"

#include "package/trustedkeys.h"
#include "cli/consoleoutput.h"
#include "cli/consolerun.h"
#include "cli/runreport.h"
#include "driver/outcometable.h"
#include "layout/versionorder.h"
#include "log/applog.h"
#include "steps/formalupdateo.h"
#include "context/consoletext.h"
#include "updater/applicationcheck.h"
#include "updater/cvupdater.h"

#include <QDir>

namespace {

// The console's side of an update: stage names and progress on the output.
class ConsoleObserver : public UpdateSequence::Observer
{
public:
    ConsoleObserver(ConsoleOutput *output, RunReport *report, int waitSeconds)
        : m_output(output)
        , m_report(report)
        , m_waitSeconds(waitSeconds)
    {
    }
    const char *logSignature() const override { return "int ConsoleUpdater::runUpdate()"; }
    void stageStarted(UpdateSequence::Stage stage) override
    {
        m_output->stage(ConsoleRun::stageName(stage));
        if (m_report)
            m_report->startStage(ConsoleRun::stageId(stage), ConsoleRun::stageName(stage));
    }
    int progress() const override { return m_output->progress(); }
    void setProgress(int value) override { m_output->setProgress(value); }
    void waitingForHolders(const QList<FileHolders::Holder> &holders) override
    {
        m_output->info(ConsoleText::tr("Waiting up to %1 seconds for these programs to close:").arg(m_waitSeconds));
        for (const FileHolders::Holder &holder : holders)
            m_output->info(QStringLiteral("  %1").arg(ApplicationCheck::describe(holder)));
    }

private:
    ConsoleOutput *m_output;
    RunReport *m_report;
    int m_waitSeconds;
};

} // namespace

UpdateCommand::UpdateCommand(ConsoleRun &run)
    : m_run(run)
{
}

int UpdateCommand::run()
{
    announce();
    ConsoleObserver observer(m_run.output.get(), m_run.report.get(), m_run.waitSeconds);
    UpdateSequence sequence(m_run.updater.get());
    sequence.setObserver(&observer);
    sequence.setWaitForApplication(m_run.waitSeconds);
    const UpdateSequence::Outcome outcome = sequence.run();

    const int result = OutcomeTable::status(outcome);
    reportRemovals();
    const QString resultText = ConsoleRun::text(UpdateSequence::resultTextId(outcome));
    ZR_LOG_INFO("int ConsoleUpdater::runUpdate()") << "result:" << resultText;
    m_run.reportKeptDatabase();
    recordOutcome(sequence, outcome, resultText);
    if (outcome == UpdateSequence::Outcome::Succeeded) {
        m_run.output->result(resultText, true);
        printSuccess();
        return result;
    }
    m_run.output->result(resultText, false);
    printFailure(sequence, outcome);
    m_run.output->error(m_run.detailsText());
    return result;
}

void UpdateCommand::announce()
{
    // The versions as the run starts: a refusal names these.
    m_oldVersion = m_run.updater->getOldVersion();
    m_newVersion = m_run.updater->getNewVersion();
    const QString installPath = QDir::toNativeSeparators(m_run.updater->getInstallPath());
    if (VersionOrder::isNewer(m_newVersion, m_oldVersion))
        m_run.output->info(ConsoleText::tr("Updating %1 from %2 to %3").arg(installPath, m_oldVersion, m_newVersion));
    else
        m_run.output->info(ConsoleText::tr("Installation %1: version %2; the package brings version %3")
                               .arg(installPath, m_oldVersion, m_newVersion));
}

void UpdateCommand::reportRemovals()
{
    for (const StepRemovals::Result &step : m_run.updater->getUpdateObject()->removals()) {
        QStringList kept;
        for (const QString &path : step.removed)
            m_run.output->info(ConsoleText::tr("%1: removed %2").arg(step.step, path));
        for (const StepRemovals::Kept &entry : step.kept) {
            m_run.output->info(
                ConsoleText::tr("%1: kept %2 (%3)").arg(step.step, entry.path, StepRemovals::whyText(entry.why)));
            kept.append(entry.path);
        }
        if (m_run.report)
            m_run.report->addRemovals(step.step, step.removed, kept);
    }
}

void UpdateCommand::recordOutcome(const UpdateSequence &sequence, UpdateSequence::Outcome outcome,
                                  const QString &resultText)
{
    RunReport *report = m_run.report.get();
    if (!report)
        return;
    report->setResult(resultText);
    if (!sequence.verification().signatureText.isEmpty())
        report->setSignature(ConsoleRun::signatureJson(sequence.verification()));
    report->setHolders(ConsoleRun::holdersJson(sequence.holders()));
    if (outcome == UpdateSequence::Outcome::Succeeded) {
        report->finishStage(QStringLiteral("ok"));
    } else if (outcome == UpdateSequence::Outcome::UpdateFailedRestored
               || outcome == UpdateSequence::Outcome::UpdateFailedRestoreFailed) {
        // The open stage is the restore after the failed one.
        report->finishStage(outcome == UpdateSequence::Outcome::UpdateFailedRestored ? QStringLiteral("ok")
                                                                                    : QStringLiteral("failed"));
        report->setStageOutcome(ConsoleRun::stageId(sequence.failedStage()), QStringLiteral("failed"));
    } else {
        report->finishStage(QStringLiteral("ok"));
        report->setStageOutcome(ConsoleRun::stageId(sequence.failedStage()), QStringLiteral("failed"));
    }
}

void UpdateCommand::printSuccess()
{
    // Done, but not all of it: said also when quiet.
    for (const QString &warning : m_run.updater->warnings()) {
        m_run.output->notice(ConsoleText::tr("Warning: %1").arg(warning));
        if (m_run.report)
            m_run.report->addWarning(warning);
    }
}

void UpdateCommand::printVersionRefused()
{
    const QString &oldVersion = m_oldVersion;
    const QString &newVersion = m_newVersion;
    if (oldVersion.isEmpty() || newVersion.isEmpty())
        m_run.output->error(ConsoleText::tr("The package has no version (RELEASE/VERSION in version.ini); nothing was "
                                            "changed."));
    else if (oldVersion == newVersion)
        m_run.output->error(ConsoleText::tr("The installation already has version %1, the package's version: nothing "
                                            "to do; nothing was changed.")
                                .arg(newVersion));
    else
        m_run.output->error(ConsoleText::tr("The package version \"%1\" does not follow the installed version \"%2\"; "
                                            "nothing was changed.")
                                .arg(newVersion, oldVersion));
}

void UpdateCommand::printFailure(const UpdateSequence &sequence, UpdateSequence::Outcome outcome)
{
    ConsoleOutput &output = *m_run.output;
    const CVUpdater &updater = *m_run.updater;
    const QString failed = ConsoleRun::stageName(sequence.failedStage());
    switch (outcome) {
    case UpdateSequence::Outcome::VersionRefused:
        printVersionRefused();
        break;
    case UpdateSequence::Outcome::FlagFailed:
        output.error(ConsoleText::tr("The update flag %1 could not be read or set; nothing was changed.")
                         .arg(updater.getFlagFilePath()));
        break;
    case UpdateSequence::Outcome::InterruptedRestoreFailed:
        output.error(ConsoleText::tr("An earlier update was interrupted, and putting its backup %1 back failed; "
                                     "nothing else was done.")
                         .arg(updater.getBackupPath()));
        break;
    case UpdateSequence::Outcome::BackupFailed:
        output.error(ConsoleText::tr("The installation could not be backed up to %1; nothing was updated.")
                         .arg(updater.getBackupPath()));
        break;
    case UpdateSequence::Outcome::UpdateFailedRestored:
        output.error(ConsoleText::tr("Failed: %1. The backup was put back.").arg(failed));
        break;
    case UpdateSequence::Outcome::UpdateFailedRestoreFailed:
        output.error(ConsoleText::tr("Failed: %1, and the backup could not be put back: the installation may be "
                                     "incomplete. The next update puts the backup back first; so does --restore.")
                         .arg(failed));
        break;
    case UpdateSequence::Outcome::AnotherUpdateRunning:
        output.error(sequence.refusal().value(0));
        break;
    case UpdateSequence::Outcome::PackageRefused:
        output.error(ConsoleText::tr("The package was refused before anything was changed:"));
        for (const QString &reason : sequence.refusal())
            output.error(QStringLiteral("  %1").arg(reason));
        break;
    case UpdateSequence::Outcome::NotEnoughSpace:
        output.error(ConsoleText::tr("Not enough free space, nothing was changed: %1").arg(sequence.refusal().value(0)));
        break;
    case UpdateSequence::Outcome::DatabaseInUse:
        for (const QString &holder : sequence.refusal())
            output.error(ConsoleText::tr("The application must be closed first, nothing was changed: %1").arg(holder));
        break;
    case UpdateSequence::Outcome::PackageNotVerified:
        for (const QString &problem : sequence.refusal())
            output.error(QStringLiteral("  %1").arg(problem));
        output.error(ConsoleText::tr("The package was refused before anything was changed: it is not whole, or not "
                                     "signed by a key this installation trusts (%1).")
                         .arg(QDir::toNativeSeparators(TrustedKeys::filePath(updater.getInstallPath()))));
        break;
    case UpdateSequence::Outcome::DatabaseDamaged:
        for (const QString &reason : sequence.refusal())
            output.error(QStringLiteral("  %1").arg(reason));
        output.error(ConsoleText::tr("The installation's database is damaged: repair or restore it, then update; "
                                     "nothing was changed."));
        break;
    case UpdateSequence::Outcome::Succeeded:
        break;
    }
}
