#ifndef TREEWALKER_H
#define TREEWALKER_H

#include "fileutil/dirlisting.h"
#include "fileutil/filecopier.h"
#include "fileutil/recursionguard.h"

#include <QString>
#include <QStringList>

#include <functional>

class QFileInfo;

// The one walk over a directory tree, behind the backup and the restore
// (ZRPubMethod::copyDir and restoreDir), the update steps' copy (UpdateObject::copyDirTree) and the
// package check, which walks a package tree the way the copy would without copying.
//
// Entries come in the order of DirListing (no hidden or system entries, by name
// ignoring case). Directories are made one level at a time, so a target whose parent
// is missing fails. Links are followed, unless kept as links; a directory link that
// leads back into a directory on the current path is left out instead of being
// followed forever. The walker writes no log line: it tells its reporter, and each
// caller words the log in its own name.
//
// Each directory is opened relative to the one above it and every entry is reached by
// its name in its open directory (DirHandle), so a tree deeper than the longest path
// the system takes (4096 bytes on Linux) is walked, copied and compared like any other.
class TreeWalker
{
public:
    enum class Issue {
        Loop,        // a directory link back into the tree, left out; detail: its path
        LinkOutside, // a target directory that is a link leading out of the target root: refused
        LeftOut,     // an entry the listing leaves out (hidden, a dangling link, a FIFO ...); visit only
        MakeDir,     // a target directory could not be made
        Remove,      // the target entry in the way could not be removed; detail: why
        Copy,        // the file could not be copied; detail: why
        Undecodable, // a name not valid in the file name encoding, left out; name: as best it can
        LinkReplaced, // kept links: a target link where the source has a directory, removed (not
                      // what it leads to) to make room for the directory; detail: the link's text
        List,        // a source directory that could not be opened or read: all it holds is left
                     // out, a failure of the copy; detail: why
    };
    struct Entry
    {
        QString name;
        QString relativePath; // below the roots, "/"-separated; empty for the roots
        QString sourcePath;
        QString targetPath;
        int depth = -1;       // 0 for the roots' own entries, -1 for the roots
    };
    using Reporter = std::function<void(Issue issue, const Entry &entry, const QString &detail)>;

    enum class Step { Descend, Skip };
    // Visit-only mode: called for every listed entry; a directory is entered on Descend.
    // The QFileInfo is made from the entry's path, for what the visitor asks of it.
    using Visitor = std::function<Step(const Entry &entry, const QFileInfo &source)>;

    TreeWalker();
    ~TreeWalker();
    TreeWalker(const TreeWalker &) = delete;
    TreeWalker &operator=(const TreeWalker &) = delete;

    // Whether target, resolved, lies inside rootPath.
    static bool isInside(const QString &target, const QString &rootPath);
    // Whether path is itself a symbolic link that leads out of rootPath (a dangling one
    // included): writing through it would change what no backup of rootPath covers.
    static bool isLinkOutside(const QString &path, const QString &rootPath);

