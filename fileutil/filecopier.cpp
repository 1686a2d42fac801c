#include "fileutil/filecopier.h"

#include "fileutil/disksync.h"
#include "log/interruptedcall.h"
#include "platform/dirhandle.h"

#include <QFile>
#include <QFileInfo>

#include <cstring>
#ifdef Q_OS_WIN
#include <QDir>
#include <qt_windows.h>

#include <string>
#endif

#ifndef Q_OS_WIN
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <sys/sendfile.h>
#endif

namespace {

constexpr size_t kBufferSize = 256 * 1024;
// Large enough that reading two files by turns costs the disk few extra seeks.
constexpr size_t kCompareSize = 2 * 1024 * 1024;

#ifdef Q_OS_WIN
// Reads until the block is full or the file ends.
qint64 readBlock(QFile &file, char *data, qint64 size)
{
    qint64 total = 0;
    while (total < size) {
        const qint64 n = file.read(data + total, size - total);
        if (n <= 0)
            return n < 0 ? -1 : total;
        total += n;
    }
    return total;
}
#else

// Closes a descriptor on every way out of a copy.
class Descriptor
{
public:
    explicit Descriptor(int fd)
        : m_fd(fd)
    {
    }
    ~Descriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;

    int get() const { return m_fd; }
    // Closes now, so that a late write error (NFS reports some only here) is seen.
    int close()
    {
        const int result = ::close(m_fd);
        m_fd = -1;
        return result;
    }

private:
    int m_fd;
};

int openRetrying(int dirFd, const QByteArray &name, int flags, mode_t mode = 0)
{
    return InterruptedCall::retry([&] { return ::openat(dirFd, name.constData(), flags, mode); });
}

// Reads until the block is full or the file ends.
qint64 readBlock(int fd, char *data, qint64 size)
{
    qint64 total = 0;
    while (total < size) {
        const ssize_t n = InterruptedCall::retry([&] { return ::read(fd, data + total, size_t(size - total)); });
        if (n <= 0)
            return n < 0 ? -1 : total;
        total += n;
    }
    return total;
}

// Lets the kernel move the bytes, without a round trip through user space. With
// shareData, copy_file_range, which may clone the blocks (reflinks on XFS, Btrfs);
// without, sendfile through the page cache: a copy of its own, never a clone. Returns
// the number of bytes copied, or -1 with errno set.
qint64 kernelCopy(int in, int out, bool shareData)
{
    qint64 copied = 0;
#ifdef Q_OS_LINUX
    const size_t chunk = size_t(1) << 30;
    for (;;) {
        const ssize_t n = InterruptedCall::retry([&] {
            return shareData ? ::copy_file_range(in, nullptr, out, nullptr, chunk, 0) : ::sendfile(out, in, nullptr, chunk);
        });
        if (n <= 0)
            return n == 0 ? copied : -1;
        copied += n;
    }
#else
    Q_UNUSED(in)
    Q_UNUSED(out)
    Q_UNUSED(shareData)
#endif
    return copied;
}
#endif

} // namespace

FileCopier::FileCopier() = default;

FileCopier::~FileCopier() = default;

QString FileCopier::errorString() const
{
    return m_errorString;
}

