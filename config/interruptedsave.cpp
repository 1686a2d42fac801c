#include "config/interruptedsave.h"

#include "log/applog.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QRegularExpression>

namespace {

const char kSignature[] = "static int InterruptedSave::cleanDirectory(const QString&)";

const QString kLockSuffix = QStringLiteral(".lock");
// QLockFile's own guard while it removes a stale lock: "<file>.lock.rmlock".
const QString kRemovalLockSuffix = QStringLiteral(".rmlock");

// The save writes its temporary file right after taking the lock; anything written
// much earlier or later is not that file. The slack before covers file systems that
// keep times in steps of two seconds.
constexpr int kBeforeLockSecs = 2;
constexpr int kAfterLockSecs = 60;

// Removes the lock file when the process that made it no longer runs. A file that
// QLockFile cannot read as a lock is not one of its locks and stays, except an empty
// one: QLockFile creates and fills it in one call, so an empty lock file is one whose
// maker was killed in between (QLockFile would wait half a minute before taking it
// for stale).
bool removeStaleLock(const QString &lockPath)
{
    const QFileInfo info(lockPath);
    if (info.isFile() && info.size() == 0)
        return QFile::remove(lockPath);
    QLockFile lock(lockPath);
    // Stale only when its process is gone, however old it is.
    lock.setStaleLockTime(0);
    qint64 pid = 0;
    QString hostName;
    QString appName;
    if (!lock.getLockInfo(&pid, &hostName, &appName))
        return false;
    // Taking the lock replaces a stale one; giving it back removes the file.
    if (!lock.tryLock(0))
        return false;
    lock.unlock();
    return true;
}

} // namespace

int InterruptedSave::cleanDirectory(const QString &dirPath)
{
    const QDir dir(dirPath);
    const QStringList names = dir.entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
    static const QRegularExpression temporaryName(QStringLiteral("^(.+)\\.[A-Za-z]{6}$"));

    int removed = 0;
    for (const QString &name : names) {
        const bool removalLock = name.endsWith(kRemovalLockSuffix);
        if (!removalLock && !name.endsWith(kLockSuffix))
            continue;
        const QString lockPath = dir.filePath(name);
        const QDateTime lockedAt = QFileInfo(lockPath).lastModified();
        if (!removeStaleLock(lockPath))
            continue;
        ++removed;
        ZR_LOG_INFO(kSignature) << QStringLiteral("removed %1, left by an interrupted save").arg(lockPath);
        if (removalLock)
            continue;

        const QString savedName = name.left(name.size() - kLockSuffix.size());
        for (const QString &candidate : names) {
            const QRegularExpressionMatch match = temporaryName.match(candidate);
            if (!match.hasMatch() || match.captured(1) != savedName)
                continue;
            const QString path = dir.filePath(candidate);
            const QDateTime written = QFileInfo(path).lastModified();
            if (written < lockedAt.addSecs(-kBeforeLockSecs) || written > lockedAt.addSecs(kAfterLockSecs))
                continue;
            if (QFile::remove(path)) {
                ++removed;
                ZR_LOG_INFO(kSignature) << QStringLiteral("removed %1, left by an interrupted save").arg(path);
            } else {
                ZR_LOG_WARNING(kSignature) << QStringLiteral("remove %1 failed").arg(path);
            }
        }
    }
    return removed;
}
