#include "fileutil/symlink.h"

#include <QFile>

#ifndef Q_OS_WIN
#include <cerrno>
#include <unistd.h>
#endif

bool SymLink::isSupported()
{
#ifdef Q_OS_WIN
    return false;
#else
    return true;
#endif
}

bool SymLink::read(const QString &path, QByteArray *text)
{
#ifdef Q_OS_WIN
    Q_UNUSED(path)
    Q_UNUSED(text)
    return false;
#else
    const QByteArray name = QFile::encodeName(path);
    // A link's text is short; a longer one is read again into a larger buffer.
    QByteArray buffer(256, Qt::Uninitialized);
    for (;;) {
        const ssize_t size = ::readlink(name.constData(), buffer.data(), size_t(buffer.size()));
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
#endif
}

bool SymLink::create(const QByteArray &text, const QString &path)
{
#ifdef Q_OS_WIN
    Q_UNUSED(text)
    Q_UNUSED(path)
    return false;
#else
    return ::symlink(text.constData(), QFile::encodeName(path).constData()) == 0;
#endif
}
