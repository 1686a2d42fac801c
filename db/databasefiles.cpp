#include "db/databasefiles.h"

#include "db/dbcontrol.h"
#include "log/applog.h"

#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_WIN
#include <QDateTime>
#include <QDir>
#include <qt_windows.h>

#include <string>
#else
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

const char kSignature[] = "bool DatabaseFiles::takeOver()";
const char *const kJournalSuffixes[] = {"-journal", "-wal", "-shm"};
const QString kAsideSuffix = QStringLiteral(".restoring");

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

DatabaseFiles::DatabaseFiles(const QString &databasePath, const QString &backupPath)
    : m_path(databasePath)
    , m_backupPath(backupPath)
{
}

DatabaseFiles::~DatabaseFiles()
{
    release();
}

bool DatabaseFiles::Identity::operator==(const Identity &other) const
{
    return exists == other.exists && inode == other.inode && size == other.size && modifiedNs == other.modifiedNs;
}

DatabaseFiles::Identity DatabaseFiles::identityOf(const QString &path)
{
    Identity identity;
#ifndef Q_OS_WIN
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return identity;
    identity.exists = true;
    identity.inode = qint64(info.st_ino);
    identity.size = qint64(info.st_size);
    identity.modifiedNs = qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
#else
    const QFileInfo info(path);
    identity.exists = info.exists();
    identity.size = info.size();
    identity.modifiedNs = info.lastModified().toMSecsSinceEpoch() * 1000000;
#endif
    return identity;
}

bool DatabaseFiles::sameContent(const QString &path, const QString &otherPath)
{
    QFile file(path);
    QFile other(otherPath);
    if (!file.open(QIODevice::ReadOnly) || !other.open(QIODevice::ReadOnly) || file.size() != other.size())
        return false;
    constexpr qint64 kChunk = 1 << 16;
    while (!file.atEnd()) {
        const QByteArray bytes = file.read(kChunk);
        if (bytes.isEmpty() || bytes != other.read(kChunk))
            return false;
    }
    return file.error() == QFileDevice::NoError && other.error() == QFileDevice::NoError;
}

bool DatabaseFiles::takeOver()
{
    m_errorString.clear();
    // Our own connection holds no lock between calls, but it must not read the file
    // while it is replaced.
    if (DBControl *control = DBControl::createdInstance())
        control->closeDB();
    m_released = false;
    m_database = identityOf(m_path);
    if (m_database.exists && !lock()) {
        release();
        return false;
    }
    bool replacedBefore = false;
    bool judged = false;
    for (const char *suffix : kJournalSuffixes) {
        const QString journal = m_path + QLatin1String(suffix);
        const QString aside = journal + kAsideSuffix;
        const bool present = QFileInfo::exists(journal) || QFileInfo(journal).isSymLink();
        if (!present && QFileInfo::exists(aside)) {
            // Set aside by a restore that was killed.
            if (!judged) {
                replacedBefore = sameContent(m_path, m_backupPath);
                judged = true;
            }
            if (replacedBefore)
                QFile::remove(aside);
            else
                m_setAside.append(journal);
            continue;
        }
        if (!present)
            continue;
        if (QFileInfo::exists(aside))
            QFile::remove(aside);
        if (!QFile::rename(journal, aside)) {
            m_errorString = QStringLiteral("set %1 aside failed").arg(journal);
            ZR_LOG_WARNING(kSignature) << m_errorString;
            release();
            return false;
        }
        m_setAside.append(journal);
    }
#ifdef Q_OS_WIN
    // Windows replaces no file that is open, not even by the one holding the lock: the
    // lock has kept every other connection out while the journals were moved, and now
    // makes way for the copy.
    unlock();
#endif
    return true;
}

