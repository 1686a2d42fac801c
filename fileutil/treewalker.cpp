#include "fileutil/treewalker.h"

#include "fileutil/dirlisting.h"
#include "fileutil/symlink.h"
#include "platform/changestamp.h"

#include <QDir>
#include <QFile>
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

// Why an entry in the target could not be removed, right after the attempt.
QString removeError(const QString &path)
{
    const QString systemReason = qt_error_string();
    const QFileInfo target(path);
    return target.isDir() && !target.isSymLink() ? QStringLiteral("a directory is in the way") : systemReason;
}

} // namespace

TreeWalker::TreeWalker() = default;

TreeWalker::~TreeWalker() = default;

void TreeWalker::setSkipNames(const QStringList &atTop, const QStringList &everywhere)
{
    m_skipAtTop = atTop;
    m_skipEverywhere = everywhere;
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
    m_targetRoot.clear();
    return enterDir(root(source, target)) && m_failures == 0;
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

    if (!prepareTargetDir(dir))
        return m_continueOnFailure;
    const QDir target(dir.targetPath);
    if (!target.exists() && !target.mkdir(target.absolutePath()))
        return fail(Issue::MakeDir, dir);
    if (dir.depth < 0)
        m_targetRoot = dir.targetPath;

    // The target side can loop too: an installed link that leads into the tree being
    // copied would make every level create the next one below itself.
    const GuardedDir targetLevel(m_guard, dir.targetPath, m_guardTarget);
    if (!targetLevel.entered()) {
        report(Issue::Loop, dir, dir.targetPath);
        return true;
    }
    return walkDir(dir);
}

bool TreeWalker::prepareTargetDir(const Entry &dir)
{
    // The roots are the caller's choice; only what lies below them is judged.
    if (dir.depth < 0)
        return true;
    const QFileInfo target(dir.targetPath);
    if (!target.isSymLink())
        return true;
    if (m_keepLinks) {
        // Never through a link: the directory the source has takes the link's place.
        QByteArray text;
        SymLink::read(dir.targetPath, &text);
        if (!FileCopier::removeTarget(dir.targetPath))
            return refuse(Issue::Remove, dir, qt_error_string());
        report(Issue::LinkReplaced, dir, QFile::decodeName(text));
        return true;
    }
    // A dangling link fails below, as the directory cannot be made.
    if (m_confineTarget && target.exists() && !isInside(dir.targetPath, m_targetRoot))
        return refuse(Issue::LinkOutside, dir, dir.targetPath);
    return true;
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

bool TreeWalker::walkDir(const Entry &dir)
{
    if (m_reportUndecodable) {
        const QList<QByteArray> undecodable = DirListing::undecodableNames(dir.sourcePath);
        for (const QByteArray &name : undecodable)
            report(Issue::Undecodable, child(dir, DirListing::displayName(name)));
    }
    // Names only, so that a directory of many files does not cost memory for all of
    // them at once.
    const QStringList names = DirListing::sortedNames(dir.sourcePath, m_keepLinks);
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
        bool ok = true;
        if (m_keepLinks && info.isSymLink())
            ok = copyLink(entry);
        else if (info.isDir()) // a followed link to a directory counts as a directory
            ok = enterDir(entry);
        else if (!m_keepLinks || info.isFile()) // FIFOs and the like come with the links only
            ok = copyFile(entry, info);
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
    if (m_skipIdentical && (isUnchanged(entry, source) || m_copier.sameContent(entry.sourcePath, entry.targetPath)))
        return true;
    // The copy never replaces an existing file. A directory in the way is not removed.
    if (m_overwrite && !FileCopier::removeTarget(entry.targetPath))
        return fail(Issue::Remove, entry, removeError(entry.targetPath));
    // Not flushed file by file: the callers flush the whole tree once, before the update
    // flag vouches for it (DiskSync).
    if (!m_copier.copy(entry.sourcePath, entry.targetPath))
        return fail(Issue::Copy, entry, m_copier.errorString());
    return true;
}

void TreeWalker::setUnchangedBefore(qint64 time, const QStringList &alwaysCompared)
{
    m_unchangedBefore = time;
    m_alwaysCompared = alwaysCompared;
}

bool TreeWalker::isUnchanged(const Entry &entry, const QFileInfo &source) const
{
    if (m_unchangedBefore < 0)
        return false;
    for (const QString &path : m_alwaysCompared) {
        if (entry.relativePath == path || entry.relativePath.startsWith(path + QLatin1Char('-')))
            return false;
    }
    const ChangeStamp target = ChangeStamp::of(entry.targetPath);
    return target.isRegularFile() && target.size() == source.size() && target.changed() >= 0
        && target.changed() < m_unchangedBefore;
}

bool TreeWalker::copyLink(const Entry &entry)
{
    QByteArray text;
    if (!SymLink::read(entry.sourcePath, &text))
        return fail(Issue::Copy, entry, qt_error_string());
    const QFileInfo target(entry.targetPath);
    if (m_skipIdentical && target.isSymLink()) {
        QByteArray existing;
        if (SymLink::read(entry.targetPath, &existing) && existing == text)
            return true;
    }
    if (m_overwrite) {
        if (target.isDir() && !target.isSymLink()) {
            if (!m_replaceDirectories || !QDir(entry.targetPath).removeRecursively())
                return fail(Issue::Remove, entry, removeError(entry.targetPath));
        } else if (!FileCopier::removeTarget(entry.targetPath)) {
            return fail(Issue::Remove, entry, removeError(entry.targetPath));
        }
    }
    if (!SymLink::create(text, entry.targetPath))
        return fail(Issue::Copy, entry, qt_error_string());
    return true;
}

void TreeWalker::reportLeftOut(const Entry &dir)
{
    const QStringList names = DirListing::leftOutNames(dir.sourcePath);
    for (const QString &name : names)
        report(Issue::LeftOut, child(dir, name));
}
