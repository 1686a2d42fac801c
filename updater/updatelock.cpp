#include "updater/updatelock.h"

#include "platform/namedmutex.h"
#include "updater/installlayout.h"

#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <QThread>

UpdateLock::UpdateLock(const QString &installPath)
    : m_path(InstallLayout::lockFilePath(installPath))
    , m_file(std::make_unique<QLockFile>(m_path))
    , m_mutex(std::make_unique<NamedMutex>(QDir::cleanPath(QFileInfo(installPath).absoluteFilePath()).toLower()))
{
    // An update runs for minutes: only a holder that no longer runs makes the lock
    // stale, never its age.
    m_file->setStaleLockTime(0);
}

UpdateLock::~UpdateLock()
{
    unlock();
}

UpdateLock::Result UpdateLock::tryLock()
{
    if (m_locked)
        return Result::Locked;
    if (!m_mutex->tryLock())
        return Result::Busy;
    if (m_file->tryLock(0) || (m_file->error() == QLockFile::LockFailedError && takeOverUnreadable())) {
        m_locked = true;
        return Result::Locked;
    }
    m_mutex->unlock();
    return m_file->error() == QLockFile::LockFailedError ? Result::Busy : Result::Failed;
}

bool UpdateLock::takeOverUnreadable()
{
    qint64 pid = 0;
    QString host;
    QString application;
    if (m_file->getLockInfo(&pid, &host, &application))
        return false;
    // A holder writes its process into the file right after making it; a file that
    // still names nobody a moment later was left by a holder killed in between.
    QThread::msleep(200);
    if (m_file->getLockInfo(&pid, &host, &application) || !QFileInfo::exists(m_path))
        return false;
    return m_file->removeStaleLockFile() && m_file->tryLock(0);
}

void UpdateLock::unlock()
{
    if (!m_locked)
        return;
    m_file->unlock();
    m_mutex->unlock();
    m_locked = false;
}

QString UpdateLock::holder() const
{
    qint64 pid = 0;
    QString host;
    QString application;
    if (!m_file->getLockInfo(&pid, &host, &application))
        return QString();
    return QStringLiteral("process %1 (%2)").arg(pid).arg(QFileInfo(application).fileName());
}
