#include "updater/updatelock.h"

#include "platform/namedmutex.h"
#include "context/consoletext.h"
#include "layout/installlayout.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QThread>

namespace {

// Milliseconds within which a live holder has named itself in its lock file.
constexpr qint64 kNamingTime = 1000;

} // namespace

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
    // QLockFile takes a stale lock over under a second lock file of its own; one left
    // without a name by a holder killed while making it would block that for good.
    QLockFile remover(removerPath());
    clearUnnamed(remover, removerPath());
    if (m_file->tryLock(0)
        || (m_file->error() == QLockFile::LockFailedError && clearUnnamed(*m_file, m_path) && m_file->tryLock(0))) {
        m_locked = true;
        // Left by a holder killed while it took a stale lock over. Nobody else can be
        // taking this lock over now: it is held, by a process that runs.
        QFile::remove(removerPath());
        return Result::Locked;
    }
    m_mutex->unlock();
    return m_file->error() == QLockFile::LockFailedError ? Result::Busy : Result::Failed;
}

QString UpdateLock::removerPath() const
{
    return m_path + QStringLiteral(".rmlock");
}

bool UpdateLock::clearUnnamed(QLockFile &file, const QString &path)
{
    qint64 pid = 0;
    QString host;
    QString application;
    if (!QFileInfo::exists(path) || file.getLockInfo(&pid, &host, &application))
        return false;
    // A holder writes its process into the file right after making it; a file that
    // still names nobody a second after it was made was left by a holder killed in
    // between. (A holder that still runs also keeps the file locked, which makes the
    // removal fail.)
    const qint64 age = QFileInfo(path).lastModified().msecsTo(QDateTime::currentDateTime());
    QThread::msleep(static_cast<unsigned long>(qBound<qint64>(0, kNamingTime - age, kNamingTime)));
    if (!QFileInfo::exists(path) || file.getLockInfo(&pid, &host, &application))
        return false;
    return file.removeStaleLockFile();
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
    return ConsoleText::tr("process %1 (%2)").arg(pid).arg(QFileInfo(application).fileName());
}
