#include "db/databaseidentity.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

namespace {

// Nanoseconds where the file system keeps them: two commits within one millisecond
// must not look alike when the counter does not move (WAL mode).
qint64 changeTimeNs(const QString &path, const QFileInfo &info)
{
#ifndef Q_OS_WIN
    struct stat status;
    if (::stat(QFile::encodeName(path).constData(), &status) == 0)
        return qint64(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
#else
    Q_UNUSED(path)
#endif
    return info.lastModified().toMSecsSinceEpoch() * 1000000;
}

} // namespace

QString DatabaseIdentity::of(const QString &databasePath)
{
    const QFileInfo info(databasePath);
    if (!info.exists())
        return QStringLiteral("missing");
    QFile file(databasePath);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    // Bytes 24..27, big-endian; a file shorter than a header (an empty database) has none.
    const QByteArray header = file.read(100);
    quint32 counter = 0;
    if (header.size() >= 28) {
        for (int i = 24; i < 28; ++i)
            counter = (counter << 8) | quint8(header.at(i));
    }
    QByteArray logHash;
    QFile log(databasePath + QStringLiteral("-wal"));
    if (log.exists() && log.size() > 0) {
        if (!log.open(QIODevice::ReadOnly))
            return QString();
        QCryptographicHash hash(QCryptographicHash::Sha256);
        if (!hash.addData(&log))
            return QString();
        logHash = hash.result().toHex();
    }
    return QStringLiteral("size=%1;changed=%2;counter=%3;wal=%4")
        .arg(info.size())
        .arg(changeTimeNs(databasePath, info))
        .arg(counter)
        .arg(QString::fromLatin1(logHash));
}

bool DatabaseIdentity::hasLog(const QString &databasePath)
{
    return QFileInfo(databasePath + QStringLiteral("-wal")).size() > 0;
}
