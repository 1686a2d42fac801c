#include "fileutil/treewalker.h"

#include "fileutil/symlink.h"
#include "platform/changestamp.h"
#include "layout/installlayout.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

// Keeps a directory on the guard's path for one level of the walk.
class GuardedDir
{
public:
    GuardedDir(RecursionGuard &guard, const DirHandle &dir, bool active = true)
        : m_guard(guard)
        , m_entered(!active || guard.enter(dir))
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

// Why the entry name in dir could not be removed, right after the attempt.
QString removeError(const DirHandle &dir, const QString &name)
{
    const QString systemReason = qt_error_string();
    return dir.status(name, false).kind == DirHandle::Kind::Dir ? QStringLiteral("a directory is in the way")
                                                                 : systemReason;
}

} // namespace

TreeWalker::TreeWalker() = default;

TreeWalker::~TreeWalker() = default;

void TreeWalker::setSkipReserved(const QStringList &alsoAtTop)
{
    m_skipReserved = true;
    m_skipAtTop = alsoAtTop;
}

void TreeWalker::setKeepLinks(bool keep)
{
    m_keepLinks = keep && SymLink::isSupported();
}

bool TreeWalker::copy(const QString &source, const QString &target)
{
    m_visitor = nullptr;
    m_guard = RecursionGuard();
    m_failures = 0;
    m_targetRoot = DirHandle();
    return enterRoot(root(source, target)) && m_failures == 0;
}

void TreeWalker::visit(const QString &source, const QString &target, Visitor visitor)
{
    m_visitor = std::move(visitor);
    m_guard = RecursionGuard();
    enterRoot(root(source, target));
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
    return m_skipReserved
        && (InstallLayout::isReservedName(name, depth == 0) || (depth == 0 && m_skipAtTop.contains(name)));
}

void TreeWalker::report(Issue issue, const Entry &entry, const QString &detail) const
{
    if (m_reporter)
        m_reporter(issue, entry, detail);
}

bool TreeWalker::refuse(Issue issue, const Entry &entry, const QString &detail)
{
    report(issue, entry, detail);
    ++m_failures;
    return false;
}

bool TreeWalker::fail(Issue issue, const Entry &entry, const QString &detail)
{
    refuse(issue, entry, detail);
    return m_continueOnFailure;
}

bool TreeWalker::enterRoot(const Entry &root)
{
    // A source that does not exist holds nothing to copy.
    const DirHandle source = DirHandle::open(root.sourcePath);
    if (!source.isOpen() && !source.isMissing())
        return fail(Issue::List, root, qt_error_string(source.error()));
    if (m_visitor)
        return enterDir(root, source, nullptr);

    // The roots are the caller's choice: made with one level, never judged.
    m_targetRoot = DirHandle::open(root.targetPath);
    if (!m_targetRoot.isOpen()) {
        if (!QDir().mkdir(QDir(root.targetPath).absolutePath()))
            return fail(Issue::MakeDir, root);
        m_targetRoot = DirHandle::open(root.targetPath);
        if (!m_targetRoot.isOpen())
            return fail(Issue::MakeDir, root);
    }
    return enterDir(root, source, nullptr);
}

bool TreeWalker::enterDir(const Entry &dir, const DirHandle &source, const DirHandle *targetParent)
{
    // A link such as "common/data/up" -> "common" would be walked into itself forever.
    // Judged before anything is made in the target for it.
    const GuardedDir sourceLevel(m_guard, source, source.isOpen());
    if (!sourceLevel.entered()) {
        report(Issue::Loop, dir, dir.sourcePath);
        return true;
    }
    if (m_visitor)
        return walkDir(dir, source, DirHandle());
    DirHandle below;
    if (targetParent && !openTargetDir(dir, *targetParent, &below))
        return m_continueOnFailure;
    const DirHandle &target = targetParent ? below : m_targetRoot;
    // The target side can loop too: an installed link that leads into the tree being
    // copied would make every level create the next one below itself.
    const GuardedDir targetLevel(m_guard, target, m_guardTarget);
    if (!targetLevel.entered()) {
        report(Issue::Loop, dir, dir.targetPath);
        return true;
    }
    return walkDir(dir, source, target);
}

