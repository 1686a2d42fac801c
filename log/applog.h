#ifndef APPLOG_H
#define APPLOG_H

#include <QLoggingCategory>

// The updater's one logging category, "ZR_LOG.A". Only its debug and warning
// messages reach the log file; plain qDebug()/qWarning() calls are dropped there.
Q_DECLARE_LOGGING_CATEGORY(appLog)

// Every log statement has one shape: the level check of the category, then the
// full signature of the emitting function as a literal, the message literal and
// any values. Signatures are spelled out by hand (Q_FUNC_INFO differs between
// compilers), e.g.
//     ZR_LOG_DEBUG("bool CVUpdater::isCanUpdate()") << "version is empty";
#define ZR_LOG_DEBUG(signature) qCDebug(appLog) << signature
#define ZR_LOG_INFO(signature) qCInfo(appLog) << signature
#define ZR_LOG_WARNING(signature) qCWarning(appLog) << signature
#define ZR_LOG_CRITICAL(signature) qCCritical(appLog) << signature

#endif // APPLOG_H
