#include "log/logmessagehandler.h"

#include <QDateTime>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QTextCodec>

#include <cstring>

namespace {

const char kAppCategory[] = "ZR_LOG.A";

QString levelWord(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return QStringLiteral("Debug");
    case QtWarningMsg:
        return QStringLiteral("Warning");
    case QtCriticalMsg:
        return QStringLiteral("Critical");
    case QtFatalMsg:
        return QStringLiteral("Fatal");
    case QtInfoMsg:
        return QStringLiteral("Info");
    }
    return QString();
}

QMutex &handlerMutex()
{
    // Function-local static: created once, thread-safely, on the first message.
    static QMutex mutex;
    return mutex;
}

} // namespace

QString logFilePath()
{
    return logFilePath(QDate::currentDate());
}

QString logFilePath(const QDate &date)
{
    return QStringLiteral("./log/cvUpdaterlog_%1.txt").arg(date.toString(QStringLiteral("yyyy-MM-dd")));
}

void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &msg)
{
    // Qt's own categories and plain qDebug()/qWarning() ("default") never reach the file.
    if ((type == QtDebugMsg || type == QtWarningMsg) && context.category
        && std::strcmp(context.category, kAppCategory) != 0) {
        return;
    }

    QMutexLocker locker(&handlerMutex());
    // One clock reading for both the line and the file name: reading the local time
    // costs a look at the time zone each time, and an update script logs every statement.
    const QDateTime now = QDateTime::currentDateTime();
    const QString line = QStringLiteral("%1 %2 %3\r\n")
                             .arg(now.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz")), levelWord(type), msg);

    // Opened and closed per message: a run that passes midnight continues in the next
    // day's file, and a missing "log" directory only loses the line. The text is in the
    // locale's 8-bit encoding, as a text stream would write it, in one write.
    QFile file(logFilePath(now.date()));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        return;
    file.write(QTextCodec::codecForLocale()->fromUnicode(line));
    file.close();
}
