#include "fileutil/symlink.h"

#include "platform/dirhandle.h"

#include <QFile>

#ifndef Q_OS_WIN
#include <cerrno>
#include <fcntl.h>
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
    return DirHandle::readLinkAt(AT_FDCWD, QFile::encodeName(path), text);
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
