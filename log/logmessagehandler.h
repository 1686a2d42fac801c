#ifndef LOGMESSAGEHANDLER_H
#define LOGMESSAGEHANDLER_H

#include <QDate>
#include <QString>
#include <QtGlobal>

// Appends every accepted message as one line to "./log/cvUpdaterlog_<yyyy-MM-dd>.txt".
// Debug and warning messages of categories other than "ZR_LOG.A" are dropped.
void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &msg);

// The directory of the log files: "./log" (relative to the current directory) unless
// set here. The console program's --restore outside a package logs into the
// installation's "log" directory.
void setLogDirectory(const QString &directory);
QString logDirectory();

// The path of the log file for the current local date (or the given one), in the log
// directory.
QString logFilePath();
QString logFilePath(const QDate &date);

// Whether every line since the log directory was last set reached the log file. A
// line that could not be written (no "log" directory, a read-only package directory,
// a full disk) is lost silently; the console program then must not name the file as
// the place of the details.
bool logFileWritten();

#endif // LOGMESSAGEHANDLER_H