bool TreeWalker::descend(const Entry &dir, const DirHandle &sourceParent, const DirHandle &targetParent)
{
    // A followed link to a directory counts as a directory.
    const DirHandle source = sourceParent.openChild(dir.name);
    if (!source.isOpen())
        return fail(Issue::List, dir, qt_error_string(source.error()));
    return enterDir(dir, source, &targetParent);
}

bool TreeWalker::openTargetDir(const Entry &dir, const DirHandle &parent, DirHandle *target)
{
    if (parent.status(dir.name, false).kind == DirHandle::Kind::Link) {
        if (m_keepLinks) {
            // Never through a link: the directory the source has takes the link's place.
            QByteArray text;
            parent.readLink(dir.name, &text);
            if (!parent.removeFile(dir.name))
                return refuse(Issue::Remove, dir, qt_error_string());
            report(Issue::LinkReplaced, dir, QFile::decodeName(text));
        } else if (m_confineTarget) {
            // A dangling link fails below, as the directory cannot be made.
            const DirHandle through = parent.openChild(dir.name);
            if (through.isOpen() && !through.isInside(m_targetRoot))
                return refuse(Issue::LinkOutside, dir, dir.targetPath);
        }
    }
    // With kept links nothing in the target is followed: a link that appeared since
    // is not entered, and the directory cannot be made in its place.
    *target = parent.openChild(dir.name, !m_keepLinks);
    if (target->isOpen())
        return true;
    if (!parent.makeDir(dir.name))
        return refuse(Issue::MakeDir, dir, qt_error_string());
    *target = parent.openChild(dir.name, !m_keepLinks);
    return target->isOpen() || refuse(Issue::MakeDir, dir, qt_error_string(target->error()));
}

bool TreeWalker::isInside(const QString &target, const QString &rootPath)
{
    const QString canonical = QFileInfo(target).canonicalFilePath();
    const QString root = QFileInfo(rootPath).canonicalFilePath();
    if (canonical.isEmpty() || root.isEmpty())
        return false;
    const QString prefix = root.endsWith(QLatin1Char('/')) ? root : root + QLatin1Char('/');
    return canonical == root || canonical.startsWith(prefix);
}

bool TreeWalker::isLinkOutside(const QString &path, const QString &rootPath)
{
    return QFileInfo(path).isSymLink() && !isInside(path, rootPath);
}

bool TreeWalker::walkDir(const Entry &dir, const DirHandle &source, const DirHandle &target)
{
    DirListing::Listing listing;
    if (source.isOpen() && !DirListing::list(source, m_keepLinks, &listing))
        return fail(Issue::List, dir, qt_error_string());
    if (m_reportUndecodable) {
        for (const QByteArray &name : qAsConst(listing.undecodable))
            report(Issue::Undecodable, child(dir, DirListing::displayName(name)));
    }
    if (m_visitor) {
        for (const QString &name : qAsConst(listing.leftOut))
            report(Issue::LeftOut, child(dir, name));
    }
    for (const DirListing::Entry &item : listing.entries) {
        if (isSkipped(item.name, dir.depth + 1))
            continue;
        const Entry entry = child(dir, item.name);
        const bool isDir = item.target.kind == DirHandle::Kind::Dir;

        if (m_visitor) {
            if (m_visitor(entry, QFileInfo(entry.sourcePath)) == Step::Descend && isDir)
                descend(entry, source, target);
            continue;
        }
        bool ok = true;
        if (m_keepLinks && item.status.kind == DirHandle::Kind::Link)
            ok = copyLink(entry, source, target);
        else if (isDir)
            ok = descend(entry, source, target);
        else if (!m_keepLinks || item.status.kind == DirHandle::Kind::File) // FIFOs and the like come with the links only
            ok = copyFile(entry, item, source, target);
        if (!ok)
            return false;
    }
    return true;
}

