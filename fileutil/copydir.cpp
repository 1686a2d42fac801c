#include "app/zrpubmethod.h"

#include "fileutil/treewalker.h"
#include "log/applog.h"

namespace {

const char *const kCopyDirSignature = "bool ZRPubMethod::copyDir(QDir, QDir, bool)";

} // namespace

bool ZRPubMethod::copyDir(QDir source, QDir target, bool overwrite)
{
    TreeWalker walker;
    walker.setSkipNames(QStringList(), m_reservedNames);
    walker.setOverwrite(overwrite);
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
        default:
            // A directory that cannot be made fails the copy without a line of its own.
            break;
        }
    });
    return walker.copy(source.path(), target.path());
}
