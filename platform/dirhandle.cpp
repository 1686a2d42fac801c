#include "platform/dirhandle.h"

#include "log/interruptedcall.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#else
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

#ifdef Q_OS_WIN
// 100-nanosecond intervals from 1601-01-01 to 1970-01-01.
constexpr qint64 kEpochOffset = 116444736000000000LL;

// A find handle, closed on every way out.
class FindHandle
{
public:
    explicit FindHandle(HANDLE handle)
        : m_handle(handle)
    {
    }
    ~FindHandle()
    {
        if (m_handle != INVALID_HANDLE_VALUE)
            FindClose(m_handle);
    }
    FindHandle(const FindHandle &) = delete;
    FindHandle &operator=(const FindHandle &) = delete;
    HANDLE get() const { return m_handle; }

private:
    HANDLE m_handle;
};

bool isDots(const wchar_t *name)
{
    return (name[0] == L'.' && name[1] == 0) || (name[0] == L'.' && name[1] == L'.' && name[2] == 0);
}
#else
int openDirAt(int dirFd, const QByteArray &name, bool followLink)
{
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW);
    return InterruptedCall::retry([&] { return ::openat(dirFd, name.constData(), flags); });
}

// Removes the entry name of the directory dirFd with all it holds, links as links.
// By raw names: one that is not valid in the file name encoding goes as well.
bool removeTreeAt(int dirFd, const QByteArray &name)
{
    if (::unlinkat(dirFd, name.constData(), 0) == 0 || errno == ENOENT)
        return true;
    if (errno != EISDIR && errno != EPERM) // Linux says EISDIR, POSIX EPERM
        return false;
    const int fd = openDirAt(dirFd, name, false);
    if (fd < 0)
        return false;
    DIR *stream = ::fdopendir(fd);
    if (!stream) {
        ::close(fd);
        return false;
    }
    std::vector<QByteArray> names;
    errno = 0;
    while (const dirent *entry = ::readdir(stream)) {
        const char *raw = entry->d_name;
        if (!(raw[0] == '.' && (raw[1] == 0 || (raw[1] == '.' && raw[2] == 0))))
            names.emplace_back(raw);
        errno = 0;
    }
    bool ok = errno == 0;
    for (const QByteArray &child : names) {
        if (ok)
            ok = removeTreeAt(::dirfd(stream), child);
    }
    ::closedir(stream);
    return ok && (::unlinkat(dirFd, name.constData(), AT_REMOVEDIR) == 0 || errno == ENOENT);
}
#endif

} // namespace

DirHandle::~DirHandle()
{
#ifndef Q_OS_WIN
    if (m_fd >= 0)
        ::close(m_fd);
#endif
}

DirHandle::DirHandle(DirHandle &&other) noexcept
    :
#ifndef Q_OS_WIN
    m_fd(other.m_fd)
    ,
#endif
    m_open(other.m_open)
    , m_error(other.m_error)
    , m_path(std::move(other.m_path))
{
#ifndef Q_OS_WIN
    other.m_fd = -1;
#endif
    other.m_open = false;
}

DirHandle &DirHandle::operator=(DirHandle &&other) noexcept
{
    if (this != &other) {
#ifndef Q_OS_WIN
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = other.m_fd;
        other.m_fd = -1;
#endif
        m_open = other.m_open;
        m_error = other.m_error;
        m_path = std::move(other.m_path);
        other.m_open = false;
    }
    return *this;
}

bool DirHandle::isOpen() const
{
    return m_open;
}

bool DirHandle::isMissing() const
{
#ifdef Q_OS_WIN
    return m_error == ERROR_FILE_NOT_FOUND || m_error == ERROR_PATH_NOT_FOUND;
#else
    return m_error == ENOENT;
#endif
}

QString DirHandle::extendedPath(const QString &path)
{
#ifdef Q_OS_WIN
    QString native = QDir::toNativeSeparators(path);
    if (native.startsWith(QLatin1String("\\\\?\\")))
        return native;
    // The prefix turns off the system's own clean-up of "." and ".." and of "/": done here.
    native = QDir::toNativeSeparators(QDir::cleanPath(QFileInfo(path).absoluteFilePath()));
    if (native.startsWith(QLatin1String("\\\\")))
        return QStringLiteral("\\\\?\\UNC\\") + native.mid(2);
    return QStringLiteral("\\\\?\\") + native;
#else
    return path;
#endif
}

#ifdef Q_OS_WIN

std::wstring DirHandle::nativePath(const QString &name) const
{
    return extendedPath(pathOf(name)).toStdWString();
}

