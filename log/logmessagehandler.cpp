#include "log/logmessagehandler.h"

#include <QDateTime>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QTextStream>

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
    return QStringLiteral("./log/cvUpdaterlog_%1.txt")
        .arg(QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd")));
}

void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &msg)
{
    // Qt's own categories and plain qDebug()/qWarning() ("default") never reach the file.
    if ((type == QtDebugMsg || type == QtWarningMsg) && context.category
        && std::strcmp(context.category, kAppCategory) != 0) {
        return;
    }

    QMutexLocker locker(&handlerMutex());
    const QString line = QStringLiteral("%1 %2 %3")
                             .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz")),
                                  levelWord(type), msg);

    // Opened and closed per message: a run that passes midnight continues in the next
    // day's file, and a missing "log" directory only loses the line.
    QFile file(logFilePath());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return;
    QTextStream stream(&file);
    stream << line << "\r\n";
    stream.flush();
    file.close();
}
