#include "updater/applicationcheck.h"

#include "context/consoletext.h"
#include "db/dbcontrol.h"
#include "layout/installlayout.h"
#include "platform/fileinuse.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QThread>

ApplicationCheck::ApplicationCheck(const QString &installPath)
{
    const QString database = InstallLayout::databasePath(installPath);
    m_files << database;
    for (const QString &journal : InstallLayout::databaseJournalNames())
        m_files << QStringLiteral("%1/%2").arg(installPath, journal);

    // The backup and the updater's own folder are no part of the running application.
    const QDir root(installPath);
    const QFileInfoList top = root.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : top) {
        if (InstallLayout::isReserved(entry.fileName()) || entry.isSymLink())
            continue;
        if (entry.isFile()) {
            if (isProgramFile(entry.filePath()))
                m_files << entry.filePath();
            continue;
        }
        // Links are not followed: what they lead to lies outside the installation.
        QDirIterator it(entry.filePath(), QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            if (!it.fileInfo().isSymLink() && isProgramFile(path))
                m_files << path;
        }
    }
}

ApplicationCheck::Holders ApplicationCheck::holders() const
{
    // Where a handle counts as holding the file (Windows), this process's own connection
    // (the steps' one, open since an earlier attempt) is closed while others are looked
    // for: Wine's Restart Manager could not tell it from another program's.
    if (!FileInUse::canTell())
        return FileHolders::find(m_files);
    DBControl *const control = DBControl::createdInstance();
    const bool reopen = control && control->isOpened();
    if (reopen)
        control->closeDB();
    const Holders found = FileHolders::find(m_files);
    if (reopen)
        control->reopenDB();
    return found;
}

ApplicationCheck::Holders ApplicationCheck::waitForHolders(int seconds, const std::function<void(const Holders &)> &waiting) const
{
    QDeadlineTimer deadline(qint64(qMax(0, seconds)) * 1000);
    Holders found = holders();
    if (found.isEmpty() || seconds <= 0)
        return found;
    if (waiting)
        waiting(found);
    while (!found.isEmpty() && !deadline.hasExpired()) {
        QThread::msleep(quint64(qMin<qint64>(250, qMax<qint64>(1, deadline.remainingTime()))));
        found = holders();
    }
    return found;
}

QString ApplicationCheck::programText(const FileHolders::Holder &holder)
{
    const QString name = holder.name.isEmpty() ? ConsoleText::tr("another program") : holder.name;
    return holder.pid > 0 ? ConsoleText::tr("%1 (process %2)").arg(name).arg(holder.pid) : name;
}

QString ApplicationCheck::describe(const FileHolders::Holder &holder)
{
    QStringList files;
    for (const QString &file : holder.files)
        files << QDir::toNativeSeparators(file);
    return ConsoleText::tr("%1 holds %2 open").arg(programText(holder), files.join(QStringLiteral(", ")));
}

bool ApplicationCheck::isProgramFile(const QString &path)
{
    const QFileInfo info(path);
    const QString name = info.fileName().toLower();
    if (name.endsWith(QLatin1String(".exe")) || name.endsWith(QLatin1String(".dll"))
        || name.endsWith(QLatin1String(".so")) || name.contains(QLatin1String(".so.")))
        return true;
#ifdef Q_OS_WIN
    return false;
#else
    return info.isExecutable();
#endif
}
