#include "platform/changestamp.h"

#include "platform/dirhandle.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#ifdef Q_OS_WIN
#include <QDir>
#include <qt_windows.h>

#include <string>
#else
#include <sys/statfs.h>
#endif

namespace {

#ifdef Q_OS_WIN
// The installation's own path, short: the volume calls take no extended-length form.
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
    const QFileInfo entry(path);
    return at(DirHandle::open(entry.path()), entry.fileName());
}

ChangeStamp ChangeStamp::at(const DirHandle &dir, const QString &name)
{
    ChangeStamp stamp;
    if (!dir.isOpen())
        return stamp;
    // On Windows attributes only: opens whatever another program shares, a running
    // program included.
    const DirHandle::Status status = dir.status(name, false);
    stamp.m_regular = status.kind == DirHandle::Kind::File;
    stamp.m_size = status.size;
    stamp.m_changed = status.changed;
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
