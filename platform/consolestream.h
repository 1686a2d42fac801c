#ifndef CONSOLESTREAM_H
#define CONSOLESTREAM_H

#include <QIODevice>
#include <QTextCodec>

#include <cstdio>
#include <memory>

// A standard stream as a device for QTextStream, which writes UTF-8 into it. A Windows
// console gets the text as UTF-16 (WriteConsoleW), which shows every letter of a path
// whatever the console's code page; anything else (a pipe, a file, a terminal on Unix,
// Wine's own) gets the UTF-8 bytes as they are.
class ConsoleStream : public QIODevice
{
    Q_OBJECT

public:
    explicit ConsoleStream(FILE *stream, QObject *parent = nullptr);
    ~ConsoleStream() override;

    bool isSequential() const override { return true; }

    // Whether the stream is a console window of Windows (never elsewhere).
    static bool isConsole(FILE *stream);

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 size) override;

private:
    FILE *m_stream;
    bool m_console;
    // Keeps a character that arrives split over two writes whole.
    std::unique_ptr<QTextDecoder> m_decoder;
};

#endif // CONSOLESTREAM_H
