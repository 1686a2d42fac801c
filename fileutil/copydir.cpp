#include "app/zrpubmethod.h"

#include "fileutil/dirlisting.h"
#include "fileutil/filecopier.h"
#include "fileutil/recursionguard.h"
#include "log/applog.h"

#include <QFileInfo>

namespace {

const char *const kCopyDirSignature = "bool ZRPubMethod::copyDir(QDir, QDir, bool)";

bool copyTree(const QStringList &reservedNames, const QDir &source, const QDir &target,
              bool overwrite, RecursionGuard &guard, FileCopier &copier)
{
    if (!target.exists() && !target.mkdir(target.absolutePath()))
        return false;

    // The listing of a directory object built from a path: all files and directories
    // except hidden and system entries, by name ignoring case. Names only, so that a
    // directory of many files does not cost memory for all of them at once.
    const QStringList names = DirListing::sortedNames(source.path());
    for (const QString &name : names) {
        if (reservedNames.contains(name))
            continue;
        const QFileInfo entry(source.filePath(name));

        if (entry.isDir()) {
            // A link back to a directory being copied would be followed without end.
            if (!guard.enter(entry.filePath())) {
                ZR_LOG_WARNING(kCopyDirSignature)
                    << QStringLiteral("skip link %1,it leads back into the tree being copied")
                           .arg(entry.filePath());
                continue;
            }
            const bool ok = copyTree(reservedNames, QDir(entry.filePath()), QDir(target.filePath(name)),
                                     overwrite, guard, copier);
            guard.leave();
            if (!ok)
                return false;
            continue;
        }

        const QString targetPath = target.filePath(name);
        // The copy never replaces an existing file.
        if (overwrite && !FileCopier::removeTarget(targetPath)) {
            ZR_LOG_WARNING(kCopyDirSignature) << QStringLiteral("remove %1 failed").arg(name);
            return false;
        }
        if (!copier.copy(entry.filePath(), targetPath)) {
            ZR_LOG_WARNING(kCopyDirSignature)
                << QStringLiteral("copy %1 failed,reason:%2").arg(name, copier.errorString());
            return false;
        }
    }
    return true;
}

} // namespace

bool ZRPubMethod::copyDir(QDir source, QDir target, bool overwrite)
{
    RecursionGuard guard;
    guard.enter(source.path());
    // Nothing is flushed to disk file by file: the callers flush the whole tree once,
    // before the update flag vouches for it (DiskSync).
    FileCopier copier;
    return copyTree(m_reservedNames, source, target, overwrite, guard, copier);
}
