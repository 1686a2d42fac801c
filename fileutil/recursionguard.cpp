#include "fileutil/recursionguard.h"

#include "platform/dirhandle.h"

#include <QFileInfo>

bool RecursionGuard::enter(const QString &dirPath)
{
    const QFileInfo info(dirPath);
    // A directory that cannot be resolved (removed meanwhile) cannot close a loop;
    // its absolute path still keeps enter() and leave() paired.
    QString canonical = info.canonicalFilePath();
    if (canonical.isEmpty())
        canonical = info.absoluteFilePath();
    if (m_path.contains(canonical))
        return false;
    m_path.append(canonical);
    return true;
}

bool RecursionGuard::enter(const DirHandle &dir)
{
    const QString identity = dir.identity();
    if (m_path.contains(identity))
        return false;
    m_path.append(identity);
    return true;
}

void RecursionGuard::leave()
{
    Q_ASSERT(!m_path.isEmpty());
    if (!m_path.isEmpty())
        m_path.removeLast();
}
