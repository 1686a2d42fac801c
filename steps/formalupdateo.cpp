#include "steps/formalupdateo.h"

#include "package/removallist.h"
#include "db/dbcontrol.h"
#include "db/zrsqlparser.h"
#include "log/applog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

const char listSignature[] = "virtual bool FormalUpdateO::execUpdate(const QStringList&)";
// The parts of one step log as the step.
const char stepSignature[] = "bool FormalUpdateO::execUpdate(const QString&)";

} // namespace

FormalUpdateO::FormalUpdateO(const QString &installPath, QObject *parent)
    : UpdateObject(installPath, parent)
    , m_stepProgress(0)
{
}

FormalUpdateO::~FormalUpdateO() = default;

bool FormalUpdateO::execUpdate(const QStringList &updateList)
{
    // Without an installation path every target would hang off the file system root
    // ("/", "/config", "/kqdata.db"): write nothing anywhere.
    if (installPath().isEmpty()) {
        ZR_LOG_WARNING(listSignature) << "install path is empty!";
        return false;
    }

    m_removals.clear();
    if (updateList.isEmpty()) {
        ZR_LOG_WARNING(listSignature) << "updatelist is empty!";
        return copyCommonFiles();
    }

    // The steps share 70 points; the remainder of the division is dropped, so 71 or
    // more steps report nothing.
    m_stepProgress = 70 / updateList.size();
    // Planned once, before anything changes; the steps run what it holds.
    setRunPlan(plan(updateList));
    bool ok = true;
    for (const QString &stepName : updateList) {
        // Earlier steps stay applied on a failure: undoing them is the backup's job.
        ok = execUpdate(stepName);
        if (!ok)
            break;
        emit sigProcessAddValue(m_stepProgress);
    }
    setRunPlan(StepPlan());
    return ok;
}

bool FormalUpdateO::execUpdate(const QString &stepName)
{
    ZR_LOG_DEBUG(stepSignature) << "exec update" << stepName;
    if (const StepPlan::Step *planned = runPlan().step(stepName))
        return runStep(*planned);
    // A step run on its own is planned on its own.
    setRunPlan(plan(QStringList{stepName}));
    const bool ok = runStep(*runPlan().step(stepName));
    setRunPlan(StepPlan());
    return ok;
}

bool FormalUpdateO::runStep(const StepPlan::Step &step)
{
    if (!step.present) {
        ZR_LOG_DEBUG(stepSignature) << "dir not exit:" << step.dir;
        return false;
    }
    for (const StepPlan::Entry &entry : step.entries) {
        if (!runEntry(step, entry))
            return false;
    }
    return true;
}

bool FormalUpdateO::runEntry(const StepPlan::Step &step, const StepPlan::Entry &entry)
{
    switch (entry.action) {
    case StepPlan::Action::Remove:
        if (removeFiles(step.name, entry.source))
            return true;
        ZR_LOG_DEBUG(stepSignature) << "remove files failed";
        return false;
    case StepPlan::Action::CopyPackageCommon:
        if (!copyCommonFiles())
            return false;
        emit sigProcessAddValue(m_stepProgress / 3);
        return true;
    case StepPlan::Action::CopyStepCommon:
        if (updateVerCommonFiles(entry.source, entry.target))
            return true;
        ZR_LOG_DEBUG(stepSignature) << "update version common file failed";
        return false;
    case StepPlan::Action::Config:
        if (updateConfigFiles(entry.source, entry.target))
            return true;
        ZR_LOG_DEBUG(stepSignature) << "update config file failed";
        return false;
    case StepPlan::Action::ReplaceConfig:
    case StepPlan::Action::MergeConfig:
        // Applied by the Config entry before them.
        return true;
    case StepPlan::Action::RunScript:
        // The files of the step are in place; the database comes last.
        emit sigProcessAddValue(m_stepProgress / 3);
        // A step without a script is no failure; updateDB() decides.
        if (!updateDB(QFileInfo(entry.source).path())) {
            ZR_LOG_DEBUG(stepSignature) << "db update err";
            return false;
        }
        emit sigProcessAddValue(m_stepProgress / 3);
        return true;
    }
    return false;
}

bool FormalUpdateO::copyCommonFiles()
{
    ZR_LOG_DEBUG("bool FormalUpdateO::copyCommonFiles()") << "copy common files";
    const StepPlan::Entry common = plan(QStringList()).packageCommon();
    const bool ok = copyDirTree(common.source, common.target, true);
    if (!ok)
        ZR_LOG_DEBUG("bool FormalUpdateO::copyCommonFiles()") << "copy application common failed";
    return ok;
}

bool FormalUpdateO::updateDB(const QString &sqlDir)
{
    ZR_LOG_DEBUG("bool FormalUpdateO::updateDB(const QString&)") << "update db data";

    const QString scriptPath = QStringLiteral("%1/dbupdate.sql").arg(sqlDir);
    if (!QFile::exists(scriptPath))
        return true;

    // Read and run statement by statement in the step's one transaction, so a script
    // of any size takes the memory of one statement; an IFN_COL directive is answered
    // by the database as the statements before it left it. A parse error half-way
    // rolls back what ran.
    ZRSqlParser parser;
    return DBControl::getInstance()->execModifyScript([&parser, &scriptPath](const DBControl::StatementRunner &run) {
        return parser.parseSqlFile(scriptPath, run);
    });
}

bool FormalUpdateO::removeFiles(const QString &stepName, const QString &listPath)
{
    ZR_LOG_DEBUG("bool FormalUpdateO::removeFiles(const QString&, const QString&)") << "remove files" << stepName;
    StepRemovals::Result result;
    result.step = stepName;
    RemovalList list;
    if (!list.read(listPath)) {
        ZR_LOG_WARNING("bool FormalUpdateO::removeFiles(const QString&, const QString&)")
            << QStringLiteral("read %1 failed: %2").arg(listPath, list.errorString());
        m_removals.append(result);
        return false;
    }
    StepRemovals removals(installPath());
    const bool ok = removals.apply(list, &result);
    m_removals.append(result);
    return ok;
}
