#include "fileutil/recursionguard.h"

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

void RecursionGuard::leave()
{
    Q_ASSERT(!m_path.isEmpty());
    if (!m_path.isEmpty())
        m_path.removeLast();
}
