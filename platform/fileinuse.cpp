#include "platform/fileinuse.h"

#ifdef Q_OS_WIN
#include <QDir>
#include <qt_windows.h>

#include <string>
#endif

QString FileInUse::firstInUse(const QStringList &paths)
{
    for (const QString &path : paths) {
        if (isInUse(path))
            return path;
    }
    return QString();
}

bool FileInUse::isInUse(const QString &path)
{
#ifdef Q_OS_WIN
    // Opened without sharing: refused while any other handle to the file is open,
    // whatever that handle shares, the image of a running program included. Reading is
    // enough to ask, and works on a read-only file too.
    const std::wstring name = QDir::toNativeSeparators(path).toStdWString();
    const HANDLE handle = CreateFileW(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
        return false;
    }
    const DWORD error = GetLastError();
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
#else
    Q_UNUSED(path)
    return false;
#endif
}