DirHandle DirHandle::open(const QString &path)
{
    DirHandle dir;
    dir.m_path = QDir(path).path();
    const DWORD attributes = GetFileAttributesW(extendedPath(dir.m_path).toStdWString().c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        dir.m_error = int(GetLastError());
    else if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
        dir.m_error = ERROR_DIRECTORY;
    dir.m_open = dir.m_error == 0;
    return dir;
}

DirHandle DirHandle::openChild(const QString &name, bool followLink) const
{
    DirHandle dir;
    dir.m_path = pathOf(name);
    const DWORD attributes = GetFileAttributesW(nativePath(name).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        dir.m_error = int(GetLastError());
    else if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
        dir.m_error = ERROR_DIRECTORY;
    else if (!followLink && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        dir.m_error = ERROR_CANT_ACCESS_FILE;
    dir.m_open = dir.m_error == 0;
    return dir;
}

QString DirHandle::identity() const
{
    const QString canonical = QFileInfo(m_path).canonicalFilePath();
    return canonical.isEmpty() ? QFileInfo(m_path).absoluteFilePath() : canonical;
}

bool DirHandle::isInside(const DirHandle &root) const
{
    const QString canonical = QFileInfo(m_path).canonicalFilePath();
    const QString rootPath = QFileInfo(root.m_path).canonicalFilePath();
    if (canonical.isEmpty() || rootPath.isEmpty())
        return false;
    const QString prefix = rootPath.endsWith(QLatin1Char('/')) ? rootPath : rootPath + QLatin1Char('/');
    return canonical.compare(rootPath, Qt::CaseInsensitive) == 0 || canonical.startsWith(prefix, Qt::CaseInsensitive);
}

DirHandle::Status DirHandle::status(const QString &name, bool followLink) const
{
    Status status;
    const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (followLink ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    const HANDLE handle = CreateFileW(nativePath(name).c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return status;
    FILE_BASIC_INFO basic;
    FILE_STANDARD_INFO standard;
    if (GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic)
        && GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard)) {
        if (!followLink && (basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            status.kind = Kind::Link;
        else if (basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            status.kind = Kind::Dir;
        else if (basic.FileAttributes & FILE_ATTRIBUTE_DEVICE)
            status.kind = Kind::Other;
        else
            status.kind = Kind::File;
        status.size = standard.EndOfFile.QuadPart;
        if (basic.ChangeTime.QuadPart > kEpochOffset)
            status.changed = (basic.ChangeTime.QuadPart - kEpochOffset) * 100;
    }
    CloseHandle(handle);
    return status;
}

bool DirHandle::list(std::vector<Listed> *entries) const
{
    WIN32_FIND_DATAW data;
    const FindHandle find(FindFirstFileExW(nativePath(QStringLiteral("*")).c_str(), FindExInfoBasic, &data,
                                           FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH));
    if (find.get() == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND; // an empty drive root has not even "."
    do {
        if (isDots(data.cFileName))
            continue;
        Listed entry;
        entry.name = QString::fromWCharArray(data.cFileName);
        entry.hidden = data.dwFileAttributes & FILE_ATTRIBUTE_HIDDEN;
        entry.maybeDir = data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
        entries->push_back(std::move(entry));
    } while (FindNextFileW(find.get(), &data));
    return GetLastError() == ERROR_NO_MORE_FILES;
}

bool DirHandle::makeDir(const QString &name) const
{
    return CreateDirectoryW(nativePath(name).c_str(), nullptr);
}

bool DirHandle::removeFile(const QString &name) const
{
    const std::wstring native = nativePath(name);
    const DWORD attributes = GetFileAttributesW(native.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        SetLastError(ERROR_ACCESS_DENIED); // what DeleteFileW says of a directory
        return false;
    }
    // Windows refuses to remove a file with the read-only attribute; what takes its
    // place brings its own attributes.
    if (attributes & FILE_ATTRIBUTE_READONLY)
        SetFileAttributesW(native.c_str(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
    if (DeleteFileW(native.c_str()))
        return true;
    const DWORD error = GetLastError();
    if (attributes & FILE_ATTRIBUTE_READONLY)
        SetFileAttributesW(native.c_str(), attributes);
    SetLastError(error);
    return false;
}

bool DirHandle::removeTree(const QString &name) const
{
    const std::wstring native = nativePath(name);
    const DWORD attributes = GetFileAttributesW(native.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return removeFile(name);
    // A junction or a directory link goes itself; what it leads to stays.
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        const DirHandle dir = openChild(name, false);
        std::vector<Listed> entries;
        if (!dir.isOpen() || !dir.list(&entries))
            return false;
        for (const Listed &entry : entries) {
            if (!dir.removeTree(entry.name))
                return false;
        }
    }
    if (attributes & FILE_ATTRIBUTE_READONLY)
        SetFileAttributesW(native.c_str(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
    return RemoveDirectoryW(native.c_str());
}

bool DirHandle::readLink(const QString &, QByteArray *) const
{
    // The copies follow links on Windows (SymLink); shortcuts are files there.
    SetLastError(ERROR_NOT_SUPPORTED);
    return false;
}

bool DirHandle::makeLink(const QByteArray &, const QString &) const
{
    SetLastError(ERROR_NOT_SUPPORTED);
    return false;
}

#else // Unix

QByteArray DirHandle::encodeName(const QString &name)
{
    return QFile::encodeName(name);
}

DirHandle DirHandle::open(const QString &path)
{
    DirHandle dir;
    dir.m_path = QDir(path).path();
    dir.m_fd = openDirAt(AT_FDCWD, encodeName(dir.m_path), true);
    dir.m_error = dir.m_fd < 0 ? errno : 0;
    dir.m_open = dir.m_fd >= 0;
    return dir;
}

DirHandle DirHandle::openChild(const QString &name, bool followLink) const
{
    DirHandle dir;
    dir.m_path = pathOf(name);
    dir.m_fd = openDirAt(m_fd, encodeName(name), followLink);
    dir.m_error = dir.m_fd < 0 ? errno : 0;
    dir.m_open = dir.m_fd >= 0;
    return dir;
}

QString DirHandle::identity() const
{
    struct stat status;
    if (::fstat(m_fd, &status) != 0)
        return m_path;
    return QStringLiteral("%1:%2").arg(quint64(status.st_dev)).arg(quint64(status.st_ino));
}

bool DirHandle::isInside(const DirHandle &root) const
{
    // Up through "..", which leads to where the directory really is, not back through
    // the link it was reached by; the file system's root is its own parent.
    const QString rootIdentity = root.identity();
    DirHandle current = openChild(QStringLiteral("."));
    while (current.isOpen()) {
        const QString identity = current.identity();
        if (identity == rootIdentity)
            return true;
        DirHandle parent = current.openChild(QStringLiteral(".."));
        if (parent.isOpen() && parent.identity() == identity)
            return false;
        current = std::move(parent);
    }
    return false;
}

DirHandle::Status DirHandle::status(const QString &name, bool followLink) const
{
    Status result;
    struct stat status;
    if (::fstatat(m_fd, encodeName(name).constData(), &status, followLink ? 0 : AT_SYMLINK_NOFOLLOW) != 0)
        return result;
    if (S_ISREG(status.st_mode))
        result.kind = Kind::File;
    else if (S_ISDIR(status.st_mode))
        result.kind = Kind::Dir;
    else if (S_ISLNK(status.st_mode))
        result.kind = Kind::Link;
    else
        result.kind = Kind::Other;
    result.size = status.st_size;
    if (status.st_ctim.tv_sec >= 0)
        result.changed = qint64(status.st_ctim.tv_sec) * 1000000000LL + status.st_ctim.tv_nsec;
    return result;
}

bool DirHandle::list(std::vector<Listed> *entries) const
{
    // The stream takes its own descriptor, so that this one stays open, and starts from
    // the beginning whatever an earlier listing left behind.
    const int fd = ::fcntl(m_fd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0)
        return false;
    DIR *stream = ::fdopendir(fd);
    if (!stream) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return false;
    }
    ::rewinddir(stream);
    errno = 0;
    while (const dirent *entry = ::readdir(stream)) {
        const char *raw = entry->d_name;
        if (raw[0] == '.' && (raw[1] == 0 || (raw[1] == '.' && raw[2] == 0)))
            continue;
        Listed listed;
        listed.rawName = QByteArray(raw);
        listed.name = QFile::decodeName(listed.rawName);
        listed.decodable = QFile::encodeName(listed.name) == listed.rawName;
        listed.hidden = raw[0] == '.';
        listed.maybeDir = entry->d_type == DT_DIR || entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN;
        entries->push_back(std::move(listed));
        errno = 0;
    }
    const int error = errno;
    ::closedir(stream);
    errno = error;
    return error == 0;
}

bool DirHandle::makeDir(const QString &name) const
{
    return ::mkdirat(m_fd, encodeName(name).constData(), 0777) == 0;
}

bool DirHandle::removeFile(const QString &name) const
{
    return ::unlinkat(m_fd, encodeName(name).constData(), 0) == 0 || errno == ENOENT;
}

bool DirHandle::removeTree(const QString &name) const
{
    return removeTreeAt(m_fd, encodeName(name));
}

bool DirHandle::readLink(const QString &name, QByteArray *text) const
{
    return readLinkAt(m_fd, encodeName(name), text);
}

bool DirHandle::readLinkAt(int dirFd, const QByteArray &rawName, QByteArray *text)
{
    // A link's text is short; a longer one is read again into a larger buffer.
    QByteArray buffer(256, Qt::Uninitialized);
    for (;;) {
        const ssize_t size = ::readlinkat(dirFd, rawName.constData(), buffer.data(), size_t(buffer.size()));
        if (size < 0)
            return false;
        if (size < buffer.size()) {
            buffer.truncate(int(size));
            *text = buffer;
            return true;
        }
        if (buffer.size() >= (1 << 20)) {
            errno = ENAMETOOLONG;
            return false;
        }
        buffer.resize(buffer.size() * 4);
    }
}

bool DirHandle::makeLink(const QByteArray &text, const QString &name) const
{
    return ::symlinkat(text.constData(), m_fd, encodeName(name).constData()) == 0;
}

#endif
