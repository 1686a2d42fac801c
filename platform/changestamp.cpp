#include "platform/changestamp.h"

#include <QFile>
#include <QTemporaryFile>

#ifdef Q_OS_WIN
#include <QDir>
#include <qt_windows.h>

#include <string>
#else
#include <sys/stat.h>
#include <sys/statfs.h>
#endif

namespace {

#ifdef Q_OS_WIN
// 100-nanosecond intervals from 1601-01-01 to 1970-01-01.
constexpr qint64 kEpochOffset = 116444736000000000LL;

std::wstring nativeName(const QString &path)
{
    return QDir::toNativeSeparators(path).toStdWString();
}
#else
// File systems that stamp every write and rename with the local clock. Linux's
// statfs(2) magic numbers.
constexpr unsigned long kKeepingFileSystems[] = {
    0xEF53UL,     // ext2, ext3, ext4
    0x58465342UL, // XFS
    0x9123683EUL, // Btrfs
    0x01021994UL, // tmpfs
    0xF2F52010UL, // F2FS
    0x794C7630UL, // overlayfs (a container's root): its upper layer is one of the above
};
#endif

} // namespace

ChangeStamp ChangeStamp::of(const QString &path)
{
    ChangeStamp stamp;
#ifdef Q_OS_WIN
    // Attributes only: opens whatever another program shares, a running program included.
    const HANDLE handle = CreateFileW(nativeName(path).c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return stamp;
    FILE_BASIC_INFO basic;
    FILE_STANDARD_INFO standard;
    if (GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic)
        && GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard)) {
        stamp.m_regular = (basic.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
        stamp.m_size = standard.EndOfFile.QuadPart;
        if (basic.ChangeTime.QuadPart > kEpochOffset)
            stamp.m_changed = (basic.ChangeTime.QuadPart - kEpochOffset) * 100;
    }
    CloseHandle(handle);
#else
    struct stat status;
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
        return stamp;
    stamp.m_regular = S_ISREG(status.st_mode);
    stamp.m_size = status.st_size;
    if (status.st_ctim.tv_sec >= 0)
        stamp.m_changed = qint64(status.st_ctim.tv_sec) * 1000000000LL + status.st_ctim.tv_nsec;
#endif
    return stamp;
}

qint64 ChangeStamp::now(const QString &dirPath)
{
    // A hidden name, so that the walks over the tree never list it while it exists.
    QTemporaryFile probe(dirPath + QStringLiteral("/.corvane-clock-XXXXXX"));
    if (!probe.open())
        return -1;
    probe.close();
    return of(probe.fileName()).changed();
}

bool ChangeStamp::isKeptAt(const QString &path)
{
#ifdef Q_OS_WIN
    wchar_t volume[MAX_PATH + 1];
    wchar_t fileSystem[MAX_PATH + 1];
    if (!GetVolumePathNameW(nativeName(path).c_str(), volume, MAX_PATH + 1))
        return false;
    // A share's file system keeps the times of the server's clock.
    if (GetDriveTypeW(volume) != DRIVE_FIXED)
        return false;
    if (!GetVolumeInformationW(volume, nullptr, 0, nullptr, nullptr, nullptr, fileSystem, MAX_PATH + 1))
        return false;
    const QString name = QString::fromWCharArray(fileSystem);
    return name == QLatin1String("NTFS") || name == QLatin1String("ReFS");
#else
    struct statfs fileSystem;
    if (::statfs(QFile::encodeName(path).constData(), &fileSystem) != 0)
        return false;
    for (const unsigned long type : kKeepingFileSystems) {
        if ((static_cast<unsigned long>(fileSystem.f_type) & 0xFFFFFFFFUL) == type)
            return true;
    }
    return false;
#endif
}
