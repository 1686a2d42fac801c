#include "steps/updateobject.h"

#include "config/configbase.h"
#include "fileutil/disksync.h"
#include "fileutil/filecopier.h"
#include "fileutil/treewalker.h"
#include "log/applog.h"
#include "layout/installlayout.h"

#include <QDir>
#include <QFileInfo>

namespace {

const char copyDirTreeSignature[] = "bool UpdateObject::copyDirTree(const QString&, const QString&, bool)";
const char configSignature[] = "bool UpdateObject::updateConfigFiles(const QString&, const QString&)";

bool refuseLink(const QString &path)
{
    ZR_LOG_WARNING(configSignature) << QStringLiteral("refuse link %1,it leads out of the installation").arg(path);
    return false;
}

} // namespace

UpdateObject::UpdateObject(const QString &installPath, QObject *parent)
    : QObject(parent)
    , m_installPath(installPath)
{
}

UpdateObject::~UpdateObject() = default;

bool UpdateObject::execUpdate(const QStringList &updateList)
{
    Q_UNUSED(updateList)
    return true;
}

bool UpdateObject::isAvailable()
{
    return true;
}

QString UpdateObject::makeStepName(const QString &from, const QString &to) const
{
    return QStringLiteral("%1_to_%2").arg(from, to);
}

QString UpdateObject::getPackagePath() const
{
    return InstallLayout::packageRoot();
}

QString UpdateObject::getInstallDir() const
{
    return QStringLiteral("%1/").arg(m_installPath);
}

bool UpdateObject::updateVerCommonFiles(const QString &sourceDir, const QString &targetDir)
{
    ZR_LOG_DEBUG("bool UpdateObject::updateVerCommonFiles(const QString&, const QString&)")
        << "copy version common files";
    const bool ok = copyDirTree(sourceDir, targetDir, true);
    if (!ok) {
        ZR_LOG_DEBUG("bool UpdateObject::updateVerCommonFiles(const QString&, const QString&)")
            << "copy version common failed";
    }
    return ok;
}

bool UpdateObject::updateConfigFiles(const QString &sourceDir, const QString &targetDir)
{
    ZR_LOG_DEBUG(configSignature) << "update config files";

    const QDir target(targetDir);
    // The installation is the directory that holds its "config".
    const QString installRoot = QFileInfo(target.absolutePath()).absolutePath();
    if (!prepareConfigDir(target, installRoot))
        return false;
    // In a run, the files its plan holds (the package's "config" as it was listed then).
    const QList<StepPlan::Entry> files = m_runPlan.configFilesOf(sourceDir, targetDir);
    for (const StepPlan::Entry &file : files) {
        if (!applyConfigFile(file, installRoot))
            return false;
    }
    return true;
}

bool UpdateObject::prepareConfigDir(const QDir &target, const QString &installRoot)
{
    if (TreeWalker::isLinkOutside(target.absolutePath(), installRoot))
        return refuseLink(target.absolutePath());
    return target.exists() || QDir().mkdir(target.absolutePath());
}

bool UpdateObject::applyConfigFile(const StepPlan::Entry &file, const QString &installRoot)
{
    if (file.action != StepPlan::Action::MergeConfig)
        return copyFileOver(file.source, file.target, true);
    if (!QFileInfo::exists(file.target)) {
        // Arrives exactly as the package has it: no markers added, no backup.
        return copyFileOver(file.source, file.target, false);
    }
    // Opening a directory as a settings file would "succeed" with nothing read or
    // written, so a directory on either side fails like any file that cannot be copied.
    if (!QFileInfo(file.source).isFile() || !QFileInfo(file.target).isFile())
        return false;
    // Checked before the installed file is opened: the opening's repair writes too, and
    // QSaveFile, behind QSettings and the backup copy, writes to a link's target.
    for (const QString &written : {file.target, file.target + QStringLiteral(".bak")}) {
        if (TreeWalker::isLinkOutside(written, installRoot))
            return refuseLink(written);
    }
    return mergeIni(file);
}

