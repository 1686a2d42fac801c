#include "config/interruptedsave.h"

#include "config/inicommit.h"
#include "log/applog.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QRegularExpression>
#include <QSysInfo>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#endif
#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif

namespace {

const char kSignature[] = "static int InterruptedSave::cleanDirectory(const QString&)";

const QString kLockSuffix = QStringLiteral(".lock");
const QString kKeptSuffix = QStringLiteral(".previous");
// QLockFile's own guard while it removes a stale lock: "<file>.lock.rmlock".
const QString kRemovalLockSuffix = QStringLiteral(".rmlock");

// The save writes its temporary file right after taking the lock; anything written
// much earlier or later is not that file. The slack before covers file systems that
// keep times in steps of two seconds.
constexpr int kBeforeLockSecs = 2;
constexpr int kAfterLockSecs = 60;

// This machine's name as QLockFile writes it into a lock. On Windows that is the
// COMPUTERNAME variable (upper case, at most 15 letters: "VM" where the host name is
// "vm"), not QSysInfo's host name, so comparing with the latter would never find a
// lock of this machine stale there.
QString lockMachineName()
{
#ifdef Q_OS_WIN
    return qEnvironmentVariable("COMPUTERNAME");
#else
    return QSysInfo::machineHostName();
#endif
}

// Whether the process that made a lock file is gone, as QLockFile judges it: made on
// this machine by a process id that no longer runs, or now runs another program. A
// file that QLockFile cannot read as one of its locks is not one.
bool isStaleLock(const QString &lockPath)
{
    QLockFile lock(lockPath);
    qint64 pid = 0;
    QString hostName;
    QString appName;
    if (!lock.getLockInfo(&pid, &hostName, &appName) || pid <= 0)
        return false;
    if (!hostName.isEmpty() && hostName != lockMachineName())
        return false;
#ifdef Q_OS_UNIX
    if (::kill(pid_t(pid), 0) == -1 && errno == ESRCH)
        return true;
#ifdef Q_OS_LINUX
    const QString program = QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget();
    return !program.isEmpty() && QFileInfo(program).fileName() != QFileInfo(appName).fileName();
#else
    return false;
#endif
#elif defined(Q_OS_WIN)
    // QLockFile's own judgement, made without taking the lock over: that would remove
    // the lock before the temporary files it vouches for, and a clean-up killed in
    // between would leave them unrecognisable for good.
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(pid));
    if (!process) {
        // No such process; any other refusal (another user's process) is no proof.
        return GetLastError() == ERROR_INVALID_PARAMETER;
    }
    DWORD exitCode = 0;
    const bool ended = GetExitCodeProcess(process, &exitCode) && exitCode != STILL_ACTIVE;
    wchar_t image[MAX_PATH];
    DWORD length = MAX_PATH;
    const bool named = QueryFullProcessImageNameW(process, 0, image, &length);
    CloseHandle(process);
    if (ended)
        return true;
    if (!named || appName.isEmpty())
        return false;
    // The id now belongs to another program? QLockFile records the name without its
    // directory and ".exe".
    const QString program = QFileInfo(QString::fromWCharArray(image, int(length))).completeBaseName();
    return program.compare(appName, Qt::CaseInsensitive) != 0;
#else
    // Elsewhere QLockFile's own test decides: taking the lock succeeds only over a
    // stale one, and giving it back removes it (before the temporary files, there).
    lock.setStaleLockTime(0);
    if (!lock.tryLock(0))
        return false;
    lock.unlock();
    return true;
#endif
}

void logRemoved(const QString &path)
{
    ZR_LOG_INFO(kSignature) << QStringLiteral("removed %1, left by an interrupted save").arg(path);
}

bool removeFile(const QString &path)
{
    if (!QFileInfo::exists(path))
        return false;
    if (QFile::remove(path)) {
        logRemoved(path);
        return true;
    }
    ZR_LOG_WARNING(kSignature) << QStringLiteral("remove %1 failed").arg(path);
    return false;
}

} // namespace

int InterruptedSave::cleanDirectory(const QString &dirPath)
{
    const QDir dir(dirPath);
    const QStringList names = dir.entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
    static const QRegularExpression temporaryName(QStringLiteral("^(.+)\\.[A-Za-z]{6}$"));

    int removed = 0;
    // The second name of a file whose commit was killed (IniCommit) goes first, before
    // anything copies it: the file it kept is either whole beside it or put back.
    for (const QString &name : names) {
        if (!name.endsWith(kKeptSuffix))
            continue;
        IniCommit::recover(dir.filePath(name.left(name.size() - kKeptSuffix.size())));
        if (!QFileInfo::exists(dir.filePath(name))) {
            ++removed;
            logRemoved(dir.filePath(name));
        }
    }
    for (const QString &name : names) {
        const bool removalLock = name.endsWith(kRemovalLockSuffix);
        if (!removalLock && !name.endsWith(kLockSuffix))
            continue;
        const QString lockPath = dir.filePath(name);
        const QFileInfo lockInfo(lockPath);
        // QLockFile creates and fills a lock in one call, so an empty one was being made
        // when its maker was killed, before anything else of the save was written
        // (QLockFile itself would wait half a minute before taking it for stale).
        if (lockInfo.size() == 0) {
            if (QFile::remove(lockPath)) {
                ++removed;
                logRemoved(lockPath);
            }
            continue;
        }
        const QDateTime lockedAt = lockInfo.lastModified();
        if (!isStaleLock(lockPath))
            continue;
        // The temporary files first: while the lock is there, a clean-up killed half-way
        // is done again by the next one, which finds the same files by the same time.
        if (!removalLock) {
            const QString savedName = name.left(name.size() - kLockSuffix.size());
            for (const QString &candidate : names) {
                const QRegularExpressionMatch match = temporaryName.match(candidate);
                if (!match.hasMatch() || match.captured(1) != savedName)
                    continue;
                const QString path = dir.filePath(candidate);
                const QDateTime written = QFileInfo(path).lastModified();
                if (written < lockedAt.addSecs(-kBeforeLockSecs) || written > lockedAt.addSecs(kAfterLockSecs))
                    continue;
                if (removeFile(path))
                    ++removed;
            }
        }
        if (removeFile(lockPath))
            ++removed;
    }
    return removed;
}
