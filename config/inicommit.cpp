#include "config/inicommit.h"

#include "config/initextcodec.h"
#include "config/iniwritecheck.h"
#include "log/interruptedcall.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>

#ifndef Q_OS_WIN
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

#ifndef Q_OS_WIN
QByteArray keptName(const QString &filePath)
{
    return QFile::encodeName(filePath + QStringLiteral(".previous"));
}

int openRetrying(const QByteArray &path, int flags)
{
    return InterruptedCall::retry([&] { return ::open(path.constData(), flags | O_CLOEXEC); });
}

bool flushDescriptor(int fd, bool dataOnly)
{
    if (fd < 0)
        return false;
    const bool flushed = InterruptedCall::flush(fd, dataOnly);
    ::close(fd);
    return flushed;
}
#endif

} // namespace

void IniCommit::recover(const QString &filePath)
{
#ifndef Q_OS_WIN
    const QByteArray kept = keptName(filePath);
    if (!QFileInfo::exists(QFile::decodeName(kept)))
        return;
    const QFileInfo current(filePath);
    if (current.exists() && current.size() > 0)
        ::unlink(kept.constData());
    else
        std::rename(kept.constData(), QFile::encodeName(filePath).constData());
#else
    Q_UNUSED(filePath)
#endif
}

bool IniCommit::flushToDisk(const QString &filePath)
{
#ifndef Q_OS_WIN
    // A descriptor of its own: QSaveFile's has gone, and with it the result of its
    // flush. (Should the disk have refused QSaveFile's flush already, Linux tells only
    // that descriptor; a second refusal is what this sees.)
    const QByteArray file = QFile::encodeName(filePath);
    if (!flushDescriptor(openRetrying(file, O_RDONLY), true))
        return false;
    const QByteArray dir = QFile::encodeName(QFileInfo(filePath).absolutePath());
    return flushDescriptor(openRetrying(dir, O_RDONLY | O_DIRECTORY), false);
#else
    Q_UNUSED(filePath)
    return true;
#endif
}

void IniCommit::keepPending(QSettings &settings)
{
    const QStringList keys = settings.allKeys();
    for (const QString &key : keys)
        settings.setValue(key, settings.value(key));
}

IniCommit::Outcome IniCommit::commit(QSettings &settings, bool flush)
{
    if (settings.format() != QSettings::IniFormat) {
        settings.sync();
        return settings.status() == QSettings::NoError ? Outcome::Saved : Outcome::NotWritten;
    }
#ifndef Q_OS_WIN
    // A second name for the file as it stands keeps it, without needing any space,
    // until the new file is known to be whole and on the disk.
    const QString path = settings.fileName();
    const QByteArray kept = keptName(path);
    const QByteArray target = QFile::encodeName(path);
    ::unlink(kept.constData());
    const bool existed = QFileInfo::exists(path);
    const bool keeping = existed && ::link(target.constData(), kept.constData()) == 0;
#endif
    IniTextCodec::sync(settings);
    Outcome outcome = Outcome::Saved;
    if (settings.status() == QSettings::AccessError)
        outcome = Outcome::NotWritten;
    else if (!IniWriteCheck::isComplete(settings))
        outcome = Outcome::Incomplete;
    // (No file: nothing was pending, and nothing written.)
    else if (flush && QFileInfo::exists(settings.fileName()) && !flushToDisk(settings.fileName()))
        outcome = Outcome::NotOnDisk;
#ifndef Q_OS_WIN
    if (outcome == Outcome::Incomplete || outcome == Outcome::NotOnDisk) {
        if (keeping)
            std::rename(kept.constData(), target.constData());
        else if (!existed)
            ::unlink(target.constData());
    } else if (keeping) {
        ::unlink(kept.constData());
    }
#endif
    return outcome;
}
