#ifndef NAMEDMUTEX_H
#define NAMEDMUTEX_H

#include <QString>

// A system-wide mutex known by name: on Windows a named kernel mutex in the Global
// namespace, which the system releases when its holder ends, however it ends. Elsewhere
// there is no such object, and tryLock() always succeeds: the caller's lock file does the
// work alone.
class NamedMutex
{
public:
    // Any text; it is reduced to a name the system accepts.
    explicit NamedMutex(const QString &key);
    ~NamedMutex();
    NamedMutex(const NamedMutex &) = delete;
    NamedMutex &operator=(const NamedMutex &) = delete;

    // True when this object now holds the mutex; false when another process holds it
    // or it cannot be created.
    bool tryLock();
    void unlock();
    bool isHeld() const { return m_handle != nullptr; }

private:
    QString m_name;
    void *m_handle = nullptr;
};

#endif // NAMEDMUTEX_H