    // Leaves out, files and directories alike, what the installation reserves
    // (InstallLayout::isReserved) and besides the names alsoAtTop among the roots' own
    // entries.
    void setSkipReserved(const QStringList &alsoAtTop = QStringList());
    // True: an entry of a file's name in the target is removed before the copy; false:
    // the copy fails on it.
    void setOverwrite(bool overwrite) { m_overwrite = overwrite; }
    // Also guard the target side: an installed link leading into the source tree would
    // otherwise make each level create the next one below itself.
    void setGuardTarget(bool guard) { m_guardTarget = guard; }
    void setReporter(Reporter reporter) { m_reporter = std::move(reporter); }
    // Copies a symbolic link as a link with the same text, never following it, and never
    // writes through a link in the target: a directory is made in its place. Where the
    // platform's links allow it (SymLink).
    void setKeepLinks(bool keep);
    // With kept links: a directory in the target where the source has a link (left by a
    // copy that followed it) is removed with all it holds. Only for a target that is the
    // caller's own, such as the backup.
    void setReplaceDirectories(bool replace) { m_replaceDirectories = replace; }
    // Refuses (fails) to enter a target directory that is a link leading out of the
    // target root, instead of writing through it.
    void setConfineTarget(bool confine) { m_confineTarget = confine; }
    // Leaves a file alone when the target already holds the same bytes.
    void setSkipIdentical(bool skip) { m_skipIdentical = skip; }
    // With setSkipIdentical(): a target file of the source's size whose change time
    // (ChangeStamp) lies before time has not changed since the source was copied from it,
    // and is left alone without reading either. -1: every file is compared. Files whose
    // relative path is one of alwaysCompared, or begins with one of them and "-", are
    // compared all the same, and copied as real copies that share no data with their
    // source (FileCopier::setShareData()): they are written in place.
    void setUnchangedBefore(qint64 time, const QStringList &alwaysCompared = QStringList());
    // The same for a copy made again over an earlier one: a target file of the source's
    // size is left alone without reading either when the source's change time lies
    // before time, the start of the earlier copy (the source has not changed since it
    // was copied). The caller vouches that the earlier copy finished.
    void setSourceUnchangedBefore(qint64 time, const QStringList &alwaysCompared = QStringList());
    // Goes on past an entry that fails (a directory that fails is left out whole); the
    // copy still returns false, and every failure has been reported.
    void setContinueOnFailure(bool goOn) { m_continueOnFailure = goOn; }
    // Reports names that no listing shows (Issue::Undecodable); costs one more reading
    // of each directory.
    void setReportUndecodable(bool report) { m_reportUndecodable = report; }

    // Copies the tree below source into target. False at the first failure, or with
    // setContinueOnFailure() when anything failed.
    bool copy(const QString &source, const QString &target);
    // Walks the tree below source without writing anything, pairing each entry with its
    // place below target; reports what the listing leaves out.
    void visit(const QString &source, const QString &target, Visitor visitor);

private:
    bool enterRoot(const Entry &root);
    // targetParent: where the target directory is opened or made; none for the roots.
    bool enterDir(const Entry &dir, const DirHandle &source, const DirHandle *targetParent);
    bool walkDir(const Entry &dir, const DirHandle &source, const DirHandle &target);
    bool descend(const Entry &dir, const DirHandle &sourceParent, const DirHandle &targetParent);
    bool openTargetDir(const Entry &dir, const DirHandle &parent, DirHandle *target);
    bool copyFile(const Entry &entry, const DirListing::Entry &source, const DirHandle &sourceDir,
                  const DirHandle &targetDir);
    bool isAlwaysCompared(const Entry &entry) const;
    bool isUnchanged(const Entry &entry, const DirListing::Entry &source, const DirHandle &targetDir) const;
    bool copyLink(const Entry &entry, const DirHandle &sourceDir, const DirHandle &targetDir);
    bool isSkipped(const QString &name, int depth) const;
    void report(Issue issue, const Entry &entry, const QString &detail = QString()) const;
    // Reports and counts a failure; refuse() returns false, fail() whether to go on.
    bool refuse(Issue issue, const Entry &entry, const QString &detail = QString());
    bool fail(Issue issue, const Entry &entry, const QString &detail = QString());
    static Entry root(const QString &source, const QString &target);
    static Entry child(const Entry &dir, const QString &name);

    bool m_skipReserved = false;
    QStringList m_skipAtTop;
    bool m_overwrite = true;
    bool m_guardTarget = false;
    bool m_keepLinks = false;
    bool m_replaceDirectories = false;
    bool m_confineTarget = false;
    bool m_skipIdentical = false;
    bool m_continueOnFailure = false;
    bool m_reportUndecodable = false;
    qint64 m_unchangedBefore = -1;
    qint64 m_sourceUnchangedBefore = -1;
    QStringList m_alwaysCompared;
    int m_failures = 0;
    DirHandle m_targetRoot;
    Reporter m_reporter;
    Visitor m_visitor; // set while visiting
    RecursionGuard m_guard;
    FileCopier m_copier;
};

#endif // TREEWALKER_H
