#include "log/logmessagehandler.h"

#include "log/interruptedcall.h"
#include <QDateTime>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QTextCodec>

#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef Q_OS_WIN
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <string>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

const char kAppCategory[] = "ZR_LOG.A";
const char kDefaultDirectory[] = "./log";

const char *levelWord(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return "Debug";
    case QtWarningMsg:
        return "Warning";
    case QtCriticalMsg:
        return "Critical";
    case QtFatalMsg:
        return "Fatal";
    case QtInfoMsg:
        return "Info";
    }
    return "";
}

QMutex &handlerMutex()
{
    // Function-local static: created once, thread-safely, on the first message.
    static QMutex mutex;
    return mutex;
}

// What every line of one second, and every file of one day, share. An update script
// logs each of its statements, so the handler's own work per line is kept to the
// clock reading, one encoding of the message, and open, write and close.
struct HandlerState
{
    QString directory = QString::fromLatin1(kDefaultDirectory);
    // The local date and time of secondStamp, as "yyyy-MM-dd hh:mm:ss"; converting to
    // local time is redone once per second, so a change of the UTC offset (which
    // happens on a whole second) is never missed.
    qint64 second = -1;
    char secondStamp[24] = {};
    QDate date;
#ifdef Q_OS_WIN
    std::wstring filePath;
#else
    QByteArray filePath;
#endif
    QByteArray line;
    // A line since the last setLogDirectory() did not reach the file whole.
    bool lineLost = false;
};

HandlerState &state()
{
    static HandlerState handlerState;
    return handlerState;
}

QString filePathIn(const QString &directory, const QDate &date)
{
    return QStringLiteral("%1/cvUpdaterlog_%2.txt").arg(directory, date.toString(QStringLiteral("yyyy-MM-dd")));
}

void refreshSecond(HandlerState &st, qint64 second)
{
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(second * 1000, Qt::LocalTime);
    const QDate date = local.date();
    const QTime time = local.time();
    std::snprintf(st.secondStamp, sizeof st.secondStamp, "%04d-%02d-%02d %02d:%02d:%02d", date.year(), date.month(),
                  date.day(), time.hour(), time.minute(), time.second());
    st.second = second;
    if (date != st.date) {
        // A run that passes midnight continues in the next day's file.
        st.date = date;
        const QString path = filePathIn(st.directory, date);
#ifdef Q_OS_WIN
        st.filePath = path.toStdWString();
#else
        st.filePath = QFile::encodeName(path);
#endif
    }
}

// Opened and closed per message: nothing is lost when the process is killed, and a
// missing "log" directory only loses the line. One write, so concurrent writers (and
// processes) never interleave within a line. False when the line did not go in whole.
bool appendLine(const HandlerState &st)
{
#ifdef Q_OS_WIN
    const int fd = _wopen(st.filePath.c_str(), _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY | _O_NOINHERIT,
                          _S_IREAD | _S_IWRITE);
    if (fd < 0)
        return false;
    const bool whole = _write(fd, st.line.constData(), unsigned(st.line.size())) == st.line.size();
    _close(fd);
    return whole;
#else
    const int fd = ::open(st.filePath.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    const bool whole = InterruptedCall::writeAll(fd, st.line.constData(), st.line.size());
    ::close(fd);
    return whole;
#endif
}

} // namespace

void setLogDirectory(const QString &directory)
{
    QMutexLocker locker(&handlerMutex());
    HandlerState &st = state();
    st.directory = directory.isEmpty() ? QString::fromLatin1(kDefaultDirectory) : directory;
    // The file name is made again with the next message.
    st.second = -1;
    st.date = QDate();
    st.lineLost = false;
}

QString logDirectory()
{
    QMutexLocker locker(&handlerMutex());
    return state().directory;
}

QString logFilePath()
{
    return logFilePath(QDate::currentDate());
}

QString logFilePath(const QDate &date)
{
    return filePathIn(logDirectory(), date);
}

bool logFileWritten()
{
    QMutexLocker locker(&handlerMutex());
    return !state().lineLost;
}

void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &msg)
{
    // Qt's own categories and plain qDebug()/qWarning() ("default") never reach the file.
    if ((type == QtDebugMsg || type == QtWarningMsg) && context.category
        && std::strcmp(context.category, kAppCategory) != 0) {
        return;
    }

    QMutexLocker locker(&handlerMutex());
    HandlerState &st = state();
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const qint64 millisecond = ((now % 1000) + 1000) % 1000;
    const qint64 second = (now - millisecond) / 1000;
    if (second != st.second)
        refreshSecond(st, second);

    // "yyyy-MM-dd hh:mm:ss.zzz <level> <message>\r\n", the message in the locale's 8-bit
    // encoding as a text stream would write it (the rest is ASCII in every such encoding).
    char millis[5] = {'.', char('0' + millisecond / 100), char('0' + millisecond / 10 % 10),
                      char('0' + millisecond % 10), ' '};
    if (st.line.capacity() < 256)
        st.line.reserve(4096); // kept by resize(0), so most lines allocate nothing here
    st.line.resize(0);
    st.line.append(st.secondStamp, 19);
    st.line.append(millis, 5);
    st.line.append(levelWord(type));
    st.line.append(' ');
    st.line.append(QTextCodec::codecForLocale()->fromUnicode(msg));
    st.line.append("\r\n", 2);
    if (!appendLine(st))
        st.lineLost = true;
}