bool TreeWalker::copyFile(const Entry &entry, const DirListing::Entry &source, const DirHandle &sourceDir,
                          const DirHandle &targetDir)
{
    // Judge the source before anything installed is removed: a FIFO (or a file gone
    // meanwhile) cannot be copied, and removing first would lose the installed file for nothing.
    if (source.target.kind != DirHandle::Kind::File)
        return fail(Issue::Copy, entry, QStringLiteral("%1 is not a regular file").arg(entry.sourcePath));
    if (m_skipIdentical
        && (isUnchanged(entry, source, targetDir) || m_copier.sameContent(sourceDir, entry.name, targetDir, entry.name)))
        return true;
    // The copy never replaces an existing file. A directory in the way is not removed.
    if (m_overwrite && !FileCopier::removeTarget(targetDir, entry.name))
        return fail(Issue::Remove, entry, removeError(targetDir, entry.name));
    // Not flushed file by file: the callers flush the whole tree once, before the update
    // flag vouches for it (DiskSync). What is written in place gets a copy of its own.
    m_copier.setShareData(!isAlwaysCompared(entry));
    if (!m_copier.copy(sourceDir, entry.name, targetDir, entry.name))
        return fail(Issue::Copy, entry, m_copier.errorString());
    return true;
}

void TreeWalker::setUnchangedBefore(qint64 time, const QStringList &alwaysCompared)
{
    m_unchangedBefore = time;
    m_alwaysCompared = alwaysCompared;
}

void TreeWalker::setSourceUnchangedBefore(qint64 time, const QStringList &alwaysCompared)
{
    m_sourceUnchangedBefore = time;
    m_alwaysCompared = alwaysCompared;
}

bool TreeWalker::isAlwaysCompared(const Entry &entry) const
{
    for (const QString &path : m_alwaysCompared) {
        if (entry.relativePath == path || entry.relativePath.startsWith(path + QLatin1Char('-')))
            return true;
    }
    return false;
}

bool TreeWalker::isUnchanged(const Entry &entry, const DirListing::Entry &source, const DirHandle &targetDir) const
{
    if ((m_unchangedBefore < 0 && m_sourceUnchangedBefore < 0) || isAlwaysCompared(entry))
        return false;
    const ChangeStamp target = ChangeStamp::at(targetDir, entry.name);
    if (!target.isRegularFile() || target.size() != source.target.size)
        return false;
    if (m_sourceUnchangedBefore >= 0)
        return source.target.changed >= 0 && source.target.changed < m_sourceUnchangedBefore;
    return target.changed() >= 0 && target.changed() < m_unchangedBefore;
}

bool TreeWalker::copyLink(const Entry &entry, const DirHandle &sourceDir, const DirHandle &targetDir)
{
    QByteArray text;
    if (!sourceDir.readLink(entry.name, &text))
        return fail(Issue::Copy, entry, qt_error_string());
    const DirHandle::Kind target = targetDir.status(entry.name, false).kind;
    if (m_skipIdentical && target == DirHandle::Kind::Link) {
        QByteArray existing;
        if (targetDir.readLink(entry.name, &existing) && existing == text)
            return true;
    }
    if (m_overwrite) {
        if (target == DirHandle::Kind::Dir) {
            if (!m_replaceDirectories || !targetDir.removeTree(entry.name))
                return fail(Issue::Remove, entry, removeError(targetDir, entry.name));
        } else if (!targetDir.removeFile(entry.name)) {
            return fail(Issue::Remove, entry, removeError(targetDir, entry.name));
        }
    }
    if (!targetDir.makeLink(text, entry.name))
        return fail(Issue::Copy, entry, qt_error_string());
    return true;
}