bool UpdateObject::mergeIni(const StepPlan::Entry &file)
{
    const QString name = QFileInfo(file.target).fileName();
    // The installed object is declared last so that it is destroyed, and the merged
    // file saved with its ".bak", before the package's object goes.
    // The package's file is only read, never repaired: one without its markers is a
    // broken package, not an empty set of keys.
    ConfigBase packageIni(file.source, ConfigBase::Access::ReadOnly);
    if (packageIni.isReadable() && !packageIni.isValid()) {
        ZR_LOG_WARNING(configSignature)
            << QStringLiteral("merge %1 failed,the package's file is not a marked file").arg(name);
        return false;
    }
    // The opening below repairs a damaged file from its backup, or re-creates it: a key
    // only the damaged file holds would be gone (kept in ".damaged" alone), unless the
    // package sets it anyway. The step fails rather than drop it.
    const QStringList packageKeys = packageIni.allKeys();
    const QStringList lost = ConfigBase(file.target, ConfigBase::Access::ReadOnly).keysLostByRepair(packageKeys);
    if (!lost.isEmpty()) {
        ZR_LOG_WARNING(configSignature)
            << QStringLiteral("merge %1 failed,the file is damaged and its repair would drop keys %2")
                   .arg(name, lost.join(QLatin1Char(',')));
        return false;
    }
    ConfigBase installedIni(file.target);
    // Put on the disk with the rest of the update, before the update flag vouches for
    // it (CVUpdater::flushUpdate()); until then a power cut leads to the backup anyway.
    installedIni.setFlushedByCaller(true);
    // A side that could not be read would be merged as an empty file, and the step
    // would go on without the package's settings, or without the user's.
    if (!packageIni.isReadable() || !installedIni.isReadable()) {
        ZR_LOG_WARNING(configSignature) << QStringLiteral("merge %1 failed,a file cannot be read").arg(name);
        return false;
    }
    // Only what differs is set: a file that already holds the package's values is not
    // written at all, and keeps every byte (comments, order, spacing).
    for (const QString &key : packageKeys) {
        const QVariant value = packageIni.value(key, QVariant(0));
        if (installedIni.value(key) != value)
            installedIni.setValue(key, value);
    }
    // Saved here rather than by the destructor, whose result nobody sees: a merge
    // that did not reach the disk must fail the step.
    if (!installedIni.save()) {
        ZR_LOG_WARNING(configSignature) << QStringLiteral("merge %1 failed,it cannot be saved").arg(name);
        return false;
    }
    DiskSync::noteWritten(file.target);
    DiskSync::noteWritten(installedIni.getBackupFile());
    return true;
}

StepPlan UpdateObject::plan(const QStringList &updateList) const
{
    return StepPlan::make(getPackagePath(), getInstallDir(), updateList);
}

bool UpdateObject::copyDirTree(const QString &sourceDir, const QString &targetDir, bool overwrite)
{
    TreeWalker walker;
    walker.setOverwrite(overwrite);
    walker.setGuardTarget(true);
    // An installed link to a directory elsewhere would have the package's files written
    // there, where no backup covers them: the step fails and the backup goes back.
    walker.setConfineTarget(true);
    // The callers log the failure; a skipped loop and a refused link are worth a line of
    // their own, worded like the backup copy's, so one search finds both.
    walker.setReporter([](TreeWalker::Issue issue, const TreeWalker::Entry &, const QString &detail) {
        if (issue == TreeWalker::Issue::Loop) {
            ZR_LOG_WARNING(copyDirTreeSignature)
                << QStringLiteral("skip link %1,it leads back into the tree being copied").arg(detail);
        } else if (issue == TreeWalker::Issue::LinkOutside) {
            ZR_LOG_WARNING(copyDirTreeSignature)
                << QStringLiteral("refuse link %1,it leads out of the tree being copied into").arg(detail);
        }
    });
    return walker.copy(sourceDir, targetDir);
}

bool UpdateObject::copyFileOver(const QString &source, const QString &target, bool overwrite)
{
    // Judge the source before anything installed is removed: a directory (or a file gone
    // meanwhile) cannot be copied, and removing first would lose the installed file for nothing.
    if (!QFileInfo(source).isFile())
        return false;

    // The copy never overwrites. A directory in the way is not removed, and the copy
    // then fails on it; a dangling link is an entry too and goes.
    if (overwrite)
        FileCopier::removeTarget(target);
    // Not flushed file by file: the update flag turns true only after one flush of the
    // whole installation (CVUpdater::updateRegKey()).
    FileCopier copier;
    return copier.copy(source, target);
}
