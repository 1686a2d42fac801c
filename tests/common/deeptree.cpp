#include "common/deeptree.h"

#ifdef Q_OS_WIN
#include <qt_windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {
#ifdef Q_OS_WIN
constexpr int kLevels = 12;
#else
constexpr int kLevels = 24;
#endif
} // namespace

int DeepTree::longestWholePath()
{
#ifdef Q_OS_WIN
    return MAX_PATH;
#else
    return 4096;
#endif
}

DirHandle DeepTree::open(const QString &root, bool make)
{
    DirHandle dir = DirHandle::open(root);
    for (int level = 0; level < kLevels && dir.isOpen(); ++level) {
        const QString name = QString(197, QLatin1Char('d')) + QString::number(level).rightJustified(3, QLatin1Char('0'));
        if (make)
            dir.makeDir(name);
        dir = dir.openChild(name, false);
    }
    return dir;
}

#ifdef Q_OS_WIN

bool DeepTree::write(const DirHandle &dir, const QString &name, const QByteArray &bytes)
{
    const HANDLE file = CreateFileW(dir.nativePath(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const bool ok = WriteFile(file, bytes.constData(), DWORD(bytes.size()), &written, nullptr)
        && written == DWORD(bytes.size());
    return CloseHandle(file) && ok;
}

QByteArray DeepTree::read(const DirHandle &dir, const QString &name)
{
    const HANDLE file = CreateFileW(dir.nativePath(name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    QByteArray bytes;
    if (file == INVALID_HANDLE_VALUE)
        return bytes;
    char buffer[4096];
    DWORD n = 0;
    while (ReadFile(file, buffer, DWORD(sizeof buffer), &n, nullptr) && n > 0)
        bytes.append(buffer, int(n));
    CloseHandle(file);
    return bytes;
}

#else

bool DeepTree::write(const DirHandle &dir, const QString &name, const QByteArray &bytes)
{
    const int fd = ::openat(dir.fd(), DirHandle::encodeName(name).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool written = ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
    return ::close(fd) == 0 && written;
}

QByteArray DeepTree::read(const DirHandle &dir, const QString &name)
{
    const int fd = ::openat(dir.fd(), DirHandle::encodeName(name).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    QByteArray bytes;
    char buffer[4096];
    ssize_t n = 0;
    while (fd >= 0 && (n = ::read(fd, buffer, sizeof buffer)) > 0)
        bytes.append(buffer, int(n));
    if (fd >= 0)
        ::close(fd);
    return bytes;
}

#endif
