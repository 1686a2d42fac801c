#include "cli/checkcommand.h"

#include "check/packagecheck.h"
#include "cli/consoleoutput.h"
#include "cli/consolerun.h"
#include "cli/runreport.h"
#include "config/configbase.h"
#include "driver/corestartup.h"
#include "driver/outcometable.h"
#include "context/consoletext.h"
#include "updater/cvupdater.h"
#include "updater/updatelock.h"

namespace {

// A word padded to a column of the terminal: East Asian wide characters take two cells.
QString padded(const QString &word, int cells)
{
    const auto isWide = [](ushort c) {
        return (c >= 0x1100 && c <= 0x115f) || (c >= 0x2e80 && c <= 0xa4cf) || (c >= 0xac00 && c <= 0xd7a3)
            || (c >= 0xf900 && c <= 0xfaff) || (c >= 0xff00 && c <= 0xff60) || (c >= 0xffe0 && c <= 0xffe6);
    };
    int width = 0;
    for (const QChar c : word)
        width += isWide(c.unicode()) ? 2 : 1;
    return word + QString(qMax(0, cells - width), QLatin1Char(' '));
}

QString severityId(PackageCheck::Severity severity)
{
    switch (severity) {
    case PackageCheck::Severity::Ok:
        return QStringLiteral("ok");
    case PackageCheck::Severity::Note:
        return QStringLiteral("note");
    case PackageCheck::Severity::Problem:
        break;
    }
    return QStringLiteral("problem");
}

} // namespace

CheckCommand::CheckCommand(ConsoleRun &run)
    : m_run(run)
{
}

CheckCommand::~CheckCommand() = default;

int CheckCommand::run()
{
    const int refused = open();
    if (refused >= 0)
        return refused;
    PackageCheck check(m_run.packageDir);
    listen(check);
    CVUpdater *updater = m_run.updater.get();
    RunReport *report = m_run.report.get();
    m_run.output->info(ConsoleText::tr("Checking the package %1").arg(m_run.packageDir));
    if (report && updater) {
        report->setPackage(m_run.packageDir, updater->getNewVersion());
        report->setInstallation(updater->getInstallPath(), updater->getOldVersion(), updater->getRegKey());
    }
    if (report)
        report->startStage(QStringLiteral("check"), ConsoleRun::stageName(UpdateSequence::Stage::CheckPackage));
    if (check.checkVersionFile() && updater) {
        check.run(updater);
        if (report)
            report->setSignature(ConsoleRun::signatureJson(check.verification()));
    }
    if (report)
        report->finishStage(check.problemCount() == 0 ? QStringLiteral("ok") : QStringLiteral("failed"));
    return conclude(check);
}

int CheckCommand::open()
{
    // The update manager opens version.ini for writing: only a file that needs no
    // repair may be handed to it. The installation is looked for before anything is
    // printed, so that its absence is bad input like in the other modes.
    const QString versionFile = QStringLiteral("%1/version.ini").arg(m_run.packageDir);
    if (!ConfigBase(versionFile, ConfigBase::Access::ReadOnly).isValid())
        return -1;
    m_run.updater.reset(CoreStartup::openInstallation(m_run.packageDir));
    if (!m_run.checkInstallation())
        return OutcomeTable::BadInput;
    // A check of an installation it cannot write (no lock file) goes on.
    m_lock = std::make_unique<UpdateLock>(m_run.updater->getInstallPath());
    if (!m_run.lockInstallation(*m_lock))
        return OutcomeTable::AnotherUpdateRunning;
    m_run.updater->refreshOldVersion();
    return -1;
}

void CheckCommand::listen(PackageCheck &check)
{
    ConsoleOutput *output = m_run.output.get();
    RunReport *report = m_run.report.get();
    // "  ok       text": the word padded to one column in every language.
    const QString okWord = padded(ConsoleText::tr("ok"), 8);
    const QString noteWord = padded(ConsoleText::tr("note"), 8);
    const QString problemWord = padded(ConsoleText::tr("PROBLEM"), 8);
    check.setFindingListener([=](const PackageCheck::Finding &finding) {
        if (report)
            report->addFinding(severityId(finding.severity), finding.text);
        switch (finding.severity) {
        case PackageCheck::Severity::Ok:
            output->info(QStringLiteral("  %1 %2").arg(okWord, finding.text));
            break;
        case PackageCheck::Severity::Note:
            output->info(QStringLiteral("  %1 %2").arg(noteWord, finding.text));
            break;
        case PackageCheck::Severity::Problem:
            output->notice(QStringLiteral("  %1 %2").arg(problemWord, finding.text));
            break;
        }
    });
}

int CheckCommand::conclude(const PackageCheck &check)
{
    const int problems = check.problemCount();
    QString last;
    int status = OutcomeTable::CheckFailed;
    if (problems == 0 && check.nothingToDo()) {
        last = ConsoleText::tr("Nothing to do: the installation has version %1, the package version %2.")
                   .arg(m_run.updater->getOldVersion(), m_run.updater->getNewVersion());
        status = OutcomeTable::NothingToDo;
    } else if (problems == 0) {
        last = ConsoleText::tr("Check passed: the update from %1 to %2 would go through.")
                   .arg(m_run.updater->getOldVersion(), m_run.updater->getNewVersion());
        status = OutcomeTable::Success;
    } else {
        last = problems == 1 ? ConsoleText::tr("Check found 1 problem: the update would fail.")
                             : ConsoleText::tr("Check found %1 problems: the update would fail.").arg(problems);
    }
    // A failed check is a finding of its own: said also when quiet.
    if (status == OutcomeTable::CheckFailed)
        m_run.output->notice(last);
    else
        m_run.output->info(last);
    if (m_run.report)
        m_run.report->setResult(last);
    return status;
}
