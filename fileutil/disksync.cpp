#include "fileutil/disksync.h"

#include "log/applog.h"

#include <QDirIterator>
#include <QFile>
#include <QSet>

#ifdef Q_OS_WIN
#include <QStorageInfo>
#include <qt_windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

const char kSignature[] = "bool DiskSync::flushTrees(const QStringList&)";

bool warn(const QString &path, const QString &reason)
{
    ZR_LOG_WARNING(kSignature) << QStringLiteral("flush %1 failed,reason:%2").arg(path, reason);
    return false;
}

#ifdef Q_OS_LINUX
// syncfs() flushes exactly one file system, the one that holds the descriptor's file,
// and (since Linux 5.8) reports data that could not be written.
bool syncFileSystemOf(const QString &dirPath)
{
    int fd;
    do {
        fd = ::open(QFile::encodeName(dirPath).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return warn(dirPath, qt_error_string(errno));
    const int result = ::syncfs(fd);
    const int error = errno;
    ::close(fd);
    if (result != 0)
        return warn(dirPath, qt_error_string(error));
    return true;
}
#endif

} // namespace

bool DiskSync::flushTrees(const QStringList &dirPaths)
{
#if defined(Q_OS_WIN)
    QSet<QString> volumes;
    for (const QString &dirPath : dirPaths) {
        const QString root = QStorageInfo(dirPath).rootPath();
        if (root.size() < 2)
            return warn(dirPath, QStringLiteral("no volume"));
        const QString volume = QStringLiteral("\\\\.\\%1").arg(root.left(2));
        if (volumes.contains(volume))
            continue;
        volumes.insert(volume);
        // Flushing a whole volume needs administrator rights, which the updater has.
        const HANDLE handle = CreateFileW(reinterpret_cast<const wchar_t *>(volume.utf16()),
                                          GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle == INVALID_HANDLE_VALUE)
            return warn(dirPath, qt_error_string(int(GetLastError())));
        const bool flushed = FlushFileBuffers(handle);
        const DWORD error = GetLastError();
        CloseHandle(handle);
        if (!flushed)
            return warn(dirPath, qt_error_string(int(error)));
    }
    return true;
#elif defined(Q_OS_LINUX)
    // A tree may reach into other file systems through mount points or links to
    // directories (an installation's "data" linked to another disk); the copies write
    // through those, so each file system met is flushed, once.
    QSet<dev_t> devices;
    const auto visit = [&devices](const QString &dirPath) {
        struct stat status;
        if (::stat(QFile::encodeName(dirPath).constData(), &status) != 0)
            return warn(dirPath, qt_error_string(errno));
        if (devices.contains(status.st_dev))
            return true;
        devices.insert(status.st_dev);
        return syncFileSystemOf(dirPath);
    };
    for (const QString &dirPath : dirPaths) {
        if (!visit(dirPath))
            return false;
        // Stops at links that lead back into the tree. Without QDir::System, which
        // would list dangling links too.
        QDirIterator it(dirPath, QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden,
                        QDirIterator::Subdirectories | QDirIterator::FollowSymlinks);
        while (it.hasNext()) {
            if (!visit(it.next()))
                return false;
        }
    }
    return true;
#else
    // No per-file-system flush here: flush them all.
    Q_UNUSED(dirPaths)
    ::sync();
    return true;
#endif
}
