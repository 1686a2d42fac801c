#include "steps/formalupdateo.h"

#include "check/removallist.h"
#include "db/dbcontrol.h"
#include "db/zrsqlparser.h"
#include "log/applog.h"
#include "updater/cvupdater.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

FormalUpdateO::FormalUpdateO(QObject *parent)
    : UpdateObject(parent)
    , m_stepProgress(0)
{
}

FormalUpdateO::~FormalUpdateO() = default;

bool FormalUpdateO::execUpdate(const QStringList &updateList)
{
    // Without an installation path every target would hang off the file system root
    // ("/", "/config", "/kqdata.db"): write nothing anywhere.
    if (CVUpdater::getInstance()->getInstallPath().isEmpty()) {
        ZR_LOG_WARNING("virtual bool FormalUpdateO::execUpdate(const QStringList&)")
            << "install path is empty!";
        return false;
    }

    m_removals.clear();
    if (updateList.isEmpty()) {
        ZR_LOG_WARNING("virtual bool FormalUpdateO::execUpdate(const QStringList&)")
            << "updatelist is empty!";
        return copyCommonFiles();
    }

    // The steps share 70 points; the remainder of the division is dropped, so 71 or
    // more steps report nothing.
    m_stepProgress = 70 / updateList.size();
    for (const QString &stepName : updateList) {
        // Earlier steps stay applied on a failure: undoing them is the backup's job.
        if (!execUpdate(stepName))
            return false;
        emit sigProcessAddValue(m_stepProgress);
    }
    return true;
}

bool FormalUpdateO::execUpdate(const QString &stepName)
{
    ZR_LOG_DEBUG("bool FormalUpdateO::execUpdate(const QString&)") << "exec update" << stepName;

    const QString stepDir = QStringLiteral("%1%2/").arg(getPackagePath(), stepName);
    if (!QDir(stepDir).exists()) {
        ZR_LOG_DEBUG("bool FormalUpdateO::execUpdate(const QString&)") << "dir not exit:" << stepDir;
        return false;
    }

    // Removed first: a later copy of this step (a name that changed only in letter
    // case, on Windows one file) must not be undone by the removal.
    const QString removalList = stepDir + QLatin1String(RemovalList::kFileName);
    if (QFileInfo::exists(removalList) && !removeFiles(stepName, removalList)) {
        ZR_LOG_DEBUG("bool FormalUpdateO::execUpdate(const QString&)") << "remove files failed";
        return false;
    }

    if (!copyCommonFiles())
        return false;
    emit sigProcessAddValue(m_stepProgress / 3);

    const QString commonDir = QStringLiteral("%1%2").arg(stepDir, QStringLiteral("common"));
    if (QDir(commonDir).exists() && !updateVerCommonFiles(commonDir, getInstallDir())) {
        ZR_LOG_DEBUG("bool FormalUpdateO::execUpdate(const QString&)") << "update version common file failed";
        return false;
    }

    const QString configSource = QStringLiteral("%1%2").arg(stepDir, QStringLiteral("config"));
    const QString configTarget = QStringLiteral("%1%2").arg(getInstallDir(), QStringLiteral("config"));
    if (QDir(configSource).exists() && !updateConfigFiles(configSource, configTarget)) {
        ZR_LOG_DEBUG("bool FormalUpdateO::execUpdate(const QString&)") << "update config file failed";
        return false;
    }
    emit sigProcessAddValue(m_stepProgress / 3);

    // A step without a script is no failure; updateDB() decides.
    if (!updateDB(QStringLiteral("%1%2").arg(stepDir, QStringLiteral("sql")))) {
        ZR_LOG_DEBUG("bool FormalUpdateO::execUpdate(const QString&)") << "db update err";
        return false;
    }
    emit sigProcessAddValue(m_stepProgress / 3);
    return true;
}

bool FormalUpdateO::copyCommonFiles()
{
    ZR_LOG_DEBUG("bool FormalUpdateO::copyCommonFiles()") << "copy common files";
    const QString source = QStringLiteral("%1%2").arg(getPackagePath(), QStringLiteral("common"));
    const bool ok = copyDirTree(source, getInstallDir(), true);
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
    StepRemovals removals(CVUpdater::getInstance()->getInstallPath());
    const bool ok = removals.apply(list, &result);
    m_removals.append(result);
    return ok;
}
