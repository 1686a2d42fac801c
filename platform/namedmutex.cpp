#include "platform/namedmutex.h"

#include <QCryptographicHash>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

NamedMutex::NamedMutex(const QString &key)
    : m_name(QStringLiteral("Global\\CorvaneUpdater-%1")
                 .arg(QString::fromLatin1(QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Sha1).toHex())))
{
}

NamedMutex::~NamedMutex()
{
    unlock();
}

bool NamedMutex::tryLock()
{
#ifdef Q_OS_WIN
    if (m_handle)
        return true;
    HANDLE handle = CreateMutexW(nullptr, TRUE, reinterpret_cast<const wchar_t *>(m_name.utf16()));
    if (!handle)
        return false;
    // Opened, not created: another process holds it (it is held from creation on).
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(handle);
        return false;
    }
    m_handle = handle;
    return true;
#else
    // Marks the object held, so that isHeld() answers alike everywhere.
    m_handle = this;
    return true;
#endif
}

void NamedMutex::unlock()
{
#ifdef Q_OS_WIN
    if (m_handle) {
        ReleaseMutex(static_cast<HANDLE>(m_handle));
        CloseHandle(static_cast<HANDLE>(m_handle));
    }
#endif
    m_handle = nullptr;
}
