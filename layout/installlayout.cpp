#include "layout/installlayout.h"

#include <QSet>

QString InstallLayout::databaseName()
{
    return QStringLiteral("kqdata.db");
}

QString InstallLayout::keptDatabasePattern()
{
    return databaseName() + QStringLiteral(".kept-*");
}

QString InstallLayout::backupDirName()
{
    return QStringLiteral("backup");
}

QString InstallLayout::flagFileName()
{
    return QStringLiteral("UPDATER.ini");
}

QString InstallLayout::flagFileRelative()
{
    return QStringLiteral("config/%1").arg(flagFileName());
}

QString InstallLayout::lockFileName()
{
    return QStringLiteral("UPDATER.lock");
}

QString InstallLayout::packageRootName()
{
    return QStringLiteral("application");
}

QString InstallLayout::packageRoot()
{
    return QStringLiteral("./%1/").arg(packageRootName());
}

QString InstallLayout::uninstallKeyPrefix()
{
    return QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\");
}

QString InstallLayout::uninstallKey(const QString &productName)
{
    return QStringLiteral("%1%2").arg(uninstallKeyPrefix(), productName);
}

QString InstallLayout::databasePath(const QString &installPath)
{
    return QStringLiteral("%1/%2").arg(installPath, databaseName());
}

QString InstallLayout::backupPath(const QString &installPath)
{
    return QStringLiteral("%1/%2").arg(installPath, backupDirName());
}

QString InstallLayout::flagFilePath(const QString &installPath)
{
    return QStringLiteral("%1/%2").arg(installPath, flagFileRelative());
}

QString InstallLayout::lockFilePath(const QString &installPath)
{
    return QStringLiteral("%1/%2").arg(installPath, lockFileName());
}

const QStringList &InstallLayout::reservedTopNames()
{
    static const QStringList names{QStringLiteral("image"), QStringLiteral("log"), QStringLiteral("Updater"),
                                   backupDirName(), flagFileName(), QStringLiteral("install.log"),
                                   // Held by the running updater; copied back by a restore, it
                                   // would lock the installation for another process's sake.
                                   lockFileName(),
                                   // A database a restore kept aside is the user's work: a backup
                                   // would carry it into the next restore, which must not touch it.
                                   keptDatabasePattern()};
    return names;
}

const QStringList &InstallLayout::reservedFileNames()
{
    static const QStringList names{flagFileName(), QStringLiteral("install.log"), lockFileName()};
    return names;
}

bool InstallLayout::isReserved(const QString &relativePath, Qt::CaseSensitivity cs)
{
    const QStringList parts = relativePath.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (int i = 0; i < parts.size(); ++i) {
        if (isReservedName(parts.at(i), i == 0, cs))
            return true;
    }
    return false;
}

bool InstallLayout::isReservedName(const QString &name, bool atTop, Qt::CaseSensitivity cs)
{
    if (reservedFileNames().contains(name, cs))
        return true;
    if (!atTop)
        return false;
    for (const QString &reserved : reservedTopNames()) {
        // "name*" stands for every name that begins so.
        if (reserved.endsWith(QLatin1Char('*')) ? name.startsWith(reserved.chopped(1), cs) : name.compare(reserved, cs) == 0)
            return true;
    }
    return false;
}

QStringList InstallLayout::databaseJournalNames()
{
    const QString database = databaseName();
    return {database + QStringLiteral("-journal"), database + QStringLiteral("-wal"), database + QStringLiteral("-shm")};
}

QString InstallLayout::caseKey(const QString &relativePath)
{
    return relativePath.toCaseFolded();
}

QString InstallLayout::firstCaseClash(const QStringList &paths)
{
    QSet<QString> folded;
    for (const QString &path : paths) {
        const QString key = caseKey(path);
        if (folded.contains(key))
            return path;
        folded.insert(key);
    }
    return QString();
}
