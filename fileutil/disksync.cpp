#include "fileutil/disksync.h"

#include "fileutil/recursionguard.h"
#include "log/applog.h"
#include "platform/dirhandle.h"

#include <QDirIterator>
#include <QFile>
#include <QSet>

#ifdef Q_OS_WIN
#include <QDir>
#include <QFileInfo>
#include <qt_windows.h>

#include <algorithm>
#include <string>
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

#ifdef Q_OS_WIN
QSet<QString> &pendingFiles()
{
    static QSet<QString> files;
    return files;
}

QString key(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

// FlushFileBuffers needs a handle with write access, which a read-only file only gives
// once its attribute is off; the attribute is put back afterwards.
bool flushFile(const QString &path)
{
    const std::wstring name = DirHandle::extendedPath(path).toStdWString();
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        // Removed or replaced since it was written: nothing of it is left to flush.
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return true;
        return warn(path, qt_error_string(int(error)));
    }
    const bool readOnly = attributes & FILE_ATTRIBUTE_READONLY;
    if (readOnly && !SetFileAttributesW(name.c_str(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY)))
        return warn(path, qt_error_string(int(GetLastError())));
    const HANDLE handle = CreateFileW(name.c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD error = GetLastError();
    bool flushed = false;
    if (handle != INVALID_HANDLE_VALUE) {
        flushed = FlushFileBuffers(handle);
        error = GetLastError();
        CloseHandle(handle);
    }
    if (readOnly)
        SetFileAttributesW(name.c_str(), attributes);
    return flushed || warn(path, qt_error_string(int(error)));
}
#endif

#ifdef Q_OS_LINUX
// Flushes the file system of dir when it is not among devices yet, and so on below it,
// links to directories followed, a link back into the tree left out. syncfs() flushes
// exactly one file system, the one that holds the descriptor's file, and (since Linux
// 5.8) reports data that could not be written.
bool flushBelow(const DirHandle &dir, QSet<dev_t> &devices, RecursionGuard &guard)
{
    struct stat status;
    if (::fstat(dir.fd(), &status) != 0)
        return warn(dir.path(), qt_error_string(errno));
    if (!devices.contains(status.st_dev)) {
        devices.insert(status.st_dev);
        if (::syncfs(dir.fd()) != 0)
            return warn(dir.path(), qt_error_string(errno));
    }
    if (!guard.enter(dir))
        return true;
    std::vector<DirHandle::Listed> entries;
    bool flushed = dir.list(&entries) || warn(dir.path(), qt_error_string(errno));
    for (auto entry = entries.cbegin(); flushed && entry != entries.cend(); ++entry) {
        if (!entry->maybeDir || !entry->decodable || dir.status(entry->name, true).kind != DirHandle::Kind::Dir)
            continue;
        const DirHandle below = dir.openChild(entry->name);
        flushed = below.isOpen() ? flushBelow(below, devices, guard)
                                 : warn(below.path(), qt_error_string(below.error()));
    }
    guard.leave();
    return flushed;
}
#endif

} // namespace

bool DiskSync::flushTrees(const QStringList &dirPaths)
{
#if defined(Q_OS_WIN)
    // A volume handle would flush everything at once, but opening one needs
    // administrator rights, and some systems refuse to flush it (Wine: "Invalid
    // function"): each file copied since the last flush is flushed instead. Files
    // written through QSaveFile and the database flush themselves.
    QStringList roots;
    for (const QString &dirPath : dirPaths) {
        const QFileInfo dir(dirPath);
        if (!dir.isDir()) {
            return warn(dirPath, dir.exists() ? QStringLiteral("Not a directory")
                                              : QStringLiteral("No such file or directory"));
        }
        roots.append(QDir::cleanPath(dir.absoluteFilePath()) + QLatin1Char('/'));
    }
    QSet<QString> &pending = pendingFiles();
    for (auto it = pending.begin(); it != pending.end();) {
        const bool below = std::any_of(roots.cbegin(), roots.cend(), [&it](const QString &root) {
            return it->startsWith(root, Qt::CaseInsensitive);
        });
        if (!below) {
            ++it;
            continue;
        }
        if (!flushFile(*it))
            return false;
        it = pending.erase(it);
    }
    return true;
#elif defined(Q_OS_LINUX)
    // A tree may reach into other file systems through mount points or links to
    // directories (an installation's "data" linked to another disk); the copies write
    // through those, so each file system met is flushed, once. Walked by open
    // directories, as deep as the copies go.
    QSet<dev_t> devices;
    for (const QString &dirPath : dirPaths) {
        const DirHandle dir = DirHandle::open(dirPath);
        if (!dir.isOpen())
            return warn(dirPath, qt_error_string(dir.error()));
        RecursionGuard guard;
        if (!flushBelow(dir, devices, guard))
            return false;
    }
    return true;
#else
    // No per-file-system flush here: flush them all.
    Q_UNUSED(dirPaths)
    ::sync();
    return true;
#endif
}

void DiskSync::noteWritten(const QString &filePath)
{
#ifdef Q_OS_WIN
    pendingFiles().insert(key(filePath));
#else
    Q_UNUSED(filePath) // flushTrees() flushes whole file systems
#endif
}
