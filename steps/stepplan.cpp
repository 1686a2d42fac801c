#include "steps/stepplan.h"

#include "config/configbase.h"
#include "fileutil/treewalker.h"
#include "layout/installlayout.h"
#include "package/removallist.h"
#include "steps/stepremovals.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>

#include <algorithm>

namespace {

bool isDotEntry(const QString &name)
{
    return name == QLatin1String(".") || name == QLatin1String("..");
}

bool isTree(StepPlan::Action action)
{
    return action == StepPlan::Action::CopyPackageCommon || action == StepPlan::Action::CopyStepCommon;
}

} // namespace

StepPlan StepPlan::make(const QString &packageRoot, const QString &installDir, const QStringList &steps)
{
    StepPlan plan;
    plan.m_packageRoot = packageRoot;
    plan.m_installDir = installDir;
    for (const QString &name : steps) {
        Step step;
        step.name = name;
        step.dir = QStringLiteral("%1%2/").arg(packageRoot, name);
        step.present = QDir(step.dir).exists();
        if (step.present) {
            // Removed first: a later copy of this step (a name that changed only in letter
            // case, on Windows one file) must not be undone by the removal.
            const QString removalList = step.dir + QLatin1String(RemovalList::kFileName);
            if (QFileInfo::exists(removalList))
                step.entries.append({Action::Remove, removalList, installDir});
            step.entries.append(plan.packageCommon());
            const QString commonDir = QStringLiteral("%1%2").arg(step.dir, QStringLiteral("common"));
            if (QDir(commonDir).exists())
                step.entries.append({Action::CopyStepCommon, commonDir, installDir});
            const QString configSource = QStringLiteral("%1%2").arg(step.dir, QStringLiteral("config"));
            const QString configTarget = QStringLiteral("%1%2").arg(installDir, QStringLiteral("config"));
            if (QDir(configSource).exists()) {
                step.entries.append({Action::Config, configSource, configTarget});
                step.entries.append(configFiles(configSource, configTarget));
            }
            step.entries.append({Action::RunScript, QStringLiteral("%1%2/dbupdate.sql").arg(step.dir, QStringLiteral("sql")),
                                 installDir + InstallLayout::databaseName()});
        }
        plan.m_steps.append(step);
    }
    return plan;
}

QList<StepPlan::Entry> StepPlan::configFiles(const QString &sourceDir, const QString &targetDir)
{
    QList<Entry> files;
    const QDir target(targetDir);
    const QFileInfoList entries = QDir(sourceDir).entryInfoList();
    for (const QFileInfo &entry : entries) {
        const QString name = entry.fileName();
        if (isDotEntry(name))
            continue;
        files.append({ConfigBase::isIniFile(name) ? Action::MergeConfig : Action::ReplaceConfig, entry.filePath(), target.filePath(name)});
    }
    return files;
}

const StepPlan::Step *StepPlan::step(const QString &name) const
{
    for (const Step &step : m_steps) {
        if (step.name == name)
            return &step;
    }
    return nullptr;
}

StepPlan::Entry StepPlan::packageCommon() const
{
    return {Action::CopyPackageCommon, QStringLiteral("%1%2").arg(m_packageRoot, QStringLiteral("common")), m_installDir};
}

QList<StepPlan::Entry> StepPlan::configFilesOf(const QString &sourceDir, const QString &targetDir) const
{
    for (const Step &step : m_steps) {
        for (int index = 0; index < step.entries.size(); ++index) {
            const Entry &entry = step.entries.at(index);
            if (entry.action != Action::Config || entry.source != sourceDir || entry.target != targetDir)
                continue;
            QList<Entry> files;
            for (++index; index < step.entries.size(); ++index) {
                const Action action = step.entries.at(index).action;
                if (action != Action::ReplaceConfig && action != Action::MergeConfig)
                    break;
                files.append(step.entries.at(index));
            }
            return files;
        }
    }
    return configFiles(sourceDir, targetDir);
}

QString StepPlan::copiedBefore(int stepIndex, int entryIndex, const QString &relativePath) const
{
    const QString installed = m_installDir + relativePath;
    for (int s = stepIndex; s >= 0; --s) {
        const QList<Entry> &entries = m_steps.at(s).entries;
        for (int e = (s == stepIndex ? entryIndex : entries.size()) - 1; e >= 0; --e) {
            const Entry &entry = entries.at(e);
            QString source;
            if (isTree(entry.action) && installed.startsWith(entry.target))
                source = QStringLiteral("%1/%2").arg(entry.source, installed.mid(entry.target.size()));
            else if (entry.action == Action::ReplaceConfig && entry.target == installed)
                source = entry.source;
            if (!source.isEmpty() && QFileInfo(source).isFile())
                return source;
        }
    }
    return QString();
}

