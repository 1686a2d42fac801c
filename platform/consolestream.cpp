#include "platform/consolestream.h"

#ifdef Q_OS_WIN
#include <io.h>
#include <qt_windows.h>
#endif

namespace {

#ifdef Q_OS_WIN
HANDLE consoleHandle(FILE *stream)
{
    const intptr_t handle = _get_osfhandle(_fileno(stream));
    return handle == -1 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(handle);
}
#endif

} // namespace

ConsoleStream::ConsoleStream(FILE *stream, QObject *parent)
    : QIODevice(parent)
    , m_stream(stream)
    , m_console(isConsole(stream))
{
    if (m_console)
        m_decoder.reset(QTextCodec::codecForName("UTF-8")->makeDecoder());
    open(QIODevice::WriteOnly | QIODevice::Unbuffered);
}

ConsoleStream::~ConsoleStream() = default;

bool ConsoleStream::isConsole(FILE *stream)
{
#ifdef Q_OS_WIN
    DWORD mode;
    return GetConsoleMode(consoleHandle(stream), &mode) != 0;
#else
    Q_UNUSED(stream)
    return false;
#endif
}

qint64 ConsoleStream::readData(char *data, qint64 maxSize)
{
    Q_UNUSED(data)
    Q_UNUSED(maxSize)
    return -1;
}

qint64 ConsoleStream::writeData(const char *data, qint64 size)
{
#ifdef Q_OS_WIN
    if (m_console) {
        const QString text = m_decoder->toUnicode(data, int(size));
        const HANDLE handle = consoleHandle(m_stream);
        const wchar_t *rest = reinterpret_cast<const wchar_t *>(text.utf16());
        DWORD left = DWORD(text.size());
        while (left > 0) {
            DWORD written = 0;
            if (!WriteConsoleW(handle, rest, left, &written, nullptr) || written == 0)
                return -1;
            rest += written;
            left -= written;
        }
        return size;
    }
#endif
    if (std::fwrite(data, 1, size_t(size), m_stream) != size_t(size))
        return -1;
    std::fflush(m_stream);
    return size;
}
