#include "log/interruptedcall.h"

#ifndef Q_OS_WIN
#include <unistd.h>

bool InterruptedCall::writeAll(int fd, const char *data, qint64 size)
{
    while (size > 0) {
        const ssize_t written = retry([&] { return ::write(fd, data, size_t(size)); });
        if (written <= 0)
            return false;
        data += written;
        size -= written;
    }
    return true;
}

bool InterruptedCall::flush(int fd, bool dataOnly)
{
    return retry([&] { return dataOnly ? ::fdatasync(fd) : ::fsync(fd); }) == 0;
}
#endif