bool StepPlan::existsBefore(int stepIndex, int entryIndex, const QString &target) const
{
    if (QFileInfo::exists(target))
        return true;
    if (target.startsWith(m_installDir) && !copiedBefore(stepIndex, entryIndex, target.mid(m_installDir.size())).isEmpty())
        return true;
    for (int s = 0; s <= stepIndex; ++s) {
        const QList<Entry> &entries = m_steps.at(s).entries;
        for (int e = 0; e < (s == stepIndex ? entryIndex : entries.size()); ++e) {
            if (entries.at(e).action == Action::MergeConfig && entries.at(e).target == target)
                return true;
        }
    }
    return false;
}

QStringList StepPlan::removedBy(int stepIndex, int entryIndex) const
{
    RemovalList list;
    if (!list.read(m_steps.at(stepIndex).entries.at(entryIndex).source))
        return QStringList();
    // What the step would find: the files that the entries before it copied.
    StepRemovals removals(m_installDir);
    removals.setDryRun(true);
    removals.setContentSource([this, stepIndex, entryIndex](const QString &path) {
        return copiedBefore(stepIndex, entryIndex, path);
    });
    StepRemovals::Result result;
    removals.apply(list, &result);
    return result.removed;
}

void StepPlan::addTouched(int stepIndex, int entryIndex, QStringList *paths, bool filesOnly) const
{
    const Entry &entry = stepIndex < 0 ? packageCommon() : m_steps.at(stepIndex).entries.at(entryIndex);
    switch (entry.action) {
    case Action::Remove:
        for (const QString &removed : removedBy(stepIndex, entryIndex))
            paths->append(entry.target + removed);
        break;
    case Action::CopyPackageCommon:
    case Action::CopyStepCommon:
        if (!QFileInfo(entry.source).isDir())
            break;
        TreeWalker().visit(entry.source, entry.target, [&](const TreeWalker::Entry &walked, const QFileInfo &source) {
            if (!source.isDir() || !QFileInfo::exists(walked.targetPath))
                paths->append(walked.targetPath);
            return source.isDir() ? TreeWalker::Step::Descend : TreeWalker::Step::Skip;
        });
        break;
    case Action::Config:
        if (!QFileInfo::exists(entry.target))
            paths->append(entry.target);
        break;
    case Action::ReplaceConfig:
    case Action::MergeConfig:
        paths->append(entry.target);
        break;
    case Action::RunScript:
        if (!filesOnly && QFileInfo::exists(entry.source))
            paths->append(entry.target);
        break;
    }
}

QStringList StepPlan::touchedPaths() const
{
    QStringList paths;
    // An empty list of steps copies the package's common tree alone.
    if (m_steps.isEmpty())
        addTouched(-1, -1, &paths, false);
    for (int s = 0; s < m_steps.size(); ++s) {
        const QList<Entry> &entries = m_steps.at(s).entries;
        for (int e = 0; e < entries.size(); ++e) {
            const Entry &entry = entries.at(e);
            addTouched(s, e, &paths, false);
            // The merge saves the installed file's previous state beside it.
            if (entry.action == Action::MergeConfig && existsBefore(s, e, entry.target))
                paths.append(entry.target + QStringLiteral(".bak"));
        }
    }
    std::sort(paths.begin(), paths.end());
    paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
    return paths;
}

void StepPlan::addListedFiles(const Entry &removal, QStringList *paths)
{
    // Every file the list names, not only those that would match: one another program
    // holds open cannot even be read to tell, and Windows refuses to remove it either way.
    RemovalList list;
    if (!list.read(removal.source))
        return; // a list that cannot be read fails the check elsewhere
    for (const RemovalList::Entry &listed : list.entries()) {
        if (!listed.directory)
            paths->append(removal.target + listed.path);
    }
}

QStringList StepPlan::replacedFiles() const
{
    QStringList paths;
    if (m_steps.isEmpty())
        addTouched(-1, -1, &paths, true);
    for (int s = 0; s < m_steps.size(); ++s) {
        const QList<Entry> &entries = m_steps.at(s).entries;
        for (int e = 0; e < entries.size(); ++e) {
            if (entries.at(e).action == Action::Remove)
                addListedFiles(entries.at(e), &paths);
            else
                addTouched(s, e, &paths, true);
            if (entries.at(e).action == Action::MergeConfig)
                paths.append(entries.at(e).target + QStringLiteral(".bak"));
        }
    }
    QStringList files;
    QSet<QString> seen;
    for (const QString &path : qAsConst(paths)) {
        if (!seen.contains(path) && QFileInfo(path).isFile())
            files.append(path);
        seen.insert(path);
    }
    return files;
}