bool FileCopier::removeTarget(const QString &path)
{
#ifdef Q_OS_WIN
    // A dangling link counts as an entry too, though QFileInfo::exists() does not see it.
    const QFileInfo existing(path);
    if (!existing.exists() && !existing.isSymLink())
        return true;
    // Windows refuses to remove a file with the read-only attribute; the file that takes
    // its place brings its own attributes.
    const std::wstring name = DirHandle::extendedPath(existing.absoluteFilePath()).toStdWString();
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)
        && !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        SetFileAttributesW(name.c_str(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
    if (QFile::remove(path))
        return true;
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        SetFileAttributesW(name.c_str(), attributes);
    return false;
#else
    return ::unlink(QFile::encodeName(path).constData()) == 0 || errno == ENOENT;
#endif
}

bool FileCopier::removeTarget(const DirHandle &dir, const QString &name)
{
    return dir.removeFile(name);
}

bool FileCopier::sameContent(const QString &source, const QString &target)
{
#ifdef Q_OS_WIN
    const QFileInfo targetInfo(target);
    if (targetInfo.isSymLink() || !targetInfo.isFile() || targetInfo.size() != QFileInfo(source).size())
        return false;
    QFile a(source);
    QFile b(target);
    if (!a.open(QIODevice::ReadOnly | QIODevice::Unbuffered) || !b.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return false;
    if (!m_compareBuffer)
        m_compareBuffer.reset(new char[2 * kCompareSize]);
    char *const first = m_compareBuffer.get();
    char *const second = first + kCompareSize;
    for (;;) {
        const qint64 n = readBlock(a, first, qint64(kCompareSize));
        if (n < 0 || readBlock(b, second, qint64(kCompareSize)) != n)
            return false;
        if (n == 0)
            return true;
        if (std::memcmp(first, second, size_t(n)) != 0)
            return false;
    }
#else
    return sameContentAt(AT_FDCWD, QFile::encodeName(source), AT_FDCWD, QFile::encodeName(target));
#endif
}

bool FileCopier::sameContent(const DirHandle &sourceDir, const QString &sourceName, const DirHandle &targetDir,
                             const QString &targetName)
{
#ifdef Q_OS_WIN
    // Qt hands the system extended-length paths itself.
    return sameContent(sourceDir.pathOf(sourceName), targetDir.pathOf(targetName));
#else
    return sameContentAt(sourceDir.fd(), DirHandle::encodeName(sourceName), targetDir.fd(),
                         DirHandle::encodeName(targetName));
#endif
}

#ifndef Q_OS_WIN
bool FileCopier::sameContentAt(int sourceDir, const QByteArray &sourceName, int targetDir, const QByteArray &targetName)
{
    // O_NOFOLLOW: a link in the target is never the same file, whatever it leads to.
    const Descriptor b(openRetrying(targetDir, targetName, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (b.get() < 0)
        return false;
    struct stat targetStatus;
    if (::fstat(b.get(), &targetStatus) != 0 || !S_ISREG(targetStatus.st_mode))
        return false;
    const Descriptor a(openRetrying(sourceDir, sourceName, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat sourceStatus;
    if (a.get() < 0 || ::fstat(a.get(), &sourceStatus) != 0 || sourceStatus.st_size != targetStatus.st_size)
        return false;
    if (!m_compareBuffer)
        m_compareBuffer.reset(new char[2 * kCompareSize]);
    char *const first = m_compareBuffer.get();
    char *const second = first + kCompareSize;
    for (;;) {
        const qint64 n = readBlock(a.get(), first, qint64(kCompareSize));
        if (n < 0 || readBlock(b.get(), second, qint64(kCompareSize)) != n)
            return false;
        if (n == 0)
            return true;
        if (std::memcmp(first, second, size_t(n)) != 0)
            return false;
    }
}
#endif

bool FileCopier::fail(const QString &reason)
{
    m_errorString = reason;
    return false;
}

bool FileCopier::copy(const QString &source, const QString &target)
{
    m_errorString.clear();
#ifdef Q_OS_WIN
    // CopyFileW neither stages nor flushes; QFile::copy() is the plain copy there. It
    // gives the copy the source's attributes, read-only included, as the restore needs.
    QFile file(source);
    if (!file.copy(target))
        return fail(file.errorString());
    DiskSync::noteWritten(target);
    return true;
#else
    return copyAt(AT_FDCWD, QFile::encodeName(source), AT_FDCWD, QFile::encodeName(target), source, target);
#endif
}

bool FileCopier::copy(const DirHandle &sourceDir, const QString &sourceName, const DirHandle &targetDir,
                      const QString &targetName)
{
#ifdef Q_OS_WIN
    // Qt hands the system extended-length paths itself.
    return copy(sourceDir.pathOf(sourceName), targetDir.pathOf(targetName));
#else
    return copyAt(sourceDir.fd(), DirHandle::encodeName(sourceName), targetDir.fd(), DirHandle::encodeName(targetName),
                  sourceDir.pathOf(sourceName), targetDir.pathOf(targetName));
#endif
}

#ifndef Q_OS_WIN
bool FileCopier::copyAt(int sourceDir, const QByteArray &sourceName, int targetDir, const QByteArray &targetName,
                        const QString &source, const QString &target)
{
    m_errorString.clear();
    // Non-blocking, so that a FIFO in the tree fails below instead of waiting for a writer.
    const Descriptor in(openRetrying(sourceDir, sourceName, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (in.get() < 0)
        return fail(QStringLiteral("Cannot open %1 for input: %2").arg(source, qt_error_string(errno)));
    struct stat status;
    if (::fstat(in.get(), &status) != 0)
        return fail(QStringLiteral("Cannot open %1 for input: %2").arg(source, qt_error_string(errno)));
    if (!S_ISREG(status.st_mode)) {
        const int reason = S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
        return fail(QStringLiteral("Cannot open %1 for input: %2").arg(source, qt_error_string(reason)));
    }

    // O_EXCL makes "exists" and "create" one step: nothing that appears at target in
    // between can be overwritten, and a link there is never followed. Created with the
    // source's permission bits (as far as the umask lets): a copy killed before the
    // fchmod() below must not leave the file private, since an INI file is merged in
    // place by the next run rather than copied again.
    const mode_t permissions = status.st_mode & (S_IRWXU | S_IRWXG | S_IRWXO);
    Descriptor out(openRetrying(targetDir, targetName, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, permissions));
    if (out.get() < 0) {
        if (errno == EEXIST)
            return fail(QStringLiteral("Destination file exists"));
        return fail(QStringLiteral("Cannot open %1 for output: %2").arg(target, qt_error_string(errno)));
    }

    // Only the file created above is ever removed here.
    const auto discard = [&](const QString &reason) {
        ::unlinkat(targetDir, targetName.constData(), 0);
        return fail(reason);
    };
    const auto copyError = [&](int error) {
        return discard(QStringLiteral("Cannot copy %1 to %2: %3").arg(source, target, qt_error_string(error)));
    };

    qint64 copied = kernelCopy(in.get(), out.get(), m_shareData);
    if (copied < 0) {
        // File systems or kernels that cannot copy in the kernel say so before the
        // first byte; anything else (a full disk, an I/O error) is a real failure.
        if (errno != EXDEV && errno != ENOSYS && errno != EOPNOTSUPP && errno != EINVAL)
            return copyError(errno);
        copied = 0;
    }
    // Nothing copied: either the kernel could not, or the file reports no size and may
    // still have content. Plain reads settle both.
    if (copied == 0) {
        if (!m_buffer)
            m_buffer.reset(new char[kBufferSize]);
        for (;;) {
            const ssize_t n = InterruptedCall::retry([&] { return ::read(in.get(), m_buffer.get(), kBufferSize); });
            if (n == 0)
                break;
            if (n < 0)
                return copyError(errno);
            if (!InterruptedCall::writeAll(out.get(), m_buffer.get(), n))
                return copyError(errno);
        }
    }

    // Like QFile::copy(): the permission bits, whatever the umask; a file system that
    // has no Unix permissions refuses this, and the copy is still good.
    ::fchmod(out.get(), permissions);
    if (out.close() != 0)
        return discard(QStringLiteral("Cannot close %1: %2").arg(target, qt_error_string(errno)));
    return true;
}
#endif
