#ifndef SCOPEDCURRENTDIR_H
#define SCOPEDCURRENTDIR_H

#include <QString>

// Makes a directory the process's current directory for the lifetime of the object.
// The updater resolves "log/", "string.bin" and "./application/" against it.
class ScopedCurrentDir
{
public:
    explicit ScopedCurrentDir(const QString &path);
    ~ScopedCurrentDir();
    ScopedCurrentDir(const ScopedCurrentDir &) = delete;
    ScopedCurrentDir &operator=(const ScopedCurrentDir &) = delete;

private:
    QString m_previous;
};

#endif // SCOPEDCURRENTDIR_H
