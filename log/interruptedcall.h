#ifndef INTERRUPTEDCALL_H
#define INTERRUPTEDCALL_H

#include <QtGlobal>

#ifndef Q_OS_WIN
#include <cerrno>

// The system calls a signal may interrupt (EINTR), made again until they are not: the
// opens, reads, writes and flushes of every folder. Here, in the lowest folder, because
// the log handler's own write needs it as much as the copies and the saves above it.
class InterruptedCall
{
public:
    // The result of the first call that was not interrupted.
    template <typename Call>
    static auto retry(Call call) -> decltype(call())
    {
        decltype(call()) result;
        do {
            result = call();
        } while (result < 0 && errno == EINTR);
        return result;
    }
    // Writes all of data however many write() calls it takes; false (errno set) when one fails.
    static bool writeAll(int fd, const char *data, qint64 size);
    // fsync(), or fdatasync() with dataOnly; false (errno set) when the data did not
    // reach the disk.
    static bool flush(int fd, bool dataOnly);

private:
    InterruptedCall() = delete;
};
#endif

#endif // INTERRUPTEDCALL_H
