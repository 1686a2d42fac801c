#include "db/databaselock.h"

#include "log/interruptedcall.h"

#include <QFile>

#ifdef Q_OS_WIN
#include <QDir>
#include <qt_windows.h>

#include <string>
#else
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

// SQLite's lock bytes in a database file (the same in its "unix" and "win32" VFS): the
// pending byte at 1 GiB, the reserved byte after it, then the 510 bytes of the shared
// range. A reader holds a read lock in the shared range, a writer the reserved byte, a
// committing one everything; a write lock on all of them is SQLite's exclusive lock,
// which no other connection can get past.
constexpr qint64 kPendingByte = 0x40000000;
constexpr qint64 kLockBytes = 2 + 510;

QString inUseText(const QString &path)
{
    return QStringLiteral("%1 is in use by another program; close the application and try again").arg(path);
}

} // namespace

DatabaseLock::~DatabaseLock()
{
    unlock();
}

bool DatabaseLock::isLocked() const
{
#ifdef Q_OS_WIN
    return m_handle != nullptr;
#else
    return m_fd >= 0;
#endif
}

bool DatabaseLock::lock(const QString &filePath, QString *errorString)
{
    unlock();
#ifndef Q_OS_WIN
    // An open file description lock: it conflicts with SQLite's locks of other
    // processes, and stays when this process opens and closes the file elsewhere (a
    // plain fcntl lock would go with the first close of any descriptor of the file).
    const QByteArray path = QFile::encodeName(filePath);
    short type = F_WRLCK;
    m_fd = InterruptedCall::retry([&] { return ::open(path.constData(), O_RDWR | O_CLOEXEC); });
    if (m_fd < 0 && errno == EACCES) {
        // A file we may not write still gets a read lock, which keeps every writer out.
        type = F_RDLCK;
        m_fd = InterruptedCall::retry([&] { return ::open(path.constData(), O_RDONLY | O_CLOEXEC); });
    }
    if (m_fd < 0) {
        *errorString = QStringLiteral("open %1 failed,reason:%2").arg(filePath, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    struct flock region;
    std::memset(&region, 0, sizeof region);
    region.l_type = type;
    region.l_whence = SEEK_SET;
    region.l_start = off_t(kPendingByte);
    region.l_len = off_t(kLockBytes);
#ifdef F_OFD_SETLK
    const int command = F_OFD_SETLK;
#else
    const int command = F_SETLK;
#endif
    if (::fcntl(m_fd, command, &region) == 0)
        return true;
    const int error = errno;
    ::close(m_fd);
    m_fd = -1;
    if (error == EAGAIN || error == EACCES)
        *errorString = inUseText(filePath);
    else
        *errorString = QStringLiteral("lock %1 failed,reason:%2").arg(filePath, QString::fromLocal8Bit(std::strerror(error)));
    return false;
#else
    // Byte-range locks on Windows belong to the handle, so they conflict with every
    // SQLite connection, this process's included. Shared for deleting, so the restore may
    // replace the file once the handle is closed.
    const std::wstring name = QDir::toNativeSeparators(filePath).toStdWString();
    const HANDLE handle = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        // Held open without sharing (not by SQLite, which shares reading and writing).
        if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION)
            *errorString = inUseText(filePath);
        else
            *errorString = QStringLiteral("open %1 failed,reason:%2").arg(filePath, qt_error_string(int(error)));
        return false;
    }
    OVERLAPPED region = {};
    region.Offset = DWORD(kPendingByte & 0xffffffff);
    region.OffsetHigh = DWORD(kPendingByte >> 32);
    if (LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, DWORD(kLockBytes), 0, &region)) {
        m_handle = handle;
        return true;
    }
    const DWORD error = GetLastError();
    CloseHandle(handle);
    if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING)
        *errorString = inUseText(filePath);
    else
        *errorString = QStringLiteral("lock %1 failed,reason:%2").arg(filePath, qt_error_string(int(error)));
    return false;
#endif
}

void DatabaseLock::unlock()
{
#ifdef Q_OS_WIN
    // Closing the handle gives its locks back.
    if (m_handle) {
        CloseHandle(m_handle);
        m_handle = nullptr;
    }
#else
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
#endif
}
