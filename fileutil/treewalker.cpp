#include "fileutil/treewalker.h"

#include "fileutil/dirlisting.h"

#include <QDir>
#include <QFileInfo>

namespace {

// Keeps a directory on the guard's path for one level of the walk.
class GuardedDir
{
public:
    GuardedDir(RecursionGuard &guard, const QString &dirPath, bool active = true)
        : m_guard(guard)
        , m_entered(!active || guard.enter(dirPath))
        , m_pushed(active && m_entered)
    {
    }
    ~GuardedDir()
    {
        if (m_pushed)
            m_guard.leave();
    }
    GuardedDir(const GuardedDir &) = delete;
    GuardedDir &operator=(const GuardedDir &) = delete;

    bool entered() const { return m_entered; }

private:
    RecursionGuard &m_guard;
    const bool m_entered;
    const bool m_pushed;
};

} // namespace

TreeWalker::TreeWalker() = default;

TreeWalker::~TreeWalker() = default;

void TreeWalker::setSkipNames(const QStringList &atTop, const QStringList &everywhere)
{
    m_skipAtTop = atTop;
    m_skipEverywhere = everywhere;
}

bool TreeWalker::copy(const QString &source, const QString &target)
{
    m_visitor = nullptr;
    m_guard = RecursionGuard();
    return enterDir(root(source, target));
}

void TreeWalker::visit(const QString &source, const QString &target, Visitor visitor)
{
    m_visitor = std::move(visitor);
    m_guard = RecursionGuard();
    enterDir(root(source, target));
    m_visitor = nullptr;
}

TreeWalker::Entry TreeWalker::root(const QString &source, const QString &target)
{
    // Without a trailing separator, as a QDir made from the path gives it.
    return {QString(), QString(), QDir(source).path(), QDir(target).path(), -1};
}

TreeWalker::Entry TreeWalker::child(const Entry &dir, const QString &name)
{
    return {name, dir.relativePath.isEmpty() ? name : QStringLiteral("%1/%2").arg(dir.relativePath, name),
            QStringLiteral("%1/%2").arg(dir.sourcePath, name), QStringLiteral("%1/%2").arg(dir.targetPath, name),
            dir.depth + 1};
}

bool TreeWalker::isSkipped(const QString &name, int depth) const
{
    return m_skipEverywhere.contains(name) || (depth == 0 && m_skipAtTop.contains(name));
}

void TreeWalker::report(Issue issue, const Entry &entry, const QString &detail) const
{
    if (m_reporter)
        m_reporter(issue, entry, detail);
}

bool TreeWalker::fail(Issue issue, const Entry &entry, const QString &detail)
{
    report(issue, entry, detail);
    return false;
}

bool TreeWalker::enterDir(const Entry &dir)
{
    // A link such as "common/data/up" -> "common" would be walked into itself forever.
    const GuardedDir source(m_guard, dir.sourcePath);
    if (!source.entered()) {
        report(Issue::Loop, dir, dir.sourcePath);
        return true;
    }
    if (m_visitor) {
        reportLeftOut(dir);
        return walkDir(dir);
    }

    const QDir target(dir.targetPath);
    if (!target.exists() && !target.mkdir(target.absolutePath()))
        return fail(Issue::MakeDir, dir);

    // The target side can loop too: an installed link that leads into the tree being
    // copied would make every level create the next one below itself.
    const GuardedDir targetLevel(m_guard, dir.targetPath, m_guardTarget);
    if (!targetLevel.entered()) {
        report(Issue::Loop, dir, dir.targetPath);
        return true;
    }
    return walkDir(dir);
}

bool TreeWalker::walkDir(const Entry &dir)
{
    // Names only, so that a directory of many files does not cost memory for all of
    // them at once.
    const QStringList names = DirListing::sortedNames(dir.sourcePath);
    for (const QString &name : names) {
        if (isSkipped(name, dir.depth + 1))
            continue;
        const Entry entry = child(dir, name);
        const QFileInfo info(entry.sourcePath);

        if (m_visitor) {
            if (m_visitor(entry, info) == Step::Descend && info.isDir())
                enterDir(entry);
            continue;
        }
        // A link to a directory counts as a directory.
        const bool ok = info.isDir() ? enterDir(entry) : copyFile(entry, info);
        if (!ok)
            return false;
    }
    return true;
}

bool TreeWalker::copyFile(const Entry &entry, const QFileInfo &source)
{
    // Judge the source before anything installed is removed: a FIFO (or a file gone
    // meanwhile) cannot be copied, and removing first would lose the installed file for nothing.
    if (!source.isFile())
        return fail(Issue::Copy, entry, QStringLiteral("%1 is not a regular file").arg(entry.sourcePath));
    // The copy never replaces an existing file. A directory in the way is not removed.
    if (m_overwrite && !FileCopier::removeTarget(entry.targetPath))
        return fail(Issue::Remove, entry, qt_error_string());
    // Not flushed file by file: the callers flush the whole tree once, before the update
    // flag vouches for it (DiskSync).
    if (!m_copier.copy(entry.sourcePath, entry.targetPath))
        return fail(Issue::Copy, entry, m_copier.errorString());
    return true;
}

void TreeWalker::reportLeftOut(const Entry &dir)
{
    const QStringList names = DirListing::leftOutNames(dir.sourcePath);
    for (const QString &name : names)
        report(Issue::LeftOut, child(dir, name));
}