bool DatabaseFiles::lock()
{
#ifndef Q_OS_WIN
    // An open file description lock: it conflicts with SQLite's locks of other
    // processes, and stays when this process opens and closes the file elsewhere (a
    // plain fcntl lock would go with the first close of any descriptor of the file).
    const QByteArray path = QFile::encodeName(m_path);
    short type = F_WRLCK;
    do {
        m_lockFd = ::open(path.constData(), O_RDWR | O_CLOEXEC);
    } while (m_lockFd < 0 && errno == EINTR);
    if (m_lockFd < 0 && errno == EACCES) {
        // A file we may not write still gets a read lock, which keeps every writer out.
        type = F_RDLCK;
        do {
            m_lockFd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
        } while (m_lockFd < 0 && errno == EINTR);
    }
    if (m_lockFd < 0) {
        m_errorString = QStringLiteral("open %1 failed,reason:%2").arg(m_path, QString::fromLocal8Bit(std::strerror(errno)));
        ZR_LOG_WARNING(kSignature) << m_errorString;
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
    if (::fcntl(m_lockFd, command, &region) == 0)
        return true;
    const int error = errno;
    ::close(m_lockFd);
    m_lockFd = -1;
    if (error == EAGAIN || error == EACCES)
        m_errorString = inUseText(m_path);
    else
        m_errorString = QStringLiteral("lock %1 failed,reason:%2").arg(m_path, QString::fromLocal8Bit(std::strerror(error)));
    ZR_LOG_WARNING(kSignature) << m_errorString;
    return false;
#else
    // The same exclusive lock as SQLite's, taken on a handle of our own without opening
    // the database through SQLite: a connection would roll a hot journal of ours back
    // into the database (and remove it) before it could be set aside. Byte-range locks
    // on Windows belong to the handle, so they conflict with every SQLite connection,
    // this process's included. Shared for deleting, so the restore may replace the file
    // once the handle is closed.
    const std::wstring name = QDir::toNativeSeparators(m_path).toStdWString();
    const HANDLE handle = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        // Held open without sharing (not by SQLite, which shares reading and writing).
        if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION)
            m_errorString = inUseText(m_path);
        else
            m_errorString = QStringLiteral("open %1 failed,reason:%2").arg(m_path, qt_error_string(int(error)));
        ZR_LOG_WARNING(kSignature) << m_errorString;
        return false;
    }
    OVERLAPPED region = {};
    region.Offset = DWORD(kPendingByte & 0xffffffff);
    region.OffsetHigh = DWORD(kPendingByte >> 32);
    if (LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, DWORD(kLockBytes), 0, &region)) {
        m_lockHandle = handle;
        return true;
    }
    const DWORD error = GetLastError();
    CloseHandle(handle);
    if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING)
        m_errorString = inUseText(m_path);
    else
        m_errorString = QStringLiteral("lock %1 failed,reason:%2").arg(m_path, qt_error_string(int(error)));
    ZR_LOG_WARNING(kSignature) << m_errorString;
    return false;
#endif
}

void DatabaseFiles::unlock()
{
#ifdef Q_OS_WIN
    // Closing the handle gives its locks back.
    if (m_lockHandle) {
        CloseHandle(m_lockHandle);
        m_lockHandle = nullptr;
    }
#else
    if (m_lockFd >= 0) {
        ::close(m_lockFd);
        m_lockFd = -1;
    }
#endif
}

void DatabaseFiles::complete()
{
    release();
    if (DBControl *control = DBControl::createdInstance())
        control->reopenDB();
}

void DatabaseFiles::release()
{
    if (m_released)
        return;
    m_released = true;
    // The restore leaves a database that equals the backup's in place rather than
    // replacing it: its journals belong to no database then either.
    const bool replaced = !(identityOf(m_path) == m_database) || sameContent(m_path, m_backupPath);
    for (const QString &journal : qAsConst(m_setAside)) {
        const QString aside = journal + kAsideSuffix;
        if (replaced) {
            QFile::remove(aside);
        } else if (!QFileInfo::exists(journal) && !QFile::rename(aside, journal)) {
            ZR_LOG_WARNING("void DatabaseFiles::release()")
                << QStringLiteral("put %1 back failed, it is left as %2").arg(journal, aside);
        }
    }
    m_setAside.clear();
    // The lock goes last, once the journals are where SQLite looks for them.
    unlock();
}
