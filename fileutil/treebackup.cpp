#include "fileutil/treebackup.h"

#include "fileutil/treewalker.h"
#include "layout/installlayout.h"
#include "log/applog.h"

namespace {

// The log lines keep the names of the operations the application context offers.
const char *const kCopyDirSignature = "bool ZRPubMethod::copyDir(QDir, QDir, bool)";
const char *const kRestoreDirSignature = "bool ZRPubMethod::restoreDir(QDir, QDir, qint64)";

// The backup and the restore walk the same copy, so both leave out the same names and
// treat links alike: a link is copied as its text, never followed out of the installation.
void configure(TreeWalker &walker, const QStringList &alsoAtTop = QStringList())
{
    walker.setSkipReserved(alsoAtTop);
    walker.setKeepLinks(true);
    walker.setReportUndecodable(true);
}

QString undecodableWarning(const TreeWalker::Entry &entry)
{
    return QStringLiteral("skip %1,its name is not valid in the file name encoding").arg(entry.relativePath);
}

QString readWarning(const TreeWalker::Entry &entry, const QString &detail)
{
    return QStringLiteral("read %1 failed,reason:%2").arg(entry.relativePath.isEmpty() ? entry.sourcePath : entry.relativePath, detail);
}

} // namespace

bool TreeBackup::copy(const QString &source, const QString &target, bool overwrite, qint64 sourceUnchangedBefore) const
{
    TreeWalker walker;
    // The database is backed up held, its log emptied into it (DBControl::hold()): what
    // journals lie beside it then are our own connection's, empty, and a backup that
    // carried them would put them back beside the restored database.
    configure(walker, InstallLayout::databaseJournalNames());
    walker.setOverwrite(overwrite);
    if (overwrite) {
        // A second backup over the first writes only what changed: unlinking and copying
        // every file again made it three times slower than the first. SQLite writes the
        // database in place and syncs it without its change time: always compared.
        walker.setSkipIdentical(true);
        walker.setSourceUnchangedBefore(sourceUnchangedBefore, {InstallLayout::databaseName()});
    }
    // The target is the backup, the updater's own: a directory that an older backup
    // made of a followed link gives way to the link.
    walker.setReplaceDirectories(true);
    walker.setReporter([](TreeWalker::Issue issue, const TreeWalker::Entry &entry, const QString &detail) {
        switch (issue) {
        case TreeWalker::Issue::Loop:
            ZR_LOG_WARNING(kCopyDirSignature)
                << QStringLiteral("skip link %1,it leads back into the tree being copied").arg(detail);
            break;
        case TreeWalker::Issue::Remove:
            ZR_LOG_WARNING(kCopyDirSignature) << QStringLiteral("remove %1 failed").arg(entry.name);
            break;
        case TreeWalker::Issue::Copy:
            ZR_LOG_WARNING(kCopyDirSignature) << QStringLiteral("copy %1 failed,reason:%2").arg(entry.name, detail);
            break;
        case TreeWalker::Issue::Undecodable:
            ZR_LOG_WARNING(kCopyDirSignature) << undecodableWarning(entry);
            break;
        case TreeWalker::Issue::List:
            // All the directory holds is missing from the backup: the backup failed.
            ZR_LOG_WARNING(kCopyDirSignature) << readWarning(entry, detail);
            break;
        default:
            // A directory that cannot be made fails the copy without a line of its own.
            break;
        }
    });
    return walker.copy(source, target);
}

bool TreeBackup::restore(const QString &backup, const QString &target, qint64 unchangedBefore) const
{
    TreeWalker walker;
    configure(walker);
    // Only what differs is written: a file the update did not touch is never at risk,
    // even one that cannot be replaced (immutable, another owner's, in use).
    walker.setSkipIdentical(true);
    // SQLite writes the database and its journals in place and syncs them with
    // fdatasync, which leaves the change time behind: after a power cut a database
    // could hold new pages under an old stamp. They are always compared.
    walker.setUnchangedBefore(unchangedBefore, {InstallLayout::databaseName()});
    walker.setContinueOnFailure(true);
    walker.setReporter([](TreeWalker::Issue issue, const TreeWalker::Entry &entry, const QString &detail) {
        switch (issue) {
        case TreeWalker::Issue::MakeDir:
            ZR_LOG_WARNING(kRestoreDirSignature) << QStringLiteral("make %1 failed").arg(entry.relativePath);
            break;
        case TreeWalker::Issue::Remove:
            ZR_LOG_WARNING(kRestoreDirSignature)
                << QStringLiteral("remove %1 failed,reason:%2").arg(entry.relativePath, detail);
            break;
        case TreeWalker::Issue::Copy:
            ZR_LOG_WARNING(kRestoreDirSignature)
                << QStringLiteral("copy %1 failed,reason:%2").arg(entry.relativePath, detail);
            break;
        case TreeWalker::Issue::Undecodable:
            ZR_LOG_WARNING(kRestoreDirSignature) << undecodableWarning(entry);
            break;
        case TreeWalker::Issue::List:
            ZR_LOG_WARNING(kRestoreDirSignature) << readWarning(entry, detail);
            break;
        case TreeWalker::Issue::LinkReplaced:
            // A backup of an older updater, which followed links, holds the directory
            // the link led to: the link goes, its target is left alone, and the
            // installation gets the backup's copy. Named, as the link is not back.
            ZR_LOG_WARNING(kRestoreDirSignature)
                << QStringLiteral("replace link %1 (to %2) with the backup's directory").arg(entry.relativePath, detail);
            break;
        default:
            break;
        }
    });
    return walker.copy(backup, target);
}
